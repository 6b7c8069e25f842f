"""The simulator runtime library through its C ABI (ctypes), as a session drives it."""
import ctypes
import struct
import threading
from ctypes import POINTER, byref, c_uint, c_ulonglong, c_void_p, cast, pointer, sizeof

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from zeltlite.api import zelt_perf  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


def _conv_model():
    """x [1,3,4,5] -> conv 3x3 (2 channels) -> relu, and a second output x * 2."""
    b = Builder(11)
    y = b.op("Relu", [b.conv("x", 3, 2, 3)])
    z = b.op("Mul", ["x", b.const(np.float32(2))])
    return b.model([("x", [1, 3, 4, 5])], [y, z])


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


@pytest.fixture(scope="module")
def container():
    return compile_model(_conv_model(), "tx5100")


@pytest.fixture(scope="module")
def reference():
    import onnxruntime as ort

    sess = ort.InferenceSession(_conv_model().SerializeToString(), providers=["CPUExecutionProvider"])
    return lambda x: sess.run(None, {"x": x})


@pytest.fixture
def model(lib, container):
    with simlib.Model(lib, container) as m:
        yield m


X = np.random.RandomState(0).randn(1, 3, 4, 5).astype(np.float32)


def test_counts_and_attributes(model):
    assert model.counts() == (1, 2)
    a = model.attr(0)
    assert (a.n_dims, list(a.dims[:4]), a.name) == (4, [1, 4, 5, 3], b"x")  # NHWC, as callers send it
    assert (a.fmt, a.type, a.n_elems, a.size, a.qnt_type, a.scale) == (simlib.NHWC, 0, 60, 240, 0, 1.0)
    o = model.attr(0, output=True, cls=simlib.ZELTTensorAttr)
    assert (o.n_dims, list(o.dims[:4]), o.fmt, o.size) == (4, [1, 2, 4, 5], simlib.NCHW, 160)
    assert model.attr(1, output=True).n_elems == 60


@pytest.mark.parametrize("cmd,size", [
    (simlib.ZELT_QUERY_IN_OUT_NUM, 4), (simlib.ZELT_QUERY_INPUT_ATTR, 100), (simlib.ZELT_QUERY_PERF_RUN, 4),
    (simlib.ZELT_QUERY_SDK_VERSION, 256), (99, 8), (-1, 8),
])
def test_query_rejects_wrong_sizes_and_commands(model, cmd, size):
    buf = ctypes.create_string_buffer(1024)
    assert model.lib.zelt_query(model.ctx, cmd, cast(buf, c_void_p), size) == simlib.ZELT_ERR_PARAM_INVALID


def test_query_rejects_unknown_index_and_null(model):
    with pytest.raises(simlib.RuntimeError_) as e:
        model.attr(1)
    assert e.value.code == simlib.ZELT_ERR_PARAM_INVALID
    assert model.lib.zelt_query(model.ctx, 0, None, 8) == simlib.ZELT_ERR_PARAM_INVALID


@pytest.mark.parametrize("dtype", ["float32", "float16", "uint8", "int8", "int16", "uint16", "int32", "uint32",
                                   "int64", "bool"])
def test_inputs_of_every_type_are_converted(model, reference, dtype):
    x = (np.abs(X) * 3).astype(dtype)
    got = model.infer([x.transpose(0, 2, 3, 1)], simlib.NHWC)
    for g, w in zip(got, reference(x.astype(np.float32))):
        np.testing.assert_allclose(g, w, rtol=1e-5, atol=1e-5)


def test_nchw_and_pass_through_take_the_model_layout(model, reference):
    want = reference(X)
    np.testing.assert_allclose(model.infer([X], simlib.NCHW)[0], want[0], rtol=1e-5, atol=1e-6)
    assert model.set_inputs([X], fmt=simlib.NHWC, pass_through=1) == 0
    model.run()
    np.testing.assert_allclose(model.outputs()[1], want[1])


@pytest.mark.parametrize("change,code", [
    (dict(size=239), simlib.ZELT_ERR_INPUT_INVALID), (dict(index=1), simlib.ZELT_ERR_INPUT_INVALID),
    (dict(type=10), simlib.ZELT_ERR_INPUT_INVALID), (dict(fmt=2), simlib.ZELT_ERR_INPUT_INVALID),
    (dict(buf=None), simlib.ZELT_ERR_INPUT_INVALID),
])
def test_bad_input_is_refused_and_changes_nothing(model, reference, change, code):
    model.infer([X])
    x2 = np.ascontiguousarray(X + 1)
    arr = (simlib.ZELTInput * 1)()
    arr[0].index, arr[0].buf, arr[0].size, arr[0].type, arr[0].fmt = 0, x2.ctypes.data, x2.nbytes, 0, simlib.NCHW
    for k, v in change.items():
        setattr(arr[0], k, v)
    assert model.lib.zelt_inputs_set(model.ctx, 1, arr) == code
    model.run()
    np.testing.assert_allclose(model.outputs()[1], reference(X)[1])


def test_inputs_set_count_and_pointer_checks(model):
    assert model.lib.zelt_inputs_set(model.ctx, 0, None) == simlib.ZELT_ERR_PARAM_INVALID
    assert model.lib.zelt_inputs_set(model.ctx, 2, (simlib.ZELTInput * 2)()) == simlib.ZELT_ERR_PARAM_INVALID


def test_run_and_outputs_need_their_predecessors(model):
    ext = simlib.ZELTRunExtend()
    assert model.lib.zelt_run(model.ctx, byref(ext)) == simlib.ZELT_ERR_INPUT_INVALID
    outs = (simlib.ZELTOutput * 1)()
    assert model.lib.zelt_outputs_get(model.ctx, 1, outs, None) == simlib.ZELT_ERR_OUTPUT_INVALID


def test_frame_ids_and_output_ownership(model, reference):
    assert model.set_inputs([X]) == 0
    assert [model.run() for _ in range(3)] == [1, 2, 3]
    outs = (simlib.ZELTOutput * 2)()
    outs[1].index = 1
    ext = simlib.ZELTOutputExtend()
    assert model.lib.zelt_outputs_get(model.ctx, 2, outs, byref(ext)) == 0
    assert ext.frame_id == 3 and outs[1].size == 240
    held = np.frombuffer((ctypes.c_char * 240).from_address(outs[1].buf), np.float32).copy()
    assert model.set_inputs([X * 0]) == 0
    model.run()  # a later run leaves the lent buffer alone
    again = np.frombuffer((ctypes.c_char * 240).from_address(outs[1].buf), np.float32)
    np.testing.assert_array_equal(held, again)
    assert model.lib.zelt_outputs_release(model.ctx, 2, outs) == 0
    assert model.lib.zelt_outputs_release(model.ctx, 2, outs) == simlib.ZELT_ERR_OUTPUT_INVALID


def test_preallocated_outputs(model, reference):
    model.infer([X])
    dst = np.zeros(60, np.float32)
    outs = (simlib.ZELTOutput * 1)()
    outs[0].index, outs[0].is_prealloc, outs[0].buf, outs[0].size = 1, 1, dst.ctypes.data, 236
    assert model.lib.zelt_outputs_get(model.ctx, 1, outs, None) == simlib.ZELT_ERR_OUTPUT_INVALID
    outs[0].size = 240
    assert model.lib.zelt_outputs_get(model.ctx, 1, outs, None) == 0
    np.testing.assert_allclose(dst.reshape(1, 3, 4, 5), reference(X)[1])


def test_destroyed_and_unknown_contexts(lib, container):
    m = simlib.Model(lib, container)
    ctx = m.ctx
    m.close()
    assert lib.zelt_destroy(ctx) == simlib.ZELT_ERR_CTX_INVALID
    n = simlib.ZELTInputOutputNum()
    assert lib.zelt_query(ctx, 0, cast(pointer(n), c_void_p), sizeof(n)) == simlib.ZELT_ERR_CTX_INVALID
    assert lib.zelt_run(ctx, None) == simlib.ZELT_ERR_CTX_INVALID
    assert lib.zelt_inputs_set(ctx, 1, (simlib.ZELTInput * 1)()) == simlib.ZELT_ERR_CTX_INVALID
    assert lib.zelt_outputs_get(12345, 1, (simlib.ZELTOutput * 1)(), None) == simlib.ZELT_ERR_CTX_INVALID
    assert lib.zelt_set_core_mask(ctx, 1) == simlib.ZELT_ERR_CTX_INVALID


def test_versions_perf_and_memory_profile(lib, container):
    flag = simlib.ZELT_FLAG_COLLECT_PERF_MASK | simlib.ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK | 1
    with simlib.Model(lib, container, flag) as m:
        m.infer([X])
        v = simlib.ZELTSDKVersion()
        assert m.query(simlib.ZELT_QUERY_SDK_VERSION, v) == 0 and v.api_version and v.drv_version
        run = simlib.ZELTPerfRun()
        assert m.query(simlib.ZELT_QUERY_PERF_RUN, run) == 0 and run.run_duration >= 0
        detail = simlib.ZELTPerfDetail()
        assert m.query(simlib.ZELT_QUERY_PERF_DETAIL, detail) == 0
        text = detail.perf_data[:detail.data_len].decode()
        assert "Conv+Act" in text and "Mul" in text and len(text) == detail.data_len
        assert m.query(simlib.ZELT_QUERY_MEM_SIZE, detail) == 0
        mem = zelt_perf.collect_memory_detail(detail.perf_data[:detail.data_len].decode())
        assert mem["system_memory"]["total_allocation"] >= len(container)
        assert mem["npu_memory"]["maximum_allocation"] >= 4 * (60 + 40 + 60)
    with simlib.Model(lib, container) as m:  # neither text without its flag
        m.infer([X])
        assert m.query(simlib.ZELT_QUERY_PERF_DETAIL, detail) == simlib.ZELT_ERR_FAIL
        assert m.query(simlib.ZELT_QUERY_MEM_SIZE, detail) == simlib.ZELT_ERR_FAIL


def test_load_model_in_npu_reads_the_file(lib, container, tmp_path, reference):
    path = tmp_path / "m.zelt"
    path.write_bytes(container)
    flag = simlib.ZELT_FLAG_LOAD_MODEL_IN_NPU | 1
    with simlib.Model(lib, str(path).encode(), flag) as m:
        np.testing.assert_allclose(m.infer([X])[1], reference(X)[1])
    with pytest.raises(simlib.RuntimeError_) as e:
        simlib.Model(lib, str(tmp_path / "missing.zelt").encode(), flag)
    assert e.value.code == simlib.ZELT_ERR_MODEL_INVALID


def test_four_argument_init_and_init2(container):
    """KESTA/VORIN callers pass no extension; remote callers use zelt_init2 with or without a device."""
    lib = ctypes.CDLL(simlib.LIB_PATH)
    lib.zelt_init.argtypes = [POINTER(c_ulonglong), c_void_p, c_uint, c_uint]
    for call in (lambda h: lib.zelt_init(byref(h), container, len(container), 1),
                 lambda h: lib.zelt_init2(byref(h), container, len(container), 1, None)):
        h = c_ulonglong(0)
        assert call(h) == 0 and h.value > 0
        assert lib.zelt_destroy(c_ulonglong(h.value)) == 0


@pytest.mark.parametrize("mask,code", [(0, 0), (1, 0), (3, 0), (7, 0), (5, simlib.ZELT_ERR_PARAM_INVALID)])
def test_core_mask_picks_threads(model, reference, mask, code):
    assert model.lib.zelt_set_core_mask(model.ctx, mask) == code
    np.testing.assert_allclose(model.infer([X])[0], reference(X)[0], rtol=1e-5, atol=1e-6)


def test_contexts_run_concurrently(lib, container, reference):
    errors = []

    def worker(seed):
        try:
            x = np.random.RandomState(seed).randn(1, 3, 4, 5).astype(np.float32)
            want = reference(x)
            with simlib.Model(lib, container) as m:
                for _ in range(30):
                    got = m.infer([x])
                    np.testing.assert_allclose(got[0], want[0], rtol=1e-5, atol=1e-6)
        except Exception as exc:  # reported after join
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_init_rejects_bad_arguments(lib, container):
    h = c_ulonglong(0)
    assert lib.zelt_init(None, container, len(container), 1, None) == simlib.ZELT_ERR_PARAM_INVALID
    assert lib.zelt_init(byref(h), None, 10, 1, None) == simlib.ZELT_ERR_PARAM_INVALID
    wrong_magic = struct.pack("<Q", 0x1234) + container[8:]
    assert lib.zelt_init(byref(h), wrong_magic, len(wrong_magic), 1, None) == simlib.ZELT_ERR_MODEL_INVALID


def test_destroy_while_another_thread_runs(lib, container):
    m = simlib.Model(lib, container)
    assert m.set_inputs([X]) == 0
    codes = []
    started = threading.Event()

    def runner():
        for _ in range(100000):  # until the destroy is seen
            codes.append(lib.zelt_run(m.ctx, None))
            started.set()
            if codes[-1] != 0:
                break

    t = threading.Thread(target=runner)
    t.start()
    started.wait()
    assert lib.zelt_destroy(m.ctx) == 0
    t.join()
    assert set(codes) <= {0, simlib.ZELT_ERR_CTX_INVALID} and codes[-1] == simlib.ZELT_ERR_CTX_INVALID


def _lent_text(m, cmd):
    detail = simlib.ZELTPerfDetail()
    assert m.query(cmd, detail) == 0
    # The text is read after the call, from the library's memory, as the session reads it (the c_char_p
    # field itself would be copied out up to a NUL).
    address = c_void_p.from_buffer(detail, simlib.ZELTPerfDetail.perf_data.offset).value
    return ctypes.string_at(address, detail.data_len)


def _hammer(seconds, *loops):
    """Runs each loop function on its own thread until `seconds` pass or one of them fails."""
    stop, errors = threading.Event(), []

    def body(loop):
        try:
            while not stop.is_set():
                loop()
        except Exception as exc:  # reported after join
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=body, args=(loop,)) for loop in loops]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join()
    assert not errors, errors[0]


def test_lent_texts_stay_valid_while_other_threads_run_and_query(lib, container):
    """The per-layer report stays intact while another thread runs (a run marks it stale, the next query
    of that kind replaces it), and an unchanged memory profile keeps its buffer for every concurrent reader."""
    flag = simlib.ZELT_FLAG_COLLECT_PERF_MASK | simlib.ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK | 1
    with simlib.Model(lib, container, flag) as m:
        m.infer([X])
        mem = _lent_text(m, simlib.ZELT_QUERY_MEM_SIZE)

        def run():
            assert lib.zelt_run(m.ctx, None) == 0

        def read_perf():
            text = _lent_text(m, simlib.ZELT_QUERY_PERF_DETAIL).decode()
            assert text.startswith("ID ") and "Conv+Act" in text and text.endswith("\n"), repr(text[:80])
            assert text.splitlines()[-1].startswith("Run duration (us): ")

        def read_mem():
            assert _lent_text(m, simlib.ZELT_QUERY_MEM_SIZE) == mem

        _hammer(1.5, run, read_perf, read_mem, read_mem)


def test_lent_outputs_stay_valid_until_their_release(lib, container, reference):
    """Buffers lent by zelt_outputs_get are the caller's until it releases them: other threads' runs,
    gets and releases on the same context leave them alone."""
    want = reference(X)
    with simlib.Model(lib, container) as m:
        assert m.set_inputs([X]) == 0
        m.run()

        def lend_and_check():
            outs = (simlib.ZELTOutput * 2)()
            for i in range(2):
                outs[i].index = i
            assert lib.zelt_outputs_get(m.ctx, 2, outs, None) == 0
            try:
                for i in range(2):
                    assert lib.zelt_run(m.ctx, None) == 0  # a later run writes the engine's own outputs
                    got = np.frombuffer(ctypes.string_at(outs[i].buf, outs[i].size), np.float32)
                    np.testing.assert_allclose(got, want[i].ravel(), rtol=1e-5, atol=1e-6)
            finally:
                assert lib.zelt_outputs_release(m.ctx, 2, outs) == 0
            assert lib.zelt_outputs_release(m.ctx, 2, outs) == simlib.ZELT_ERR_OUTPUT_INVALID

        _hammer(1.0, lend_and_check, lend_and_check, lend_and_check)


def test_tensors_beyond_the_32_bit_size_field_are_refused_at_load(lib):
    """2^30 float32 elements are 4 GiB: no attribute or buffer size can say so."""
    from exportgraph import ExportGraph

    for shape in ([2 ** 30], [2 ** 15, 2 ** 15]):
        g = ExportGraph()
        data = g.container([g.node("Relu", [g.input(shape)])])
        h = c_ulonglong(0)
        assert lib.zelt_init(byref(h), data, len(data), 1, None) == simlib.ZELT_ERR_MODEL_INVALID
    g = ExportGraph()  # an output of 2^30 elements from a small input
    data = g.container([g.node("Expand", [g.input([1]), g.const([1], [2 ** 30], 1)])])
    assert lib.zelt_init(byref(h), data, len(data), 1, None) == simlib.ZELT_ERR_MODEL_INVALID
    g = ExportGraph()  # one element less fits
    data = g.container([g.node("Expand", [g.input([1]), g.const([1], [2 ** 30 - 1], 1)])])
    assert lib.zelt_init(byref(h), data, len(data), 1, None) == 0
    a = simlib.ZELTTensorAttr()
    assert lib.zelt_query(h, simlib.ZELT_QUERY_OUTPUT_ATTR, cast(pointer(a), c_void_p), sizeof(a)) == 0
    assert a.size == (2 ** 30 - 1) * 4
    assert lib.zelt_destroy(h) == 0
