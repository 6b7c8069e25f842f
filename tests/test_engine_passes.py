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


@pytest.mark.parametrize("case,fused", [
    ("x*hs", True),
    ("hs*x", True),
    ("other alpha", False),  # HardSigmoid's default alpha 0.2: a gate, not HardSwish
    ("hs read twice", False),
])
def test_hardswish(lib, case, fused):
    b = Builder(5)
    x = b.op("Relu", ["x"])
    alpha = 0.2 if case == "other alpha" else 1 / 6
    hs = b.op("HardSigmoid", [x], alpha=alpha, beta=0.5)
    y = b.op("Mul", [hs, x] if case == "hs*x" else [x, hs])
    if case == "hs read twice":
        y = b.op("Add", [y, hs])
    model = b.model([("x", SHAPE)], [y])
    _compare(lib, model, _feeds(model))
    types = _layer_types(lib, model)
    assert ("HardSigmoid" not in types) == fused, types


def _gelu(b, x, inner, outer, swap):
    """0.5 * x * (1 + f(x)) as exporters write it: f by `inner`, the product's association by `outer`,
    operands of the commutative nodes swapped by `swap`."""
    def mul(p, q):
        return b.op("Mul", [q, p] if swap else [p, q])

    c = b.const
    if inner == "div":
        f = b.op("Erf", [b.op("Div", [x, c(np.float32(np.sqrt(2)))])])
    elif inner == "mul":
        f = b.op("Erf", [mul(x, c(np.float32(1 / np.sqrt(2))))])
    else:
        cube = b.op("Pow", [x, c(np.float32(3))]) if inner == "pow" else mul(x, mul(x, x))
        inner_sum = b.op("Add", [x, mul(c(np.float32(0.044715)), cube)])
        f = b.op("Tanh", [mul(c(np.float32(np.sqrt(2 / np.pi))), inner_sum)])
    one = b.op("Add", [c(np.float32(1)), f] if swap else [f, c(np.float32(1))])
    half = c(np.float32(0.5))
    if outer == "x*a*0.5":
        return mul(mul(x, one), half)
    if outer == "0.5*x*a":
        return mul(mul(half, x), one)
    return mul(x, mul(one, half))


@pytest.mark.parametrize("inner", ["div", "mul", "pow", "cubed"])
@pytest.mark.parametrize("outer", ["x*a*0.5", "0.5*x*a", "x*(a*0.5)"])
@pytest.mark.parametrize("swap", [False, True])
def test_gelu_forms(lib, inner, outer, swap):
    b = Builder(6)
    x = b.op("Add", ["x", b.const(np.float32(0.25))])
    model = b.model([("x", SHAPE)], [_gelu(b, x, inner, outer, swap)])
    _compare(lib, model, _feeds(model))
    types = _layer_types(lib, model)
    assert types[-1] == "Gelu" and len(types) == 2, types


@pytest.mark.parametrize("case", ["erf read twice", "other constant", "other x"])
def test_gelu_lookalikes_stay(lib, case):
    b = Builder(7)
    x = b.op("Add", ["x", b.const(np.float32(0.25))])
    scale = np.float32(1.5 if case == "other constant" else np.sqrt(2))
    f = b.op("Erf", [b.op("Div", [x, b.const(scale)])])
    a = b.op("Add", [f, b.const(np.float32(1))])
    y = b.op("Mul", [b.op("Mul", ["x" if case == "other x" else x, a]), b.const(np.float32(0.5))])
    outs = [y, f] if case == "erf read twice" else [y]
    model = b.model([("x", SHAPE)], outs)
    _compare(lib, model, _feeds(model))
    assert "Erf" in _layer_types(lib, model)


def test_exported_gelu_fuses_into_the_linear_layer(lib):
    """A transformer MLP as torch exports it: MatMul, bias Add, GELU by Erf: one operator."""
    b = Builder(8)
    y = b.op("Add", [b.op("MatMul", ["x", b.weight((24, 50), 24)]), b.const(b.rng.randn(50).astype(np.float32))])
    model = b.model([("x", (1, 11, 24))], [_gelu(b, y, "div", "x*a*0.5", False)])
    _compare(lib, model, _feeds(model))
    assert _layer_types(lib, model) == ["MatMul+Add+Act"]
