"""The engine's thread pool on an oversubscribed machine: tasks go to whichever thread claims them, so the
split of the work varies from run to run, never the results."""
import subprocess
import sys

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")

import simlib  # noqa: E402
from onnx_models import Builder, mobilenet_like  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


def _plain_ops_model():
    """Operators that split their work with parallel_for and run_tasks outside the blocked kernels."""
    b = Builder(21)
    y = b.op("Relu", [b.conv("x", 3, 6, 3, group=3)])
    y = b.op("Resize", [y, "", b.const(np.array([1, 1, 2, 2], np.float32))], mode="linear")
    t = b.op("Reshape", [y, b.const(np.array([1, 6, -1], np.int64))])
    att = b.op("Softmax", [b.op("MatMul", [b.op("Transpose", [t], perm=[0, 2, 1]), t])], axis=-1)
    pooled = b.op("ReduceMean", [b.op("MatMul", [att, b.op("Transpose", [t], perm=[0, 2, 1])])], axes=[1],
                  keepdims=0)
    return b.model([("x", [1, 3, 12, 10])], [b.op("Gemm", [pooled, b.weight((5, 6), 6)], transB=1), y])


@pytest.fixture
def competitor():
    """One CPU-bound process beside the test, stopped by its pid."""
    p = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    yield p
    p.kill()
    p.wait()


# The blocked kernels sum every output in the same order whoever computes it, so their results do not
# depend on the thread count either; OpenBLAS products split by rows may differ in the last bit.
@pytest.mark.parametrize("model,same_for_all_counts", [(mobilenet_like(size=64, width=0.5, classes=10), True),
                                                       (_plain_ops_model(), False)], ids=["blocked", "plain"])
def test_results_do_not_depend_on_who_claims_the_work(competitor, model, same_for_all_counts):
    lib = simlib.load_library()
    x = np.random.RandomState(4).rand(*[d.dim_value for d in model.graph.input[0].type.tensor_type.shape.dim])
    data, feeds = compile_model(model, "tx5100"), [x.astype(np.float32)]
    with simlib.Model(lib, data) as m:
        first = {}
        # Two threads, and more threads than the machine has cores beside a busy process: some are
        # descheduled while they hold work, or wake after the others took theirs.
        for mask in (1, 3, 7, 3, 7):
            assert lib.zelt_set_core_mask(m.ctx, mask) == 0
            want = first.setdefault(1 if same_for_all_counts else mask, m.infer(feeds))
            for _ in range(20):
                for got, w in zip(m.infer(feeds), want):
                    assert np.array_equal(got, w)


def _attention_model(batch, heads, seq, dim):
    """Attention-shaped plain operators: head split by Transpose (0,2,1,3), keys transposed (0,1,3,2),
    batched MatMuls of [B,H,S,D] x [B,H,D,S], a product with a shared weight folded over the batch, Gemm."""
    b = Builder(22)
    x = b.op("Reshape", ["x", b.const(np.array([batch, seq, heads, dim], np.int64))])
    q = b.op("Transpose", [x], perm=[0, 2, 1, 3])
    k = b.op("Transpose", [q], perm=[0, 1, 3, 2])
    att = b.op("MatMul", [q, k])
    mixed = b.op("MatMul", [att, q])
    back = b.op("Transpose", [mixed], perm=[0, 2, 3, 1])  # innermost axis moved, odd extents
    flat = b.op("Reshape", [back, b.const(np.array([batch, seq, heads * dim], np.int64))])
    proj = b.op("MatMul", [flat, b.weight((heads * dim, 7), heads * dim)])
    last = b.op("Gemm", [b.op("Reshape", [proj, b.const(np.array([batch * seq, 7], np.int64))]),
                         b.weight((7, 5), 7), b.const(np.ones(5, np.float32))])
    return b.model([("x", [batch, seq, heads * dim])], [last, back])


@pytest.mark.parametrize("shape", [(1, 3, 17, 8), (2, 4, 9, 5), (3, 1, 33, 12)])
def test_attention_products_match_onnxruntime_at_every_thread_count(competitor, shape):
    ort = pytest.importorskip("onnxruntime")
    model = _attention_model(*shape)
    x = np.random.RandomState(5).randn(shape[0], shape[2], shape[1] * shape[3]).astype(np.float32)
    want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, {"x": x})
    lib = simlib.load_library()
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        for mask in (1, 3, 7):
            assert lib.zelt_set_core_mask(m.ctx, mask) == 0
            for got, w in zip(m.infer([x]), want):
                np.testing.assert_allclose(got.reshape(w.shape), w, rtol=1e-4, atol=1e-4)
