#include "zl.hpp"

#include <string>

namespace zl {

void throw_error() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "native call failed without setting an error");
    throw nb::python_error();
}

void raise(PyObject *type, nb::handle msg) {
    PyErr_SetObject(type, msg.ptr());
    throw nb::python_error();
}

void raise(PyObject *type, const char *msg) {
    PyErr_SetString(type, msg);
    throw nb::python_error();
}

void raise_bare(PyObject *type) {
    PyErr_SetNone(type);
    throw nb::python_error();
}

bool matches(const nb::python_error &e, PyObject *type) {
    return PyErr_GivenExceptionMatches(e.type().ptr(), type) != 0;
}

nb::handle Name::get() const {
    if (!obj_) {
        obj_ = PyUnicode_InternFromString(text_);
        if (!obj_) throw_error();
    }
    return obj_;
}

void Namespace::init(nb::handle module) {
    module_ = module;
    dict_ = PyModule_GetDict(module.ptr());
}

static nb::object lookup_global(nb::handle dict, nb::handle key) {
    PyObject *v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!v) {
        if (PyErr_Occurred()) throw_error();
        v = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
            throw_error();
        }
    }
    return nb::borrow(v);
}

nb::object Namespace::operator[](const char *name) const {
    return lookup_global(dict_, steal(PyUnicode_FromString(name)));
}

nb::object Namespace::operator[](const Name &name) const { return lookup_global(dict_, name.get()); }

void Namespace::set(const char *name, nb::handle value) const {
    if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw_error();
}

nb::object import(const char *module) { return steal(PyImport_ImportModule(module)); }

nb::object getattr(nb::handle obj, const Name &name) {
    return steal(PyObject_GetAttr(obj.ptr(), name.get().ptr()));
}

nb::object getattr(nb::handle obj, const char *name) {
    return steal(PyObject_GetAttrString(obj.ptr(), name));
}

nb::object getitem(nb::handle obj, const char *key) {
    nb::object k = steal(PyUnicode_FromString(key));
    return steal(PyObject_GetItem(obj.ptr(), k.ptr()));
}

nb::str percent(const char *fmt, nb::handle value) {
    nb::object f = steal(PyUnicode_FromString(fmt));
    return nb::steal<nb::str>(steal(PyUnicode_Format(f.ptr(), value.ptr())).release());
}

bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw_error();
    return r != 0;
}

bool is_none(nb::handle o) { return o.ptr() == Py_None; }

nb::object to_str(nb::handle o) { return steal(PyObject_Str(o.ptr())); }

nb::object to_int(long long v) { return steal(PyLong_FromLongLong(v)); }

void close_quietly(nb::handle f) {
    PyObject *r = PyObject_CallMethod(f.ptr(), "close", nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

nb::object package_file(nb::handle module) {
    nb::object package = nb::str(module.attr("__name__")).attr("rpartition")(".")[0];
    return steal(PyImport_Import(package.ptr())).attr("__file__");
}

nb::object parent_dir(nb::handle file) {
    nb::object path = import("os.path");
    return path.attr("abspath")(path.attr("join")(path.attr("dirname")(file), ".."));
}

static std::string plural(std::size_t n) { return n == 1 ? "" : "s"; }

void bind(const char *name, const char *const *names, std::size_t n, std::size_t required, nb::handle args,
          nb::handle kwargs, nb::handle *out) {
    const std::size_t nargs = (std::size_t)PyTuple_GET_SIZE(args.ptr());
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zu given)", name,
                     required == n ? "exactly" : "at most", n, plural(n).c_str(), nargs);
        throw_error();
    }
    for (std::size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args.ptr(), (Py_ssize_t)i);
    if (kwargs.ptr() && PyDict_GET_SIZE(kwargs.ptr()) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
            std::size_t i = 0;
            for (; i < n; ++i) {
                int eq = PyUnicode_CompareWithASCIIString(key, names[i]);
                if (eq == 0) break;
            }
            if (i == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
                throw_error();
            }
            if (out[i].ptr()) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name,
                             key);
                throw_error();
            }
            out[i] = value;
        }
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i].ptr()) {
            PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zu given)", name,
                         required == n ? "exactly" : "at least", required, plural(required).c_str(), nargs);
            throw_error();
        }
    }
}

nb::object instance_method(nb::handle func) { return steal(PyInstanceMethod_New(func.ptr())); }

nb::object static_method(nb::handle func) { return steal(PyStaticMethod_New(func.ptr())); }

nb::object make_class(const Namespace &ns, const char *name, nb::dict body) {
    nb::object modname = ns.module().attr("__name__");
    body["__module__"] = modname;
    body["__qualname__"] = nb::str(name);
    nb::object bases = nb::make_tuple(nb::handle((PyObject *)&PyBaseObject_Type));
    nb::object cls =
        steal(PyObject_CallFunction((PyObject *)&PyType_Type, "sOO", name, bases.ptr(), body.ptr()));
    return cls;
}

}  // namespace zl
