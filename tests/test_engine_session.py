"""End to end: a ZELTRuntime session on the simulator library runs a compiled model like onnxruntime does."""
import os
from ctypes import c_void_p, cast, pointer, sizeof

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")
zr = pytest.importorskip("zeltlite.api.zelt_runtime")

import zeltlite  # noqa: E402
from onnx_models import mobilenet_like  # noqa: E402
from zeltlite.api import zelt_perf  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

PACKAGE_ROOT = os.path.dirname(os.path.abspath(zeltlite.__file__))


@pytest.fixture(scope="module")
def model():
    return mobilenet_like(size=64, width=0.35, classes=16, seed=3)


@pytest.fixture(scope="module")
def container(model):
    return compile_model(model, "tx5100")


def test_session_runs_a_compiled_model_like_onnxruntime(simulator_chipmap, model, container):
    x = np.random.RandomState(0).rand(1, 3, 64, 64).astype(np.float32)
    want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None,
                                                                                                   {"input": x})[0]
    rt = zr.ZELTRuntime(PACKAGE_ROOT, "SIMULATOR", None, perf_debug=True, eval_memory=True)
    try:
        assert "TALUN" in rt.npu_model
        assert rt.build_graph(container) == 0
        assert rt.get_in_out_num() == (1, 1)
        assert rt.get_output_shape(0) == [1, 16]
        assert rt.set_inputs([x.transpose(0, 2, 3, 1)], None, None) == 0  # NHWC, the session's default
        ret, frame = rt.run(get_frame_id=True)
        assert (ret, frame) == (0, 1)
        outputs = rt.get_outputs(get_frame_id=True)
        assert outputs[-1] == 1
        np.testing.assert_allclose(outputs[0], want, rtol=1e-4, atol=1e-5 * np.abs(want).max())

        assert "Conv+Act" in rt.get_run_perf()
        detail = zr.ZELTPerfDetail()
        assert rt.lib.zelt_query(rt.context, zr.ZELT_QUERY_MEM_SIZE, cast(pointer(detail), c_void_p),
                                 sizeof(detail)) == 0
        memory = zelt_perf.collect_memory_detail(detail.perf_data[:detail.data_len].decode())
        assert memory["system_memory"]["maximum_allocation"] >= len(container)
        assert memory["npu_memory"]["total_allocation"] > 0

        assert rt.set_inputs(None, None, None, eval_perf=True) == 0  # synthetic inputs sized by the attributes
        assert rt.run() == 0
    finally:
        rt.release()


def test_session_reports_runtime_errors_by_name(simulator_chipmap, container):
    rt = zr.ZELTRuntime(PACKAGE_ROOT, "SIMULATOR", None)
    try:
        with pytest.raises(Exception, match="ZELT_ERR_MODEL_INVALID"):
            rt.build_graph(container[:-40])
        rt.build_graph(container)
        with pytest.raises(Exception, match="ZELT_ERR_INPUT_INVALID"):
            rt.set_inputs([np.zeros((1, 64, 64, 2), np.float32)], None, None)
    finally:
        rt.release()
