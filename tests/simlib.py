"""ctypes mirror of the runtime library ABI and a small driver for the simulator library."""
import ctypes
import os
from ctypes import POINTER, Structure, byref, c_char, c_char_p, c_float, c_int, c_int8, c_longlong, c_uint, \
    c_uint8, c_uint32, c_ulonglong, c_void_p, cast, sizeof

import numpy as np

import zeltlite

# ZELT_TEST_RUNTIME_LIB points the tests at another build of the library (the sanitizer build).
LIB_PATH = os.environ.get("ZELT_TEST_RUNTIME_LIB") or os.path.join(
    os.path.dirname(zeltlite.__file__), "api", "lib", "simulator", "Linux_x64", "libzelt_runtime.so")

(ZELT_QUERY_IN_OUT_NUM, ZELT_QUERY_INPUT_ATTR, ZELT_QUERY_OUTPUT_ATTR, ZELT_QUERY_PERF_DETAIL, ZELT_QUERY_PERF_RUN,
 ZELT_QUERY_SDK_VERSION, ZELT_QUERY_MEM_SIZE) = range(7)
ZELT_FLAG_PRIOR_MEDIUM = 1
ZELT_FLAG_COLLECT_PERF_MASK = 8
ZELT_FLAG_LOAD_MODEL_IN_NPU = 0x10
ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK = 0x80000000
ZELT_SUCC, ZELT_ERR_FAIL = 0, -1
ZELT_ERR_PARAM_INVALID, ZELT_ERR_MODEL_INVALID, ZELT_ERR_CTX_INVALID = -5, -6, -7
ZELT_ERR_INPUT_INVALID, ZELT_ERR_OUTPUT_INVALID = -8, -9
NCHW, NHWC = 0, 1
TYPE_CODES = {"float32": 0, "float16": 1, "int8": 2, "uint8": 3, "int16": 4, "uint16": 5, "int32": 6, "uint32": 7,
              "int64": 8, "bool": 9}


class ZELTRtInitExtend(Structure):
    _fields_ = [("zelt_context", c_ulonglong), ("real_model_offset", c_int), ("real_model_size", c_uint),
                ("reserved", c_uint8 * 128)]


class ZELTInput(Structure):
    _fields_ = [("index", c_uint), ("buf", c_void_p), ("size", c_uint), ("pass_through", c_uint8), ("type", c_int),
                ("fmt", c_int)]


class ZELTRunExtend(Structure):
    _fields_ = [("frame_id", c_ulonglong)]


class ZELTOutputExtend(Structure):
    _fields_ = [("frame_id", c_ulonglong)]


class ZELTOutput(Structure):
    _fields_ = [("want_float", c_uint8), ("is_prealloc", c_uint8), ("index", c_uint), ("buf", c_void_p),
                ("size", c_uint)]


class ZELTInputOutputNum(Structure):
    _fields_ = [("n_input", c_uint), ("n_output", c_uint)]


class ZELTPerfDetail(Structure):
    _fields_ = [("perf_data", c_char_p), ("data_len", c_ulonglong)]


class ZELTPerfRun(Structure):
    _fields_ = [("run_duration", c_longlong)]


_ATTR_FIELDS = [("index", c_uint32), ("n_dims", c_uint32), ("dims", c_uint32 * 16), ("name", c_char * 256),
                ("n_elems", c_uint32), ("size", c_uint32), ("fmt", c_int), ("type", c_int), ("qnt_type", c_int),
                ("fl", c_int8), ("zp", c_uint32), ("scale", c_float)]


class ZELTTensorAttr(Structure):
    _fields_ = _ATTR_FIELDS


class ZELTRtTensorAttr(Structure):
    _fields_ = _ATTR_FIELDS + [("w_stride", c_uint32), ("stride_with_stride", c_uint32), ("pass_through", c_uint8),
                               ("h_stride", c_uint32)]


class ZELTSDKVersion(Structure):
    _fields_ = [("api_version", c_char * 256), ("drv_version", c_char * 256)]


class ZELTInitExtend(Structure):
    _fields_ = [("device_id", c_char_p)]


def load_library(path=None):
    """The simulator library (or another library of the same ABI at `path`), its functions bound."""
    lib = ctypes.CDLL(path or LIB_PATH)
    lib.zelt_init2.argtypes = [POINTER(c_ulonglong), c_void_p, c_uint, c_uint, POINTER(ZELTInitExtend)]
    H = c_ulonglong
    lib.zelt_init.argtypes = [POINTER(H), c_void_p, c_uint, c_uint, POINTER(ZELTRtInitExtend)]
    lib.zelt_destroy.argtypes = [H]
    lib.zelt_query.argtypes = [H, c_int, c_void_p, c_uint]
    lib.zelt_inputs_set.argtypes = [H, c_uint, POINTER(ZELTInput)]
    lib.zelt_run.argtypes = [H, POINTER(ZELTRunExtend)]
    lib.zelt_outputs_get.argtypes = [H, c_uint, POINTER(ZELTOutput), POINTER(ZELTOutputExtend)]
    lib.zelt_outputs_release.argtypes = [H, c_uint, POINTER(ZELTOutput)]
    lib.zelt_set_core_mask.argtypes = [c_ulonglong, c_uint]
    for f in ("zelt_init", "zelt_init2", "zelt_destroy", "zelt_query", "zelt_inputs_set", "zelt_run", "zelt_outputs_get",
              "zelt_outputs_release", "zelt_set_core_mask"):
        getattr(lib, f).restype = c_int
    return lib


class RuntimeError_(Exception):
    def __init__(self, what, code):
        super().__init__("{} failed: {}".format(what, code))
        self.code = code


class Model:
    """One context of the simulator library."""

    def __init__(self, lib, data, flag=ZELT_FLAG_PRIOR_MEDIUM):
        self.lib = lib
        self.ctx = c_ulonglong(0)
        ret = lib.zelt_init(byref(self.ctx), data, len(data), flag, ZELTRtInitExtend())
        if ret != 0:
            raise RuntimeError_("zelt_init", ret)

    def close(self):
        if self.ctx is not None:
            self.lib.zelt_destroy(self.ctx)
            self.ctx = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def query(self, cmd, s):
        return self.lib.zelt_query(self.ctx, cmd, cast(ctypes.pointer(s), c_void_p), sizeof(s))

    def counts(self):
        n = ZELTInputOutputNum()
        assert self.query(ZELT_QUERY_IN_OUT_NUM, n) == 0
        return n.n_input, n.n_output

    def attr(self, index, output=False, cls=ZELTRtTensorAttr):
        a = cls()
        a.index = index
        ret = self.query(ZELT_QUERY_OUTPUT_ATTR if output else ZELT_QUERY_INPUT_ATTR, a)
        if ret != 0:
            raise RuntimeError_("zelt_query", ret)
        return a

    def set_inputs(self, arrays, fmt=NCHW, pass_through=0):
        arr = (ZELTInput * len(arrays))()
        keep = []
        for i, a in enumerate(arrays):
            a = np.ascontiguousarray(a)
            keep.append(a)
            arr[i].index = i
            arr[i].buf = a.ctypes.data
            arr[i].size = a.nbytes
            arr[i].pass_through = pass_through
            arr[i].type = TYPE_CODES[str(a.dtype)]
            arr[i].fmt = fmt
        return self.lib.zelt_inputs_set(self.ctx, len(arrays), arr)

    def run(self):
        ext = ZELTRunExtend()
        ret = self.lib.zelt_run(self.ctx, byref(ext))
        if ret != 0:
            raise RuntimeError_("zelt_run", ret)
        return ext.frame_id

    def outputs(self):
        _, n = self.counts()
        outs = (ZELTOutput * n)()
        for i in range(n):
            outs[i].want_float = 1
            outs[i].index = i
        ext = ZELTOutputExtend()
        ret = self.lib.zelt_outputs_get(self.ctx, n, outs, byref(ext))
        if ret != 0:
            raise RuntimeError_("zelt_outputs_get", ret)
        result = []
        for i in range(n):
            a = self.attr(i, output=True)
            shape = [a.dims[k] for k in range(a.n_dims)]
            buf = (c_char * outs[i].size).from_address(outs[i].buf)
            result.append(np.frombuffer(buf, dtype=np.float32).reshape(shape).copy())
        assert self.lib.zelt_outputs_release(self.ctx, n, outs) == 0
        return result

    def infer(self, arrays, fmt=NCHW):
        if arrays:
            ret = self.set_inputs(arrays, fmt)
            if ret != 0:
                raise RuntimeError_("zelt_inputs_set", ret)
        self.run()
        return self.outputs()
