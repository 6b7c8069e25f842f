"""Window operators of the channel-blocked layout and the strided copies, against onnxruntime and (on a CPU
with avx512f) against the AVX2 path of the same engine.

Depthwise convolutions with window columns 3, 5 or 7, stride 1 or 2 and no dilation take rows of 16 columns
at a time (two channel blocks a register on AVX-512, an odd last block alone; 8 columns on AVX2), then 4, 2
and 1, the border columns one at a time; dilated, 9-wide and other windows keep the general rows, over input
rows staged with their padding as the pooling rows are.  ReduceMean and ReduceMax over the plane of a blocked
tensor run as its global pooling where the axes are an input (opset 18); with the axes an attribute (opset
17), or over other axes, the general reduction runs.  Transpose and Slice merge neighbouring axes along
which both sides are contiguous and drop axes of size 1.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from onnx_models import Builder  # noqa: E402
from test_engine_avx512 import _ACTS, REFS, _feeds, _run, lib  # noqa: E402,F401  (lib: the module fixture)
from test_engine_models import _assert_close  # noqa: E402

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
        assert g.shape == w.shape, "output {}".format(i)
        if ref == "onnxruntime":
            if g.size:
                _assert_close(g, w)
        else:
            assert np.all(np.isfinite(g))
            scale = max(1.0, float(np.abs(w).max(initial=0.0)))
            np.testing.assert_allclose(g, w, rtol=1e-5, atol=1e-5 * scale, err_msg="output {}".format(i))


def _extent(out, k, s, p):
    """The input extent that gives `out` window positions (odd for stride 2)."""
    return (out - 1) * s + k - 2 * p


def _dw_model(c, k, stride, pads, hw, batch=1, dilation=(1, 1), act="relu", seed=0):
    """Depthwise convolutions (weights of their own) of one blocked tensor, a 1x1 convolution and Relu before
    them: one a graph output (written plain), one read by a 1x1 convolution (written blocked), one by a
    GlobalAveragePool."""
    b = Builder(seed)
    x = b.op("Relu", [b.conv("x", 3, c, 1)])
    outs = []
    for form in ("plain", "blocked", "gap"):
        w = b.weight((c, 1) + tuple(k), k[0] * k[1])
        bias = b.const((b.rng.randn(c) * 0.5).astype(np.float32))
        y = ACTS[act](b, b.op("Conv", [x, w, bias], kernel_shape=list(k), strides=list(stride), pads=list(pads),
                              dilations=list(dilation), group=c))
        if form == "blocked":
            y = b.conv(y, c, 5, 1)
        elif form == "gap":
            y = b.op("GlobalAveragePool", [y])
        outs.append(y)
    return b.model([("x", [batch, 3] + list(hw))], outs)


@pytest.mark.parametrize("ow", [1, 2, 3, 5, 7, 15, 16, 17, 33])
@pytest.mark.parametrize("k", [3, 5, 7])
@pytest.mark.parametrize("stride", [1, 2])
@pytest.mark.parametrize("padded", [True, False])
@pytest.mark.parametrize("ref", REFS)
def test_depthwise_row_groups(lib, monkeypatch, ref, padded, stride, k, ow):
    """Rows of every length through each column group and remainder; padded, the first and last columns are
    border columns.  24 channels: a pair of blocks and an odd one on AVX-512."""
    p = k // 2 if padded else 0
    hw = (_extent(3, k, stride, p), _extent(ow, k, stride, p))
    model = _dw_model(24, (k, k), (stride, stride), [p] * 4, hw, seed=ow * 100 + k * 10 + stride)
    _check(lib, monkeypatch, model, _feeds(model, seed=ow), ref)


@pytest.mark.parametrize("c,k,stride,pads,hw,batch,dilation", [
    (8, (3, 5), (1, 1), [1, 2, 1, 2], (6, 17), 2, 1),     # one block; KH != KW
    (16, (7, 3), (1, 1), [3, 1, 3, 1], (9, 16), 1, 1),    # one pair
    (24, (5, 7), (2, 2), [2, 3, 2, 3], (11, 35), 2, 1),   # a pair and an odd block, stride 2, odd width
    (40, (3, 3), (2, 2), [0, 2, 1, 0], (9, 15), 1, 1),    # five blocks; asymmetric pads
    (20, (1, 5), (1, 1), [0, 2, 0, 2], (4, 33), 2, 1),    # one window row; a partial last block alone
    (12, (3, 7), (1, 1), [1, 3, 1, 3], (5, 9), 1, 1),     # a pair whose second block is partial
    (20, (7, 7), (2, 2), [0, 0, 0, 0], (13, 41), 1, 1),
    (40, (3, 5), (2, 1), [1, 2, 1, 2], (10, 19), 1, 1),   # strides that differ by axis
    (24, (5, 3), (1, 2), [2, 1, 2, 1], (8, 23), 2, 1),
    (8, (7, 5), (1, 2), [3, 0, 2, 4], (7, 13), 1, 1),     # padding past the window on the right
    (16, (3, 3), (1, 1), [2, 3, 2, 3], (5, 6), 1, 1),     # windows wholly in the padding: the bias alone
    (16, (9, 3), (1, 1), [4, 1, 4, 1], (12, 20), 2, 1),   # nine window rows
    (16, (7, 3), (3, 2), [3, 1, 3, 1], (2, 16), 1, 1),    # taller than the input: rows of padding
    (24, (5, 5), (1, 1), [2, 2, 2, 2], (40, 33), 1, 1),   # several work items of rows
    (40, (3, 7), (2, 2), [1, 3, 1, 3], (45, 67), 2, 1),
    (24, (3, 5), (1, 1), [2, 2, 2, 2], (9, 17), 2, (2, 1)),  # dilated rows only: still the new rows
    # The general rows, over staged input rows: dilated columns, 9 and 17 window rows, stride 3, even width.
    (24, (3, 3), (1, 1), [2, 2, 2, 2], (9, 17), 2, 2),
    (20, (5, 5), (2, 2), [1, 4, 3, 0], (13, 21), 1, 2),
    (24, (5, 3), (1, 2), [2, 2, 2, 2], (9, 17), 1, (1, 2)),
    (40, (9, 9), (2, 2), [4, 3, 2, 1], (12, 23), 2, 1),
    (16, (9, 9), (1, 1), [4, 4, 4, 4], (40, 30), 1, 1),
    (24, (3, 3), (3, 3), [1, 1, 1, 1], (10, 19), 2, 1),
    (16, (17, 3), (1, 1), [8, 1, 8, 1], (6, 20), 1, 1),
    (24, (3, 4), (1, 1), [1, 2, 1, 1], (7, 17), 2, 1),
])
@pytest.mark.parametrize("ref", REFS)
def test_depthwise_shapes(lib, monkeypatch, ref, c, k, stride, pads, hw, batch, dilation):
    dilation = dilation if isinstance(dilation, tuple) else (dilation, dilation)
    model = _dw_model(c, k, stride, pads, hw, batch, dilation, seed=c + hw[1])
    _check(lib, monkeypatch, model, _feeds(model, scale=2.0), ref)


@pytest.mark.parametrize("act", sorted(ACTS))
@pytest.mark.parametrize("c,k,stride,hw", [(24, 3, 1, (5, 17)), (40, 5, 2, (9, 35)), (20, 7, 1, (8, 23))])
@pytest.mark.parametrize("ref", REFS)
def test_depthwise_activations(lib, monkeypatch, ref, c, k, stride, hw, act):
    """Clamps in registers, the others over the stored rows; batch 2."""
    model = _dw_model(c, (k, k), (stride, stride), [k // 2] * 4, hw, batch=2, act=act, seed=k)
    _check(lib, monkeypatch, model, _feeds(model, scale=2.0), ref)


POOLS = [
    ("MaxPool", (3, 3), 2, [1, 1, 1, 1], 0, 0),
    ("MaxPool", (5, 5), 1, [2, 2, 2, 2], 0, 0),        # a detector's SPPF
    ("MaxPool", (3, 3), 2, [0, 0, 0, 0], 1, 0),        # ceil mode: the last window past the row
    ("MaxPool", (3, 3), 2, [1, 1, 1, 1], 1, 0),
    ("MaxPool", (2, 2), 2, [0, 0, 0, 0], 1, 0),
    ("MaxPool", (3, 3), 1, [2, 2, 2, 2], 0, 0),        # windows holding a single input column
    ("MaxPool", (3, 5), 1, [0, 1, 2, 3], 0, 0),        # asymmetric pads
    ("AveragePool", (3, 3), 1, [1, 1, 1, 1], 0, 0),
    ("AveragePool", (3, 3), 1, [1, 1, 1, 1], 0, 1),
    ("AveragePool", (3, 3), 1, [2, 2, 2, 2], 0, 1),
    ("AveragePool", (3, 3), 2, [1, 1, 1, 1], 1, 0),
    ("AveragePool", (3, 3), 2, [1, 1, 1, 1], 1, 1),
    ("AveragePool", (5, 5), 1, [2, 0, 1, 2], 0, 0),
    ("AveragePool", (5, 5), 1, [2, 0, 1, 2], 0, 1),
    ("AveragePool", (2, 2), 2, [0, 0, 0, 0], 0, 0),    # no padding: nothing staged
]


@pytest.mark.parametrize("w", [7, 8, 9, 17])
@pytest.mark.parametrize("h", [6, 40])
@pytest.mark.parametrize("op,k,s,pads,ceil,cip", POOLS)
@pytest.mark.parametrize("ref", REFS)
def test_pooling(lib, monkeypatch, ref, op, k, s, pads, ceil, cip, h, w):
    """Each pooling of a blocked tensor twice: a graph output (plain) and read by a 1x1 convolution
    (blocked).  No activation before it, so that a wrong padding value shows in the maxima."""
    b = Builder(w)
    attrs = dict(kernel_shape=list(k), strides=[s, s], pads=pads, ceil_mode=ceil)
    if op == "AveragePool":
        attrs["count_include_pad"] = cip
    y = [b.op(op, [b.conv("x", 3, 20, 1)], **attrs) for _ in range(2)]
    model = b.model([("x", [2, 3, h, w])], [y[0], b.conv(y[1], 20, 5, 1)])
    _check(lib, monkeypatch, model, _feeds(model, seed=w), ref)


@pytest.mark.parametrize("c,hw", [(16, (8, 8)), (24, (20, 20)), (20, (13, 7))])
@pytest.mark.parametrize("ref", REFS)
def test_sppf(lib, monkeypatch, ref, c, hw):
    """Three chained 5x5 MaxPools, concatenated with their input."""
    b = Builder(c)
    x = b.op("Relu", [b.conv("x", 3, c, 1)])
    ys = [x]
    for _ in range(3):
        ys.append(b.op("MaxPool", [ys[-1]], kernel_shape=[5, 5], strides=[1, 1], pads=[2, 2, 2, 2]))
    model = b.model([("x", [1, 3] + list(hw))], [b.conv(b.op("Concat", ys, axis=1), 4 * c, 8, 1)])
    _check(lib, monkeypatch, model, _feeds(model), ref)


def _reduce(b, op, x, axes, keepdims):
    if b.opset >= 18:
        return b.op(op, [x, b.const(np.array(axes, np.int64))], keepdims=keepdims)
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


@pytest.mark.parametrize("opset", [17, 18])
@pytest.mark.parametrize("ref", REFS)
def test_squeeze_excitation(lib, monkeypatch, ref, opset):
    """The mean over the plane scales the channels of the tensor it came from."""
    b = Builder(4, opset=opset)
    x = b.op("Relu", [b.conv("x", 3, 20, 3)])
    s = b.op("Sigmoid", [b.conv(b.op("Relu", [b.conv(_reduce(b, "ReduceMean", x, [2, 3], 1), 20, 8, 1)]), 8, 20, 1)])
    model = b.model([("x", [2, 3, 9, 11])], [b.conv(b.op("Mul", [x, s]), 20, 6, 1)])
    _check(lib, monkeypatch, model, _feeds(model), ref)


def _i64(b, v):
    return b.const(np.array(v, np.int64))


@pytest.mark.parametrize("c,g,n", [(116, 2, 1), (116, 4, 2), (24, 2, 2), (24, 3, 1), (24, 4, 1)])
def test_channel_shuffle(lib, monkeypatch, c, g, n):
    b = Builder(c + g)
    y = b.op("Reshape", ["x", _i64(b, [n, g, c // g, 5, 7])])
    y = b.op("Reshape", [b.op("Transpose", [y], perm=[0, 2, 1, 3, 4]), _i64(b, [n, c, 5, 7])])
    model = b.model([("x", [n, c, 5, 7])], [y])
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
    ((1, 1, 1), [2, 1, 0]),
    ((5, 4, 3, 2), None),                 # the default: all axes reversed
])
def test_transpose(lib, monkeypatch, shape, perm):
    b = Builder(len(shape))
    model = b.model([("x", list(shape))], [b.op("Transpose", ["x"], **({} if perm is None else {"perm": perm}))])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("shape,starts,ends,axes,steps", [
    ((1, 40, 6, 7), [8], [24], [1], [1]),              # whole planes of N = 1: one run
    ((2, 40, 6, 7), [8], [24], [1], [1]),
    ((1, 40, 6, 7), [1], [40], [1], [2]),              # every other channel
    ((1, 24, 5, 6), [-1], [-100], [1], [-1]),          # the channels reversed
    ((3, 10, 12), [0, 1], [3, 12], [1, 2], [1, 2]),    # step 2 along a whole row: merges with the rows
    ((3, 10, 12), [2, -1], [-100, 0], [0, 2], [-1, -3]),
    ((4, 6, 8), [0], [8], [2], [2]),                   # every other float of the whole tensor
    ((2, 3, 4, 5, 6), [0, 1], [2, 4], [1, 3], [1, 1]),
    ((2, 3, 4, 5, 6), [4, 0], [-100, 6], [3, 4], [-2, 2]),
    ((2, 3, 4, 5, 6), [1, 0, 2], [2, 3, 3], [1, 3, 4], [1, 1, 1]),   # size-1 axes left in the middle
    ((1, 16, 1, 9), [0], [9], [3], [1]),               # the whole tensor
    ((3, 10, 12), [1], [12], [2], [100]),              # a step past the extent: one column
    ((2, 3, 4), [1], [1], [1], [1]),                   # a 0-size axis
])
def test_slice(lib, monkeypatch, shape, starts, ends, axes, steps):
    b = Builder(len(shape))
    y = b.op("Slice", ["x", _i64(b, starts), _i64(b, ends), _i64(b, axes), _i64(b, steps)])
    model = b.model([("x", list(shape))], [y])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("perm", [[2, 0, 1], [0, 2, 1], [1, 0, 2]])
def test_transpose_of_an_empty_tensor(lib, monkeypatch, perm):
    b = Builder(0)
    y = b.op("Slice", ["x", _i64(b, [2]), _i64(b, [2]), _i64(b, [1])])  # [2, 0, 4]
    model = b.model([("x", [2, 3, 4])], [b.op("Transpose", [y], perm=perm), b.op("Relu", ["x"])])
    _check(lib, monkeypatch, model, _feeds(model))


@pytest.mark.parametrize("c,batch", [(48, 1), (48, 2), (116, 1)])
@pytest.mark.parametrize("ref", REFS)
def test_shufflenet_unit(lib, monkeypatch, ref, c, batch):
    """Split into halves, a depthwise convolution on one, concatenated and shuffled in two groups."""
    b = Builder(c)
    x = b.op("Relu", [b.conv("x", 3, c, 1)])
    left, right = b.op("Split", [x, _i64(b, [c // 2, c // 2])], n_out=2, axis=1)
    right = b.op("Relu", [b.conv(b.conv(b.op("Relu", [b.conv(right, c // 2, c // 2, 1)]), c // 2, c // 2, 3,
                                        group=c // 2), c // 2, c // 2, 1)])
    y = b.op("Reshape", [b.op("Concat", [left, right], axis=1), _i64(b, [batch, 2, c // 2, 9, 11])])
    y = b.op("Reshape", [b.op("Transpose", [y], perm=[0, 2, 1, 3, 4]), _i64(b, [batch, c, 9, 11])])
    model = b.model([("x", [batch, 3, 9, 11])], [b.conv(y, c, 8, 1)])
    _check(lib, monkeypatch, model, _feeds(model), ref)
