"""The runtime session ``ZELTRuntime`` over the NPU runtime library, and the library's constants and structures."""
import os as os
import platform as platform
import shlex as shlex
import subprocess as subprocess
import sys as sys
import time as time
from ctypes import *
from ctypes import CDLL, Array, Structure, c_uint, c_uint8
from typing import Any, ClassVar, Literal


from .npu_config.npu_chipmap import (
    get_npu_assemble_soc as get_npu_assemble_soc,
    get_npu_inside_soc as get_npu_inside_soc,
    get_support_target_soc as get_support_target_soc,
    get_target_npu_model as get_target_npu_model,
)
from .zelt_log import ZELTLog as zeltLog
from .zelt_utils import *

ZELT_QUERY_IN_OUT_NUM: int
ZELT_QUERY_INPUT_ATTR: int
ZELT_QUERY_OUTPUT_ATTR: int
ZELT_QUERY_PERF_DETAIL: int
ZELT_QUERY_PERF_RUN: int
ZELT_QUERY_SDK_VERSION: int
ZELT_QUERY_MEM_SIZE: int
ZELT_QUERY_CUSTOM_STRING: int
ZELT_QUERY_NATIVE_INPUT_ATTR: int
ZELT_QUERY_NATIVE_OUTPUT_ATTR: int
ZELT_FLAG_PRIOR_HIGH: int
ZELT_FLAG_PRIOR_MEDIUM: int
ZELT_FLAG_PRIOR_LOW: int
ZELT_FLAG_ASYNC_MASK: int
ZELT_FLAG_COLLECT_PERF_MASK: int
ZELT_FLAG_LOAD_MODEL_IN_NPU: int
ZELT_FLAG_PRIV_DUMP_NEED_QUANT: int
ZELT_FLAG_PRIV_DUMP_FEATURE: int
ZELT_FLAG_PRIV_ZELT_PRECOMPILE_MASK: int
ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK: int
ZELT_FLAG_PRIV_DUMP_FEATURE_QUANT: int
NPU_CORE_AUTO: int
NPU_CORE_0: int
NPU_CORE_1: int
NPU_CORE_2: int
NPU_CORE_0_1: int
NPU_CORE_0_1_2: int
CURRENT_SUPPORT_NPU_CORE_MODE: tuple[int, ...]
zelt_npu_core_mode: dict[int, str]
EVAL_MEMORY_MIN_DRV_VER: str
PRECOMPILE_MIN_DRV_VER: str
zelt_input_data_type: dict[str, int]
zelt_input_data_format: dict[str, int]
zelt_runtime_api_ret_code: dict[str, str]
NPU_TETHERD: str
DEVICE_COMPATIBLE_NODE: str
NPU_NODE: str
NPU_DRIVER_NODE: str
LIBZELTRT_PATH: str
ROOT_DIR: str

class ZELTInitExtend(Structure):
    device_id: bytes | None

class ZELTRtInitExtend(Structure):
    zelt_context: int
    real_model_offset: int
    real_model_size: int
    reserved: Array[c_uint8]

class ZELTInput(Structure):
    index: int
    buf: int | None
    size: int
    pass_through: int
    type: int
    fmt: int

class ZELTRunExtend(Structure):
    frame_id: int

class ZELTRtRunExtend(Structure):
    frame_id: int
    non_block: int
    timeout_ms: int
    fence_fd: int

class ZELTOutputExtend(Structure):
    frame_id: int

class ZELTOutput(Structure):
    want_float: int
    is_prealloc: int
    index: int
    buf: int | None
    size: int

class ZELTInputOutputNum(Structure):
    n_input: int
    n_output: int

class ZELTPerfDetail(Structure):
    perf_data: bytes | None
    data_len: int

class ZELTPerfRun(Structure):
    run_duration: int

class ZELTTensorAttr(Structure):
    index: int
    n_dims: int
    dims: Array[c_uint]
    name: bytes
    n_elems: int
    size: int
    fmt: int
    type: int
    qnt_type: int
    fl: int
    zp: int
    scale: float

class ZELTRtTensorAttr(Structure):
    index: int
    n_dims: int
    dims: Array[c_uint]
    name: bytes
    n_elems: int
    size: int
    fmt: int
    type: int
    qnt_type: int
    fl: int
    zp: int
    scale: float
    w_stride: int
    stride_with_stride: int
    pass_through: int
    h_stride: int

class ZELTSDKVersion(Structure):
    api_version: bytes
    drv_version: bytes

def get_os_platform() -> str: ...

class ZELTRuntime:
    architecture: ClassVar[str]
    machine: ClassVar[str]
    system: ClassVar[str]
    os_platform: ClassVar[str]
    root_dir: str
    perf_debug: bool
    eval_memory: bool
    async_mode: bool
    zelt2precompile: bool
    core_mask: int
    target: str | None
    target_soc: str | None
    is_npu_self: bool
    is_npu_assemble: bool
    npu_model: str | None
    device_id: str | None
    lib: CDLL | None
    context: int | None
    graph_is_built: bool
    adb_path: str | None
    ntd_path: str | None
    def __init__(self, root_dir: str, target: str | None, device_id: str | None, perf_debug: bool = False,
                 eval_memory: bool = False, async_mode: bool = False, zelt2precompile: bool = False,
                 core_mask: int = 0) -> None: ...
    def _get_zelt_api_lib_path(self) -> str: ...
    def _load_library(self) -> None: ...
    def _load_libdl(self) -> CDLL: ...
    def build_graph(self, zelt_model: bytes, load_model_in_npu: bool = False) -> int: ...
    def _release_context(self) -> None: ...
    def release(self) -> None: ...
    def set_inputs(self, inputs: Any, data_type: Any, data_format: Any, inputs_pass_through: Any = None,
                   eval_perf: bool = False) -> int: ...
    def run(self, get_frame_id: bool = False) -> int | tuple[int, int]: ...
    def get_outputs(self, get_frame_id: bool = False) -> list[Any]: ...
    def get_in_out_num(self) -> tuple[int, int]: ...
    def get_tensor_attr(self, index: int, is_output: bool = False) -> ZELTTensorAttr | ZELTRtTensorAttr: ...
    def get_output_shape(self, index: int) -> list[int]: ...
    @staticmethod
    def _get_type_format(dtype: Any) -> Literal["i", "f", "?", -1]: ...
    def get_sdk_version(self) -> tuple[str, str, str]: ...
    def set_core_mask(self, core_mask: int) -> int: ...
    def get_run_perf(self) -> str: ...
    @staticmethod
    def _is_npu_self() -> tuple[bool, str | None]: ...
    @staticmethod
    def _is_npu_assembled() -> tuple[bool, str | None]: ...
    def _get_target_soc(self, target: str | None) -> str | None: ...
    def _get_npu_model(self) -> str | None: ...
    def _get_depot_npu_dir_with_target_soc(self) -> str: ...
    @staticmethod
    def _check_container() -> None: ...
    @staticmethod
    def _get_adb_path() -> str | None: ...
    @staticmethod
    def get_adb_devices() -> list[str]: ...
    @staticmethod
    def _whether_device_using_adb_forward(adb_path: str) -> bool: ...
    @staticmethod
    def _remove_adb_forward(adb_path: str, device_id: str | None) -> tuple[int, str]: ...
    @staticmethod
    def _add_adb_forward(adb_path: str, device_id: str | None) -> tuple[int, str]: ...
    @staticmethod
    def _start_adb_forward(adb_path: str, device_id: str | None) -> int: ...
    @staticmethod
    def _get_ntd_path() -> str | None: ...
    @staticmethod
    def _whether_ntd_running() -> bool: ...
    def _start_ntd(self, ntd_path: str) -> int: ...
    @staticmethod
    def get_ntb_devices() -> list[str]: ...
    def _whether_device_use_ntb(self, ntd_path: str, device_id: str | None) -> bool: ...
    def _connect(self) -> int: ...
