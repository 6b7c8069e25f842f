"""The compiler's operator list and the engine's registry agree.

The list is generated from the engine's registry at build time; these tests hold the built library to it:
every listed operator loads and runs in the engine from a hand-written export section (no compiler in
between, which removes some operators before the engine sees them), and every other ONNX operator is
refused by the engine.
"""
import struct

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")

import simlib  # noqa: E402
from zeltlite.api.zelt_model import ZELTModel  # noqa: E402
from zeltlite.convert import SUPPORTED_OPS  # noqa: E402

X = (1, 2, 4, 4)


def _c(values, dtype=np.float32):
    return np.asarray(values, dtype=dtype)


def _i(values):
    return _c(values, np.int64)


# Operators that need more than the input x (float, shape X): (inputs after x, attributes, outputs,
# shape of x).  Arrays are constants; "x" repeats the input; "" is an absent optional input.
OPERANDS = {
    "PRelu": ([_c(np.full((2, 1, 1), 0.1))], {}, 1, X),
    "Conv": ([_c(np.ones((3, 2, 1, 1)))], {}, 1, X),
    "ConvTranspose": ([_c(np.ones((2, 3, 1, 1)))], {}, 1, X),
    "MaxPool": ([], {"kernel_shape": [2, 2]}, 1, X),
    "AveragePool": ([], {"kernel_shape": [2, 2]}, 1, X),
    "Gemm": ([_c(np.ones((4, 3)))], {}, 1, (2, 4)),
    "MatMul": ([_c(np.ones((4, 4)))], {}, 1, X),
    "BatchNormalization": ([_c([1, 2]), _c([0, 1]), _c([0.5, 0]), _c([1, 2])], {}, 1, X),
    "LRN": ([], {"size": 3}, 1, X),
    "Concat": (["x"], {"axis": 1}, 1, X),
    "Split": ([], {"axis": 1}, 2, X),
    "Slice": ([_i([0]), _i([1]), _i([1])], {}, 1, X),
    "Gather": ([_i([0])], {}, 1, X),
    "Reshape": ([_i([2, 16])], {}, 1, X),
    "Unsqueeze": ([_i([0])], {}, 1, X),
    "Pad": ([_i([0, 0, 1, 1, 0, 0, 1, 1])], {}, 1, X),
    "Resize": (["", _c([1, 1, 2, 2])], {}, 1, X),
    "Expand": ([_i([2, 2, 4, 4])], {}, 1, X),
}
BINARY = {"Add", "Sub", "Mul", "Div", "Pow", "Max", "Min", "Sum", "Mean"}


def _s(text):
    b = text.encode()
    return struct.pack("<I", len(b)) + b


def _attr(value):
    if isinstance(value, int):
        return struct.pack("<Bq", 0, value)
    return struct.pack("<BI{}q".format(len(value)), 2, len(value), *value)


def _container(op, extra, attrs, n_out, shape):
    """A model container whose graph is one `op` node reading input x (float32 `shape`)."""
    tensors = [_s("x") + struct.pack("<BBB{}q".format(len(shape)), 0, 0, len(shape), *shape)]
    ids = [0]
    for k, value in enumerate(extra):
        if isinstance(value, str):
            ids.append(0 if value == "x" else -1)
            continue
        dtype = 1 if value.dtype == np.int64 else 0
        header = struct.pack("<BBB{}q".format(value.ndim), 1, dtype, value.ndim, *value.shape)
        tensors.append(_s("c{}".format(k)) + header + value.astype("<i8" if dtype else "<f4").tobytes())
        ids.append(len(tensors) - 1)
    outs = []
    for k in range(n_out):
        tensors.append(_s("y{}".format(k)) + struct.pack("<B", 3))
        outs.append(len(tensors) - 1)
    node = (_s(op) + _s("n") + struct.pack("<I{}i".format(len(ids)), len(ids), *ids)
            + struct.pack("<I{}I".format(n_out), n_out, *outs) + struct.pack("<I", len(attrs))
            + b"".join(_s(k) + _attr(v) for k, v in sorted(attrs.items())))
    export = (b"ZENG" + struct.pack("<II", 1, len(tensors)) + b"".join(tensors) + struct.pack("<II", 1, 0)
              + struct.pack("<I{}I".format(n_out), n_out, *outs) + struct.pack("<I", 1) + node)
    return ZELTModel.create_zelt_model(1, export, b'{"target_platform": ["TX5100"]}', None, None)


def _onnx_operators():
    return sorted({s.name for s in onnx.defs.get_all_schemas_with_history() if s.domain in ("", "ai.onnx")})


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


@pytest.mark.parametrize("op", sorted(SUPPORTED_OPS))
def test_every_listed_operator_runs_in_the_engine(lib, op):
    extra, attrs, n_out, shape = OPERANDS.get(op, (["x"] if op in BINARY else [], {}, 1, X))
    x = np.random.RandomState(0).rand(*shape).astype(np.float32) + 0.5
    with simlib.Model(lib, _container(op, extra, attrs, n_out, shape)) as m:
        outputs = m.infer([x])
    assert len(outputs) == n_out
    if op in ("Identity", "Dropout"):
        np.testing.assert_array_equal(outputs[0].reshape(shape), x)


@pytest.mark.parametrize("op", sorted(set(_onnx_operators()) - SUPPORTED_OPS))
def test_every_other_operator_is_refused_by_the_engine(lib, op):
    with pytest.raises(simlib.RuntimeError_) as info:
        simlib.Model(lib, _container(op, [], {}, 1, X)).close()
    assert info.value.code == simlib.ZELT_ERR_MODEL_INVALID
