"""Rewrite passes: patterns the engine replaces by one operator, against onnxruntime.

Each case checks the result and whether the pattern was rewritten (the per-layer profile names the
operators that ran); patterns whose inner values are read elsewhere, or are graph outputs, stay as written.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from onnx_models import Builder  # noqa: E402
from test_engine_models import _compare  # noqa: E402
from test_engine_nchwc import _feeds, _layer_types, lib  # noqa: E402,F401

SHAPE = (1, 5, 6, 7)


def _silu(b, x, swap=False):
    s = b.op("Sigmoid", [x])
    return b.op("Mul", [s, x] if swap else [x, s])


@pytest.mark.parametrize("case,fused", [
    ("x*sig", True),
    ("sig*x", True),
    ("sig read twice", False),   # the sigmoid's output also feeds an Add
    ("sig is output", False),
    ("sig of other", False),     # Mul(y, Sigmoid(x)): a gate, not SiLU
    ("chain", True),             # SiLU of a SiLU
])
def test_silu(lib, case, fused):
    b = Builder(3)
    outs = []
    x = b.op("Relu", ["x"])
    if case in ("x*sig", "sig*x"):
        y = _silu(b, x, swap=case == "sig*x")
    elif case == "sig read twice":
        s = b.op("Sigmoid", [x])
        y = b.op("Add", [b.op("Mul", [x, s]), s])
    elif case == "sig is output":
        s = b.op("Sigmoid", [x])
        y = b.op("Mul", [x, s])
        outs.append(s)
    elif case == "sig of other":
        y = b.op("Mul", ["x", b.op("Sigmoid", [x])])
    else:
        y = _silu(b, _silu(b, x), swap=True)
    model = b.model([("x", SHAPE)], [y] + outs)
    _compare(lib, model, _feeds(model))
    types = _layer_types(lib, model)
    assert ("Sigmoid" not in types) == fused, types


@pytest.mark.parametrize("op", ["Identity", "Dropout"])
def test_copies_are_dropped(lib, op):
    b = Builder(4)
    y = b.op(op, [b.op("Relu", ["x"])])
    z = b.op(op, [b.op("Add", [y, y])])  # a copy whose output is the graph's output stays
    model = b.model([("x", SHAPE)], [z])
    _compare(lib, model, _feeds(model))
