"""Window operators of the channel-blocked layout and the strided copies, against onnxruntime and (on a CPU
with avx512f) against the AVX2 path of the same engine: depthwise convolutions of blocked and plain inputs in
the many-column rows (window columns 3, 5, 7, stride 1 or 2) and in the general ones, pooling over staged padded
rows, ReduceMean and ReduceMax of a blocked tensor over its plane (its global pooling, the axes an attribute or
an input) and over other axes (the general reduction), and Transpose and Slice, whose neighbouring axes merge
where both sides are contiguous.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from onnx_models import Builder  # noqa: E402
from test_engine_avx512 import _ACTS, REFS, _feeds, _run, lib  # noqa: E402,F401  (lib: the module fixture)
from test_engine_models import _assert_close  # noqa: E402
from test_engine_nchwc import _layer_types  # noqa: E402

ACTS = dict(_ACTS, silu=lambda b, v: b.op("Mul", [v, b.op("Sigmoid", [v])]))


def _check(lib, monkeypatch, model, feeds, ref="onnxruntime"):
    """The default path (AVX-512 where the CPU has it) against onnxruntime, or against the AVX2 kernels."""
    monkeypatch.delenv("ZELT_AVX512", raising=False)
    got = _run(lib, model, feeds)
    if ref == "onnxruntime":
        want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, feeds)
    else:
        monkeypatch.setenv("ZELT_AVX512", "0")
        want = _run(lib, model, feeds)
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert g.shape == w.shape and np.all(np.isfinite(g)), "output {}".format(i)
        if ref != "onnxruntime":
            scale = max(1.0, float(np.abs(w).max(initial=0.0)))
            np.testing.assert_allclose(g, w, rtol=1e-5, atol=1e-5 * scale, err_msg="output {}".format(i))
        elif g.size:
            _assert_close(g, w)


def _dw_model(c, k, stride, pads, hw, batch=1, dilation=(1, 1), act="relu", seed=0, plain_in=False):
    """Depthwise convolutions (weights of their own) of one blocked tensor, a 1x1 convolution and Relu before
    them (or of the plain graph input): one a graph output (written plain), one read by a 1x1 convolution
    (blocked), one by a global pool."""
    b = Builder(seed)
    x = "x" if plain_in else b.op("Relu", [b.conv("x", 3, c, 1)])
    outs = []
    for form in ("plain", "blocked", "gap"):
        w = b.weight((c, 1) + tuple(k), k[0] * k[1])
        bias = b.const((b.rng.randn(c) * 0.5).astype(np.float32))
        y = ACTS[act](b, b.op("Conv", [x, w, bias], kernel_shape=list(k), strides=list(stride), pads=list(pads),
                              dilations=list(dilation), group=c))
        if form != "plain":
            y = b.conv(y, c, 5, 1) if form == "blocked" else b.op("GlobalAveragePool", [y])
        outs.append(y)
    return b.model([("x", [batch, c if plain_in else 3] + list(hw))], outs)


@pytest.mark.parametrize("ow", [1, 2, 3, 5, 7, 15, 16, 17, 33])
@pytest.mark.parametrize("k", [3, 5, 7])
@pytest.mark.parametrize("stride", [1, 2])
@pytest.mark.parametrize("padded", [True, False])
@pytest.mark.parametrize("ref", REFS)
def test_depthwise_row_groups(lib, monkeypatch, ref, padded, stride, k, ow):
    """Rows of every length through each column group and remainder; padded, the first and last columns are
    border columns.  24 channels: a pair of blocks and an odd one on AVX-512.  Odd widths for stride 2."""
    p = k // 2 if padded else 0
    hw = [(out - 1) * stride + k - 2 * p for out in (3, ow)]
    model = _dw_model(24, (k, k), (stride, stride), [p] * 4, hw, seed=ow * 100 + k * 10 + stride)
    _check(lib, monkeypatch, model, _feeds(model, seed=ow), ref)


@pytest.mark.parametrize("c,k,stride,pads,hw,batch,dilation", [
    (3, (3, 3), (1, 1), [1, 1, 1, 1], (6, 17), 2, (1, 1)),      # fewer channels than a block
    (8, (3, 5), (1, 1), [1, 2, 1, 2], (6, 17), 2, (1, 1)),      # one block; KH != KW
    (16, (7, 3), (1, 1), [3, 1, 3, 1], (9, 16), 1, (1, 1)),     # one pair
    (24, (5, 7), (2, 2), [2, 3, 2, 3], (11, 35), 2, (1, 1)),    # a pair and an odd block, stride 2
    (40, (3, 3), (2, 2), [0, 2, 1, 0], (9, 15), 1, (1, 1)),     # five blocks; asymmetric pads
    (20, (1, 5), (1, 1), [0, 2, 0, 2], (4, 33), 2, (1, 1)),     # one window row; a partial last block alone
    (12, (3, 7), (1, 1), [1, 3, 1, 3], (5, 9), 1, (1, 1)),      # a pair whose second block is partial
    (8, (7, 5), (1, 2), [3, 0, 2, 4], (7, 13), 1, (1, 1)),      # padding past the window on the right
    (16, (3, 3), (1, 1), [2, 3, 2, 3], (5, 6), 1, (1, 1)),      # windows wholly in the padding: the bias alone
    (16, (9, 3), (3, 2), [4, 1, 4, 1], (12, 20), 2, (1, 1)),    # nine window rows
    (16, (7, 3), (3, 2), [3, 1, 3, 1], (2, 16), 1, (1, 1)),     # taller than the input: rows of padding
    (40, (3, 7), (2, 2), [1, 3, 1, 3], (45, 67), 2, (1, 1)),    # several work items of rows
    (24, (3, 5), (1, 1), [2, 2, 2, 2], (9, 17), 2, (2, 1)),     # dilated rows only: still the new rows
    # The general rows over staged input rows: dilated columns, 9 and 17 window rows, stride 3, even width.
    (20, (5, 5), (2, 2), [1, 4, 3, 0], (13, 21), 1, (2, 2)),
    (40, (9, 9), (2, 2), [4, 3, 2, 1], (12, 23), 2, (1, 1)),
    (16, (9, 9), (1, 1), [4, 4, 4, 4], (40, 30), 1, (1, 1)),
    (24, (3, 3), (3, 3), [1, 1, 1, 1], (10, 19), 2, (1, 1)),
    (16, (17, 3), (1, 1), [8, 1, 8, 1], (6, 20), 1, (1, 1)),
    (24, (3, 4), (1, 1), [1, 2, 1, 1], (7, 17), 2, (1, 1)),
])
@pytest.mark.parametrize("plain_in", [False, True])
@pytest.mark.parametrize("ref", REFS)
def test_depthwise_shapes(lib, monkeypatch, ref, plain_in, c, k, stride, pads, hw, batch, dilation):
    """A plain input is blocked row by row as the work items read it."""
    model = _dw_model(c, k, stride, pads, hw, batch, dilation, seed=c + hw[1], plain_in=plain_in)
    _check(lib, monkeypatch, model, _feeds(model, scale=2.0), ref)


@pytest.mark.parametrize("act", sorted(ACTS))
@pytest.mark.parametrize("c,k,stride,hw", [(24, 3, 1, (5, 17)), (40, 5, 2, (9, 35)), (20, 7, 1, (8, 23))])
@pytest.mark.parametrize("ref", REFS)
def test_depthwise_activations(lib, monkeypatch, ref, c, k, stride, hw, act):
    """Clamps in registers, the others over the stored rows; batch 2."""
    model = _dw_model(c, (k, k), (stride, stride), [k // 2] * 4, hw, batch=2, act=act, seed=k)
    _check(lib, monkeypatch, model, _feeds(model, scale=2.0), ref)


@pytest.mark.parametrize("w", [7, 8, 9, 17])
@pytest.mark.parametrize("h", [6, 40])
@pytest.mark.parametrize("op,k,s,pads,ceil,cip", [
    ("MaxPool", (3, 3), 2, [1, 1, 1, 1], 0, 0),
    ("MaxPool", (5, 5), 1, [2, 2, 2, 2], 0, 0),        # a detector's SPPF
    ("MaxPool", (3, 3), 2, [0, 0, 0, 0], 1, 0),        # ceil mode: the last window past the row
    ("MaxPool", (3, 3), 2, [1, 1, 1, 1], 1, 0),
    ("MaxPool", (3, 3), 1, [2, 2, 2, 2], 0, 0),        # edge windows holding one input column
    ("MaxPool", (3, 5), 1, [0, 1, 2, 3], 0, 0),        # asymmetric pads
    ("AveragePool", (3, 3), 1, [1, 1, 1, 1], 0, 0),
    ("AveragePool", (3, 3), 1, [1, 1, 1, 1], 0, 1),
    ("AveragePool", (3, 3), 1, [2, 2, 2, 2], 0, 1),
    ("AveragePool", (3, 3), 2, [1, 1, 1, 1], 1, 0),
    ("AveragePool", (3, 3), 2, [1, 1, 1, 1], 1, 1),
    ("AveragePool", (5, 5), 1, [2, 0, 1, 2], 0, 0),
    ("AveragePool", (5, 5), 1, [2, 0, 1, 2], 0, 1),
    ("AveragePool", (2, 2), 2, [0, 0, 0, 0], 0, 0),    # no padding: nothing staged
])
@pytest.mark.parametrize("ref", REFS)
def test_pooling(lib, monkeypatch, ref, op, k, s, pads, ceil, cip, h, w):
    """Each pooling of a blocked tensor twice: a graph output (plain) and read by a 1x1 convolution (blocked).
    No activation before it, so that a wrong padding value shows in the maxima."""
    b = Builder(w)
    attrs = dict(kernel_shape=list(k), strides=[s, s], pads=pads, ceil_mode=ceil)
    attrs.update({"count_include_pad": cip} if op == "AveragePool" else {})
    y = [b.op(op, [b.conv("x", 3, 20, 1)], **attrs) for _ in range(2)]
    model = b.model([("x", [2, 3, h, w])], [y[0], b.conv(y[1], 20, 5, 1)])
    _check(lib, monkeypatch, model, _feeds(model, seed=w), ref)


@pytest.mark.parametrize("op,w,dilation", [
    ("MaxPool", 601, 1),       # rows too wide to combine on the stack: the padded copies instead
    ("AveragePool", 601, 1),
    ("MaxPool", 13, 2),        # dilated windows are not separable
])
@pytest.mark.parametrize("ref", REFS)
def test_pooling_unseparated(lib, monkeypatch, ref, op, w, dilation):
    b = Builder(w + dilation)
    attrs = dict(kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1])
    attrs.update(dict(dilations=[dilation, dilation]) if dilation > 1 else {})
    model = b.model([("x", [1, 3, 5, w])], [b.conv(b.op(op, [b.conv("x", 3, 20, 1)], **attrs), 20, 5, 1)])
    _check(lib, monkeypatch, model, _feeds(model, seed=w), ref)


def _i64(b, v):
    return b.const(np.array(v, np.int64))


def _reduce(b, op, x, axes, keepdims):
    if b.opset >= 18:
        return b.op(op, [x, _i64(b, axes)], keepdims=keepdims)
    return b.op(op, [x], axes=axes, keepdims=keepdims)


@pytest.mark.parametrize("opset", [17, 18])
@pytest.mark.parametrize("op", ["ReduceMean", "ReduceMax"])
@pytest.mark.parametrize("axes", [[2, 3], [-1, -2], [1], [3]])
@pytest.mark.parametrize("keepdims", [0, 1])
@pytest.mark.parametrize("hw", [(7, 9), (1, 13)])
@pytest.mark.parametrize("ref", REFS)
def test_reductions(lib, monkeypatch, ref, hw, keepdims, axes, op, opset):
    """Of a blocked tensor of 20 channels (a partial last block), batch 2; the output keeps or drops the axes."""
    b = Builder(3, opset=opset)
    model = b.model([("x", [2, 3] + list(hw))], [_reduce(b, op, b.conv("x", 3, 20, 1), axes, keepdims)])
    _check(lib, monkeypatch, model, _feeds(model, scale=2.0), ref)


@pytest.mark.parametrize("op", ["GlobalAveragePool", "GlobalMaxPool"])
@pytest.mark.parametrize("hw", [(1, 1), (1, 3), (2, 2), (1, 5), (4, 4), (3, 7), (17, 19)])
@pytest.mark.parametrize("blocked", [True, False])
def test_global_pools(lib, monkeypatch, blocked, hw, op):
    """Planes whose sizes fall on, below and past the steps of the side-by-side sums; 20 channels (a partial
    last block) of a blocked tensor, or of the plain graph input.  Values offset from 0, so that a lost or
    doubled position shows."""
    b = Builder(5)
    x = b.conv("x", 3, 20, 1) if blocked else "x"
    model = b.model([("x", [2, 3 if blocked else 20] + list(hw))], [b.op(op, [x])])
    feeds = {k: v + 3.0 for k, v in _feeds(model, scale=2.0).items()}
    _check(lib, monkeypatch, model, feeds)


@pytest.mark.parametrize("op", ["ReduceSum", "ReduceMean", "ReduceMax", "ReduceMin", "ReduceProd",
                                "ReduceSumSquare", "ReduceL1", "ReduceL2", "ReduceLogSumExp"])
@pytest.mark.parametrize("shape,axes", [
    ((2, 3, 37), [2]),             # rows of a trailing axis, with a partial last group of eight
    ((3, 70, 6), [1]),             # columns: an axis between kept ones
    ((2, 9, 600), [1]),            # columns wider than one accumulator block
    ((4, 1, 5, 7), [1, 2]),        # an axis of size 1 merges with its reduced neighbour
    ((5, 6, 7), [0, 1]),           # a leading run
    ((3, 4, 5, 6), [0, 2]),        # two runs: the general reduction
    ((4, 5), []),                  # every axis
])
@pytest.mark.parametrize("keepdims", [0, 1])
def test_plain_reductions(lib, monkeypatch, op, shape, axes, keepdims):
    """Every kind of reduction of a tensor in the plain layout, over axes that form one run or several."""
    b = Builder(len(shape) + len(axes), opset=18)
    x = b.op("Add", ["x", b.const(np.float32(0.5))])  # keeps the reduction off the graph input
    y = b.op(op, [x, _i64(b, axes)], keepdims=keepdims) if axes else b.op(op, [x], keepdims=keepdims)
    model = b.model([("x", list(shape))], [y])
    feeds = {"x": np.random.RandomState(1).uniform(0.5, 1.5, shape).astype(np.float32)}
    _check(lib, monkeypatch, model, feeds)


@pytest.mark.parametrize("direct_output", [False, True])
def test_split_views(lib, monkeypatch, direct_output):
    """A Split along the outermost axis longer than 1 leaves views of its input, which the parts' readers
    read in place; with a part that is a graph output, the parts are copies."""
    b = Builder(5)
    x = b.op("Add", ["x", b.const(np.float32(1))])
    parts = b.op("Split", [x, _i64(b, [2, 3, 1])], n_out=3, axis=1)
    last = parts[2] if direct_output else b.op("Neg", [parts[2]])
    model = b.model([("x", [1, 6, 7])], [b.op("Relu", [parts[0]]), b.op("Mul", [parts[1], parts[1]]), last])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("opset", [17, 18])
@pytest.mark.parametrize("ref", REFS)
def test_squeeze_excitation(lib, monkeypatch, ref, opset):
    """The mean over the plane scales the channels of the tensor it came from."""
    b = Builder(4, opset=opset)
    x = b.op("Relu", [b.conv("x", 3, 20, 3)])
    s = b.op("Relu", [b.conv(_reduce(b, "ReduceMean", x, [2, 3], 1), 20, 8, 1)])
    y = b.op("Mul", [x, b.op("Sigmoid", [b.conv(s, 8, 20, 1)])])
    model = b.model([("x", [2, 3, 9, 11])], [b.conv(y, 20, 6, 1)])
    _check(lib, monkeypatch, model, _feeds(model), ref)


@pytest.mark.parametrize("m,hw,res,stride", [
    (6, (9, 11), False, 1),   # one output block
    (24, (9, 11), True, 1),   # a pair of blocks and an odd one; a residual and an activation after
    (48, (5, 8), False, 1),   # more output channels than positions: the product is made
    (16, (9, 11), False, 2),  # strided: the product is made
])
@pytest.mark.parametrize("ref", REFS)
def test_channel_scale_of_a_projection(lib, monkeypatch, ref, m, hw, res, stride):
    """For one image, the channel scale of squeeze-and-excitation scales the weights of the pointwise
    convolution after it, where that reads less than the product would."""
    b = Builder(7)
    x = b.op("Relu", [b.conv("x", 3, 20, 3)])
    s = b.op("Relu", [b.conv(_reduce(b, "ReduceMean", x, [2, 3], 1), 20, 8, 1)])
    y = b.conv(b.op("Mul", [b.op("Sigmoid", [b.conv(s, 8, 20, 1)]), x]), 20, m, 1, stride=stride)
    if res:
        y = b.op("Relu", [b.op("Add", [y, b.conv(x, 20, m, 1)])])
    model = b.model([("x", [1, 3] + list(hw))], [b.conv(y, m, 4, 3)])
    folded = m <= hw[0] * hw[1] and stride == 1
    assert ("Mul" not in _layer_types(lib, model)) == folded
    _check(lib, monkeypatch, model, _feeds(model), ref)


def _shuffle(b, x, n, c, g, hw):
    y = b.op("Transpose", [b.op("Reshape", [x, _i64(b, [n, g, c // g] + hw)])], perm=[0, 2, 1, 3, 4])
    return b.op("Reshape", [y, _i64(b, [n, c] + hw)])


@pytest.mark.parametrize("c,g,n", [(116, 2, 1), (116, 4, 2), (24, 2, 2), (24, 3, 1), (24, 4, 1)])
def test_channel_shuffle(lib, monkeypatch, c, g, n):
    b = Builder(c + g)
    model = b.model([("x", [n, c, 5, 7])], [_shuffle(b, "x", n, c, g, [5, 7])])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("shape,perm", [
    ((2, 7, 3, 16), [0, 2, 1, 3]),        # [B, T, H, D] -> [B, H, T, D]: rows of D
    ((2, 5, 3, 4, 8), [0, 2, 1, 3, 4]),   # the last two axes kept: rows of 32
    ((3, 17, 33), [0, 2, 1]),             # the last axis moved: tiles
    ((2, 16, 24), [2, 0, 1]),
    ((4, 1, 6, 1, 5), [3, 2, 1, 0, 4]),   # size-1 axes in the middle
    ((6, 1, 7), [1, 0, 2]),               # only a size-1 axis moves: one copy
    ((5, 1, 7, 1), [2, 1, 0, 3]),         # a size-1 last axis: tiles of the two before
    ((2, 3, 1, 17, 1, 4), [0, 3, 1, 4, 2, 5]),
    ((5, 4, 3, 2), None),                 # the default: all axes reversed
    ((48, 2, 16, 2), [0, 2, 1, 3]),       # an unfold's patches: rows of 2, the last two axes together
    ((2, 3, 4, 5, 3), [3, 0, 2, 1, 4]),   # short rows whose offsets carry across several axes
])
def test_transpose(lib, monkeypatch, shape, perm):
    b = Builder(len(shape))
    model = b.model([("x", list(shape))], [b.op("Transpose", ["x"], **({} if perm is None else {"perm": perm}))])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("perm", [[2, 0, 1], [0, 2, 1], [1, 0, 2]])
def test_transpose_of_an_empty_tensor(lib, monkeypatch, perm):
    b = Builder(0)
    y = b.op("Slice", ["x", _i64(b, [2]), _i64(b, [2]), _i64(b, [1])])  # [2, 0, 4]
    model = b.model([("x", [2, 3, 4])], [b.op("Transpose", [y], perm=perm), b.op("Relu", ["x"])])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("shape,starts,ends,axes,steps", [
    ((1, 40, 6, 7), [8], [24], [1], [1]),              # whole planes of N = 1: one run
    ((2, 40, 6, 7), [8], [24], [1], [1]),
    ((1, 40, 6, 7), [1], [40], [1], [2]),              # every other channel
    ((1, 24, 5, 6), [-1], [-100], [1], [-1]),          # the channels reversed
    ((3, 10, 12), [0, 1], [3, 12], [1, 2], [1, 2]),    # step 2 along a whole row: merges with the rows
    ((3, 10, 12), [2, -1], [-100, 0], [0, 2], [-1, -3]),
    ((3, 10, 12), [1], [12], [2], [100]),              # a step past the extent: one column
    ((4, 6, 8), [0], [8], [2], [2]),                   # every other float of the whole tensor
    ((2, 3, 4, 5, 6), [0, 1], [2, 4], [1, 3], [1, 1]),
    ((2, 3, 4, 5, 6), [4, 0], [-100, 6], [3, 4], [-2, 2]),
    ((2, 3, 4, 5, 6), [1, 0, 2], [2, 3, 3], [1, 3, 4], [1, 1, 1]),   # size-1 axes left in the middle
    ((2, 3, 4), [1], [1], [1], [1]),                   # a 0-size axis
])
def test_slice(lib, monkeypatch, shape, starts, ends, axes, steps):
    b = Builder(len(shape))
    y = b.op("Slice", ["x", _i64(b, starts), _i64(b, ends), _i64(b, axes), _i64(b, steps)])
    model = b.model([("x", list(shape))], [y])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("c", [16, 20])
@pytest.mark.parametrize("act", ["relu", "clip", "silu", "none"])
@pytest.mark.parametrize("batch", [1, 2])
@pytest.mark.parametrize("ref", REFS)
def test_batchnorm_of_blocked_tensors(lib, monkeypatch, ref, c, act, batch):
    """Pre-activation blocks (Concat, BatchNormalization, activation, convolution), the normalisation and its
    activation blocked, read by a convolution and a global pool; a zero scale keeps its channel's shift, and
    a partial last block stays finite for the convolution (Clip's lower bound is not 0 here)."""
    b = Builder(5)
    x = b.op("Relu", [b.conv("x", 3, 8, 1)])
    cat = b.op("Concat", [x, b.op("Relu", [b.conv(x, 8, c - 8, 1)])], axis=1)
    r = b.rng
    params = [r.uniform(0.5, 1.5, c), r.randn(c), r.randn(c) * 0.1, r.uniform(0.5, 1.5, c)]
    params[0][1] = 0.0
    y = b.op("BatchNormalization", [cat] + [b.const(p.astype(np.float32), "bn") for p in params], epsilon=1e-3)
    if act == "clip":
        y = b.op("Clip", [y, b.const(np.float32(0.25)), b.const(np.float32(6))])
    elif act != "none":
        y = ACTS[act](b, y)
    model = b.model([("x", [batch, 3, 9, 11])], [b.conv(y, c, 8, 3), b.op("GlobalAveragePool", [y])])
    _check(lib, monkeypatch, model, _feeds(model), ref)
