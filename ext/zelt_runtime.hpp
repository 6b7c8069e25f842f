// Pieces shared by the sources of zeltlite.api.zelt_runtime: the session
// (zelt_runtime.cpp), the library registry (zelt_runtime_library.cpp), the
// interface's constants and structures (zelt_runtime_abi.cpp) and device
// discovery and connection (zelt_runtime_device.cpp).
#pragma once

#include "common/zl.hpp"

namespace zrt {

// The module's own namespace; every global is looked up here at the moment of use.
extern zl::Namespace ns;

// `ZELTRuntime`, looked up like the class name inside a method body.
inline nb::object runtime_class() { return ns["ZELTRuntime"]; }

// `zeltLog.<level>(args...)`.
template <typename... Args>
void log(const char *level, Args &&...args) {
    ns["zeltLog"].attr(level)(std::forward<Args>(args)...);
}

// The refusal every failed device setup ends with.
[[noreturn]] inline void raise_init_failed() { zl::raise_exception("Init runtime environment failed!"); }

// `os.path.exists(path)`.
bool path_exists(nb::handle path);

// `get_os_platform()`, the module function.
nb::object get_os_platform();

// The query commands, flags, core masks, tables and other constants; then,
// once ctypes' names are in the namespace, the ctypes structures.
void define_constants();
void define_structures();

// Adds the detection, container and device channel methods to the class body.
void add_device_methods(nb::dict &body);

}  // namespace zrt
