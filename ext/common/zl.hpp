// Shared helper layer of the zeltlite extension modules.
//
// The modules behave like the plain Python modules they stand for: functions
// bind their arguments like a `def` (with the interpreter's TypeError
// wording), every collaborator is looked up at the moment of use (module
// globals, then builtins; attributes on self, the class or a module), classes
// are ordinary `type` objects whose methods are native functions, and the
// failures the package names are base `Exception`s with exact texts.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

namespace nb = nanobind;

namespace zl {

// ---------------------------------------------------------------- errors

// Throws the pending Python error; call right after a C API call failed.
[[noreturn]] void throw_error();

// Owns the result of a C API call that returns a new reference, or throws the
// pending Python error when the call failed (returned NULL).
inline nb::object steal(PyObject *o) {
    if (!o) throw_error();
    return nb::steal(o);
}

// Raises `type(msg)`; `msg` is any Python object (normally a str).
[[noreturn]] void raise(PyObject *type, nb::handle msg);
[[noreturn]] void raise(PyObject *type, const char *msg);
// Raises `type()` without arguments (e.g. a bare RuntimeError()).
[[noreturn]] void raise_bare(PyObject *type);
// Raises the base `Exception(msg)`.
[[noreturn]] inline void raise_exception(nb::handle msg) { raise(PyExc_Exception, msg); }
[[noreturn]] inline void raise_exception(const char *msg) { raise(PyExc_Exception, msg); }

// `PyErr_ExceptionMatches` for the error carried by a caught nb::python_error.
bool matches(const nb::python_error &e, PyObject *type);

// ------------------------------------------------------------- interned names

// The state of a dict's contents: two equal stamps of a live dict mean that
// it did not change in between.  CPython up to 3.11 gives a dict a new,
// process-wide unique version on every change (what its own global-lookup
// caches relied on); later versions keep none, and no two stamps of a dict
// are equal there.
class DictStamp {
public:
    DictStamp() = default;
    explicit DictStamp(PyObject *dict);
    bool operator==(const DictStamp &o) const {
        return known_ && o.known_ && dict_ == o.dict_ && version_ == o.version_;
    }

private:
    PyObject *dict_ = nullptr;
    uint64_t version_ = 0;
    bool known_ = false;
};

// A str created once and kept for the life of the process; used for names and
// fixed texts on hot paths.  Usage: `static zl::Name n{"exists"}; obj.attr(n)`.
// A Name also remembers its last lookup in a dict, so that looking it up again
// in the unchanged dict costs a comparison.
class Name {
public:
    explicit Name(const char *s) : text_(s) {}
    operator nb::handle() const { return get(); }
    nb::handle get() const;
    const char *c_str() const { return text_; }

    // The value last found for this name in `dict` while the dict has not
    // changed since, or null.  Borrowed: the unchanged dict holds it.
    PyObject *remembered(PyObject *dict) const { return value_ && DictStamp(dict) == in_ ? value_ : nullptr; }
    void remember(PyObject *dict, PyObject *value) const {
        in_ = DictStamp(dict);
        value_ = value;
    }

private:
    const char *text_;
    mutable PyObject *obj_ = nullptr;
    mutable DictStamp in_;
    mutable PyObject *value_ = nullptr;
};

// ------------------------------------------------------------ late binding

// A module's own namespace, looked up like Python code looks up its globals.
class Namespace {
public:
    void init(nb::handle module);
    nb::handle module() const { return module_; }
    nb::handle dict() const { return dict_; }
    // Global lookup at the moment of use: the module dict, then builtins;
    // a missing name raises NameError as the interpreter would.
    nb::object operator[](const char *name) const;
    nb::object operator[](const Name &name) const;
    void set(const char *name, nb::handle value) const;

private:
    nb::handle module_;
    nb::handle dict_;
};

nb::object import(const char *module);
// `from <module> import *` into `ns`: the names of `__all__`, or else every
// name that does not start with an underscore.
void import_star(const Namespace &ns, nb::handle module);
nb::object getattr(nb::handle obj, const Name &name);
// `module.<name>`; for a plain module object the value found in its dict is
// remembered while that dict is unchanged.
nb::object module_attr(nb::handle module, const Name &name);
nb::object getattr(nb::handle obj, const char *name);
// obj[key] with a str key, raising the container's own error (e.g. KeyError).
nb::object getitem(nb::handle obj, const char *key);

// `fmt.format(*args)` with the interpreter's own str.format.
template <typename... Args>
nb::str format(const char *fmt, Args &&...args) {
    return nb::borrow<nb::str>(nb::str(fmt).attr("format")(std::forward<Args>(args)...));
}
// `fmt % value` with the interpreter's printf-style formatting.
nb::str percent(const char *fmt, nb::handle value);

// `a, b = seq` with the interpreter's unpacking errors.
std::pair<nb::object, nb::object> unpack2(nb::handle seq);
// `item in container`.
bool contains(nb::handle container, nb::handle item);

bool truthy(nb::handle o);
bool equal(nb::handle a, nb::handle b);
bool is_none(nb::handle o);
nb::object to_str(nb::handle o);
nb::object to_int(long long v);

// ------------------------------------------------------------ files and paths

// Closes a file while an error is on its way out; an error of the close
// itself is dropped so that the original one propagates.
void close_quietly(nb::handle f);

// `with open(path, mode) as f: return body(f)`, with the module's own `open`.
template <typename Body>
nb::object with_open(const Namespace &ns, nb::handle path, const char *mode, Body body) {
    nb::object f = ns["open"](path, mode);
    nb::object result;
    try {
        result = body(nb::handle(f));
    } catch (...) {
        close_quietly(f);
        throw;
    }
    f.attr("close")();
    return result;
}

// The `__file__` of the package that holds `module` (`from . import __file__`).
nb::object package_file(nb::handle module);
// os.path.abspath(os.path.join(os.path.dirname(file), "..")).
nb::object parent_dir(nb::handle file);

// ------------------------------------------------------------ argument binding

// How a function binds its arguments: its name as shown in TypeErrors, its
// parameter names (a method counts `self`) and how many of them, from the
// left, have no default.  `defaults` holds the defaults of the others as
// Python literals; a function whose defaults are all given (or that has
// none) shows its signature to introspection, as `inspect.signature` reads it.
struct Params {
    const char *name;
    std::initializer_list<const char *> names;
    std::size_t required;
    std::initializer_list<const char *> defaults = {};
};

// Binds the vectorcall arguments (positional `args[0..nargs)`, then the
// values of the keyword arguments named by the tuple `kwnames`, or null) to
// `out[0..n)`; a parameter left unset holds a null handle (the caller
// applies its default).  Errors use the interpreter's wording, e.g.
//   "f() takes exactly 1 positional argument (2 given)",
//   "f() takes at least 4 positional arguments (2 given)",
//   "f() got an unexpected keyword argument 'x'",
//   "f() got multiple values for keyword argument 'x'".
void bind(const char *name, const char *const *names, std::size_t n, std::size_t required,
          PyObject *const *args, std::size_t nargs, PyObject *kwnames, nb::handle *out);

namespace detail {
struct NativeFunction {
    PyMethodDef def{};
    std::string doc;  // backs def.ml_doc
    virtual ~NativeFunction() = default;
    virtual nb::object call(PyObject *const *args, std::size_t nargs, PyObject *kwnames) = 0;
};
nb::object make_native_function(std::unique_ptr<NativeFunction> f, const Params &p, nb::handle module_name);
}  // namespace detail

// A native function callable like a `def` with `p`, through the interpreter's
// vectorcall (no argument tuple or dict is built).  `impl` receives the bound
// arguments as a std::array<nb::handle, N> (null for unset optional
// parameters) and returns an nb::object.  C++ errors other than Python's
// leave as MemoryError or RuntimeError.
template <std::size_t N, typename Impl>
nb::object function(const Params &p, Impl impl, nb::handle module_name = nb::handle()) {
    struct Function : detail::NativeFunction {
        const char *name;
        std::size_t required;
        std::array<const char *, N> names{};
        Impl impl;
        Function(const Params &p, Impl i) : name(p.name), required(p.required), impl(std::move(i)) {
            std::size_t k = 0;
            for (const char *n : p.names) names[k++] = n;
        }
        nb::object call(PyObject *const *args, std::size_t nargs, PyObject *kwnames) override {
            std::array<nb::handle, N> bound{};
            bind(name, names.data(), N, required, args, nargs, kwnames, bound.data());
            return impl(bound);
        }
    };
    return detail::make_native_function(std::make_unique<Function>(p, std::move(impl)), p, module_name);
}

// Defines the module-level function `p.name` in the namespace `ns`.
template <std::size_t N, typename Impl>
void def(const Namespace &ns, const Params &p, Impl impl) {
    ns.set(p.name, function<N>(p, impl, ns.module().attr("__name__")));
}

// ------------------------------------------------------------ plain classes

// Wraps a callable so that, placed in a class, it binds `self` like a Python
// function does.
nb::object instance_method(nb::handle func);
nb::object static_method(nb::handle func);
// `type(name, (object,), namespace)` with `__module__` and `__qualname__` set.
nb::object make_class(const Namespace &ns, const char *name, nb::dict body);

// Class-body members: a native function bound like a def, placed in `body`
// as an instance method or as a static method.
template <std::size_t N, typename Impl>
void add_method(nb::dict &body, const Params &p, Impl impl) {
    body[p.name] = instance_method(function<N>(p, impl));
}
template <std::size_t N, typename Impl>
void add_static(nb::dict &body, const Params &p, Impl impl) {
    body[p.name] = static_method(function<N>(p, impl));
}

}  // namespace zl
