"""The AVX-512 kernels against onnxruntime and against the AVX2 path of the same engine.

Direct convolutions of the blocked layout (pairs of output blocks in one register, an odd last block of a
group on AVX2, input channels in several passes), the Winograd products (two pairs per item) and the packed
matrix products (32-column panels of a constant B, or of an attention B per work item, masked stores;
16-column panels on AVX2).
ZELT_AVX512=0 when a model is loaded selects the AVX2 kernels; the AVX-512 results must agree with those to
summation-order noise (the comparison is skipped on a CPU without avx512f) and with onnxruntime everywhere.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from test_engine_models import _assert_close  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


def _cpu_has_avx512f():
    try:
        with open("/proc/cpuinfo") as f:
            return any(line.startswith("flags") and "avx512f" in line.split() for line in f)
    except OSError:
        return False


AVX512 = _cpu_has_avx512f()
REFS = ["onnxruntime", pytest.param("avx2", marks=pytest.mark.skipif(not AVX512, reason="no avx512f"))]


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


def _feeds(model, seed=0, scale=1.0):
    rng = np.random.RandomState(seed)
    return {vi.name: (rng.randn(*[d.dim_value for d in vi.type.tensor_type.shape.dim]) * scale).astype(np.float32)
            for vi in model.graph.input}


def _run(lib, model, feeds):
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        assert lib.zelt_set_core_mask(m.ctx, 1) == 0
        return m.infer(list(feeds.values()))


def _check(lib, monkeypatch, model, feeds, ref):
    """The default (AVX-512 where the CPU has it) path against onnxruntime, or against the AVX2 kernels."""
    monkeypatch.delenv("ZELT_AVX512", raising=False)
    got = _run(lib, model, feeds)
    if ref == "onnxruntime":
        want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, feeds)
        assert len(got) == len(want)
        for g, w in zip(got, want):
            _assert_close(g.reshape(w.shape), w)
        return
    monkeypatch.setenv("ZELT_AVX512", "0")
    want = _run(lib, model, feeds)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g.shape == w.shape and np.all(np.isfinite(g))
        np.testing.assert_allclose(g, w, rtol=1e-4, atol=1e-4 * max(1.0, float(np.abs(w).max())))


_ACTS = {
    "none": lambda b, v: v,
    "relu": lambda b, v: b.op("Relu", [v]),
    "clip": lambda b, v: b.clip6(v),
    "leaky": lambda b, v: b.op("LeakyRelu", [v], alpha=0.1),
    "sigmoid": lambda b, v: b.op("Sigmoid", [v]),
    "hardswish": lambda b, v: b.op("HardSwish", [v]),
}


def _conv_model(cin, cout, k, stride=1, dilation=1, group=1, hw=(9, 11), batch=1, form="act", act="relu"):
    """The convolution under test reads a blocked tensor (a plain graph input for fewer than 8 channels, or for
    `io`).  Forms: `act` then a 1x1 reader (blocked output); `plain`: a graph output; `io`: graph input to
    graph output; `residual`: an Add with another blocked convolution read by nothing else (summed in place),
    `shared`: the same with that operand also read by the output (partial sums between passes)."""
    b = Builder(cin * 131 + cout * 7 + k)
    direct = cin < 8 or form == "io"
    src = "x" if direct else b.op("Relu", [b.conv("x", 3, cin, 1)])
    geometry = dict(stride=stride, group=group, dilation=dilation)
    outs, other = [], None
    if form in ("residual", "shared"):  # the other operand first, so that it is blocked when the Add is fused
        other = b.op("Relu", [b.conv(src, cin, cout, k, **geometry)])
        if form == "shared":
            outs.append(b.conv(other, cout, 3, 1))
    y = b.conv(src, cin, cout, k, bias=act != "none", **geometry)
    if other:
        y = b.op("Add", [other, y] if cout % 2 else [y, other])
    y = _ACTS[act](b, y)
    outs.insert(0, y if form in ("plain", "io") else b.conv(y, cout, 5, 1))
    return b.model([("x", [batch, cin if direct else 3] + list(hw))], outs)


@pytest.mark.parametrize("cin,cout,k,stride,dilation,group,hw,batch", [
    (16, 8, 3, 1, 1, 1, (9, 11), 1),      # one block: no pair
    (16, 16, 3, 1, 1, 1, (7, 13), 2),     # one pair, rows of 13 in tiles of 7 and 6
    (24, 20, 3, 2, 1, 1, (15, 17), 1),    # a pair and an odd block of 4 channels
    (16, 40, 3, 3, 1, 1, (20, 26), 1),    # 5 blocks, stride 3
    (32, 48, 5, 1, 1, 1, (12, 30), 1),    # 6 blocks: three pairs an item, tiles of 8
    (8, 56, 3, 1, 2, 1, (14, 8), 2),      # 7 blocks, dilation 2, narrow rows: items of 6 and 1
    (40, 100, 1, 1, 1, 1, (10, 10), 1),   # pointwise, 13 blocks, the last of 4 channels
    (24, 64, 1, 2, 1, 1, (13, 11), 2),    # pointwise with a stride: subsampled
    (32, 32, 3, 1, 1, 2, (10, 9), 1),     # 2 groups of 16: one pair each
    (48, 72, 3, 2, 1, 3, (11, 16), 1),    # 3 groups of 24: a pair and an odd block each
    (32, 80, 3, 1, 1, 2, (6, 25), 1),     # 2 groups of 40: two pairs and an odd block each
    (32, 32, 3, 1, 1, 8, (10, 9), 1),     # narrow groups of 4, merged two to a block: four blocks a pair each
    (24, 24, 3, 2, 1, 12, (11, 16), 2),   # groups of 2, stride 2: three merged blocks, an odd one
    (16, 16, 1, 1, 1, 4, (7, 9), 1),      # pointwise in groups of 4
    (16, 32, 7, 2, 1, 16, (13, 15), 1),   # depthwise with a channel multiplier of 2: 8 groups merged a block
    (8, 24, 3, 1, 1, 8, (9, 11), 2),      # multiplier 3: one merged group of three blocks, a pair and an odd
    (16, 32, 3, 1, 1, 8, (10, 9), 1),     # groups of 2 input and 4 output channels
    (520, 24, 3, 1, 1, 1, (6, 9), 1),     # 65 input blocks in several passes
    (520, 48, 1, 1, 1, 1, (5, 7), 2),     # pointwise, two passes
    (3, 40, 3, 2, 1, 1, (17, 19), 1),     # a plain input read one channel at a time
    (3, 16, 5, 1, 1, 1, (8, 30), 2),
])
@pytest.mark.parametrize("form", ["act", "residual", "shared", "plain"])
@pytest.mark.parametrize("ref", REFS)
def test_direct_conv(lib, monkeypatch, ref, cin, cout, k, stride, dilation, group, hw, batch, form):
    monkeypatch.setenv("ZELT_WINOGRAD", "0")
    model = _conv_model(cin, cout, k, stride, dilation, group, hw, batch, form)
    _check(lib, monkeypatch, model, _feeds(model, scale=3.0), ref)


@pytest.mark.parametrize("cin,k,stride,hw", [
    (20, 1, 1, (9, 13)),    # pointwise: the plane as one row, 117 positions (groups of 8 and a rest)
    (16, 1, 2, (15, 17)),   # strided pointwise: sampled positions
    (20, 3, 1, (7, 11)),    # padded rows, a partial channel block
    (32, 3, 2, (16, 24)),
])
@pytest.mark.parametrize("ref", REFS)
def test_conv_of_plain_input(lib, monkeypatch, ref, cin, k, stride, hw):
    """A plain graph input of 8 channels or more, blocked as the convolution stages it."""
    monkeypatch.setenv("ZELT_WINOGRAD", "0")
    model = _conv_model(cin, 24, k, stride, hw=hw, form="io")
    _check(lib, monkeypatch, model, _feeds(model, scale=3.0), ref)


@pytest.mark.parametrize("act", sorted(_ACTS))
@pytest.mark.parametrize("form", ["act", "residual", "shared", "plain", "io"])
@pytest.mark.parametrize("cin,cout,k,stride", [(16, 40, 3, 1), (3, 24, 3, 2), (520, 56, 1, 1)])
@pytest.mark.parametrize("ref", REFS)
def test_conv_epilogues(lib, monkeypatch, ref, cin, cout, k, stride, form, act):
    """Each activation after the convolution (in registers, or over the stored rows) on each output form."""
    monkeypatch.setenv("ZELT_WINOGRAD", "0")
    model = _conv_model(cin, cout, k, stride, hw=(7, 15), form=form, act=act)
    _check(lib, monkeypatch, model, _feeds(model, scale=3.0), ref)


@pytest.mark.parametrize("cin,cout", [(16, 8), (20, 24), (16, 40), (24, 64), (40, 72)])
@pytest.mark.parametrize("hw", [(4, 4), (11, 15), (30, 30), (57, 23)])
@pytest.mark.parametrize("form", ["act", "residual"])
@pytest.mark.parametrize("ref", REFS)
def test_winograd_products(lib, monkeypatch, ref, cin, cout, hw, form):
    """1, 3, 5, 8 and 9 output blocks (pairs and an odd block) over 1, 12, 64 and 90 tiles (12 a kernel)."""
    monkeypatch.setenv("ZELT_WINOGRAD", "1")
    model = _conv_model(cin, cout, 3, hw=hw, form=form, act="clip" if form == "residual" else "relu")
    _check(lib, monkeypatch, model, _feeds(model, scale=3.0), ref)


def _linear(b, x, k, n, bias, act, trans=False):
    w = b.weight((n, k) if trans else (k, n), k)
    if trans:
        w = b.op("Transpose", [w], perm=[1, 0])
    y = b.op("MatMul", [x, w])
    if bias:
        y = b.op("Add", [y, b.const((b.rng.randn(n) * 0.5).astype(np.float32))])
    if act == "relu":
        y = b.op("Relu", [y])
    elif act == "gelu":
        erf = b.op("Erf", [b.op("Div", [y, b.const(np.float32(np.sqrt(2.0)))])])
        y = b.op("Mul", [b.op("Mul", [y, b.op("Add", [erf, b.const(np.float32(1))])]), b.const(np.float32(0.5))])
    return y


@pytest.mark.parametrize("m,k", [(1, 64), (5, 3), (12, 300), (13, 1), (197, 64)])
@pytest.mark.parametrize("n", [2, 15, 16, 17, 31, 32, 33, 100])
@pytest.mark.parametrize("ref", REFS)
def test_matmul_constant_b(lib, monkeypatch, ref, m, k, n):
    b = Builder(m * 1000 + k * 10 + n)
    model = b.model([("x", [m, k])], [_linear(b, "x", k, n, bias=False, act="none")])
    _check(lib, monkeypatch, model, _feeds(model), ref)


@pytest.mark.parametrize("shape,n", [
    ((5, 64), 33), ((197, 300), 100), ((2, 7, 33), 17),  # 3-D A: the rows of every batch element at once
    ((2, 3, 5, 16), 31), ((13,), 32),                    # 4-D A; a vector A
    ((30, 1030), 1000),  # B larger than a core's L2 cache: the blocks of rows take turns on each panel
])
@pytest.mark.parametrize("bias,act,trans", [
    (True, "none", False), (True, "relu", False), (True, "gelu", False), (False, "relu", True), (True, "none", True),
])
@pytest.mark.parametrize("ref", REFS)
def test_linear_layers(lib, monkeypatch, ref, shape, n, bias, act, trans):
    """A row bias and an activation fused after the product; B given transposed."""
    b = Builder(len(shape) * 100 + n)
    model = b.model([("x", list(shape))], [_linear(b, "x", shape[-1], n, bias, act, trans)])
    _check(lib, monkeypatch, model, _feeds(model), ref)


@pytest.mark.parametrize("trans_b,alpha,beta,c_shape,relu", [
    (0, 1.0, 1.0, None, False),
    (1, 1.0, 1.0, "n", True),
    (1, 0.7, 1.0, "1n", False),
    (0, 1.3, 1.5, "m1", True),
    (1, 1.0, 0.5, "mn", False),
    (0, 0.5, 2.0, "", True),
])
@pytest.mark.parametrize("m,k,n", [(1, 64, 100), (13, 300, 33), (197, 3, 17), (12, 1, 2)])
@pytest.mark.parametrize("trans_a", [0, 1])
@pytest.mark.parametrize("ref", REFS)
def test_gemm(lib, monkeypatch, ref, trans_a, m, k, n, trans_b, alpha, beta, c_shape, relu):
    b = Builder(m + k + n)
    ins = ["x", b.weight((n, k) if trans_b else (k, n), k)]
    if c_shape is not None:
        shape = {"n": (n,), "1n": (1, n), "m1": (m, 1), "mn": (m, n), "": ()}[c_shape]
        ins.append(b.const(np.asarray(b.rng.randn(*shape), np.float32)))
    y = b.op("Gemm", ins, transA=trans_a, transB=trans_b, alpha=alpha, beta=beta)
    model = b.model([("x", [k, m] if trans_a else [m, k])], [b.op("Relu", [y]) if relu else y])
    _check(lib, monkeypatch, model, _feeds(model), ref)


@pytest.mark.parametrize("a_shape,b_shape", [
    ((1, 2, 197, 64), (1, 2, 64, 197)),   # attention scores
    ((2, 3, 13, 16), (2, 3, 16, 33)),
    ((2, 4, 12, 1), (2, 4, 1, 31)),
    ((3, 5, 3), (3, 3, 2)),
    ((2, 3, 12, 64), (3, 64, 100)),       # broadcast batch dimensions
    ((3, 1, 13, 300), (1, 2, 300, 17)),
    ((5, 16), (4, 16, 15)),               # a 2-D A broadcast
])
@pytest.mark.parametrize("form", ["plain", "scaled", "transposed", "A transposed"])
@pytest.mark.parametrize("ref", REFS)
def test_batched_matmul(lib, monkeypatch, ref, a_shape, b_shape, form):
    """Both operands inputs: B packed per work item; scaled (as attention scores are) and with B or A given
    transposed in its last two axes."""
    b = Builder(0)
    at, bt = list(a_shape), list(b_shape)
    one, other = "q", "k"
    if form == "transposed":
        bt[-1], bt[-2] = bt[-2], bt[-1]
        perm = list(range(len(bt) - 2)) + [len(bt) - 1, len(bt) - 2]
        other = b.op("Transpose", ["k"], perm=perm)
    if form == "A transposed":
        at[-1], at[-2] = at[-2], at[-1]
        one = b.op("Transpose", ["q"], perm=list(range(len(at) - 2)) + [len(at) - 1, len(at) - 2])
    y = b.op("MatMul", [one, other])
    if form == "scaled":
        y = b.op("Mul", [y, b.const(np.float32(0.125))])
    model = b.model([("q", at), ("k", bt)], [y])
    _check(lib, monkeypatch, model, _feeds(model), ref)


@pytest.mark.parametrize("c,tokens,n", [(64, 196, 32), (30, 13, 100), (256, 49, 17), (8, 1030, 1000)])
@pytest.mark.parametrize("act", ["none", "gelu"])
@pytest.mark.parametrize("ref", REFS)
def test_linear_of_transposed_tokens(lib, monkeypatch, ref, c, tokens, n, act):
    """A linear layer over the tokens of an image, [1, C, H*W] transposed to [1, H*W, C]: the product reads
    A in place, transposed (no Transpose pass), with its bias and activation."""
    b = Builder(c + tokens + n)
    x = b.op("Transpose", [b.op("Relu", ["x"])], perm=[0, 2, 1])
    model = b.model([("x", [1, c, tokens])], [_linear(b, x, c, n, True, act, False)])
    _check(lib, monkeypatch, model, _feeds(model), ref)
    if ref == "onnxruntime":
        from test_engine_nchwc import _layer_types

        assert "Transpose" not in _layer_types(lib, model)


@pytest.mark.parametrize("ref", REFS)
def test_constant_batched_b(lib, monkeypatch, ref):
    """A constant B with batch dimensions of its own (not folded): packed per work item as well."""
    b = Builder(9)
    y = b.op("Add", [b.op("MatMul", ["x", b.weight((3, 40, 33), 40)]), b.const(np.ones(33, np.float32))])
    model = b.model([("x", [2, 3, 13, 40])], [b.op("Relu", [y])])
    _check(lib, monkeypatch, model, _feeds(model), ref)
