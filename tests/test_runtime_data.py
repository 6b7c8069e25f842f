"""Inputs, run and outputs end to end through a real CDLL of the test double,
each case through the direct call path and through ctypes."""
import ctypes
import threading
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zeltlite.api import zelt_runtime as zr

from conftest import model


def expected_output(data, dims, k):
    raw = np.frombuffer(data, dtype=np.uint8)
    n = int(np.prod(dims))
    return (np.resize(raw, n).astype(np.float32) + k).reshape(dims)


class Subclassed(np.ndarray):
    pass


class OwnBytes(np.ndarray):
    def tobytes(self, order="C"):
        return bytes(reversed(np.ndarray.tobytes(self)))


def arrays():
    base = np.arange(24, dtype=np.uint8).reshape(2, 3, 4)
    readonly = base.copy()
    readonly.flags.writeable = False
    return {
        "contiguous": base,
        "transposed": base.transpose(2, 0, 1),
        "strided": np.arange(48, dtype=np.uint8)[::2].reshape(2, 3, 4),
        "fortran": np.asfortranarray(base),
        "readonly": readonly,
        "subclass": base.view(Subclassed),
        "own tobytes": base.view(OwnBytes),
    }


@pytest.mark.parametrize("kind", list(arrays()))
def test_inputs_reach_the_runtime_as_row_major_bytes(session, double, path, kind):
    arr = arrays()[kind]
    rt = session(model(inputs=[(3, 1, arr.shape)], outputs=[(2, 3), (4,)]))
    assert rt.set_inputs([arr], None, None) == 0
    sent = double.last("zelt_inputs_set")["inputs"][0]
    assert bytes.fromhex(sent["data"]) == arr.tobytes()
    assert (sent["index"], sent["size"], sent["pass_through"], sent["type"], sent["fmt"]) == (0, 24, 0, 3, 1)
    handed_over = sent["addr"] == arr.ctypes.data
    assert handed_over == (path == "direct" and kind in ("contiguous", "readonly", "subclass"))

    assert rt.run() == 0
    outputs = rt.get_outputs()
    data = arr.tobytes()
    # KESTA reports dimensions in reverse order
    assert [o.shape for o in outputs] == [(3, 2), (4,)]
    for k, out in enumerate(outputs):
        assert out.dtype == np.float32 and out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
        np.testing.assert_array_equal(out.ravel(), expected_output(data, out.shape, k).ravel())
    release = double.last("zelt_outputs_release")
    assert release["outstanding"] and release["n"] == 2


def test_outputs_are_copied_once_into_the_new_arrays(session, double, path):
    rt = session(model(outputs=[(1, 10)]))
    rt.set_inputs(np.ones((1, 2, 2, 3), np.uint8), None, None)
    rt.run()
    (out,) = rt.get_outputs()
    asked = double.last("zelt_outputs_get")["outputs"][0]
    assert (asked["want_float"], asked["is_prealloc"], asked["index"], asked["size"]) == (1, 0, 0, 10)
    assert (asked["addr"] == out.ctypes.data) == (path == "direct")
    # the runtime's memory is released; the array stays valid
    rt.set_inputs(np.full((1, 2, 2, 3), 7, np.uint8), None, None)
    rt.run()
    np.testing.assert_array_equal(out, np.ones((10, 1), np.float32))


def test_frame_ids(session, path):
    rt = session(model(outputs=[(2,), (3,)]))
    rt.set_inputs([np.zeros((1, 2, 2, 3), np.uint8)], "uint8", "nhwc")
    assert rt.run(get_frame_id=True) == (0, 1)
    assert rt.run(True) == (0, 2)
    outputs = rt.get_outputs(get_frame_id=True)
    assert len(outputs) == 3 and type(outputs[2]) is int and outputs[2] == 2


def test_talun_keeps_the_reported_dimension_order(session, double):
    rt = session(model(outputs=[(1, 3, 4, 5)], talun=True), npu="TALUN2")
    assert double.last("zelt_init")["ext_zero"] is True
    rt.set_inputs([np.zeros((1, 2, 2, 3), np.uint8)], None, None)
    assert rt.run(True) == (0, 1)
    assert rt.get_outputs()[0].shape == (1, 3, 4, 5)
    attr = rt.get_tensor_attr(0, True)
    assert type(attr) is zr.ZELTRtTensorAttr and attr.w_stride == 5
    assert double.last("zelt_query")["size"] == ctypes.sizeof(zr.ZELTRtTensorAttr)


F32 = np.zeros((1, 2, 2, 3), np.float32)
U8 = np.zeros((1, 2, 2, 3), np.uint8)


class Sized:
    size = 3


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((None, None, None), Exception, "E Inputs are invalid."),
        (([], None, None), Exception, "E Inputs are invalid."),
        ((5, None, None), TypeError, "object of type 'int' has no len()"),
        (((U8, U8), None, None), AttributeError, None),
        (([np.zeros((0, 3), np.uint8)], None, None), Exception, "E Size of inputs[0] is invalid!"),
        (([U8, None], None, None), Exception, "E Size of inputs[1] is invalid!"),
        (([U8, [1, 2]], None, None), AttributeError, None),
        (([U8, Sized()], None, None), Exception, "E Type of inputs[1] is not np.ndarray!"),
        (([np.zeros(3)], None, None), Exception, "E Unsupport inputs[0].dtype: float64"),
        (([np.zeros(3, ">f4")], None, None), Exception, "E Unsupport inputs[0].dtype: >f4"),
        (([F32], "float64", None), Exception, "E Unsupport data type: float64"),
        (([F32], "uint8", None), Exception, "E inputs[0].dtype: float32 is not same as data_type"),
        (([F32], ["uint8"], None), Exception, "E inputs[0].dtype: float32 is not same as data_type[0]"),
        (([F32], ["float32", "float32"], None), Exception, "E The lengths of data_type and inputs are not equal."),
        (([F32], None, "nchw"), Exception, "E Unsupport data format: nchw"),
        (([F32], None, ["nchw"]), KeyError, None),
        (([F32], None, ["nhwc", "nhwc"]), Exception, "E The lengths of data_format and inputs are not equal."),
        (([F32], None, None, [0, 1]), Exception, "E The lengths of inputs_pass_through and inputs are not equal."),
        (([F32], (1.5,), None), TypeError, None),
        (([F32], None, ("x",)), TypeError, None),
        (([F32], (), None), IndexError, None),
    ],
)
def test_bad_arguments_are_refused_before_the_runtime(session, double, args, error, message):
    rt = session()
    before = len(double.log("zelt_inputs_set"))
    with pytest.raises(error) as info:
        rt.set_inputs(*args)
    if message is not None:
        assert type(info.value) is error and str(info.value).strip("'") == message
    assert len(double.log("zelt_inputs_set")) == before


@pytest.mark.parametrize("kind", ["contiguous", "broadcast view"])
def test_huge_input_is_refused_not_truncated_nor_copied(session, double, kind):
    rt = session()
    if kind == "contiguous":
        big = np.empty(2**32 + 8, np.uint8)  # never touched: no memory is committed
    else:
        big = np.broadcast_to(np.float32(1), (5 << 30) // 4)  # 5 GiB of one float
    tracemalloc.start()  # NumPy reports its data allocations here
    try:
        with pytest.raises(Exception, match=r"^E Size of inputs\[0\] is invalid!$"):
            rt.set_inputs([big], None, None)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1 << 20
    assert double.log("zelt_inputs_set") == []


def test_single_array_warns_and_binds_as_input_zero(session, double, log):
    rt = session(model(inputs=[(0, 1, (1, 2, 2, 3))]))
    assert rt.set_inputs(F32, None, None) == 0
    assert log.of("w") == [("Inputs should be placed in a list, like [img1, img2], both the img1 and img2 are ndarray.",)]
    sent = double.last("zelt_inputs_set")["inputs"][0]
    assert (sent["type"], sent["fmt"]) == (zr.zelt_input_data_type["float32"], 1)


def test_caller_lists_are_left_as_given(session, double):
    rt = session(model(inputs=[(0, 1, (1, 2, 2, 3)), (3, 1, (1, 2, 2, 3))]))
    types, formats, flags = ["float32", "uint8"], ["nhwc", "nhwc"], [1, 0]
    for _ in range(2):
        assert rt.set_inputs([F32, U8], types, formats, flags) == 0
    assert types == ["float32", "uint8"] and formats == ["nhwc", "nhwc"] and flags == [1, 0]
    sent = double.last("zelt_inputs_set")["inputs"]
    assert [(s["type"], s["fmt"], s["pass_through"]) for s in sent] == [(0, 1, 1), (3, 1, 0)]


def test_other_sequences_are_sent_unchecked(session, double):
    rt = session()
    rt.set_inputs([U8], (7,), (0,), (True,))
    sent = double.last("zelt_inputs_set")["inputs"][0]
    assert (sent["type"], sent["fmt"], sent["pass_through"]) == (7, 0, 1)
    rt.set_inputs([U8], (2**32 + 5,), (-1,), (257,))  # stored as ctypes stores them
    sent = double.last("zelt_inputs_set")["inputs"][0]
    assert (sent["type"], sent["fmt"], sent["pass_through"]) == (5, -1, 1)


def test_eval_perf_binds_synthetic_inputs(session, double):
    rt = session(model(inputs=[(3, 1, (1, 2, 2, 3)), (0, 0, (2, 2))]))
    assert rt.set_inputs(None, None, None, eval_perf=True) == 0
    sent = double.last("zelt_inputs_set")["inputs"]
    assert [(s["size"], s["type"], s["fmt"], s["pass_through"]) for s in sent] == [(12, 3, 1, 0), (16, 0, 0, 0)]
    assert all(bytes.fromhex(s["data"]) == b"\x01" * s["size"] for s in sent)

    double.set("n_input", 0)
    with pytest.raises(Exception, match="^E ") as info:
        rt.set_inputs(None, None, None, eval_perf=True)
    assert type(info.value) is Exception


@pytest.mark.parametrize("code, shown", [(-5, "ZELT_ERR_PARAM_INVALID"), (-99, "-99")])
def test_runtime_failures_name_their_code(session, double, log, code, shown):
    rt = session()
    double.set("ret.zelt_inputs_set", code)
    with pytest.raises(Exception, match=f"^Set inputs failed. error code: {shown}$"):
        rt.set_inputs([U8], None, None)
    double.set("ret.zelt_run", code)
    assert rt.run() == code
    assert rt.run(True) == (code, 0)
    double.set("ret.zelt_outputs_get", code)
    with pytest.raises(Exception, match=f"^E Get outputs failed, error code: {shown}$"):
        rt.get_outputs()
    assert double.log("zelt_outputs_release") == []
    double.set("ret.zelt_outputs_get", 0)
    double.set("ret.zelt_outputs_release", code)
    assert len(rt.get_outputs()) == 1
    assert log.of("w") == [(f"Release outputs failed, ret code: {shown}",)]
    double.set("ret.zelt_query", code)
    with pytest.raises(Exception, match=f"^Get input output num failed! Error code: {shown}$"):
        rt.get_in_out_num()
    with pytest.raises(Exception, match=shown):
        rt.get_output_shape(0)
    with pytest.raises(Exception, match=shown):
        rt.get_tensor_attr(0)


@pytest.mark.parametrize("knob, value, message", [
    ("out_size.0", 39, "buffer is smaller than requested size"),
    ("null_output", 1, "NULL pointer access"),
])
def test_short_or_missing_output_is_never_read(session, double, knob, value, message):
    rt = session(model(outputs=[(1, 10)]))
    rt.set_inputs([U8], None, None)
    rt.run()
    double.set(knob, value)
    with pytest.raises(ValueError, match=message):
        rt.get_outputs()
    assert double.last("zelt_outputs_release")["outstanding"]  # the runtime's memory is handed back


def test_queries(session, double):
    rt = session(model(inputs=[(3, 1, (1, 2, 2, 3))], outputs=[(1, 3, 224, 224), (5,)]))
    assert rt.get_in_out_num() == (1, 2)
    attr = rt.get_tensor_attr(0)
    assert type(attr) is zr.ZELTTensorAttr
    assert (attr.n_dims, list(attr.dims[:4]), attr.name, attr.size, attr.type) == (4, [1, 2, 2, 3], b"input0", 12, 3)
    q = double.last("zelt_query")
    assert (q["cmd"], q["index"], q["size"]) == (zr.ZELT_QUERY_INPUT_ATTR, 0, ctypes.sizeof(zr.ZELTTensorAttr))
    assert rt.get_tensor_attr(1, True).name == b"output1"
    assert (double.last("zelt_query")["cmd"], double.last("zelt_query")["index"]) == (zr.ZELT_QUERY_OUTPUT_ATTR, 1)
    assert rt.get_output_shape(0) == [224, 224, 3, 1]
    rt.npu_model = "KESTAX"  # only the exact names reverse
    assert rt.get_output_shape(index=0) == [1, 3, 224, 224]
    double.set("n_dims", 0)
    assert rt.get_output_shape(1) == []
    rt.set_inputs([U8], None, None)
    assert rt.get_outputs()[1].shape == ()
    double.set("n_dims", 17)
    with pytest.raises(IndexError):
        rt.get_output_shape(0)


@pytest.mark.parametrize("where", ["instance", "class"])
def test_replaced_query_methods_are_used(session, double, monkeypatch, where):
    rt = session(model(outputs=[(2,)]))
    rt.set_inputs([U8], None, None)
    rt.run()
    assert rt.get_outputs()[0].shape == (2,)
    owner = rt if where == "instance" else type(rt)
    monkeypatch.setattr(owner, "get_output_shape", lambda *args: [1, 2], raising=False)
    assert rt.get_outputs()[0].shape == (1, 2)
    monkeypatch.setattr(owner, "get_in_out_num", lambda *args: (1, 2), raising=False)
    with pytest.raises(Exception, match="E Get outputs failed, error code: ZELT_ERR_OUTPUT_INVALID"):
        rt.get_outputs()


def test_run_lets_other_threads_go_on(session, double):
    rt = session()
    rt.set_inputs([U8], None, None)
    double.set("run_sleep_ms", 300)
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(1)
            done.wait(0.01)

    t = threading.Thread(target=tick)
    t.start()
    ticks.clear()
    rt.run()
    done.set()
    t.join()
    assert len(ticks) > 5


class RecordingLib:
    """A substituted self.lib: records the ctypes objects it is handed."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def fn(*args):
            self.calls.append((name, args))
            if name == "zelt_query" and args[1] == zr.ZELT_QUERY_IN_OUT_NUM:
                ctypes.cast(args[2], ctypes.POINTER(zr.ZELTInputOutputNum)).contents.n_output = 1
            if name == "zelt_query" and args[1] == zr.ZELT_QUERY_OUTPUT_ATTR:
                a = ctypes.cast(args[2], ctypes.POINTER(zr.ZELTTensorAttr)).contents
                a.n_dims, a.dims[0] = 1, 2
            if name == "zelt_outputs_get":
                self.values = (ctypes.c_float * 2)(1.5, -2.0)
                args[2].contents.buf, args[2].contents.size = ctypes.addressof(self.values), 8
                args[3].contents.frame_id = 9
            return 0
        return fn


def test_substituted_library_gets_ctypes_objects(session):
    rt = session()
    real, rt.lib = rt.lib, RecordingLib()
    rt.set_inputs([np.arange(4, dtype=np.int16)], None, None, [1])
    name, (context, n, first) = rt.lib.calls[-1]
    assert (name, context, n) == ("zelt_inputs_set", rt.context, 1)
    desc = first.contents
    assert type(desc) is zr.ZELTInput and (desc.size, desc.type, desc.pass_through) == (8, 4, 1)
    assert ctypes.string_at(desc.buf, 8) == np.arange(4, dtype=np.int16).tobytes()
    out, frame = rt.get_outputs(True)
    np.testing.assert_array_equal(out, np.array([1.5, -2.0], np.float32))
    assert frame == 9
    assert rt.lib.calls[-1][0] == "zelt_outputs_release"
    rt.lib = real


DTYPES = [np.dtype(c) for c in "?bBhHiIlLqQefdgFDSUVOMm"] + [
    np.dtype(">f4"), np.dtype("<i2"), np.dtype(">u1"), np.dtype("f4", metadata={"k": 1}), np.dtype([("a", "u1")])]


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_dtype_names_follow_numpy(session, double, dtype):
    rt = session()
    arr = np.zeros(4, dtype=dtype)
    name = str(arr.dtype)
    if name in zr.zelt_input_data_type:
        rt.set_inputs([arr], name, None)
        assert double.last("zelt_inputs_set")["inputs"][0]["type"] == zr.zelt_input_data_type[name]
    else:
        with pytest.raises(Exception, match=r"^E Unsupport inputs\[0\]\.dtype: ") as info:
            rt.set_inputs([arr], None, None)
        assert str(info.value) == f"E Unsupport inputs[0].dtype: {arr.dtype}"


def test_the_type_table_is_read_at_each_call(session, double, monkeypatch):
    rt = session()
    monkeypatch.setitem(zr.zelt_input_data_type, "float64", 12)
    rt.set_inputs([np.zeros(3)], None, None)
    assert double.last("zelt_inputs_set")["inputs"][0]["type"] == 12


def test_a_stand_in_library_is_called_after_release(session, monkeypatch):
    rt = session()
    real = rt.lib
    rt.lib = RecordingLib()
    monkeypatch.setattr(rt, "_load_libdl", lambda: RecordingLib(), raising=False)
    rt.release()
    rt.release()
    assert [c[0] for c in rt.lib.calls] == ["zelt_destroy"]
    rt.run()
    assert rt.lib.calls[-1][0] == "zelt_run"
    rt.lib = real


@st.composite
def any_layout_array(draw):
    dtype = draw(st.sampled_from(list(zr.zelt_input_data_type)))
    arr = draw(hnp.arrays(dtype, hnp.array_shapes(min_dims=1, max_dims=3, min_side=1, max_side=6)))
    steps = tuple(draw(st.sampled_from([1, -1, 2])) for _ in range(arr.ndim))
    view = arr[tuple(slice(None, None, s) for s in steps)]
    if draw(st.booleans()):
        view = view.T
    return view


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(arr=any_layout_array())
def test_any_layout_reaches_the_runtime_row_major(session, double, arr):
    rt = session()
    rt.set_inputs([arr], None, None)
    sent = double.last("zelt_inputs_set")["inputs"][0]
    assert bytes.fromhex(sent["data"]) == arr.tobytes() and sent["type"] == zr.zelt_input_data_type[str(arr.dtype)]
    rt.release()


def cycles(rt, n=3):
    """Repeated calls, so that anything looked up can be remembered."""
    for _ in range(n):
        rt.set_inputs([U8], None, None)
        rt.run()
        outputs = rt.get_outputs()
    return outputs


def test_module_names_rebound_after_use_are_seen(session, double, monkeypatch):
    rt = session(model(outputs=[(2, 6)]))
    assert cycles(rt)[0].shape == (6, 2)
    monkeypatch.setattr(zr, "ZELT_QUERY_OUTPUT_ATTR", zr.ZELT_QUERY_INPUT_ATTR)
    assert rt.get_outputs()[0].shape == (3, 2, 2, 1)  # the input's dimensions
    monkeypatch.setattr(zr, "ZELT_QUERY_OUTPUT_ATTR", 2)
    monkeypatch.setattr(zr, "zelt_input_data_type", {"uint8": 7})
    rt.set_inputs([U8], None, None)
    assert double.last("zelt_inputs_set")["inputs"][0]["type"] == 7

    empty, shapes = np.empty, []

    def recording_empty(shape, *args, **kwargs):
        shapes.append(list(shape))
        return empty(shape, *args, **kwargs)

    monkeypatch.setattr(np, "empty", recording_empty)
    assert rt.get_outputs()[0].shape == (6, 2) and shapes == [[6, 2]]
    monkeypatch.setattr(np, "empty", empty)
    rt.get_outputs()
    assert shapes == [[6, 2]]

    def keyword_empty(*, shape, dtype):
        shapes.append((list(shape), dtype))
        return empty(shape, dtype)

    class OtherNumpy:
        ndarray = type("ndarray", (), {})
        empty = staticmethod(keyword_empty)
        float32 = np.float32

    monkeypatch.setattr(zr, "np", OtherNumpy)
    with pytest.raises(Exception, match=r"^E Type of inputs\[0\] is not np\.ndarray!$"):
        rt.set_inputs([U8], None, None)
    rt.get_outputs()
    assert shapes == [[6, 2], ([6, 2], "float32")]


def test_library_functions_changed_after_use_are_honoured(session, double, path):
    rt = session()
    cycles(rt)
    direct = path == "direct"
    handed_over = lambda: double.last("zelt_inputs_set")["inputs"][0]["addr"] == U8.ctypes.data  # noqa: E731
    assert handed_over() == direct
    lib, fn = rt.lib, rt.lib.zelt_inputs_set
    fresh = lib._FuncPtr(("zelt_inputs_set", lib))
    fresh.argtypes, fresh.restype = fn.argtypes, fn.restype
    lib.zelt_inputs_set = fresh
    rt.set_inputs([U8], None, None)
    assert not handed_over()
    lib.zelt_inputs_set = fn
    rt.set_inputs([U8], None, None)
    assert handed_over() == direct

    argtypes = fn.argtypes
    fn.argtypes = list(argtypes)
    rt.set_inputs([U8], None, None)
    assert not handed_over()
    fn.argtypes = argtypes
    rt.set_inputs([U8], None, None)
    assert handed_over() == direct

    checked = []
    rt.lib.zelt_run.errcheck = lambda result, func, args: checked.append(result) or result
    assert rt.run() == 0 and checked == [0]
