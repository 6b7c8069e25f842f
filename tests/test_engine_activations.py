"""Activation kernels and the epilogues that fuse them into convolutions, Gemm and MatMul.

The kernels against a float64 reference over their whole range (special values included) and against
onnxruntime; each epilogue in each convolution path (blocked, depthwise, plain, plain output, residual) and
after Gemm and MatMul, against onnxruntime and against the same graph with the fusion prevented.
"""
import math

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from test_engine_models import _compare  # noqa: E402
from test_engine_nchwc import _conv, _feeds, _layer_types, lib  # noqa: E402,F401
from zeltlite.convert import compile_model  # noqa: E402

OPSET = 20  # Gelu

_erf = np.vectorize(math.erf)

# name: (graph builder on value v, float64 reference)
ACTS = {
    "sigmoid": (lambda b, v: b.op("Sigmoid", [v]), lambda x: 1 / (1 + np.exp(-x))),
    "silu": (lambda b, v: b.op("Mul", [v, b.op("Sigmoid", [v])]), lambda x: x / (1 + np.exp(-x))),
    "tanh": (lambda b, v: b.op("Tanh", [v]), np.tanh),
    "exp": (lambda b, v: b.op("Exp", [v]), np.exp),
    "erf": (lambda b, v: b.op("Erf", [v]), _erf),
    "gelu": (lambda b, v: b.op("Gelu", [v]), lambda x: 0.5 * x * (1 + _erf(x / math.sqrt(2)))),
    "gelu_tanh": (lambda b, v: b.op("Gelu", [v], approximate="tanh"),
                  lambda x: 0.5 * x * (1 + np.tanh(math.sqrt(2 / math.pi) * (x + 0.044715 * x ** 3)))),
    "hardsigmoid": (lambda b, v: b.op("HardSigmoid", [v], alpha=0.3, beta=0.4),
                    lambda x: np.clip(0.3 * x + 0.4, 0, 1)),
    "hardswish": (lambda b, v: b.op("HardSwish", [v]), lambda x: x * np.clip(x / 6 + 0.5, 0, 1)),
    "elu": (lambda b, v: b.op("Elu", [v], alpha=0.7), lambda x: np.where(x < 0, 0.7 * np.expm1(x), x)),
    "mish": (lambda b, v: b.op("Mish", [v]), lambda x: x * np.tanh(np.logaddexp(0, x))),
    "softplus": (lambda b, v: b.op("Softplus", [v]), lambda x: np.logaddexp(0, x)),
    "relu": (lambda b, v: b.op("Relu", [v]), lambda x: np.maximum(x, 0)),
    "leaky": (lambda b, v: b.op("LeakyRelu", [v], alpha=0.2), lambda x: np.where(x < 0, 0.2 * x, x)),
    "clip": (lambda b, v: b.clip6(v), lambda x: np.clip(x, 0, 6)),
}
HEAVY = sorted(set(ACTS) - {"relu", "leaky", "clip"})


def _run(lib, model, feeds):
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        return m.infer(list(feeds.values()))


def _inputs():
    """A sweep of [-12, 12], small and huge magnitudes, the limits of exp and the special values; the count
    leaves a partial vector."""
    x = np.concatenate([np.linspace(-12, 12, 20001), np.linspace(-1e-3, 1e-3, 201),
                        np.geomspace(1e-30, 150, 300), -np.geomspace(1e-30, 150, 300),
                        [0, -0.0, np.inf, -np.inf, np.nan, 88.7, 88.8, -87.3, -103.5, -104, 1e30, -1e30]])
    return x.astype(np.float32)


@pytest.mark.parametrize("name", sorted(ACTS))
def test_kernels_against_float64(lib, name):
    """Within a few float32 ulp of the exact value, or 2e-7 where it is smaller than ~1 (cancellation inside
    the formula itself, as in onnxruntime's); NaN and infinities where the exact function has them."""
    build, ref = ACTS[name]
    b = Builder(0, opset=OPSET)
    x = _inputs()
    model = b.model([("x", [x.size])], [build(b, "x")])
    got = _run(lib, model, {"x": x})[0].astype(np.float64)
    with np.errstate(all="ignore"):
        want = ref(x.astype(np.float64))
        want32 = want.astype(np.float32)
    assert np.array_equal(np.isnan(got), np.isnan(want32))
    inf = np.isinf(want32)
    assert np.array_equal(got[inf], want32[inf])
    fin = ~np.isnan(want32) & ~inf
    err = np.abs(got[fin] - want[fin])
    assert np.all(err <= 4 * np.spacing(np.abs(want32[fin])) + 2e-7), x[fin][np.argmax(err)]


@pytest.mark.parametrize("name", HEAVY)
def test_kernels_against_onnxruntime(lib, name):
    b = Builder(1, opset=OPSET)
    model = b.model([("x", [3, 5, 7, 3])], [ACTS[name][0](b, "x")])
    _compare(lib, model, {"x": (np.random.RandomState(0).randn(3, 5, 7, 3) * 3).astype(np.float32)})


def _fused_and_unfused(lib, build, shape, expect):
    """Runs build(b, expose) twice: as written, where the activations fuse, and with `expose` making their
    inputs graph outputs too, so that they run on their own.  Both against onnxruntime, and each other."""
    results = []
    for expose in (False, True):
        b = Builder(7, opset=OPSET)
        extra = []
        outs = build(b, (lambda v: extra.append(v) or v) if expose else (lambda v: v))
        model = b.model([("x", shape)], outs + extra)
        feeds = _feeds(model)
        _compare(lib, model, feeds)
        types = _layer_types(lib, model)
        if not expose:
            assert expect in types, types
        results.append(_run(lib, model, feeds)[:len(outs)])
    for fused, plain in zip(*results):
        assert np.allclose(fused, plain, rtol=1e-5, atol=1e-6)


# Each convolution path with the activation after it: (input channels, output channels, kernel, stride,
# group, pads); the first layer makes the input blocked where the second accepts it.
CONVS = {
    "blocked": (5, 13, 3, 1, 1, [1, 1, 1, 1]),
    "blocked strided": (12, 20, 3, 2, 1, [0, 1, 2, 0]),
    "pointwise": (9, 17, 1, 1, 1, [0, 0, 0, 0]),
    "depthwise": (12, 12, 3, 2, 12, [1, 1, 1, 1]),
    "grouped (plain)": (12, 6, 3, 1, 3, [1, 1, 1, 1]),
}


@pytest.mark.parametrize("conv", sorted(CONVS))
@pytest.mark.parametrize("name", HEAVY)
def test_conv_epilogues(lib, conv, name):
    cin, cout, k, stride, group, pads = CONVS[conv]

    def build(b, expose):
        x = b.op("Relu", [_conv(b, "x", 3, cin, 3)])
        y = ACTS[name][0](b, expose(_conv(b, x, cin, cout, k, stride, group=group, pads=pads)))
        return [_conv(b, y, cout, 4, 1, pads=[0, 0, 0, 0])]  # blocked input, plain output

    _fused_and_unfused(lib, build, [1, 3, 11, 10], "Conv+Act")


@pytest.mark.parametrize("name", ["silu", "hardswish", "gelu"])
@pytest.mark.parametrize("where", ["plain output", "residual", "plain input", "elementwise"])
def test_epilogue_placements(lib, name, where):
    """The activation on a convolution writing a plain graph output, after a fused residual Add, on a plain
    convolution of a graph input, and after an Add of two blocked values."""
    act = ACTS[name][0]

    def build(b, expose):
        x = b.op("Relu", [_conv(b, "x", 3, 12, 3)])
        if where == "plain output":
            return [act(b, expose(_conv(b, x, 12, 10, 3, stride=2)))]
        if where == "residual":
            y = act(b, expose(b.op("Add", [_conv(b, x, 12, 12, 3), x])))
            return [_conv(b, y, 12, 4, 1, pads=[0, 0, 0, 0])]
        if where == "plain input":
            return [act(b, expose(_conv(b, "x", 3, 7, 3)))]
        s = b.op("Add", [b.op("Relu", [_conv(b, x, 12, 12, 3, group=12)]),
                         b.op("Relu", [_conv(b, x, 12, 12, 1, pads=[0, 0, 0, 0])])])
        return [_conv(b, act(b, expose(s)), 12, 4, 1, pads=[0, 0, 0, 0])]

    expect = {"plain output": "Conv+Act", "residual": "Conv+Add+Act", "plain input": "Conv+Act",
              "elementwise": "Add+Act"}[where]
    _fused_and_unfused(lib, build, [2, 3, 9, 13], expect)


def test_activations_keep_the_blocked_layout(lib):
    """An activation between blocked convolutions that cannot fuse (its input is read twice) runs blocked:
    no conversion to NCHW and back."""
    b = Builder(8, opset=OPSET)
    x = b.op("Relu", [_conv(b, "x", 3, 12, 3)])
    y = _conv(b, x, 12, 12, 3)
    z = b.op("Add", [ACTS["hardswish"][0](b, y), ACTS["sigmoid"][0](b, y)])
    model = b.model([("x", [1, 3, 10, 10])], [_conv(b, z, 12, 4, 1, pads=[0, 0, 0, 0])])
    _compare(lib, model, _feeds(model))
    assert "Reorder" not in _layer_types(lib, model)


@pytest.mark.parametrize("bias", ["row", "row 2-D", "bias first", "full (not fused)", "none"])
@pytest.mark.parametrize("name", ["gelu", "gelu_tanh", "relu"])
def test_matmul_bias_activation(lib, bias, name):
    """A linear layer's MatMul, bias Add and activation in one operator (a transformer's MLP); a bias of the
    whole output's shape stays a separate Add."""
    rows, k, n = 13, 40, 70

    def build(b, expose):
        w = b.weight((k, n), k)
        y = b.op("MatMul", ["x", w])
        if bias != "none":
            shape = {"row": (n,), "row 2-D": (1, n), "bias first": (n,), "full (not fused)": (rows, n)}[bias]
            c = b.const(b.rng.randn(*shape).astype(np.float32))
            y = b.op("Add", [c, y] if bias == "bias first" else [y, c])
        return [ACTS[name][0](b, expose(y))]

    expect = {"none": "MatMul+Act", "full (not fused)": "Add"}.get(bias, "MatMul+Add+Act")
    _fused_and_unfused(lib, build, [2, rows, k], expect)


@pytest.mark.parametrize("name", ["gelu", "hardswish", "relu"])
@pytest.mark.parametrize("views", ["tokens", "flatten"])
def test_activation_after_views(lib, name, views):
    """An activation on the tokens a convolution's output was turned into (Reshape, Transpose), or on a
    linear layer's rows flattened, runs before the views and fuses; with the viewed value read elsewhere
    too it stays after them."""
    def build(b, expose):
        if views == "tokens":
            x = b.op("Reshape", [_conv(b, "x", 3, 12, 3), b.const(np.array([2, 12, -1], np.int64))])
            y = ACTS[name][0](b, expose(b.op("Transpose", [x], perm=[0, 2, 1])))
            return [b.op("MatMul", [y, b.weight((12, 5), 12)])]
        x = b.op("MatMul", [b.op("Reshape", ["x", b.const(np.array([2, 27, 13], np.int64))]), b.weight((13, 6), 13)])
        return [ACTS[name][0](b, expose(b.op("Flatten", [x], axis=2)))]

    _fused_and_unfused(lib, build, [2, 3, 9, 13], "Conv+Act" if views == "tokens" else "MatMul+Act")


@pytest.mark.parametrize("name", ["sigmoid", "tanh", "hardsigmoid"])
def test_gemm_activation(lib, name):
    def build(b, expose):
        y = b.op("Gemm", ["x", b.weight((30, 21), 21), b.const(np.ones(30, np.float32))], transB=1)
        return [ACTS[name][0](b, expose(y))]

    _fused_and_unfused(lib, build, [9, 21], "Gemm+Act")
