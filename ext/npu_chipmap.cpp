// zeltlite.api.npu_config.npu_chipmap: the SoC -> NPU model table, kept in
// config/npu_chipmap.yml under the package's api directory, and the lookups
// answered from it.  The file is read on every call, so edits take effect at
// once.
#include "common/zl.hpp"

namespace {

zl::Namespace ns;

const zl::Name kOs{"os"}, kPath{"path"}, kJoin{"join"}, kExists{"exists"}, kYaml{"yaml"}, kDump{"dump"},
    kLoad{"load"}, kClose{"close"}, kRootDir{"ROOT_DIR"}, kGetChipmap{"get_npu_chipmap"}, kZeltLog{"zeltLog"},
    kUpper{"upper"}, kItems{"items"}, kNpuModel{"npu_model"}, kNpuInside{"npu_inside"},
    kNpuAssemble{"npu_assemble"}, kSoCs{"SoCs"};

struct Soc {
    const char *name;
    const char *npu_model;
    bool inside;
};

// The built-in table, in its significant order; every SoC carries its NPU
// either inside or assembled beside it.
const Soc kDefaultTable[] = {
    {"TX1100", "KESTA", true},  {"TX1200", "KESTA", true},  {"TX3000", "KESTA", false},
    {"TM2100", "VORIN", true},  {"TX2100", "VORIN", true},  {"TM2200", "VORIN", true},
    {"TX2200", "VORIN", true},  {"TX4100", "TALUN1", true}, {"TX4200", "TALUN1", true},
    {"TX5100", "TALUN2", true}, {"TX4300", "TALUN3", true},
};

nb::object get_npu_chipmap() {
    nb::dict table;
    for (const Soc &soc : kDefaultTable) {
        nb::dict entry;
        entry["npu_model"] = soc.npu_model;
        entry["npu_inside"] = nb::bool_(soc.inside);
        entry["npu_assemble"] = nb::bool_(!soc.inside);
        table[soc.name] = entry;
    }
    nb::object os_path = zl::getattr(ns[kOs], kPath);
    nb::object path = zl::getattr(os_path, kJoin)(ns[kRootDir], "config", "npu_chipmap.yml");
    if (!zl::truthy(zl::getattr(os_path, kExists)(path))) {
        zl::with_open(ns, path, "w", [&](nb::handle f) {
            nb::dict doc;
            doc["SoCs"] = table;
            return zl::getattr(ns[kYaml], kDump)(doc, f, nb::arg("indent") = 4);
        });
    }
    nb::object doc =
        zl::with_open(ns, path, "r", [&](nb::handle f) { return zl::getattr(ns[kYaml], kLoad)(f); });
    return zl::steal(PyObject_GetItem(doc.ptr(), kSoCs.get().ptr()));
}

nb::object chipmap() { return ns[kGetChipmap](); }

nb::object item(nb::handle mapping, nb::handle key) {
    return zl::steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

bool has_key(nb::handle mapping, nb::handle key) {
    int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) zl::throw_error();
    return r != 0;
}

nb::object upper(nb::handle s) { return zl::getattr(s, kUpper)(); }

nb::object new_list() { return zl::steal(PyList_New(0)); }

void append(nb::handle list, nb::handle value) {
    if (PyList_Append(list.ptr(), value.ptr()) < 0) zl::throw_error();
}

nb::object get_npu_model_from_target(nb::handle target) {
    nb::object map = chipmap();
    if (!zl::is_none(target)) {
        nb::object key = upper(target);
        if (has_key(map, key)) return item(item(map, key), kNpuModel);
    }
    return nb::none();
}

nb::object get_target_npu_model(nb::handle target_soc) {
    nb::object map = chipmap();
    if (has_key(map, target_soc)) return item(item(map, target_soc), kNpuModel);
    return nb::none();
}

nb::object get_support_target_soc() { return zl::steal(PySequence_List(chipmap().ptr())); }

// SoC names whose entry has a true `flag`, in table order.
nb::object socs_with(const zl::Name &flag) {
    nb::object result = new_list();
    for (nb::handle pair : zl::getattr(chipmap(), kItems)()) {
        nb::object soc = pair[0], entry = pair[1];
        if (zl::truthy(item(entry, flag))) append(result, soc);
    }
    return result;
}

nb::object get_cpus_with_npu(nb::handle npu_model) {
    nb::object result = new_list();
    nb::object map = chipmap();
    for (nb::handle pair : zl::getattr(map, kItems)()) {
        nb::object soc = pair[0], entry = pair[1];
        if (zl::equal(item(entry, kNpuModel), upper(npu_model))) append(result, soc);
    }
    return result;
}

nb::object get_all_targets_ordered_by_npu() {
    nb::object map = chipmap();
    nb::dict result;
    for (nb::handle pair : zl::getattr(map, kItems)()) {
        nb::object soc = pair[0], entry = pair[1];
        nb::object model = item(entry, kNpuModel);
        if (has_key(result, model)) {
            nb::object socs = item(result, model);
            if (!has_key(socs, soc)) zl::getattr(socs, "append")(soc);
        } else {
            nb::object socs = new_list();
            append(socs, soc);
            result[model] = socs;
        }
    }
    return result;
}

nb::object is_target_compatible(nb::handle target_platform) {
    static const char *rule = "####################";
    nb::object map = chipmap();
    nb::object unsupported = new_list(), models = new_list();
    for (nb::handle target : target_platform) {
        nb::object t = upper(target);
        if (!has_key(map, t)) {
            append(unsupported, t);
            continue;
        }
        nb::object model = item(item(map, t), kNpuModel);
        if (!has_key(models, model)) append(models, model);
    }
    if (PyList_GET_SIZE(unsupported.ptr()) > 0) {
        nb::object log = ns[kZeltLog];
        log.attr("e")("The target_platform contains platforms that are not currently supported.", false);
        log.attr("p")(rule);
        log.attr("p")(zl::format("Unsupport platforms: {}", nb::str(" ").attr("join")(unsupported)));
        log.attr("p")(rule);
        return nb::bool_(false);
    }
    if (PyList_GET_SIZE(models.ptr()) > 1) {
        nb::object log = ns[kZeltLog];
        log.attr("zelt_e")("The target_platform contains incompatible NPU models, it`s not supported.");
        log.attr("p")(rule);
        for (nb::handle target : target_platform)
            log.attr("p")(zl::format("{}: {}", target, item(map, upper(target))));
        log.attr("p")(rule);
        return nb::bool_(false);
    }
    return nb::bool_(true);
}

}  // namespace

NB_MODULE(npu_chipmap, m) {
    ns.init(m);
    ns.set("os", zl::import("os"));
    ns.set("yaml", zl::import("zeltlite.utils.yaml_io"));
    ns.set("zeltLog", zl::import("zeltlite.api.zelt_log").attr("ZELTLog"));
    // The package's own __init__ file locates the installed configuration.
    nb::object current_file_path = zl::package_file(m);
    ns.set("current_file_path", current_file_path);
    ns.set("ROOT_DIR", zl::parent_dir(current_file_path));

    zl::def<0>(ns, {"get_npu_chipmap", {}, 0}, [](auto) { return get_npu_chipmap(); });
    zl::def<1>(ns, {"get_npu_model_from_target", {"target"}, 1},
               [](auto a) { return get_npu_model_from_target(a[0]); });
    zl::def<1>(ns, {"get_target_npu_model", {"target_soc"}, 1},
               [](auto a) { return get_target_npu_model(a[0]); });
    zl::def<0>(ns, {"get_support_target_soc", {}, 0}, [](auto) { return get_support_target_soc(); });
    zl::def<0>(ns, {"get_npu_inside_soc", {}, 0}, [](auto) { return socs_with(kNpuInside); });
    zl::def<0>(ns, {"get_npu_assemble_soc", {}, 0}, [](auto) { return socs_with(kNpuAssemble); });
    zl::def<1>(ns, {"get_cpus_with_npu", {"npu_model"}, 1}, [](auto a) { return get_cpus_with_npu(a[0]); });
    zl::def<0>(ns, {"get_all_targets_ordered_by_npu", {}, 0},
               [](auto) { return get_all_targets_ordered_by_npu(); });
    zl::def<1>(ns, {"is_target_compatible", {"target_platform"}, 1},
               [](auto a) { return is_target_compatible(a[0]); });
}
