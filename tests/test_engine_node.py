"""ONNX backend node tests through the model compiler and the simulator library.

Every test case that the onnx package ships under backend/test/data/node is
compiled and run; its stored outputs are the reference.  A case is skipped
when the compiler or the engine refuses it (an operator, data type or form the
engine does not run: the refusal names it).  Inputs that the engine reads as
load-time parameters (shapes, axes, pads, scales...) or that are not float are
frozen into the model as constants, since the engine runs static graphs.
Tolerance: |actual - expected| <= 1e-5 + 1e-3 * |expected|, the backend
suite's relative tolerance with a small absolute floor for float32 sums.
"""
import glob
import os

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import numpy_helper  # noqa: E402

import simlib  # noqa: E402
from zeltlite.convert import PARAMETER_INPUTS, compile_model  # noqa: E402

NODE_DIR = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "node")
CASES = sorted(os.path.basename(d) for d in glob.glob(os.path.join(NODE_DIR, "test_*")))
RTOL, ATOL = 1e-3, 1e-5


def _load_case(name):
    case = os.path.join(NODE_DIR, name)
    model = onnx.load(os.path.join(case, "model.onnx"))
    data_dir = os.path.join(case, "test_data_set_0")

    def read(prefix):
        files = sorted(glob.glob(os.path.join(data_dir, prefix + "_*.pb")),
                       key=lambda p: int(p.rsplit("_", 1)[1].split(".")[0]))
        out = []
        for f in files:
            t = onnx.TensorProto()
            with open(f, "rb") as fh:
                t.ParseFromString(fh.read())
            out.append(numpy_helper.to_array(t))
        return out

    return model, read("input"), read("output")


def _freeze_parameters(model, inputs):
    """Turns parameter and non-float inputs into initialisers; returns the remaining input arrays."""
    g = model.graph
    inits = {t.name for t in g.initializer}
    graph_inputs = [vi for vi in g.input if vi.name not in inits]
    params = set()
    for node in g.node:
        for pos in PARAMETER_INPUTS.get(node.op_type, ()):
            if pos < len(node.input) and node.input[pos]:
                params.add(node.input[pos])
    keep_vi, keep_arrays = [], []
    for vi, arr in zip(graph_inputs, inputs):
        try:
            same_type = numpy_helper.from_array(arr).data_type == vi.type.tensor_type.elem_type
        except ValueError:
            same_type = False
        if not same_type:
            pytest.skip("input type {} has no numpy equivalent".format(vi.type.tensor_type.elem_type))
        if vi.name in params or arr.dtype != np.float32:
            g.initializer.append(numpy_helper.from_array(arr, vi.name))
        else:
            keep_vi.append(vi)
            keep_arrays.append(arr)
        # Static shapes come from the data.
        if vi.name not in params and arr.dtype == np.float32:
            dims = vi.type.tensor_type.shape.dim
            del dims[:]
            for d in arr.shape:
                dims.add().dim_value = d
    for vi in list(g.input):
        if vi.name not in inits:
            g.input.remove(vi)
    g.input.extend(keep_vi)
    return keep_arrays


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


@pytest.mark.parametrize("case", CASES)
def test_node(case, lib):
    model = onnx.load(os.path.join(NODE_DIR, case, "model.onnx"))
    if any(not vi.type.HasField("tensor_type") for vi in list(model.graph.input) + list(model.graph.output)):
        pytest.skip("sequence or optional values")
    model, inputs, expected = _load_case(case)
    if not expected or any(e.dtype != np.float32 for e in expected):
        pytest.skip("outputs are not float32")
    arrays = _freeze_parameters(model, inputs)
    try:
        data = compile_model(model, "tx5100")
    except ValueError as exc:
        pytest.skip("compiler: {}".format(exc))
    try:
        m = simlib.Model(lib, data)
    except simlib.RuntimeError_ as exc:
        assert exc.code == simlib.ZELT_ERR_MODEL_INVALID
        pytest.skip("engine refuses the graph")
    with m:
        if any(a.size == 0 for a in arrays):
            pytest.skip("empty input")
        outputs = m.infer(arrays)
    assert len(outputs) == len(expected)
    for got, want in zip(outputs, expected):
        np.testing.assert_allclose(got, want.reshape(got.shape) if want.size == got.size else want, rtol=RTOL,
                                   atol=ATOL)
        assert got.shape == want.shape or (got.size == want.size == 1)
