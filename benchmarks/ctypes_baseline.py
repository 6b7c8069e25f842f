"""A straightforward ctypes implementation of set_inputs, run and get_outputs,
written the plain way: the yardstick for the session's data path."""
from ctypes import POINTER, c_char, c_void_p, cast, memmove, pointer, sizeof

import numpy as np

from zeltlite.api.zelt_runtime import (ZELT_QUERY_IN_OUT_NUM, ZELT_QUERY_OUTPUT_ATTR, ZELTInput, ZELTInputOutputNum,
                                       ZELTOutput, ZELTOutputExtend, ZELTRtRunExtend, ZELTRtTensorAttr, ZELTRunExtend,
                                       ZELTTensorAttr, zelt_input_data_format, zelt_input_data_type,
                                       zelt_runtime_api_ret_code)


def _code(ret):
    return zelt_runtime_api_ret_code.get(str(ret), ret)


class BaselineSession:
    def __init__(self, lib, context, npu_model):
        self.lib, self.context, self.npu_model = lib, context, npu_model

    def get_in_out_num(self):
        num = ZELTInputOutputNum()
        ret = self.lib.zelt_query(self.context, ZELT_QUERY_IN_OUT_NUM, cast(pointer(num), c_void_p), sizeof(num))
        if ret < 0:
            raise Exception("Get input output num failed! Error code: {}".format(_code(ret)))
        return num.n_input, num.n_output

    def get_output_shape(self, index):
        attr = ZELTRtTensorAttr() if "TALUN" in self.npu_model else ZELTTensorAttr()
        attr.index = index
        ret = self.lib.zelt_query(self.context, ZELT_QUERY_OUTPUT_ATTR, cast(pointer(attr), c_void_p), sizeof(attr))
        if ret < 0:
            raise Exception("Query tensor attr failed! Error code: {}".format(_code(ret)))
        if self.npu_model in ("KESTA", "VORIN"):
            return [attr.dims[i] for i in reversed(range(attr.n_dims))]
        return [attr.dims[i] for i in range(attr.n_dims)]

    def set_inputs(self, inputs, data_type, data_format, inputs_pass_through=None):
        if inputs is None or len(inputs) == 0:
            raise Exception("E Inputs are invalid.")
        if not isinstance(inputs, list):
            inputs = [inputs]
        for i, x in enumerate(inputs):
            if x is None or x.size == 0:
                raise Exception("E Size of inputs[{}] is invalid!".format(i))
            if not isinstance(x, np.ndarray):
                raise Exception("E Type of inputs[{}] is not np.ndarray!".format(i))
            if str(x.dtype) not in zelt_input_data_type:
                raise Exception("E Unsupport inputs[{}].dtype: {}".format(i, x.dtype))
        in_num = len(inputs)
        data_type = [zelt_input_data_type[str(x.dtype)] for x in inputs]
        data_format = [zelt_input_data_format["nhwc"]] * in_num
        inputs_pass_through = [0] * in_num
        inputs_array = (ZELTInput * in_num)()
        for i in range(in_num):
            s = ZELTInput()
            s.index = i
            data = inputs[i].tobytes()
            buffer = (c_char * len(data))()
            memmove(buffer, data, len(data))
            s.buf = cast(pointer(buffer), c_void_p)
            s.size = len(data)
            s.pass_through = inputs_pass_through[i]
            s.type = data_type[i]
            s.fmt = data_format[i]
            inputs_array[i] = s
        ret = self.lib.zelt_inputs_set(self.context, in_num, pointer(inputs_array[0]))
        if ret < 0:
            raise Exception("Set inputs failed. error code: {}".format(_code(ret)))
        return ret

    def run(self):
        ext = ZELTRtRunExtend() if "TALUN" in self.npu_model else ZELTRunExtend()
        return self.lib.zelt_run(self.context, pointer(ext))

    def get_outputs(self):
        _, out_num = self.get_in_out_num()
        outputs_array = (ZELTOutput * out_num)()
        output_extend = ZELTOutputExtend()
        templates = [np.empty(shape=self.get_output_shape(i), dtype="float32") for i in range(out_num)]
        for i, t in enumerate(templates):
            buffer = (c_char * (t.size * 4))()
            outputs_array[i].want_float = 1
            outputs_array[i].is_prealloc = 0
            outputs_array[i].index = i
            outputs_array[i].buf = cast(buffer, c_void_p)
            outputs_array[i].size = t.size
        outputs = []
        ret = self.lib.zelt_outputs_get(self.context, out_num, pointer(outputs_array[0]), pointer(output_extend))
        if ret < 0:
            raise Exception("E Get outputs failed, error code: {}".format(_code(ret)))
        for i in range(out_num):
            out, t = outputs_array[i], templates[i]
            raw = np.frombuffer(cast(out.buf, POINTER(c_char * out.size)).contents, dtype="float32", count=t.size)
            outputs.append(raw.reshape(t.shape).astype(t.dtype))
        self.lib.zelt_outputs_release(self.context, out_num, pointer(outputs_array[0]))
        return outputs
