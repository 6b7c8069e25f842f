// zeltlite.api.zelt_utils: running outside programs, version comparison,
// dump files and the model file kinds.
#include "common/zl.hpp"

namespace {

zl::Namespace ns;

const zl::Name kSubprocess{"subprocess"}, kTempfile{"tempfile"}, kCheckOutput{"check_output"},
    kTemporaryFile{"TemporaryFile"}, kCalledProcessError{"CalledProcessError"}, kReturncode{"returncode"},
    kShell{"shell"}, kStderr{"stderr"}, kClose{"close"}, kSeek{"seek"}, kRead{"read"}, kWrite{"write"},
    kDecode{"decode"}, kSplit{"split"}, kExecCommand{"exec_command"}, kFileType{"ZELTFileType"};

const char *const kDecodeError = "Execute command decode returncode error";

// Decodes command output as UTF-8, else as GBK, else fails with the
// package's own exception.
nb::object decode_output(nb::handle raw) {
    try {
        return zl::getattr(raw, kDecode)("utf-8");
    } catch (nb::python_error &e) {
        if (!zl::matches(e, PyExc_UnicodeDecodeError)) throw;
    }
    try {
        return zl::getattr(raw, kDecode)("gbk");
    } catch (nb::python_error &) {
        zl::raise_exception(kDecodeError);
    }
}

// Runs the command with standard error sent to `f`: (0, standard output)
// on success, (exit status, standard error) on failure, undecoded.
std::pair<nb::object, nb::object> run(nb::handle cmd, nb::handle use_shell, nb::handle f) {
    nb::object subprocess = ns[kSubprocess];
    nb::dict kwargs;
    try {
        if (use_shell.ptr() && zl::truthy(use_shell)) {
            kwargs[kShell.get()] = nb::handle(Py_True);
            kwargs[kStderr.get()] = f;
            return {zl::to_int(0), zl::getattr(subprocess, kCheckOutput)(cmd, **kwargs)};
        }
        nb::object argv;
        if (PyList_Check(cmd.ptr())) {
            argv = nb::borrow(cmd);
        } else {
            // Split at single spaces and drop the empty tokens, so runs of spaces collapse.
            nb::object tokens = zl::getattr(cmd, kSplit)(" ");
            argv = zl::steal(PyList_New(0));
            for (nb::handle t : tokens)
                if (zl::truthy(t) && PyList_Append(argv.ptr(), t.ptr()) < 0) zl::throw_error();
        }
        kwargs[kStderr.get()] = f;
        return {zl::to_int(0), zl::getattr(subprocess, kCheckOutput)(argv, **kwargs)};
    } catch (nb::python_error &e) {
        if (!zl::matches(e, zl::getattr(subprocess, kCalledProcessError).ptr())) throw;
        nb::object returncode = zl::getattr(e.value(), kReturncode);
        zl::getattr(f, kSeek)(0);
        return {returncode, zl::getattr(f, kRead)()};
    }
}

nb::object exec_command(nb::handle cmd, nb::handle use_shell) {
    nb::object f = zl::getattr(ns[kTempfile], kTemporaryFile)();
    nb::object result;
    try {
        auto [status, raw] = run(cmd, use_shell, f);
        result = nb::make_tuple(status, decode_output(raw));
    } catch (...) {
        zl::close_quietly(f);
        throw;
    }
    zl::getattr(f, kClose)();
    return result;
}

nb::object exec_adb_command(nb::handle adb_path, nb::handle device_id, nb::handle cmd) {
    auto concat = [](nb::handle a, nb::handle b) { return zl::steal(PyNumber_Add(a.ptr(), b.ptr())); };
    nb::object line;
    if (zl::is_none(device_id)) {
        line = concat(concat(adb_path, nb::str(" ")), cmd);
    } else {
        line = concat(concat(concat(concat(adb_path, nb::str(" -s ")), device_id), nb::str(" ")), cmd);
    }
    return ns[kExecCommand](line);
}

void write_file(nb::handle path, const char *mode, nb::handle text) {
    zl::with_open(ns, path, mode,
                  [&](nb::handle f) { return text.ptr() ? zl::getattr(f, kWrite)(text) : nb::none(); });
}

// The three dot-separated parts of a version string, unpacked like
// `major, minor, revision = ver.split(".")`.
nb::object version_parts(nb::handle ver) {
    nb::object parts = zl::steal(PySequence_List(zl::getattr(ver, kSplit)(".").ptr()));
    Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if (n > 3) {
#if PY_VERSION_HEX >= 0x030E0000
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 3, got %zd)", n);
#else
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
#endif
        zl::throw_error();
    }
    if (n < 3) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", n);
        zl::throw_error();
    }
    return parts;
}

// major * 10000 + minor * 100 + revision, each part read by int().
nb::object version_value(nb::handle parts) {
    auto part = [&](Py_ssize_t i) { return zl::steal(PyNumber_Long(PyList_GET_ITEM(parts.ptr(), i))); };
    nb::object major = part(0), minor = part(1), revision = part(2);
    return major * zl::to_int(10000) + minor * zl::to_int(100) + revision;
}

nb::object version_compare(nb::handle ver1, nb::handle ver2) {
    nb::object parts1 = version_parts(ver1), parts2 = version_parts(ver2);
    nb::object a = version_value(parts1), b = version_value(parts2);
    if (a > b) return zl::to_int(1);
    if (a < b) return zl::to_int(-1);
    return zl::to_int(0);
}

nb::object fetch_zelt_file_extension(nb::handle file_type) {
    static const std::pair<const char *, const char *> kinds[] = {{"model", ".json"},
                                                                  {"data", ".data"},
                                                                  {"quantize", ".quantize"},
                                                                  {"quantize_cfg", ".quantization.cfg"}};
    nb::object cls = ns[kFileType];
    for (const auto &[member, extension] : kinds)
        if (zl::equal(file_type, zl::getattr(cls, member))) return nb::str(extension);
    return nb::none();
}

}  // namespace

NB_MODULE(zelt_utils, m) {
    ns.init(m);
    ns.set("subprocess", zl::import("subprocess"));
    ns.set("tempfile", zl::import("tempfile"));
    nb::object enum_cls = zl::import("enum").attr("Enum");
    ns.set("Enum", enum_cls);

    nb::list members;
    const char *names[] = {"model", "data", "quantize", "quantize_cfg"};
    for (int i = 0; i < 4; ++i) members.append(nb::make_tuple(names[i], i + 1));
    nb::dict kw;
    kw["module"] = m.attr("__name__");
    kw["qualname"] = "ZELTFileType";
    ns.set("ZELTFileType", enum_cls("ZELTFileType", members, **kw));

    zl::def<2>(ns, {"exec_command", {"cmd", "use_shell"}, 1, {"False"}},
               [](auto a) { return exec_command(a[0], a[1]); });
    zl::def<3>(ns, {"exec_adb_command", {"adb_path", "device_id", "cmd"}, 3},
               [](auto a) { return exec_adb_command(a[0], a[1], a[2]); });
    zl::def<2>(ns, {"dump_stdout_str", {"text", "file_path"}, 2}, [](auto a) {
        write_file(a[1], "a+", a[0]);
        return nb::none();
    });
    zl::def<1>(ns, {"init_dump_file", {"filepath"}, 1}, [](auto a) {
        write_file(a[0], "w+", nb::handle());
        return nb::none();
    });
    zl::def<2>(ns, {"version_compare", {"ver1", "ver2"}, 2},
               [](auto a) { return version_compare(a[0], a[1]); });
    zl::def<1>(ns, {"fetch_zelt_file_extension", {"file_type"}, 1},
               [](auto a) { return fetch_zelt_file_extension(a[0]); });
}
