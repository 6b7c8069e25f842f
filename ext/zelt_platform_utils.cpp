// zeltlite.api.zelt_platform_utils: the host platform's name, the Windows
// library directory, and the target platforms a model supports.
#include "common/zl.hpp"

namespace {

zl::Namespace ns;

const zl::Name kPlatform{"platform"}, kSystem{"system"}, kArchitecture{"architecture"}, kOs{"os"},
    kPath{"path"}, kJoin{"join"}, kJson{"json"}, kLoads{"loads"}, kOrderedDict{"OrderedDict"},
    kModelClass{"ZELTModel"}, kLoad{"load"}, kConfigData{"config_data"}, kDecode{"decode"},
    kZeltLog{"zeltLog"}, kRootDir{"ROOT_DIR"}, kOsPlatform{"os_platform"},
    kModelFromTarget{"get_npu_model_from_target"}, kTargetsByNpu{"get_all_targets_ordered_by_npu"},
    kCpusWithNpu{"get_cpus_with_npu"}, kItems{"items"}, kTargetPlatform{"target_platform"};

const char *const kStars = "**************************************************";

nb::object get_host_os_platform() {
    nb::object platform = ns[kPlatform];
    nb::object system = zl::equal(zl::getattr(platform, kSystem)(), nb::str("Darwin"))
                            ? nb::object(nb::str("macOS"))
                            : zl::getattr(platform, kSystem)();
    nb::object width = zl::getattr(platform, kArchitecture)()[0];
    const char *suffix = zl::equal(width, nb::str("64bit")) ? "_x64" : "_x32";
    return zl::steal(PyNumber_Add(system.ptr(), nb::str(suffix).ptr()));
}

nb::object get_zelt_api_require_dll_dir() {
    if (!zl::equal(ns[kOsPlatform], nb::str("Windows_x64"))) return nb::none();
    return zl::getattr(zl::getattr(ns[kOs], kPath), kJoin)(ns[kRootDir], "api\\lib\\hardware\\Windows_x64");
}

nb::object list_all_targets() {
    nb::object targets = ns[kTargetsByNpu]();
    nb::str comma(",");
    nb::object text = nb::str("");
    long long family = 0;
    for (nb::handle pair : zl::getattr(targets, kItems)()) {
        nb::object line =
            zl::format("chip family {}: {}\n", zl::to_str(zl::to_int(++family)), comma.attr("join")(pair[1]));
        text = zl::steal(PyNumber_Add(text.ptr(), line.ptr()));
    }
    text = text.attr("strip")("\n");
    nb::object log = ns[kZeltLog];
    log.attr("p")(kStars);
    log.attr("p")("All Zeltpack supported target platforms:");
    log.attr("p")(text);
    log.attr("p")(kStars);
    return nb::none();
}

nb::object list_model_targets(nb::handle model_path) {
    nb::object model = ns[kModelClass]();
    zl::getattr(model, kLoad)(model_path);
    nb::object text = zl::getattr(zl::getattr(model, kConfigData), kDecode)("utf-8");
    nb::dict kw;
    kw["object_pairs_hook"] = ns[kOrderedDict];
    nb::object config = zl::getattr(ns[kJson], kLoads)(text, **kw);

    nb::object filled, npu_model;
    int has = PySequence_Contains(config.ptr(), kTargetPlatform.get().ptr());
    if (has < 0) zl::throw_error();
    if (has) {
        filled = zl::steal(PyObject_GetItem(config.ptr(), kTargetPlatform.get().ptr()));
        npu_model = ns[kModelFromTarget](filled[0]);
    } else {
        // A model that names no target platform counts as a TX1200 model.
        filled = zl::steal(PyList_New(0));
        npu_model = ns[kModelFromTarget]("tx1200");
    }
    nb::object supported = ns[kCpusWithNpu](npu_model);

    nb::object result = ns[kOrderedDict]();
    result["filled_target_platform"] = filled;
    result["support_target_platform"] = supported;

    nb::object log = ns[kZeltLog];
    log.attr("p")(kStars);
    log.attr("p")(zl::format("Target platforms filled in ZELT model:         {}", filled));
    log.attr("p")(zl::format("Target platforms supported by this ZELT model: {}", supported));
    log.attr("p")(kStars);
    return result;
}

}  // namespace

NB_MODULE(zelt_platform_utils, m) {
    ns.init(m);
    ns.set("platform", zl::import("platform"));
    ns.set("os", zl::import("os"));
    ns.set("json", zl::import("json"));
    ns.set("OrderedDict", zl::import("collections").attr("OrderedDict"));
    ns.set("ZELTModel", zl::import("zeltlite.api.zelt_model").attr("ZELTModel"));
    ns.set("zeltLog", zl::import("zeltlite.api.zelt_log").attr("ZELTLog"));
    nb::object chipmap = zl::import("zeltlite.api.npu_config.npu_chipmap");
    for (const char *name :
         {"get_npu_model_from_target", "get_all_targets_ordered_by_npu", "get_cpus_with_npu"})
        ns.set(name, chipmap.attr(name));
    // The package's own __init__ file locates the installed package root.
    nb::object initpy_file_path = zl::package_file(m);
    ns.set("initpy_file_path", initpy_file_path);
    ns.set("ROOT_DIR", zl::parent_dir(initpy_file_path));

    zl::def<0>(ns, {"get_host_os_platform", {}, 0}, [](auto) { return get_host_os_platform(); });
    zl::def<0>(ns, {"get_zelt_api_require_dll_dir", {}, 0},
               [](auto) { return get_zelt_api_require_dll_dir(); });
    zl::def<1>(ns, {"list_support_target_platform", {"model_path"}, 1},
               [](auto a) { return zl::is_none(a[0]) ? list_all_targets() : list_model_targets(a[0]); });

    ns.set("os_platform", ns["get_host_os_platform"]());
    ns.set("platform_machine", zl::import("platform").attr("machine")());
}
