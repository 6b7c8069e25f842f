"""Winograd F(4x4, 3x3) convolutions of the blocked layout against onnxruntime.

ZELT_WINOGRAD=1 makes every 3x3 stride-1 convolution with pads up to 1 on a blocked input take it, whatever
its size, so that the edges (planes smaller than a tile or not a multiple of it, channels not a multiple of
8, asymmetric pads, plain outputs, batches) run through it; ZELT_WINOGRAD=0 forces the direct kernel.
Magnitudes as in resnet50: He-initialised weights with a folded BatchNorm scale, inputs of about 10.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from test_engine_models import _assert_close  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


def _conv3(b, x, cin, cout, pads=(1, 1, 1, 1), bias=True):
    """A 3x3 convolution with a BatchNorm-like per-channel scale folded into He-initialised weights."""
    w = b.rng.randn(cout, cin, 3, 3) * np.sqrt(2.0 / (cin * 9)) * b.rng.uniform(0.5, 1.5, (cout, 1, 1, 1))
    inputs = [x, b.const(w.astype(np.float32), "w")]
    if bias:
        inputs.append(b.const((b.rng.randn(cout) * 0.5).astype(np.float32), "b"))
    return b.op("Conv", inputs, kernel_shape=[3, 3], pads=list(pads))


def _conv1(b, x, cin, cout):
    return b.op("Conv", [x, b.weight((cout, cin, 1, 1), cin)], kernel_shape=[1, 1])


def _run(lib, model, x, threads=1):
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        assert lib.zelt_set_core_mask(m.ctx, (1 << threads) - 1) == 0
        return m.infer([x])


def _input(shape, seed=0):
    return (np.random.RandomState(seed).randn(*shape) * 10).astype(np.float32)


def _check(lib, model, x):
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    want = sess.run(None, {"x": x})
    got = _run(lib, model, x)
    for g, w in zip(got, want):
        _assert_close(g, w)
    return got


@pytest.mark.parametrize("hw,cin,cout,pads", [
    ((1, 1), 8, 8, (1, 1, 1, 1)),       # one position: a tile mostly outside the output
    ((2, 3), 12, 20, (1, 1, 1, 1)),
    ((5, 7), 13, 21, (0, 1, 1, 0)),     # asymmetric pads: a 4x6 output
    ((13, 13), 20, 9, (1, 0, 0, 1)),
    ((9, 6), 16, 16, (0, 0, 0, 0)),     # no padding: 7x4
    ((56, 56), 64, 40, (1, 1, 1, 1)),   # many tile groups, in several waves
])
@pytest.mark.parametrize("form", ["act", "residual", "plain", "bare"])
def test_winograd_against_onnxruntime(lib, monkeypatch, hw, cin, cout, pads, form):
    """Each epilogue (bias and Relu; residual Add then Clip; a plain graph output; neither bias nor
    activation) over each geometry, for a batch of 2."""
    monkeypatch.setenv("ZELT_WINOGRAD", "1")
    b = Builder(21)
    x = b.op("Relu", [_conv1(b, "x", 3, cin)])
    # The residual's other operand comes first in the graph, blocked and read by nothing else, so that the
    # convolution under test sums it in place.
    other = b.op("Relu", [_conv3(b, x, cin, cout, pads)]) if form == "residual" else None
    y = _conv3(b, x, cin, cout, pads, bias=form != "bare")
    if form == "residual":
        y = b.clip6(b.op("Add", [other, y]))
    elif form in ("act", "plain"):
        y = b.op("Relu", [y])
    out = y if form == "plain" else _conv1(b, y, cout, 5)
    model = b.model([("x", [2, 3] + list(hw))], [out])
    _check(lib, model, _input([2, 3] + list(hw)))


def _resnet_stage(b, x, c, blocks):
    for _ in range(blocks):
        y = b.op("Relu", [_conv3(b, x, c, c)])
        x = b.op("Relu", [b.op("Add", [_conv3(b, y, c, c), x])])
    return x


@pytest.mark.parametrize("c,hw,blocks", [(64, 56, 3), (128, 28, 4), (256, 14, 3), (24, 30, 2)])
def test_heuristic_choice_and_deep_chains(lib, monkeypatch, c, hw, blocks):
    """resnet-like stages where the heuristic takes Winograd: within tolerance of onnxruntime after every
    convolution of the chain has added its error, and different bits from the direct kernel (so that it is
    the path that ran), which agrees with onnxruntime as well."""
    b = Builder(22)
    x = _resnet_stage(b, b.op("Relu", [_conv1(b, "x", 3, c)]), c, blocks)
    model = b.model([("x", [1, 3, hw, hw])], [_conv1(b, x, c, 7)])
    x = _input([1, 3, hw, hw], seed=1)
    monkeypatch.delenv("ZELT_WINOGRAD", raising=False)
    chosen = _check(lib, model, x)[0]
    monkeypatch.setenv("ZELT_WINOGRAD", "0")
    direct = _check(lib, model, x)[0]
    assert not np.array_equal(chosen, direct)


@pytest.mark.parametrize("c,hw", [(64, 3), (8, 32), (512, 7), (64, 13)])
def test_heuristic_keeps_the_direct_kernel(lib, monkeypatch, c, hw):
    """Planes of one tile, few channels, weights too large for the tiles there are, and fewer than 128
    channels over 16 tiles stay direct."""
    b = Builder(23)
    x = b.op("Relu", [_conv1(b, "x", 3, c)])
    model = b.model([("x", [1, 3, hw, hw])], [_conv1(b, b.op("Relu", [_conv3(b, x, c, c)]), c, 4)])
    x = _input([1, 3, hw, hw])
    monkeypatch.delenv("ZELT_WINOGRAD", raising=False)
    chosen = _run(lib, model, x)[0]
    monkeypatch.setenv("ZELT_WINOGRAD", "0")
    assert np.array_equal(chosen, _run(lib, model, x)[0])


def test_winograd_results_do_not_depend_on_the_thread_count(lib, monkeypatch):
    monkeypatch.setenv("ZELT_WINOGRAD", "1")
    b = Builder(24)
    x = _resnet_stage(b, b.op("Relu", [_conv1(b, "x", 3, 40)]), 40, 1)
    model = b.model([("x", [2, 3, 45, 38])], [_conv1(b, x, 40, 6)])
    x = _input([2, 3, 45, 38])
    assert np.array_equal(_run(lib, model, x, 1)[0], _run(lib, model, x, 2)[0])


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_non_finite_inputs_reach_the_outputs_of_their_windows(lib, monkeypatch, bad):
    """A NaN or an infinity in the input: the same outputs become NaN or infinite as in onnxruntime (the
    Winograd transforms would spread it over whole tiles), and the others keep their values."""
    monkeypatch.setenv("ZELT_WINOGRAD", "1")
    b = Builder(25)
    y = b.op("Relu", [_conv3(b, b.op("Relu", [_conv1(b, "x", 3, 16)]), 16, 24)])
    model = b.model([("x", [1, 3, 11, 10])], [y])
    x = _input([1, 3, 11, 10])
    x[0, 1, 5, 6] = bad
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    want = sess.run(None, {"x": x})[0]
    got = _run(lib, model, x)[0]
    assert np.array_equal(np.isfinite(got), np.isfinite(want)) and not np.isfinite(want).all()
    finite = np.isfinite(want)
    assert np.allclose(got[finite], want[finite], rtol=1e-4, atol=1e-3)
