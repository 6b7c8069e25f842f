// The registry of runtime libraries and the exchanges with them.
#include "zelt_runtime_library.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace zrt {

namespace {

const zl::Name kLib{"lib"}, kContext{"context"};
const zl::Name kZeltQuery{"zelt_query"}, kZeltInputsSet{"zelt_inputs_set"}, kZeltRun{"zelt_run"},
    kZeltOutputsGet{"zelt_outputs_get"}, kZeltOutputsRelease{"zelt_outputs_release"};
const zl::Name *const kFnNames[kFnCount] = {&kZeltQuery, &kZeltInputsSet, &kZeltRun, &kZeltOutputsGet,
                                            &kZeltOutputsRelease};

}  // namespace

// What this module knows about a library object.
struct LibraryState {
    // A ctypes library: once closed, its code is unmapped.
    bool native = false;
    bool closed = false;
    // Direct calls allowed: the library is loaded and `fns` valid.
    bool direct = false;
    // Exchanges alive (changed with the GIL held).
    int in_flight = 0;
    std::recursive_mutex lock;
    DirectFns fns;
    // The function objects bound at load (weakly: they hold the library)
    // with their argtypes and restype; direct calls are made only while
    // all are still in place.  Borrowed: `state_refs` keeps them alive
    // while the entry exists.
    PyObject *bound[kFnCount][3] = {};
    // The functions found in place in the library's dict as it was then.
    zl::DictStamp seen;
    bool seen_in_place[kFnCount] = {};
};

namespace {

// Keyed by the library object's address, so that the object itself is never
// hashed (a stand-in would see the call).  Entries go when the object dies
// (weak reference callback); objects without weak reference support stay.
// Node-based: an entry stays where it is while others come and go.
std::unordered_map<PyObject *, LibraryState> libraries;
// Library address -> (weakref to the library, or the library itself when it
// has no weak references; the objects its entry borrows).  Lives as long as
// the process, like the module's other interned objects.
nb::handle state_refs;

LibraryState *find_state(nb::handle lib) {
    auto it = libraries.find(lib.ptr());
    return it == libraries.end() ? nullptr : &it->second;
}

LibraryState &add_state(nb::handle lib, nb::handle refs) {
    if (LibraryState *s = find_state(lib)) return *s;
    PyObject *key = lib.ptr();
    nb::object address = zl::steal(PyLong_FromVoidPtr(key));
    nb::object forget = nb::cpp_function([key](nb::handle) {
        libraries.erase(key);
        if (PyObject *k = PyLong_FromVoidPtr(key)) {
            PyDict_DelItem(state_refs.ptr(), k);
            Py_DECREF(k);
        }
        PyErr_Clear();
    });
    PyObject *ref = PyWeakref_NewRef(lib.ptr(), forget.ptr());
    nb::object holder;
    if (ref) {
        holder = nb::steal(ref);
    } else {
        PyErr_Clear();
        holder = nb::borrow(lib);
    }
    if (PyDict_SetItem(state_refs.ptr(), address.ptr(), nb::make_tuple(holder, refs).ptr()) < 0)
        zl::throw_error();
    int native = PyObject_IsInstance(lib.ptr(), zl::import("ctypes").attr("CDLL").ptr());
    if (native < 0) zl::throw_error();
    // A real library has the loader's handle; a stand-in dressed as a CDLL does not.
    if (native) {
        PyObject *handle = PyObject_GetAttrString(lib.ptr(), "_handle");
        native = handle && PyLong_Check(handle);
        Py_XDECREF(handle);
        PyErr_Clear();
    }
    LibraryState &s = libraries[key];
    s.native = native != 0;
    return s;
}

// What ctypes calls a function object with: its argtypes, restype and
// errcheck, read through the getters of ctypes' own function type (they
// report the values the object holds, whatever its class says).
const PyGetSetDef *func_getters[3] = {};
const char *const kFuncSettings[3] = {"argtypes", "restype", "errcheck"};

nb::object func_setting(nb::handle func, int k) {
    return zl::steal(func_getters[k]->get(func.ptr(), func_getters[k]->closure));
}

// True while `lib.<fn>` (looked up in the library's own dict, where ctypes
// keeps the functions it made) is the function object bound at load, with
// the argtypes and restype it got then and no errcheck.
bool bound_intact(nb::handle lib_dict, LibraryState &s, Fn fn) {
    zl::DictStamp now(lib_dict.ptr());
    if (!(now == s.seen)) {
        s.seen = now;
        std::fill(std::begin(s.seen_in_place), std::end(s.seen_in_place), false);
    }
    PyObject *func = PyWeakref_GetObject(s.bound[fn][0]);
    if (!s.seen_in_place[fn]) {
        PyObject *found = PyDict_GetItemWithError(lib_dict.ptr(), kFnNames[fn]->get().ptr());
        if (!found) {
            if (PyErr_Occurred()) zl::throw_error();
            return false;
        }
        if (found != func) return false;
        s.seen_in_place[fn] = true;
    }
    return func_setting(func, 0).ptr() == s.bound[fn][1] && func_setting(func, 1).ptr() == s.bound[fn][2] &&
           zl::is_none(func_setting(func, 2));
}

}  // namespace

// ------------------------------------------------------------------ exchanges

Exchange::Exchange(nb::handle lib) : lib_(nb::borrow(lib)), state_(&add_state(lib, nb::none())) {
    ++state_->in_flight;
    if (!state_->lock.try_lock()) {
        nb::gil_scoped_release unlocked;
        state_->lock.lock();
    }
}

Exchange::Exchange(Exchange &&o) noexcept
    : lib_(std::move(o.lib_)), state_(std::exchange(o.state_, nullptr)) {}

Exchange &Exchange::operator=(Exchange &&o) noexcept {
    if (this != &o) {
        reset();
        lib_ = std::move(o.lib_);
        state_ = std::exchange(o.state_, nullptr);
    }
    return *this;
}

void Exchange::reset() {
    if (!state_) return;
    state_->lock.unlock();
    --state_->in_flight;
    state_ = nullptr;
    lib_.reset();
}

Runtime runtime(nb::handle self, std::initializer_list<Fn> fns, bool needs_context) {
    Runtime rt;
    rt.lib = zl::getattr(self, kLib);
    rt.exchange = Exchange(rt.lib);
    if (needs_context) rt.context = zl::getattr(self, kContext);
    LibraryState *s = find_state(rt.lib);
    if (!s->native) return rt;
    // A library this module closed is unmapped: calling into it would crash.
    if (s->closed) zl::raise_exception("E The runtime of this session has been released.");
    if (!needs_context) return rt;
    if (zl::is_none(rt.context))
        zl::raise_exception("E The graph of this session is not built, call build_graph first.");
    if (!s->direct || !PyLong_CheckExact(rt.context.ptr())) return rt;
    if (fns.size()) {
        nb::object lib_dict = zl::steal(PyObject_GenericGetDict(rt.lib.ptr(), nullptr));
        for (Fn fn : fns)
            if (!bound_intact(lib_dict, *s, fn)) return rt;
    }
    // ctypes converts the handle argument the same way (masked to 64 bits).
    rt.handle = (zelt_handle)PyLong_AsUnsignedLongLongMask(rt.context.ptr());
    if (PyErr_Occurred()) zl::throw_error();
    rt.direct = true;
    rt.fns = &s->fns;
    return rt;
}

// ------------------------------------------------------------------ registry

void init_library_registry() {
    state_refs = nb::dict().release();
    nb::object base = zl::import("ctypes").attr("_CFuncPtr");
    for (int k = 0; k < 3; ++k) {
        nb::object d = zl::getattr(base, kFuncSettings[k]);
        // Another ctypes: no direct calls.
        if (!PyObject_TypeCheck(d.ptr(), &PyGetSetDescr_Type)) return;
        func_getters[k] = reinterpret_cast<PyGetSetDescrObject *>(d.ptr())->d_getset;
    }
}

void register_loaded(nb::handle lib) {
    nb::object ctypes = zl::import("ctypes");
    if ((PyObject *)Py_TYPE(lib.ptr()) != ctypes.attr("CDLL").ptr() || find_state(lib) || !func_getters[2])
        return;
    void *handle = PyLong_AsVoidPtr(lib.attr("_handle").ptr());
    if (!handle) {
        PyErr_Clear();
        return;
    }
    nb::object base = ctypes.attr("_CFuncPtr"), cdecl = ctypes.attr("_FUNCFLAG_CDECL");
    nb::list refs;
    void *symbols[kFnCount];
    for (int i = 0; i < kFnCount; ++i) {
        symbols[i] = dlsym(handle, kFnNames[i]->c_str());
        if (!symbols[i]) return;
        nb::object func = zl::getattr(lib, *kFnNames[i]);
        nb::handle type((PyObject *)Py_TYPE(func.ptr()));
        if (!PyObject_TypeCheck(func.ptr(), (PyTypeObject *)base.ptr()) ||
            !zl::equal(type.attr("_flags_"), cdecl) || !zl::is_none(func_setting(func, 2)))
            return;
        refs.append(zl::steal(PyWeakref_NewRef(func.ptr(), nullptr)));
        refs.append(func_setting(func, 0));
        refs.append(func_setting(func, 1));
    }
    LibraryState &s = add_state(lib, refs);
    for (int i = 0; i < kFnCount; ++i)
        for (int j = 0; j < 3; ++j) s.bound[i][j] = refs[3 * i + j].ptr();
    s.fns.query = reinterpret_cast<decltype(s.fns.query)>(symbols[kQueryFn]);
    s.fns.inputs_set = reinterpret_cast<decltype(s.fns.inputs_set)>(symbols[kInputsSetFn]);
    s.fns.run = reinterpret_cast<decltype(s.fns.run)>(symbols[kRunFn]);
    s.fns.outputs_get = reinterpret_cast<decltype(s.fns.outputs_get)>(symbols[kOutputsGetFn]);
    s.fns.outputs_release = reinterpret_cast<decltype(s.fns.outputs_release)>(symbols[kOutputsReleaseFn]);
    s.closed = false;
    s.direct = true;
}

void reopen_stand_in(nb::handle lib) {
    LibraryState *s = find_state(lib);
    if (s && !s->native) s->closed = false;
}

bool in_use(nb::handle lib) {
    LibraryState *s = find_state(lib);
    return s && s->in_flight > 0;
}

bool is_closed(nb::handle lib) {
    LibraryState *s = find_state(lib);
    return s && s->closed;
}

void stop_direct_calls(nb::handle lib) {
    if (LibraryState *s = find_state(lib)) s->direct = false;
}

void mark_closed(nb::handle lib) { add_state(lib, nb::none()).closed = true; }

}  // namespace zrt
