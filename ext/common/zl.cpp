#include "zl.hpp"

#include <structmember.h>

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

DictStamp::DictStamp(PyObject *dict) : dict_(dict) {
#if PY_VERSION_HEX < 0x030C0000
    version_ = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    known_ = true;
#endif
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

nb::object Namespace::operator[](const Name &name) const {
    // Only the module's own names are remembered (builtins are not on hot paths).
    if (PyObject *v = name.remembered(dict_.ptr())) return nb::borrow(v);
    nb::object v = lookup_global(dict_, name.get());
    PyObject *own = PyDict_GetItemWithError(dict_.ptr(), name.get().ptr());
    if (!own && PyErr_Occurred()) throw_error();
    if (own == v.ptr()) name.remember(dict_.ptr(), own);
    return v;
}

void Namespace::set(const char *name, nb::handle value) const {
    if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw_error();
}

nb::object import(const char *module) { return steal(PyImport_ImportModule(module)); }

void import_star(const Namespace &ns, nb::handle module) {
    nb::object names;
    if (PyObject_HasAttrString(module.ptr(), "__all__")) {
        names = module.attr("__all__");
    } else {
        names = nb::list();
        for (nb::handle key : nb::borrow<nb::dict>(module.attr("__dict__")).keys())
            if (!nb::borrow<nb::str>(key).attr("startswith")("_").is(nb::handle(Py_True)))
                names.attr("append")(key);
    }
    for (nb::handle key : names) {
        nb::object value = steal(PyObject_GetAttr(module.ptr(), key.ptr()));
        if (PyDict_SetItem(ns.dict().ptr(), key.ptr(), value.ptr()) < 0) throw_error();
    }
}

nb::object getattr(nb::handle obj, const Name &name) {
    return steal(PyObject_GetAttr(obj.ptr(), name.get().ptr()));
}

nb::object module_attr(nb::handle module, const Name &name) {
    if (!PyModule_CheckExact(module.ptr())) return getattr(module, name);
    PyObject *dict = PyModule_GetDict(module.ptr());
    if (PyObject *v = name.remembered(dict)) return nb::borrow(v);
    nb::object v = getattr(module, name);
    // Only the dict's own entry, and only where the module type has nothing
    // of that name that would take precedence.
    PyObject *own = PyDict_GetItemWithError(dict, name.get().ptr());
    if (!own && PyErr_Occurred()) throw_error();
    if (own == v.ptr() && !_PyType_Lookup(&PyModule_Type, name.get().ptr())) name.remember(dict, own);
    return v;
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

std::pair<nb::object, nb::object> unpack2(nb::handle seq) {
    PyObject *iter = PyObject_GetIter(seq.ptr());
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq.ptr())->tp_iter &&
            !PySequence_Check(seq.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq.ptr())->tp_name);
        }
        throw_error();
    }
    nb::object it = nb::steal(iter);
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *v = PyIter_Next(it.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_error();
        }
        items[i] = nb::steal(v);
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return {std::move(items[0]), std::move(items[1])};
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw_error();
    return r != 0;
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

static void check_positional_count(const char *name, std::size_t n, std::size_t required, std::size_t nargs) {
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zu given)", name,
                     required == n ? "exactly" : "at most", n, plural(n).c_str(), nargs);
        throw_error();
    }
}

static void bind_keyword(const char *name, const char *const *names, std::size_t n, PyObject *key,
                         PyObject *value, nb::handle *out) {
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
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
        throw_error();
    }
    out[i] = value;
}

static void check_required(const char *name, std::size_t n, std::size_t required, std::size_t nargs,
                           const nb::handle *out) {
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i].ptr()) {
            PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zu given)", name,
                         required == n ? "exactly" : "at least", required, plural(required).c_str(), nargs);
            throw_error();
        }
    }
}

void bind(const char *name, const char *const *names, std::size_t n, std::size_t required,
          PyObject *const *args, std::size_t nargs, PyObject *kwnames, nb::handle *out) {
    check_positional_count(name, n, required, nargs);
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        bind_keyword(name, names, n, PyTuple_GET_ITEM(kwnames, k), args[nargs + (std::size_t)k], out);
    check_required(name, n, required, nargs, out);
}

namespace detail {

// Each native function's `self` is a small module object whose state holds
// the function (a module keeps `__qualname__` and repr as for a plain function).
static void free_native(void *module) {
    auto **slot = static_cast<NativeFunction **>(PyModule_GetState(static_cast<PyObject *>(module)));
    if (slot) delete *slot;
}

static PyModuleDef native_function_def = {PyModuleDef_HEAD_INIT,
                                          "native_function",
                                          nullptr,
                                          sizeof(NativeFunction *),
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          nullptr,
                                          free_native};

static PyObject *call_native(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    NativeFunction *f = *static_cast<NativeFunction **>(PyModule_GetState(self));
    try {
        return f->call(args, (std::size_t)nargs, kwnames).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// "name(a, b=default)\n--\n\n": the interpreter's text signature, which it
// strips from __doc__ and offers as __text_signature__.
static std::string text_signature(const Params &p) {
    if (p.defaults.size() != p.names.size() - p.required) return std::string();
    std::string sig = std::string(p.name) + "(";
    auto def = p.defaults.begin();
    std::size_t i = 0;
    for (const char *n : p.names) {
        if (i) sig += ", ";
        sig += n;
        if (i++ >= p.required) sig += std::string("=") + *def++;
    }
    return sig + ")\n--\n\n";
}

nb::object make_native_function(std::unique_ptr<NativeFunction> f, const Params &p, nb::handle module_name) {
    f->doc = text_signature(p);
    f->def.ml_doc = f->doc.empty() ? nullptr : f->doc.c_str();
    f->def.ml_name = p.name;
    f->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_native));
    f->def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    PyMethodDef *def = &f->def;
    nb::object holder = steal(PyModule_Create(&native_function_def));
    *static_cast<NativeFunction **>(PyModule_GetState(holder.ptr())) = f.release();
    return steal(PyCFunction_NewEx(def, holder.ptr(), module_name.ptr()));
}

}  // namespace detail

// A class member that binds `self` like a Python function does (as
// PyInstanceMethod does), flagged as a method descriptor so that the
// interpreter calls it with `self` first instead of making a bound method
// object per call.
namespace {

struct MethodObject {
    PyObject ob_base;
    PyObject *func;
    vectorcallfunc vectorcall;
};

PyObject *method_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    return PyObject_Vectorcall(reinterpret_cast<MethodObject *>(self)->func, args, nargsf, kwnames);
}

PyObject *method_get(PyObject *self, PyObject *obj, PyObject *) {
    PyObject *func = reinterpret_cast<MethodObject *>(self)->func;
    if (obj) return PyMethod_New(func, obj);
    Py_INCREF(func);
    return func;
}

// Attributes the member lacks are the function's (`__name__`, `__doc__` ...).
PyObject *method_getattro(PyObject *self, PyObject *name) {
    PyObject *r = PyObject_GenericGetAttr(self, name);
    if (r || !PyErr_ExceptionMatches(PyExc_AttributeError)) return r;
    PyErr_Clear();
    return PyObject_GetAttr(reinterpret_cast<MethodObject *>(self)->func, name);
}

int method_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<MethodObject *>(self)->func);
    return 0;
}

int method_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<MethodObject *>(self)->func);
    return 0;
}

void method_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef method_members[] = {
    {"__func__", T_OBJECT, offsetof(MethodObject, func), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot method_slots[] = {
    {Py_tp_call, (void *)PyVectorcall_Call},   {Py_tp_descr_get, (void *)method_get},
    {Py_tp_getattro, (void *)method_getattro}, {Py_tp_traverse, (void *)method_traverse},
    {Py_tp_clear, (void *)method_clear},       {Py_tp_dealloc, (void *)method_dealloc},
    {Py_tp_members, method_members},           {0, nullptr}};

// Immutable, so that the interpreter's specialised method loads take it.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
constexpr unsigned long kImmutable = Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr unsigned long kImmutable = 0;
#endif

PyType_Spec method_spec = {"zeltlite.native_method", sizeof(MethodObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                               Py_TPFLAGS_METHOD_DESCRIPTOR | kImmutable,
                           method_slots};

}  // namespace

nb::object instance_method(nb::handle func) {
    static PyObject *type = steal(PyType_FromSpec(&method_spec)).release().ptr();
    auto *m = PyObject_GC_New(MethodObject, reinterpret_cast<PyTypeObject *>(type));
    if (!m) throw_error();
    m->func = nb::borrow(func).release().ptr();
    m->vectorcall = method_call;
    PyObject_GC_Track(m);
    return nb::steal(reinterpret_cast<PyObject *>(m));
}

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
