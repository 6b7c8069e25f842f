"""Window geometry sweep of the channel-blocked kernels against onnxruntime.

Every blocked window kernel (depthwise convolution, MaxPool, AveragePool with and without the padding in
the divisor, and the blocked direct convolution) over each kernel size, stride and dilation, with pads from
none to wider than the window, asymmetric pads, and output extents 1 to 3 and two longer ones; the pooling in
both ceil modes.  Each case is one small model: one branch per geometry, each from its own input through a
1x1 convolution (so that the window operator reads a blocked tensor) into the operator twice, once as a
graph output (written plain) and once read by a blocked reader (written blocked); a pooling also reads the
plain graph input itself.  Pads are kept to
what onnxruntime accepts: below the kernel for pooling, anything for convolution.
"""
import itertools

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from test_engine_models import _assert_close  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

CHANNELS = 12  # one whole channel block and a partial one


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


def _pad_pairs(k, span, pool):
    """(begin, end) pads of one axis: none, one, up to the kernel, and past the window for convolution."""
    values = {0, 1, k - 1} | (set() if pool else {span, span + 1})
    values = sorted(v for v in values if v >= 0 and (not pool or v < k))
    return [(a, b) for a in values for b in values]


def _extent(out, k, s, d, p0, p1, ceil):
    """An input extent that gives `out` outputs, or None."""
    span = (k - 1) * d + 1
    for n in range(1, (out + 1) * s + span + 2):
        room = n + p0 + p1 - span
        if room < 0:
            continue
        got = (room + s - 1) // s + 1 if ceil else room // s + 1
        # A last window that would start in the end padding: onnxruntime's shape inference keeps it and
        # its kernels drop it, so that it cannot serve as the reference there.
        if got == out and not (ceil and (got - 1) * s >= n + p0):
            return n
    return None


def _geometries(k, s, d, pool, ceil):
    """Per branch: (height axis, width axis), each (extent, pad begin, pad end)."""
    span = (k - 1) * d + 1
    branches = []
    for i, (p0, p1) in enumerate(_pad_pairs(k, span, pool)):
        for out in (1, 2, 3, 6, 17):  # 17: the plain depthwise kernels take rows of 16 and more
            w = _extent(out, k, s, d, p0, p1, ceil)
            if w is None:
                continue
            # The height axis takes another pad pair and output extent, so that rows see the variety too.
            q0, q1 = _pad_pairs(k, span, pool)[-1 - i]
            h = _extent(1 + (out + i) % 3, k, s, d, q0, q1, ceil)
            if h is not None:
                branches.append(((h, q0, q1), (w, p0, p1)))
    return branches


def _window(b, kind, x, k, s, d, pads, ceil):
    attrs = dict(kernel_shape=[k, k], strides=[s, s], dilations=[d, d], pads=pads)
    if kind in ("depthwise", "conv"):
        group = CHANNELS if kind == "depthwise" else 1
        w = b.weight((CHANNELS, CHANNELS // group, k, k), CHANNELS // group * k * k)
        bias = b.const((b.rng.randn(CHANNELS) * 0.1).astype(np.float32), "b")
        return b.op("Conv", [x, w, bias], group=group, **attrs)
    attrs["ceil_mode"] = int(ceil)
    if kind == "max":
        return b.op("MaxPool", [x], **attrs)
    return b.op("AveragePool", [x], count_include_pad=int(kind == "avg_pad"), **attrs)


def _pointwise(b, x, cin, cout):
    w = b.weight((cout, cin, 1, 1), cin)
    return b.op("Conv", [x, w], kernel_shape=[1, 1])


def _model(kind, k, s, d, ceil):
    pool = kind not in ("depthwise", "conv")
    # AveragePool takes dilations from opset 19 on.
    b = Builder(k * 100 + s * 10 + d, opset=19 if kind.startswith("avg") else 17)
    inputs, outputs = [], []
    for j, ((h, q0, q1), (w, p0, p1)) in enumerate(_geometries(k, s, d, pool, ceil)):
        name = "x{}".format(j)
        inputs.append((name, [1, 3, h, w]))
        t = b.op("Relu", [_pointwise(b, name, 3, CHANNELS)])
        pads = [q0, p0, q1, p1]
        outputs.append(_window(b, kind, t, k, s, d, pads, ceil))  # a graph output: written plain
        blocked = _window(b, kind, t, k, s, d, pads, ceil)
        # A pooling result goes through an activation that keeps every value (and is copied plain
        # after it): a max window wholly in the padding gives the lowest float, too large for products.
        outputs.append(b.op("LeakyRelu", [blocked], alpha=0.5) if pool else _pointwise(b, blocked, CHANNELS, 5))
        if pool:  # and on the plain graph input, by the plain kernel
            outputs.append(_window(b, kind, name, k, s, d, pads, ceil))
    return b.model(inputs, outputs), inputs


CASES = [(kind, k, s, d, ceil)
         for kind in ("depthwise", "conv", "max", "avg", "avg_pad")
         for k, s, d in itertools.product((1, 2, 3, 5), (1, 2, 3), (1, 2))
         for ceil in ((False, True) if kind in ("max", "avg", "avg_pad") else (False,))
         if not (k == 1 and d == 2)]  # a 1x1 window has no dilation


@pytest.mark.parametrize("kind,k,s,d,ceil", CASES)
def test_blocked_window_kernels_match_onnxruntime(lib, kind, k, s, d, ceil):
    model, inputs = _model(kind, k, s, d, ceil)
    rng = np.random.RandomState(k + 7 * s + 31 * d)
    feeds = {name: rng.randn(*shape).astype(np.float32) for name, shape in inputs}
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    want = sess.run(None, feeds)
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        # One worker: the geometry does not depend on the split, and a pool of two on a busy machine costs
        # a wake-up per operator.
        assert lib.zelt_set_core_mask(m.ctx, 1) == 0
        for _ in range(2):  # a second run over the same arena: no value may come from the first
            got = m.infer(list(feeds.values()))
            assert len(got) == len(want)
            for g, w in zip(got, want):
                _assert_close(g, w)
