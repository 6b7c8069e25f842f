// The runtime libraries the session module loaded or closed, and the rules for
// calling them: through `self.lib` with ctypes objects, or directly through the
// library's own functions when `self.lib` is the very CDLL a session loaded and
// its data-path functions are still as bound.
//
// Every call into a library is made inside an exchange, which holds that
// library's lock: a multi-step exchange (a query and the read of what it lent,
// an output fetch, copy and hand-back, a rebuild) never interleaves with
// another thread's call, and a library is never closed under a call.
#pragma once

#include "zelt_runtime.hpp"

#include <zeltrt/zeltrt_api.h>

#include <initializer_list>

namespace zrt {

// The data-path functions that may be called directly.
enum Fn { kQueryFn, kInputsSetFn, kRunFn, kOutputsGetFn, kOutputsReleaseFn, kFnCount };

struct DirectFns {
    decltype(&::zelt_query) query = nullptr;
    decltype(&::zelt_inputs_set) inputs_set = nullptr;
    decltype(&::zelt_run) run = nullptr;
    decltype(&::zelt_outputs_get) outputs_get = nullptr;
    decltype(&::zelt_outputs_release) outputs_release = nullptr;
};

struct LibraryState;

// Holds a library's lock and counts as a call in flight while it lives.  The
// lock is recursive (a stand-in's Python code may call the session back) and
// is waited for with the GIL released.
class Exchange {
public:
    Exchange() = default;
    explicit Exchange(nb::handle lib);
    Exchange(Exchange &&o) noexcept;
    Exchange &operator=(Exchange &&o) noexcept;
    ~Exchange() { reset(); }
    void reset();

private:
    nb::object lib_;  // keeps the state's entry alive
    LibraryState *state_ = nullptr;
};

// The session's library and context for one exchange.  `context` is read
// under the lock, so a rebuild on another thread cannot replace it under the call.
struct Runtime {
    nb::object lib, context;
    Exchange exchange;
    bool direct = false;  // `fns` may be called with `handle`
    zelt_handle handle = 0;
    const DirectFns *fns = nullptr;
};

// Starts an exchange with `self.lib`.  Refuses a library this module closed
// and (unless `needs_context` is false, for the call that makes it) a missing
// context; direct calls of `fns` are allowed when every one is still as bound.
// Stand-ins for the library are called whatever state they are in.
Runtime runtime(nb::handle self, std::initializer_list<Fn> fns, bool needs_context = true);

// Runs a direct library call with the GIL released.
template <typename F>
int call_direct(F f) {
    nb::gil_scoped_release unlocked;
    return f();
}

// rt.lib.<fn>(args...) through ctypes.
template <typename... Args>
nb::object call_lib(Runtime &rt, const zl::Name &fn, Args &&...args) {
    return zl::getattr(rt.lib, fn)(std::forward<Args>(args)...);
}

// Set-up at import.
void init_library_registry();
// Records a freshly loaded and bound library; only a plain CDLL whose
// data-path functions are ctypes' own is called directly.
void register_loaded(nb::handle lib);
// A stand-in handed out again by its loader counts as open.
void reopen_stand_in(nb::handle lib);
// Whether a call is in flight on `lib` (on any thread).
bool in_use(nb::handle lib);
// Whether this module closed `lib` (a real library: its code is gone).
bool is_closed(nb::handle lib);
// From now on `lib` is called through ctypes only; then, once unloaded, never.
void stop_direct_calls(nb::handle lib);
void mark_closed(nb::handle lib);

}  // namespace zrt
