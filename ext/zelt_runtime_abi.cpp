// The constants, tables and ctypes structures of the runtime library's
// interface, made in the session module's namespace at import.
#include "zelt_runtime.hpp"

#include <zeltrt/zeltrt_api.h>

#include <utility>
#include <vector>

namespace zrt {

namespace {

void make_structure(const char *name, const std::vector<std::pair<const char *, nb::object>> &fields) {
    nb::object base = ns["Structure"];
    nb::object meta = nb::borrow((PyObject *)Py_TYPE(base.ptr()));
    nb::list field_list;
    for (auto &f : fields) field_list.append(nb::make_tuple(f.first, f.second));
    nb::dict body;
    body["_fields_"] = field_list;
    body["__module__"] = ns.module().attr("__name__");
    body["__qualname__"] = nb::str(name);
    ns.set(name, meta(name, nb::make_tuple(base), body));
}

nb::object array_of(const char *type, int n) {
    return zl::steal(PyNumber_Multiply(ns[type].ptr(), zl::to_int(n).ptr()));
}

}  // namespace

void define_constants() {
    auto set_int = [](const char *name, long long v) { ns.set(name, zl::to_int(v)); };
    const char *queries[] = {"ZELT_QUERY_IN_OUT_NUM",        "ZELT_QUERY_INPUT_ATTR",
                             "ZELT_QUERY_OUTPUT_ATTR",       "ZELT_QUERY_PERF_DETAIL",
                             "ZELT_QUERY_PERF_RUN",          "ZELT_QUERY_SDK_VERSION",
                             "ZELT_QUERY_MEM_SIZE",          "ZELT_QUERY_CUSTOM_STRING",
                             "ZELT_QUERY_NATIVE_INPUT_ATTR", "ZELT_QUERY_NATIVE_OUTPUT_ATTR"};
    for (int i = 0; i < 10; ++i) set_int(queries[i], i);
    set_int("ZELT_FLAG_PRIOR_HIGH", ZELT_FLAG_PRIOR_HIGH);
    set_int("ZELT_FLAG_PRIOR_MEDIUM", ZELT_FLAG_PRIOR_MEDIUM);
    set_int("ZELT_FLAG_PRIOR_LOW", ZELT_FLAG_PRIOR_LOW);
    set_int("ZELT_FLAG_ASYNC_MASK", ZELT_FLAG_ASYNC_MASK);
    set_int("ZELT_FLAG_COLLECT_PERF_MASK", ZELT_FLAG_COLLECT_PERF_MASK);
    set_int("ZELT_FLAG_LOAD_MODEL_IN_NPU", ZELT_FLAG_LOAD_MODEL_IN_NPU);
    set_int("ZELT_FLAG_PRIV_DUMP_NEED_QUANT", ZELT_FLAG_PRIV_DUMP_NEED_QUANT);
    set_int("ZELT_FLAG_PRIV_DUMP_FEATURE", ZELT_FLAG_PRIV_DUMP_FEATURE);
    set_int("ZELT_FLAG_PRIV_ZELT_PRECOMPILE_MASK", ZELT_FLAG_PRIV_ZELT_PRECOMPILE_MASK);
    set_int("ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK", ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK);
    ns.set("ZELT_FLAG_PRIV_DUMP_FEATURE_QUANT",
           zl::steal(PyNumber_Add(ns["ZELT_FLAG_PRIV_DUMP_FEATURE"].ptr(),
                                  ns["ZELT_FLAG_PRIV_DUMP_NEED_QUANT"].ptr())));

    const std::pair<const char *, int> masks[] = {{"NPU_CORE_AUTO", 0}, {"NPU_CORE_0", 1},
                                                  {"NPU_CORE_1", 2},    {"NPU_CORE_2", 4},
                                                  {"NPU_CORE_0_1", 3},  {"NPU_CORE_0_1_2", 7}};
    nb::list modes;
    nb::dict mode_names;
    for (auto &m : masks) set_int(m.first, m.second);
    for (auto &m : masks) {
        modes.append(ns[m.first]);
        mode_names[ns[m.first]] = nb::str(m.first);
    }
    ns.set("CURRENT_SUPPORT_NPU_CORE_MODE", nb::tuple(modes));
    ns.set("zelt_npu_core_mode", mode_names);
    ns.set("EVAL_MEMORY_MIN_DRV_VER", nb::str("0.9.4"));
    ns.set("PRECOMPILE_MIN_DRV_VER", nb::str("0.9.7"));

    nb::dict types;
    const char *type_names[] = {"float32", "float16", "int8",   "uint8", "int16",
                                "uint16",  "int32",   "uint32", "int64", "bool"};
    for (int i = 0; i < 10; ++i) types[type_names[i]] = i;
    ns.set("zelt_input_data_type", types);
    nb::dict formats;
    formats["nhwc"] = 1;
    ns.set("zelt_input_data_format", formats);
    nb::dict codes;
    const char *code_names[] = {"ZELT_SUCC",
                                "ZELT_ERR_FAIL",
                                "ZELT_ERR_TIMEOUT",
                                "ZELT_ERR_DEVICE_UNAVAILABLE",
                                "ZELT_ERR_MALLOC_FAIL",
                                "ZELT_ERR_PARAM_INVALID",
                                "ZELT_ERR_MODEL_INVALID",
                                "ZELT_ERR_CTX_INVALID",
                                "ZELT_ERR_INPUT_INVALID",
                                "ZELT_ERR_OUTPUT_INVALID",
                                "ZELT_ERR_DEVICE_UNMATCH",
                                "ZELT_ERR_INCOMPATILE_PRE_COMPILE_MODEL",
                                "ZELT_ERR_INCOMPATILE_OPTIMIZATION_LEVEL_VERSION",
                                "ZELT_ERR_TARGET_PLATFORM_UNMATCH",
                                "ZELT_ERR_NON_PRE_COMPILED_MODEL_ON_MINI_DRIVER"};
    for (int i = 0; i < 15; ++i) codes[zl::to_str(zl::to_int(-i))] = code_names[i];
    ns.set("zelt_runtime_api_ret_code", codes);

    ns.set("NPU_TETHERD", nb::str("npu_tetherd"));
    ns.set("DEVICE_COMPATIBLE_NODE", nb::str("/proc/device-tree/compatible"));
    ns.set("NPU_NODE", nb::str("/sys/bus/platform/devices/ffbc0000.npu"));
    ns.set("NPU_DRIVER_NODE", nb::str("/dev/dri/renderD129"));
    ns.set("LIBZELTRT_PATH", nb::str("/usr/lib/libzeltrt.so"));
    // The package root: the parent of this module's package directory.
    ns.set("ROOT_DIR", zl::parent_dir(zl::package_file(ns.module())));
}

void define_structures() {
    nb::object H = ns[zl::equal(ns["platform"].attr("architecture")()[0], nb::str("32bit")) ? "c_ulong" : "c_ulonglong"];
    auto t = [](const char *name) { return ns[name]; };
    make_structure("ZELTInitExtend", {{"device_id", t("c_char_p")}});
    make_structure("ZELTRtInitExtend", {{"zelt_context", H},
                                        {"real_model_offset", t("c_int")},
                                        {"real_model_size", t("c_uint")},
                                        {"reserved", array_of("c_uint8", 128)}});
    make_structure("ZELTInput", {{"index", t("c_uint")},
                                 {"buf", t("c_void_p")},
                                 {"size", t("c_uint")},
                                 {"pass_through", t("c_uint8")},
                                 {"type", t("c_int")},
                                 {"fmt", t("c_int")}});
    make_structure("ZELTRunExtend", {{"frame_id", H}});
    make_structure(
        "ZELTRtRunExtend",
        {{"frame_id", H}, {"non_block", t("c_int")}, {"timeout_ms", t("c_int")}, {"fence_fd", t("c_int")}});
    make_structure("ZELTOutputExtend", {{"frame_id", H}});
    make_structure("ZELTOutput", {{"want_float", t("c_uint8")},
                                  {"is_prealloc", t("c_uint8")},
                                  {"index", t("c_uint")},
                                  {"buf", t("c_void_p")},
                                  {"size", t("c_uint")}});
    make_structure("ZELTInputOutputNum", {{"n_input", t("c_uint")}, {"n_output", t("c_uint")}});
    make_structure("ZELTPerfDetail", {{"perf_data", t("c_char_p")}, {"data_len", t("c_ulonglong")}});
    make_structure("ZELTPerfRun", {{"run_duration", t("c_longlong")}});
    std::vector<std::pair<const char *, nb::object>> attr_fields = {{"index", t("c_uint32")},
                                                                    {"n_dims", t("c_uint32")},
                                                                    {"dims", array_of("c_uint32", 16)},
                                                                    {"name", array_of("c_char", 256)},
                                                                    {"n_elems", t("c_uint32")},
                                                                    {"size", t("c_uint32")},
                                                                    {"fmt", t("c_int")},
                                                                    {"type", t("c_int")},
                                                                    {"qnt_type", t("c_int")},
                                                                    {"fl", t("c_int8")},
                                                                    {"zp", t("c_uint32")},
                                                                    {"scale", t("c_float")}};
    make_structure("ZELTTensorAttr", attr_fields);
    std::vector<std::pair<const char *, nb::object>> rt_fields = attr_fields;
    rt_fields.insert(rt_fields.end(), {{"w_stride", t("c_uint32")},
                                       {"stride_with_stride", t("c_uint32")},
                                       {"pass_through", t("c_uint8")},
                                       {"h_stride", t("c_uint32")}});
    make_structure("ZELTRtTensorAttr", rt_fields);
    make_structure("ZELTSDKVersion",
                   {{"api_version", array_of("c_char", 256)}, {"drv_version", array_of("c_char", 256)}});
}

}  // namespace zrt
