// Device discovery and connection of ZELTRuntime: which host and SoC the
// session runs on, the container check, and the adb and npu_tetherd channels
// to a remote board.
#include <utility>

#include "zelt_runtime.hpp"

namespace zrt {
namespace {

nb::object none() { return nb::none(); }

bool equals(nb::handle a, const char *b) { return zl::equal(a, nb::str(b)); }

nb::object runtime_attr(const char *name) { return runtime_class().attr(name); }

// Reads the device-tree compatible string and returns whether any of `socs`
// (lower-cased) occurs in it, and the last listed name that does.  An
// unreadable file matches nothing.
std::pair<bool, nb::object> match_compatible(nb::handle socs) {
    bool found = false;
    nb::object host_soc = none();
    try {
        nb::object f = ns["open"](ns["DEVICE_COMPATIBLE_NODE"]);
        try {
            nb::object content = f.attr("read")();
            for (nb::handle name : socs) {
                if (zl::contains(content, name.attr("lower")())) {
                    found = true;
                    host_soc = nb::borrow(name);
                }
            }
        } catch (...) {
            f.attr("close")();
            throw;
        }
        f.attr("close")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
    return {found, host_soc};
}

nb::object is_npu_self() {
    nb::object socs = ns["get_npu_inside_soc"]();
    auto [compatible_has_npu, host_soc] = match_compatible(socs);
    nb::object os = ns["os"];
    bool has_npu_node = zl::truthy(os.attr("access")(ns["NPU_NODE"], os.attr("F_OK")));
    return nb::make_tuple(has_npu_node || compatible_has_npu, host_soc);
}

nb::object is_npu_assembled() {
    nb::object socs = ns["get_npu_assemble_soc"]();
    auto [assembled, host_soc] = match_compatible(socs);
    return nb::make_tuple(assembled, host_soc);
}

nb::object get_target_soc(nb::handle target) {
    nb::object support = ns["get_support_target_soc"]();
    if (zl::is_none(target)) {
        nb::object cls = runtime_class();
        auto [is_self, inside_soc] = zl::unpack2(cls.attr("_is_npu_self")());
        auto [is_assembled, assembled_soc] = zl::unpack2(cls.attr("_is_npu_assembled")());
        if (zl::truthy(is_self)) return inside_soc;
        if (zl::truthy(is_assembled)) return assembled_soc;
        zl::raise_exception("Please specify the target in init_runtime!");
    }
    nb::object upper = target.attr("upper")();
    if (zl::contains(support, upper)) return upper;
    zl::raise_exception(zl::format(
        "Unsupported target: {}! Currently, Zeltpack Lite support these targets: {}", target, support));
}

nb::object get_depot_npu_dir(nb::handle self) {
    nb::object soc = self.attr("target_soc").attr("lower")();
    if (equals(soc, "tx4100") || equals(soc, "tx4200")) return nb::str("TX4X00");
    if (equals(soc, "tx5100")) return nb::str("TX5100");
    return nb::str("UNKNOWN");
}

nb::object check_container() {
    // Only a board can carry the NPU itself; elsewhere the NPU is always
    // remote and a container needs none of the board's files.
    if (!equals(runtime_attr("machine"), "aarch64")) return none();
    if (!path_exists(nb::str("/.dockerenv"))) return none();
    const char *frame = "**************************************************";
    if (!path_exists(ns["DEVICE_COMPATIBLE_NODE"]) || !path_exists(ns["NPU_DRIVER_NODE"])) {
        for (const char *line :
             {frame, "!!! It is detected that some necessary files are missing in the container.",
              "!!! When starting the container, please use the -v parameter to map the "
              "corresponding files in the host to the container.",
              "The reference parameters of run container are as follows:",
              "    -v /dev/dri/renderD129:/dev/dri/renderD129",
              "    -v /proc/device-tree/compatible:/proc/device-tree/compatible", frame})
            log("p", line);
        zl::raise_bare(PyExc_RuntimeError);
    }
    nb::object lib_path = ns["LIBZELTRT_PATH"];
    if (!path_exists(lib_path)) {
        log("w", frame);
        log("w", zl::format("!!! It is detected that {} is missing in the container.", lib_path));
        for (const char *line : {"!!! Please put it into /usr/lib/ directory.",
                                 "!!! Or add the following parameters when running the container to map "
                                 "libzeltrt.so in the host to the container.",
                                 "```", "    -v /usr/lib/libzeltrt.so:/usr/lib/libzeltrt.so", "```", frame})
            log("w", line);
    }
    return none();
}

// ------------------------------------------------------------------ adb

nb::object get_adb_path() {
    nb::object cls = runtime_class();
    if (equals(cls.attr("machine"), "x86_64") && equals(cls.attr("os_platform"), "Linux_x64"))
        return ns["os"].attr("path").attr("join")(ns["ROOT_DIR"], "3rdparty", "platform-tools", "adb",
                                                  "linux-x86_64", "adb");
    return none();
}

// The adb channel exists only where an adb executable is installed.
bool adb_installed(nb::handle adb_path) { return !zl::is_none(adb_path) && path_exists(adb_path); }

nb::object shell_quote(nb::handle path) { return ns["shlex"].attr("quote")(path); }

nb::object get_adb_devices() {
    nb::object cls = runtime_class();
    nb::list devices;
    if (zl::truthy(cls.attr("_is_npu_self")()[0])) return devices;
    nb::object adb_path = cls.attr("_get_adb_path")();
    nb::object os_platform = cls.attr("os_platform");
    if (equals(os_platform, "Windows_x64") || equals(os_platform, "Darwin_x64") ||
        equals(cls.attr("machine").attr("lower")(), "aarch64"))
        return devices;
    if (!adb_installed(adb_path)) return devices;
    nb::object result =
        ns["exec_command"](zl::format("{} devices", shell_quote(adb_path)), nb::arg("use_shell") = true);
    nb::object code = result[0], text = result[1];
    if (!zl::equal(code, zl::to_int(0))) {
        log("e", zl::format("Execute adb devices failed, ret code: {}. {}", code, text), false);
        zl::raise_bare(PyExc_RuntimeError);
    }
    nb::object lines = text.attr("splitlines")();
    Py_ssize_t n = nb::len(lines);
    for (Py_ssize_t i = 1; i < n; ++i) {
        nb::object fields = lines[i].attr("split")("\t");
        if (nb::len(fields) == 2) devices.append(fields[0]);
    }
    return devices;
}

nb::object whether_device_using_adb_forward(nb::handle adb_path) {
    if (!adb_installed(adb_path)) return nb::bool_(false);
    nb::object result = ns["exec_command"](zl::format("{} forward --list", adb_path));
    return nb::bool_(zl::equal(result[0], zl::to_int(0)) &&
                     zl::contains(result[1], nb::str("localabstract")));
}

nb::object remove_adb_forward(nb::handle adb_path, nb::handle device_id) {
    return ns["exec_adb_command"](adb_path, device_id, "forward --remove localabstract:tetherd");
}

nb::object add_adb_forward(nb::handle adb_path, nb::handle device_id) {
    return ns["exec_adb_command"](adb_path, device_id, "forward localabstract:tetherd local:tetherd");
}

bool command_failed(nb::handle output) {
    return !zl::is_none(output) && !zl::equal(output[0], zl::to_int(0));
}

nb::object start_adb_forward(nb::handle adb_path, nb::handle device_id) {
    nb::object cls = runtime_class();
    nb::object output = cls.attr("_remove_adb_forward")(adb_path, device_id);
    if (command_failed(output) &&
        !zl::contains(output[1], nb::str("error: listener 'localabstract:tetherd' not found"))) {
        ns["sys"].attr("stderr").attr("write")(output[1]);
        return zl::to_int(-1);
    }
    output = cls.attr("_add_adb_forward")(adb_path, device_id);
    if (command_failed(output)) {
        ns["sys"].attr("stderr").attr("write")(output[1]);
        return zl::to_int(-2);
    }
    return zl::to_int(0);
}

// ------------------------------------------------------------------ npu_tetherd

nb::object get_ntd_path() {
    nb::object cls = runtime_class();
    nb::object machine = cls.attr("machine"), os_platform = cls.attr("os_platform");
    nb::object join = ns["os"].attr("path").attr("join");
    nb::object root = ns["ROOT_DIR"];
    if (equals(machine, "aarch64"))
        return join(root, "3rdparty", "platform-tools", "ntd", "linux-aarch64", "npu_tetherd");
    if (equals(machine, "x86_64") && equals(os_platform, "Linux_x64"))
        return join(root, "3rdparty", "platform-tools", "ntd", "linux-x86_64", "npu_tetherd");
    if (equals(machine, "x86_64") && equals(os_platform, "Darwin_x64"))
        return join(root, "3rdparty", "platform-tools", "ntd", "macOS_x64", "npu_tetherd");
    if (equals(machine.attr("lower")(), "amd64"))
        return join(root, "3rdparty\\platform-tools\\ntd\\windows-x86_64\\npu_tetherd.exe");
    return none();
}

nb::object whether_ntd_running() {
    nb::object psutil = ns["psutil"];
    nb::object psutil_error = psutil.attr("Error");
    for (nb::handle proc : psutil.attr("process_iter")()) {
        nb::object name;
        try {
            name = proc.attr("name")();
        } catch (nb::python_error &e) {
            // A process that ended (or is not ours to look at) while the list
            // was walked is not the proxy.
            if (!e.matches(psutil_error)) throw;
            continue;
        }
        if (zl::contains(name, nb::str("npu_tetherd"))) {
            log("i", zl::format("npu_tetherd pid: {}, status: {}", proc.attr("pid"), proc.attr("status")()));
            return nb::bool_(true);
        }
    }
    return nb::bool_(false);
}

nb::object start_ntd(nb::handle self, nb::handle ntd_path) {
    nb::object subprocess = ns["subprocess"];
    nb::dict kwargs;
    if (equals(self.attr("system"), "Windows")) {
        const long detached_process = 8;
        kwargs["creationflags"] = subprocess.attr("CREATE_NEW_PROCESS_GROUP") | zl::to_int(detached_process);
    } else if (zl::truthy(zl::steal(PyObject_RichCompare(ns["sys"].attr("version_info").ptr(),
                                                         nb::make_tuple(3, 2).ptr(), Py_LT)))) {
        kwargs["preexec_fn"] = ns["os"].attr("setsid");
    } else {
        kwargs["start_new_session"] = true;
    }
    log("d", "Start npu_tetherd ...");
    // Nobody reads the proxy's output: a pipe would fill up and stall the
    // long-lived daemon, or break once this process exits.
    kwargs["stdout"] = subprocess.attr("DEVNULL");
    kwargs["stderr"] = subprocess.attr("DEVNULL");
    nb::object args = nb::make_tuple(nb::list(nb::make_tuple(ntd_path)));
    nb::object proc = zl::steal(PyObject_Call(ns["psutil"].attr("Popen").ptr(), args.ptr(), kwargs.ptr()));
    if (equals(proc.attr("status")(), "zombie") || equals(proc.attr("status")(), "dead")) {
        log("e", "Start npu_tetherd failed.", false);
        return zl::to_int(-1);
    }
    if (equals(proc.attr("status")(), "running")) {
        log("d", "npu_tetherd is starting...");
        ns["time"].attr("sleep")(1);
        if (!equals(proc.attr("status")(), "sleeping"))
            log("d", zl::format("npu_tetherd status: {}, it may be in an incorrect status.",
                                proc.attr("status")()));
    }
    return zl::to_int(0);
}

void log_missing_ntd() {
    nb::object cls = runtime_class();
    log("e",
        zl::format("Can not find npu_tetherd on {} {} {}", cls.attr("system"), cls.attr("architecture"),
                   cls.attr("machine")),
        false);
}

// Runs the proxy's `devices` query; a failure is logged and reported as false.
bool query_ntb_devices(nb::handle ntd_path, nb::list &devices) {
    nb::object result;
    if (equals(runtime_attr("os_platform"), "Windows_x64"))
        result = ns["exec_command"](nb::list(nb::make_tuple(ntd_path, "devices")));
    else
        result =
            ns["exec_command"](zl::format("{} devices", shell_quote(ntd_path)), nb::arg("use_shell") = true);
    nb::object code = result[0], text = result[1];
    if (!zl::equal(code, zl::to_int(0))) {
        log("e", zl::format("Execute ntd_tetherd devices failed, ret code: {}. {}", code, text), false);
        return false;
    }
    for (nb::handle line : text.attr("splitlines")()) {
        nb::object fields = line.attr("split")();
        if (nb::len(fields) != 3) continue;
        nb::object kind = fields[2];
        if (equals(kind, "USB_DEVICE") || equals(kind, "PCIE")) devices.append(fields[0]);
    }
    return true;
}

nb::object get_ntb_devices() {
    nb::object cls = runtime_class();
    nb::list devices;
    if (zl::truthy(cls.attr("_is_npu_self")()[0])) return devices;
    nb::object ntd_path = cls.attr("_get_ntd_path")();
    if (zl::is_none(ntd_path)) {
        log_missing_ntd();
        zl::raise_bare(PyExc_RuntimeError);
    }
    if (!query_ntb_devices(ntd_path, devices)) zl::raise_bare(PyExc_RuntimeError);
    return devices;
}

nb::object whether_device_use_ntb(nb::handle ntd_path, nb::handle device_id) {
    if (zl::is_none(ntd_path)) {
        log_missing_ntd();
        raise_init_failed();
    }
    nb::list devices;
    if (!query_ntb_devices(ntd_path, devices)) raise_init_failed();
    if (zl::is_none(device_id)) {
        size_t n = nb::len(devices);
        if (n == 1) return nb::bool_(true);
        if (n == 0) return nb::bool_(false);
        log("e",
            "More than 1 device detected to use ntb. Please specify the device to use with device_id "
            "parameter.",
            false);
        raise_init_failed();
    }
    if (zl::contains(devices, device_id)) {
        log("i", zl::format("Device [{}] use ntb.", device_id));
        return nb::bool_(true);
    }
    log("i", zl::format("Device [{}] not found in ntb device list.", device_id));
    return nb::bool_(false);
}

nb::object connect(nb::handle self) {
    nb::object target_soc = self.attr("target_soc"), device_id = self.attr("device_id");
    log("d", zl::format("Starting ntd or adb, target soc is {}, device id is: {}", target_soc, device_id));
    bool is_self = zl::truthy(self.attr("_is_npu_self")()[0]);
    if (is_self || equals(self.attr("target_soc"), "SIMULATOR")) return zl::to_int(0);

    nb::object cls = runtime_class();
    if (zl::truthy(self.attr("_whether_device_use_ntb")(self.attr("ntd_path"), self.attr("device_id")))) {
        if (zl::truthy(cls.attr("_whether_ntd_running")())) return zl::to_int(0);
        nb::object adb_path = self.attr("adb_path");
        if (!zl::is_none(adb_path) && zl::truthy(self.attr("_whether_device_using_adb_forward")(adb_path))) {
            log("e",
                "Some device(s) are using adb forward, start NTD will fail. Please remove devices which are "
                "using adb.",
                false);
            raise_init_failed();
        }
        nb::object ret;
        try {
            ret = self.attr("_start_ntd")(self.attr("ntd_path"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            nb::object exc = nb::borrow(e.value());
            log("e", zl::format("Start npu_tetherd failed, catch Exception: {}", exc));
        }
        // A proxy that died at once cannot serve the device.
        if (ret.is_valid() && zl::equal(ret, zl::to_int(-1))) {
            log("e", "Connect npu_tetherd failed!", false);
            raise_init_failed();
        }
        return zl::to_int(0);
    }

    nb::object os_platform = self.attr("os_platform"), machine = self.attr("machine");
    if (equals(os_platform, "Windows_x64") || equals(os_platform, "Darwin_x64") ||
        equals(machine, "aarch64")) {
        log("e",
            zl::format("Only support ntb mode on {} {}. But can not find device with ntb mode.", os_platform,
                       machine),
            false);
        raise_init_failed();
    }
    if (zl::truthy(cls.attr("_whether_ntd_running")())) {
        log("e",
            "Using device with adb mode to init runtime, but npu_tetherd is running, it may cause conflict. "
            "Please "
            "terminate npu_tetherd first.",
            false);
        raise_init_failed();
    }
    nb::object adb_path = self.attr("adb_path");
    if (!adb_installed(adb_path)) {
        log("e", zl::format("Can not find adb at {}", adb_path), false);
        raise_init_failed();
    }
    log("d", "Start adb ...");
    nb::object ret = cls.attr("_start_adb_forward")(adb_path, self.attr("device_id"));
    if (zl::equal(ret, zl::to_int(0))) {
        log("d", "Connect to Device success!");
        return zl::to_int(0);
    }
    log("e", zl::percent("Connect to Device Failure (%s)", ret), false);
    raise_init_failed();
}

}  // namespace

bool path_exists(nb::handle path) { return zl::truthy(ns["os"].attr("path").attr("exists")(path)); }

nb::object get_os_platform() {
    nb::object platform = ns["platform"];
    nb::object bits = platform.attr("architecture")()[0];
    const char *suffix = equals(bits, "64bit") ? "_x64" : "_x32";
    return zl::steal(PyNumber_Add(platform.attr("system")().ptr(), nb::str(suffix).ptr()));
}

void add_device_methods(nb::dict &body) {
    zl::add_static<0>(body, {"_is_npu_self", {}, 0}, [](auto) { return is_npu_self(); });
    zl::add_static<0>(body, {"_is_npu_assembled", {}, 0}, [](auto) { return is_npu_assembled(); });
    zl::add_method<2>(body, {"_get_target_soc", {"self", "target"}, 2},
                      [](auto a) { return get_target_soc(a[1]); });
    zl::add_method<1>(body, {"_get_npu_model", {"self"}, 1},
                      [](auto a) { return ns["get_target_npu_model"](a[0].attr("target_soc")); });
    zl::add_method<1>(body, {"_get_depot_npu_dir_with_target_soc", {"self"}, 1},
                      [](auto a) { return get_depot_npu_dir(a[0]); });
    zl::add_static<0>(body, {"_check_container", {}, 0}, [](auto) { return check_container(); });
    zl::add_static<0>(body, {"_get_adb_path", {}, 0}, [](auto) { return get_adb_path(); });
    zl::add_static<0>(body, {"get_adb_devices", {}, 0}, [](auto) { return get_adb_devices(); });
    zl::add_static<1>(body, {"_whether_device_using_adb_forward", {"adb_path"}, 1},
                      [](auto a) { return whether_device_using_adb_forward(a[0]); });
    zl::add_static<2>(body, {"_remove_adb_forward", {"adb_path", "device_id"}, 2},
                      [](auto a) { return remove_adb_forward(a[0], a[1]); });
    zl::add_static<2>(body, {"_add_adb_forward", {"adb_path", "device_id"}, 2},
                      [](auto a) { return add_adb_forward(a[0], a[1]); });
    zl::add_static<2>(body, {"_start_adb_forward", {"adb_path", "device_id"}, 2},
                      [](auto a) { return start_adb_forward(a[0], a[1]); });
    zl::add_static<0>(body, {"_get_ntd_path", {}, 0}, [](auto) { return get_ntd_path(); });
    zl::add_static<0>(body, {"_whether_ntd_running", {}, 0}, [](auto) { return whether_ntd_running(); });
    zl::add_method<2>(body, {"_start_ntd", {"self", "ntd_path"}, 2},
                      [](auto a) { return start_ntd(a[0], a[1]); });
    zl::add_static<0>(body, {"get_ntb_devices", {}, 0}, [](auto) { return get_ntb_devices(); });
    zl::add_method<3>(body, {"_whether_device_use_ntb", {"self", "ntd_path", "device_id"}, 3},
                      [](auto a) { return whether_device_use_ntb(a[1], a[2]); });
    zl::add_method<1>(body, {"_connect", {"self"}, 1}, [](auto a) { return connect(a[0]); });
}

}  // namespace zrt
