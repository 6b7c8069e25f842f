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
