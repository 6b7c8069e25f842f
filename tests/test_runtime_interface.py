"""Module namespace, constants, tables, ctypes structures against the C ABI
header, and the shape of the ZELTRuntime class."""
import ctypes
import types

import pytest

from zeltlite.api import zelt_runtime as zr
from zeltlite.api import zelt_utils

ORDERED_NAMES = [
    "ZELT_QUERY_IN_OUT_NUM", "ZELT_QUERY_INPUT_ATTR", "ZELT_QUERY_OUTPUT_ATTR", "ZELT_QUERY_PERF_DETAIL",
    "ZELT_QUERY_PERF_RUN", "ZELT_QUERY_SDK_VERSION", "ZELT_QUERY_MEM_SIZE", "ZELT_QUERY_CUSTOM_STRING",
    "ZELT_QUERY_NATIVE_INPUT_ATTR", "ZELT_QUERY_NATIVE_OUTPUT_ATTR",
    "ZELT_FLAG_PRIOR_HIGH", "ZELT_FLAG_PRIOR_MEDIUM", "ZELT_FLAG_PRIOR_LOW", "ZELT_FLAG_ASYNC_MASK",
    "ZELT_FLAG_COLLECT_PERF_MASK", "ZELT_FLAG_LOAD_MODEL_IN_NPU", "ZELT_FLAG_PRIV_DUMP_NEED_QUANT",
    "ZELT_FLAG_PRIV_DUMP_FEATURE", "ZELT_FLAG_PRIV_ZELT_PRECOMPILE_MASK", "ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK",
    "ZELT_FLAG_PRIV_DUMP_FEATURE_QUANT",
    "NPU_CORE_AUTO", "NPU_CORE_0", "NPU_CORE_1", "NPU_CORE_2", "NPU_CORE_0_1", "NPU_CORE_0_1_2",
    "CURRENT_SUPPORT_NPU_CORE_MODE", "zelt_npu_core_mode", "EVAL_MEMORY_MIN_DRV_VER", "PRECOMPILE_MIN_DRV_VER",
    "zelt_input_data_type", "zelt_input_data_format", "zelt_runtime_api_ret_code",
    "NPU_TETHERD", "DEVICE_COMPATIBLE_NODE", "NPU_NODE", "NPU_DRIVER_NODE", "LIBZELTRT_PATH", "ROOT_DIR",
    "ZELTInitExtend", "ZELTRtInitExtend", "ZELTInput", "ZELTRunExtend", "ZELTRtRunExtend", "ZELTOutputExtend",
    "ZELTOutput", "ZELTInputOutputNum", "ZELTPerfDetail", "ZELTPerfRun", "ZELTTensorAttr", "ZELTRtTensorAttr",
    "ZELTSDKVersion", "get_os_platform", "ZELTRuntime",
]


def test_names_in_order():
    names = list(vars(zr))
    assert [n for n in names if n in ORDERED_NAMES] == ORDERED_NAMES
    assert names.index("ROOT_DIR") < names.index("CDLL") < names.index("ZELTInitExtend")


def test_constant_values():
    values = {n: getattr(zr, n) for n in ORDERED_NAMES[:27]}
    assert list(values.values()) == list(range(10)) + [0, 1, 2, 4, 8, 16, 0x10000000, 0x20000000, 0x40000000,
                                                      2147483648, 0x30000000, 0, 1, 2, 4, 3, 7]
    assert zr.CURRENT_SUPPORT_NPU_CORE_MODE == (0, 1, 2, 4, 3, 7)
    assert zr.zelt_npu_core_mode == {0: "NPU_CORE_AUTO", 1: "NPU_CORE_0", 2: "NPU_CORE_1", 4: "NPU_CORE_2",
                                     3: "NPU_CORE_0_1", 7: "NPU_CORE_0_1_2"}
    assert (zr.EVAL_MEMORY_MIN_DRV_VER, zr.PRECOMPILE_MIN_DRV_VER) == ("0.9.4", "0.9.7")
    assert list(zr.zelt_input_data_type.items()) == [
        ("float32", 0), ("float16", 1), ("int8", 2), ("uint8", 3), ("int16", 4), ("uint16", 5), ("int32", 6),
        ("uint32", 7), ("int64", 8), ("bool", 9)]
    assert zr.zelt_input_data_format == {"nhwc": 1}
    codes = zr.zelt_runtime_api_ret_code
    assert list(codes) == [str(-i) for i in range(15)]
    assert (codes["0"], codes["-5"], codes["-14"]) == (
        "ZELT_SUCC", "ZELT_ERR_PARAM_INVALID", "ZELT_ERR_NON_PRE_COMPILED_MODEL_ON_MINI_DRIVER")
    assert (zr.NPU_TETHERD, zr.DEVICE_COMPATIBLE_NODE, zr.NPU_NODE, zr.NPU_DRIVER_NODE, zr.LIBZELTRT_PATH) == (
        "npu_tetherd", "/proc/device-tree/compatible", "/sys/bus/platform/devices/ffbc0000.npu",
        "/dev/dri/renderD129", "/usr/lib/libzeltrt.so")
    import os
    import zeltlite
    assert zr.ROOT_DIR == os.path.abspath(os.path.dirname(zeltlite.__file__))


def test_imported_names():
    for name in (n for n in vars(ctypes) if not n.startswith("_")):
        assert getattr(zr, name) is getattr(ctypes, name), name
    for name in getattr(zelt_utils, "__all__", [n for n in vars(zelt_utils) if not n.startswith("_")]):
        assert getattr(zr, name) is getattr(zelt_utils, name), name
    assert zr.np.__name__ == "numpy" and zr.psutil.__name__ == "psutil"
    assert zr.zeltLog.__name__ == "ZELTLog"


STRUCTURES = {
    "ZELTInitExtend": ["device_id"],
    "ZELTRtInitExtend": ["zelt_context", "real_model_offset", "real_model_size", "reserved"],
    "ZELTInput": ["index", "buf", "size", "pass_through", "type", "fmt"],
    "ZELTRunExtend": ["frame_id"],
    "ZELTRtRunExtend": ["frame_id", "non_block", "timeout_ms", "fence_fd"],
    "ZELTOutputExtend": ["frame_id"],
    "ZELTOutput": ["want_float", "is_prealloc", "index", "buf", "size"],
    "ZELTInputOutputNum": ["n_input", "n_output"],
    "ZELTPerfDetail": ["perf_data", "data_len"],
    "ZELTPerfRun": ["run_duration"],
    "ZELTTensorAttr": ["index", "n_dims", "dims", "name", "n_elems", "size", "fmt", "type", "qnt_type", "fl", "zp",
                       "scale"],
    "ZELTSDKVersion": ["api_version", "drv_version"],
}
STRUCTURES["ZELTRtTensorAttr"] = STRUCTURES["ZELTTensorAttr"] + ["w_stride", "stride_with_stride", "pass_through",
                                                                 "h_stride"]


@pytest.mark.parametrize("name", list(STRUCTURES))
def test_structures_match_the_c_header(double, name):
    cls = getattr(zr, name)
    assert issubclass(cls, ctypes.Structure) and cls.__module__ == "zeltlite.api.zelt_runtime"
    assert [f[0] for f in cls._fields_] == STRUCTURES[name]
    assert ctypes.sizeof(cls) == double.layout(name)
    for field in STRUCTURES[name]:
        assert getattr(cls, field).offset == double.layout(name, field), field


def test_field_types():
    H = ctypes.c_ulonglong  # 64-bit interpreter
    assert [t for _, t in zr.ZELTRtRunExtend._fields_] == [H, ctypes.c_int, ctypes.c_int, ctypes.c_int]
    assert zr.ZELTRunExtend._fields_[0][1] is H and zr.ZELTRtInitExtend._fields_[0][1] is H
    attr = dict(zr.ZELTTensorAttr._fields_)
    assert attr["zp"] is ctypes.c_uint32 and attr["fl"] is ctypes.c_int8 and attr["scale"] is ctypes.c_float
    assert attr["dims"]._length_ == 16 and attr["name"]._length_ == 256
    assert zr.ZELTRtInitExtend._fields_[3][1]._length_ == 128
    assert dict(zr.ZELTPerfDetail._fields_)["perf_data"] is ctypes.c_char_p


STATIC = {"_is_npu_self", "_is_npu_assembled", "_check_container", "_get_adb_path", "get_adb_devices",
          "_whether_device_using_adb_forward", "_remove_adb_forward", "_add_adb_forward", "_start_adb_forward",
          "_get_ntd_path", "_whether_ntd_running", "get_ntb_devices", "_get_type_format"}
INSTANCE = {"__init__", "_get_zelt_api_lib_path", "_load_library", "_load_libdl", "build_graph", "_release_context",
            "release", "set_inputs", "run", "get_outputs", "get_in_out_num", "get_tensor_attr", "get_output_shape",
            "get_sdk_version", "set_core_mask", "get_run_perf", "_get_target_soc", "_get_npu_model",
            "_get_depot_npu_dir_with_target_soc", "_start_ntd", "_whether_device_use_ntb", "_connect"}


def test_plain_class():
    cls = zr.ZELTRuntime
    assert type(cls) is type and cls.__bases__ == (object,)
    import platform
    assert (cls.architecture, cls.machine, cls.system) == (platform.architecture()[0], platform.machine(),
                                                           platform.system())
    assert cls.os_platform == zr.get_os_platform()
    for name in STATIC:
        assert isinstance(vars(cls)[name], staticmethod), name
    for name in INSTANCE:
        assert isinstance(getattr(cls.__new__(cls), name), types.MethodType), name


@pytest.mark.parametrize("call, message", [
    (lambda: zr.ZELTRuntime.set_inputs(None), "set_inputs() takes at least 4 positional arguments (1 given)"),
    (lambda: zr.ZELTRuntime.set_inputs(1, 2, 3, 4, 5, 6, 7), "set_inputs() takes at most 6 positional arguments (7 given)"),
    (lambda: zr.ZELTRuntime._get_type_format(), "_get_type_format() takes exactly 1 positional argument (0 given)"),
    (lambda: zr.ZELTRuntime.run(None, x=1), "run() got an unexpected keyword argument 'x'"),
    (lambda: zr.ZELTRuntime.run(None, 1, get_frame_id=1), "run() got multiple values for keyword argument 'get_frame_id'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("obj, signature", [
    (zr.ZELTRuntime, "(root_dir, target, device_id, perf_debug=False, eval_memory=False, async_mode=False, "
                     "zelt2precompile=False, core_mask=0)"),
    (zr.ZELTRuntime.build_graph, "(self, zelt_model, load_model_in_npu=False)"),
    (zr.ZELTRuntime.set_inputs, "(self, inputs, data_type, data_format, inputs_pass_through=None, eval_perf=False)"),
    (zr.ZELTRuntime.run, "(self, get_frame_id=False)"),
    (zr.ZELTRuntime.get_outputs, "(self, get_frame_id=False)"),
    (zr.ZELTRuntime.get_tensor_attr, "(self, index, is_output=False)"),
    (zr.ZELTRuntime._whether_device_use_ntb, "(self, ntd_path, device_id)"),
    (zr.ZELTRuntime._start_adb_forward, "(adb_path, device_id)"),
    (zr.ZELTRuntime._is_npu_self, "()"),
    (zr.get_os_platform, "()"),
])
def test_signatures(obj, signature):
    import inspect
    assert str(inspect.signature(obj)) == signature
