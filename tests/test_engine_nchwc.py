"""Convolution chains that the engine keeps channel-blocked, against onnxruntime.

Channel counts that are not multiples of 8, every window geometry, fusions (activation, residual add),
in-place concatenation and the plain copies that other readers get.  Tolerance as in test_engine_models.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from test_engine_models import _compare  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


def _feeds(model, seed=0):
    feeds = {}
    for vi in model.graph.input:
        shape = [d.dim_value for d in vi.type.tensor_type.shape.dim]
        feeds[vi.name] = np.random.RandomState(seed).randn(*shape).astype(np.float32)
    return feeds


def _layer_types(lib, model):
    """Operator types of the compiled model as the simulator's per-layer profile lists them."""
    flag = simlib.ZELT_FLAG_PRIOR_MEDIUM | simlib.ZELT_FLAG_COLLECT_PERF_MASK
    with simlib.Model(lib, compile_model(model, "tx5100"), flag) as m:
        m.infer(list(_feeds(model).values()))
        d = simlib.ZELTPerfDetail()
        assert m.query(simlib.ZELT_QUERY_PERF_DETAIL, d) == 0
        return [line.split()[1] for line in d.perf_data.decode().splitlines()[1:] if line[:1].isdigit()]


def _assert_nan_as_ort(lib, model, x):
    """NaN reaches the same outputs as in onnxruntime for input `x`; both results."""
    want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, {"x": x})[0]
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        got = m.infer([x])[0]
    assert np.isnan(want).any() and np.array_equal(np.isnan(got), np.isnan(want))
    return got, want


def _conv(b, x, cin, cout, k, stride=1, dilation=1, group=1, pads=None, auto_pad=None):
    w = b.weight((cout, cin // group, k, k), cin // group * k * k)
    bias = b.const((b.rng.randn(cout) * 0.1).astype(np.float32), "b")
    attrs = dict(kernel_shape=[k, k], strides=[stride, stride], dilations=[dilation, dilation], group=group)
    if auto_pad:
        attrs["auto_pad"] = auto_pad
    else:
        attrs["pads"] = pads if pads is not None else [(k // 2) * dilation] * 4
    return b.op("Conv", [x, w, bias], **attrs)


ACTS = {
    "relu": lambda b, v: b.op("Relu", [v]),
    "clip": lambda b, v: b.clip6(v),
    "leaky": lambda b, v: b.op("LeakyRelu", [v], alpha=0.2),
    "none": lambda b, v: v,
}


@pytest.mark.parametrize("cin,cmid,k,stride,dilation,pads,act", [
    (3, 16, 3, 1, 1, None, "relu"),        # plain input of few channels, then blocked
    (12, 20, 3, 2, 1, None, "clip"),       # plain input staged blocked; 20 channels: a partial block
    (5, 8, 1, 1, 1, [0, 0, 0, 0], "leaky"),  # pointwise
    (4, 13, 1, 2, 1, [0, 0, 0, 0], "relu"),  # strided pointwise on sampled positions
    (8, 17, 5, 1, 2, [1, 3, 4, 2], "none"),  # dilated, asymmetric pads
    (6, 9, 3, 3, 1, [0, 1, 2, 0], "relu"),
    (7, 24, 7, 2, 1, None, "clip"),
    (8, 10, 3, 1, 1, "SAME_UPPER", "relu"),
    (8, 10, 4, 2, 1, "SAME_LOWER", "leaky"),
    (8, 10, 3, 2, 1, "VALID", "relu"),
    (8, 40, 3, 3, 1, None, "relu"),        # 7 output columns: tiles of three output blocks, 5 = 3 + 2 blocks
    (16, 21, 1, 1, 1, [0, 0, 0, 0], "clip"),  # 24 channels after the middle layer: one tile of 3 blocks
])
def test_conv_chain(lib, cin, cmid, k, stride, dilation, pads, act):
    b = Builder(11)
    auto_pad = pads if isinstance(pads, str) else None
    y = ACTS["relu"](b, _conv(b, "x", cin, cmid, 3))
    y = ACTS[act](b, _conv(b, y, cmid, cmid + 3, k, stride, dilation, pads=None if auto_pad else pads,
                           auto_pad=auto_pad))
    y = _conv(b, y, cmid + 3, 6, 1, pads=[0, 0, 0, 0])  # blocked input, plain graph output
    model = b.model([("x", [2, cin, 19, 14])], [y])
    _compare(lib, model, _feeds(model))


@pytest.mark.parametrize("channels,k,stride,dilation,pool,pool_attrs", [
    (12, 3, 1, 1, "MaxPool", dict(kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1])),
    (16, 3, 2, 1, "AveragePool", dict(kernel_shape=[3, 3], strides=[1, 1], pads=[1, 1, 1, 1])),
    (20, 5, 1, 2, "AveragePool",
     dict(kernel_shape=[2, 3], strides=[2, 1], pads=[0, 1, 1, 0], count_include_pad=1)),
    (9, 3, 2, 1, "MaxPool", dict(kernel_shape=[3, 2], strides=[2, 3], ceil_mode=1)),
    (24, 3, 1, 1, "AveragePool", dict(kernel_shape=[3, 3], strides=[2, 2], ceil_mode=1)),
    (8, 5, 3, 1, "MaxPool", dict(kernel_shape=[2, 2], strides=[2, 2], dilations=[2, 2])),
])
def test_depthwise_and_pooling(lib, channels, k, stride, dilation, pool, pool_attrs):
    b = Builder(12)
    y = b.op("Relu", [_conv(b, "x", 4, channels, 1, pads=[0, 0, 0, 0])])
    y = b.clip6(_conv(b, y, channels, channels, k, stride, dilation, group=channels))
    y = b.op(pool, [y], **pool_attrs)
    pooled = _conv(b, y, channels, 5, 3)
    # The same blocked tensor also read by a plain operator and by global pooling.
    gate = b.op("Sigmoid", [y])
    g = b.op("GlobalMaxPool", [b.op("Relu", [_conv(b, y, channels, 11, 1, pads=[0, 0, 0, 0])])])
    model = b.model([("x", [2, 4, 23, 17])], [pooled, gate, g])
    _compare(lib, model, _feeds(model))


def _residual_block(b, x, c, op="Add", projection=False):
    shortcut = _conv(b, x, c, c, 1, pads=[0, 0, 0, 0]) if projection else x  # read once: summed in place
    y = b.op("Relu", [_conv(b, x, c, c, 3)])
    y = _conv(b, y, c, c, 3)
    return b.op("Relu", [b.op(op, [y, shortcut] if op == "Add" else [shortcut, y])])


@pytest.mark.parametrize("batch,channels", [(1, 16), (2, 12), (1, 5)])
def test_residual_blocks_and_concat(lib, batch, channels):
    b = Builder(13)
    x = b.op("Relu", [_conv(b, "x", 3, channels, 3, stride=2)])
    x = _residual_block(b, x, channels)
    x = _residual_block(b, x, channels, op="Sum")
    x = _residual_block(b, x, channels, projection=True)
    left = b.op("Relu", [_conv(b, x, channels, 8, 1, pads=[0, 0, 0, 0])])
    right = b.op("Relu", [_conv(b, x, channels, 16, 3)])
    cat = b.op("Concat", [left, right, left], axis=1)  # one input twice: copied, not in place
    cat2 = b.op("Concat", [right, left], axis=1)
    head = b.op("GlobalAveragePool", [_conv(b, b.op("Add", [cat, cat]), 32, 10, 1, pads=[0, 0, 0, 0])])
    model = b.model([("x", [batch, 3, 21, 18])], [head, _conv(b, cat2, 24, 4, 3)])
    _compare(lib, model, _feeds(model))


def test_residual_add_fuses_into_the_convolution(lib):
    b = Builder(14)
    x = b.op("Relu", [_conv(b, "x", 3, 16, 3)])
    y = _residual_block(b, x, 16)
    model = b.model([("x", [1, 3, 12, 12])], [_conv(b, y, 16, 4, 1, pads=[0, 0, 0, 0])])
    assert "Conv+Add+Act" in _layer_types(lib, model)
    _compare(lib, model, _feeds(model))


def test_blocked_tensors_reach_plain_readers_and_outputs(lib):
    """A blocked result that an Add broadcasting a constant reads as NCHW, and a convolution result that is a
    graph output."""
    b = Builder(15)
    x = b.op("Relu", [_conv(b, "x", 3, 12, 3)])
    y = _conv(b, x, 12, 12, 3)
    shifted = b.op("Add", [x, b.const(np.linspace(-1, 1, 12).astype(np.float32).reshape(1, 12, 1, 1))])
    flat = b.op("Flatten", [b.op("Mul", [y, shifted])])
    out = b.op("Relu", [_conv(b, x, 12, 7, 3)])  # graph output: written plain
    model = b.model([("x", [1, 3, 9, 10])], [flat, out])
    assert "Reorder" in _layer_types(lib, model)
    _compare(lib, model, _feeds(model))


def test_resnet_style_head(lib):
    """Global average through a whole-plane AveragePool into Reshape and Gemm."""
    b = Builder(16)
    x = b.op("Relu", [_conv(b, "x", 3, 24, 3, stride=2)])
    x = b.op("AveragePool", [x], kernel_shape=[7, 7])
    x = b.op("Reshape", [x, b.const(np.array([1, -1], np.int64))])
    y = b.op("Gemm", [x, b.weight((10, 24), 24), b.const(np.zeros(10, np.float32))], transB=1)
    model = b.model([("x", [1, 3, 14, 14])], [y])
    _compare(lib, model, _feeds(model))


@pytest.mark.parametrize("reader", [
    lambda b, y: _conv(b, y, 12, 6, 1, pads=[2, 2, 2, 2]),  # pads past the window
    lambda b, y: _conv(b, y, 12, 6, 3, group=3),            # grouped, not depthwise
    lambda b, y: _conv(b, y, 12, 24, 3, group=12),          # depthwise with two outputs per channel
    lambda b, y: b.op("Concat", [y, _conv(b, y, 12, 4, 1, pads=[0, 0, 0, 0])], axis=1),  # 16 channels, one part of 4
    lambda b, y: b.op("Concat", [y, _conv(b, y, 12, 8, 1, pads=[0, 0, 0, 0]), y], axis=1),  # a partial block twice
])
def test_convolutions_the_blocked_kernels_leave_plain(lib, reader):
    """Readers of a blocked tensor that only the plain operators handle get an NCHW copy."""
    b = Builder(17)
    y = b.op("Relu", [_conv(b, "x", 3, 12, 3)])
    z = b.op("Relu", [_conv(b, y, 12, 12, 3)])  # read by a blocked convolution and by `reader`
    model = b.model([("x", [1, 3, 15, 11])], [reader(b, z), _conv(b, z, 12, 5, 1, pads=[0, 0, 0, 0])])
    _compare(lib, model, _feeds(model))


def test_results_do_not_depend_on_the_thread_count(lib):
    """Work split over two threads (segments, output-block groups, per-thread scratch) gives the same bits:
    every output is summed in the same order whoever computes it."""
    b = Builder(18)
    x = b.op("Relu", [_conv(b, "x", 3, 24, 3)])
    y = b.op("MaxPool", [_residual_block(b, x, 24)], kernel_shape=[3, 3], strides=[2, 2], ceil_mode=1)
    y = b.clip6(_conv(b, y, 24, 24, 3, group=24))
    outputs = [b.op("AveragePool", [y], kernel_shape=[2, 2], strides=[2, 2]), _conv(b, y, 24, 40, 3, stride=2)]
    model = b.model([("x", [2, 3, 30, 26])], outputs)
    data, feeds = compile_model(model, "tx5100"), list(_feeds(model).values())
    results = []
    for mask in (1, 3):
        with simlib.Model(lib, data) as m:
            assert lib.zelt_set_core_mask(m.ctx, mask) == 0
            results.append(m.infer(feeds))
    for one, two in zip(*results):
        assert np.array_equal(one, two)


def test_nan_propagates_through_fused_activations(lib):
    """A NaN in the input reaches the same outputs as in onnxruntime: Relu and Clip keep it."""
    b = Builder(19)
    y = b.op("Relu", [_conv(b, "x", 3, 16, 3)])
    y = b.clip6(_conv(b, y, 16, 16, 3))
    model = b.model([("x", [1, 3, 8, 8])], [_conv(b, y, 16, 4, 1, pads=[0, 0, 0, 0])])
    x = np.random.RandomState(6).randn(1, 3, 8, 8).astype(np.float32)
    x[0, 1, 4, 4] = np.nan
    got, want = _assert_nan_as_ort(lib, model, x)
    finite = ~np.isnan(want)
    assert np.allclose(got[finite], want[finite], rtol=1e-3, atol=1e-4)


@pytest.mark.parametrize("act", sorted(ACTS))
def test_activations_of_depthwise_elementwise_and_plain_outputs(lib, act):
    """Each activation fused into a depthwise convolution, into a blocked Add and into a convolution that
    writes a plain graph output, with a NaN in the input: values and NaN positions as in onnxruntime."""
    b = Builder(20)
    a = b.op("Relu", [_conv(b, "x", 3, 16, 3)])
    d1 = ACTS[act](b, _conv(b, a, 16, 16, 3, group=16))
    d2 = _conv(b, a, 16, 16, 3, group=16)
    s = ACTS[act](b, b.op("Add", [d1, d2]))
    model = b.model([("x", [1, 3, 10, 9])], [ACTS[act](b, _conv(b, s, 16, 5, 1, pads=[0, 0, 0, 0]))])
    feeds = _feeds(model)
    _compare(lib, model, feeds)
    x = feeds["x"].copy()
    x[0, 2, 5, 4] = np.nan
    _assert_nan_as_ort(lib, model, x)


# Dilated windows whose padding is as wide as the window: the blocked kernel reads only the taps inside the
# input, from the blocked input where it is (or from the staged copy of a plain input), per output row and
# per range of output columns.  Odd sizes, asymmetric pads, strides, a residual and a plain graph output.
@pytest.mark.parametrize("size,dilation,stride,pads,blocked_in", [
    ((13, 11), 6, 1, None, True),
    ((9, 17), 12, 1, None, True),         # only some columns see more than the centre tap
    ((7, 7), 36, 1, None, True),          # every tap but the centre lies in the padding
    ((15, 12), 4, 2, [4, 2, 3, 5], True),
    ((10, 13), 5, 3, [5, 5, 0, 1], True),
    ((12, 9), 8, 1, None, False),         # plain input of many channels: staged, padded
    ((11, 10), 3, 1, [3, 1, 3, 1], True),
])
def test_dilated_conv_reads_inside_taps(lib, size, dilation, stride, pads, blocked_in):
    b = Builder(13)
    x = b.op("Relu", [_conv(b, "x", 5, 20, 1, pads=[0, 0, 0, 0])]) if blocked_in else "x"
    cin = 20 if blocked_in else 12
    y = _conv(b, x, cin, 20, 3, stride, dilation, pads=pads)
    if stride == 1 and pads is None and blocked_in:
        y = b.op("Relu", [b.op("Add", [y, x])])  # residual fused into the dilated convolution
    y = _conv(b, y, 20, 11, 3, 1, dilation)       # blocked input, plain output
    model = b.model([("x", [2, 5 if blocked_in else 12, *size])], [y])
    _compare(lib, model, _feeds(model))


def _run(lib, model):
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        return m.infer(list(_feeds(model).values()))


def _operand(b, form, x, c):
    """The second operand of a binary operator whose first operand is blocked `x` of `c` channels."""
    r = b.rng
    if form == "blocked":  # the same shape, blocked too; kept away from zero for Div
        return b.op("Clip", [_conv(b, x, c, c, 3), b.const(np.float32(0.5)), b.const(np.float32(6))])
    if form == "se":  # squeeze-and-excitation: global pool, two 1x1 convolutions, a sigmoid gate
        s = b.op("Relu", [_conv(b, b.op("GlobalAveragePool", [x]), c, 4, 1, pads=[0, 0, 0, 0])])
        return b.op("Sigmoid", [_conv(b, s, 4, c, 1, pads=[0, 0, 0, 0])])
    if form == "per_image":  # [N, 1, 1, 1], computed
        return b.op("ReduceMean", [x], axes=[1, 2, 3], keepdims=1)
    shape = {"nc11": (1, c, 1, 1), "c11": (c, 1, 1), "scalar": (), "one": (1,)}[form]
    return b.const((r.uniform(0.5, 2, size=shape) * r.choice([-1, 1], size=shape)).astype(np.float32))


@pytest.mark.parametrize("op", ["Mul", "Add", "Sub", "Div", "Max", "Min"])
@pytest.mark.parametrize("form,swap", [
    ("nc11", False), ("c11", True), ("scalar", False), ("one", True), ("se", True), ("se", False),
    ("per_image", False), ("blocked", False), ("blocked", True)])
def test_binary_operators_stay_blocked(lib, op, form, swap):
    """A blocked tensor (12 channels: a partial block) combined with a per-channel, per-image or scalar
    operand, constant or computed, or with another blocked tensor, in either order, stays blocked into the
    next convolution; as onnxruntime, and as the same graph with the result also a graph output (plain)."""
    results = []
    for plain in (False, True):
        b = Builder(21)
        x = b.op("Clip", [_conv(b, "x", 3, 12, 3), b.const(np.float32(0.25)), b.const(np.float32(6))])  # divisor
        other = _operand(b, form, x, 12)
        y = b.op(op, [other, x] if swap else [x, other])
        z = b.op("Relu", [y]) if op in ("Mul", "Sub") else y  # a fused activation too
        out = _conv(b, z, 12, 5, 3)
        model = b.model([("x", [2, 3, 11, 9])], [out, z] if plain else [out])
        if not plain:  # a mean over the channels as well reads a plain copy of x
            assert _layer_types(lib, model).count("Reorder") == (form == "per_image")
        _compare(lib, model, _feeds(model))
        results.append(_run(lib, model)[0])
    assert np.abs(results[0] - results[1]).max() <= 1e-5 * np.abs(results[1]).max()


def test_prelu_and_elementwise_nan(lib):
    """PRelu with a per-channel slope stays blocked; NaN reaches the same outputs through Max and Min."""
    b = Builder(22)
    x = b.op("Relu", [_conv(b, "x", 3, 20, 3)])
    y = b.op("PRelu", [_conv(b, x, 20, 20, 3), b.const(np.linspace(-1, 1, 20).astype(np.float32).reshape(20, 1, 1))])
    y = b.op("Max", [y, _conv(b, x, 20, 20, 1, pads=[0, 0, 0, 0])])
    y = b.op("Min", [b.const(np.float32(0.7)), y])
    model = b.model([("x", [1, 3, 9, 10])], [_conv(b, y, 20, 6, 1, pads=[0, 0, 0, 0])])
    assert "Reorder" not in _layer_types(lib, model)
    feeds = _feeds(model)
    _compare(lib, model, feeds)
    x = feeds["x"].copy()
    x[0, 1, 4, 4] = np.nan
    _assert_nan_as_ort(lib, model, x)


@pytest.mark.parametrize("c,m,group,k,stride,pads", [
    (48, 48, 6, 3, 1, None),          # group width 8 (regnet): one output block per group
    (48, 48, 6, 3, 2, [0, 1, 1, 0]),  # strided, asymmetric pads
    (32, 64, 2, 3, 1, None),          # 32 outputs per group: work items of two blocks
    (48, 72, 3, 5, 1, [2, 1, 2, 1]),  # 24 outputs per group: items of three blocks
    (32, 32, 2, 1, 1, [0, 0, 0, 0]),  # pointwise
    (32, 32, 4, 1, 2, [0, 0, 0, 0]),  # strided pointwise
    (32, 24, 2, 3, 1, None),          # 12 outputs per group: plain
])
@pytest.mark.parametrize("plain_input", [False, True])
def test_grouped_convolution(lib, c, m, group, k, stride, pads, plain_input):
    """Grouped convolutions of 8k channels per group run blocked, from a blocked or a plain (graph) input,
    with a fused residual add and activation after them; as onnxruntime."""
    b = Builder(23)
    x = "x" if plain_input else b.op("Relu", [_conv(b, "x", 5, c, 3)])
    y = b.op("Relu", [_conv(b, x, c, m, k, stride, group=group, pads=pads)])
    y = _conv(b, y, m, m, 3, group=group)
    y = b.op("Relu", [b.op("Add", [y, _conv(b, y, m, m, 1, pads=[0, 0, 0, 0])])])
    model = b.model([("x", [2, c if plain_input else 5, 13, 10])], [_conv(b, y, m, 7, 1, pads=[0, 0, 0, 0])])
    _compare(lib, model, _feeds(model))
    if (m // group) % 8 == 0:
        assert "Reorder" not in _layer_types(lib, model)


def _slice(b, x, start, end, axis=1):
    return b.op("Slice", [x, b.const(np.array([start], np.int64)), b.const(np.array([end], np.int64)),
                          b.const(np.array([axis], np.int64))])


@pytest.mark.parametrize("batch", [1, 2])
@pytest.mark.parametrize("c,split", [(32, [16, 16]), (20, [8, 12]), (40, [8, 16, 16]), (24, None), (20, [12, 8])])
def test_split_slice_and_concat_of_blocks(lib, batch, c, split):
    """A C2f-style block: Split (or Slice) of a blocked tensor on channel-block boundaries (views for one
    image, copies for several), convolutions on the parts, Concat of parts and results (the last input may
    end in a partial block); splits off the boundaries take the plain path.  As onnxruntime."""
    b = Builder(24)
    x = b.op("Relu", [_conv(b, "x", 3, c, 3)])
    if split is None:
        parts = b.op("Split", [x], n_out=3, axis=1)
    else:
        parts = b.op("Split", [x, b.const(np.array(split, np.int64))], n_out=len(split), axis=1)
    last = parts[-1]
    head = _slice(b, x, 0, 8)
    tail = _slice(b, x, 8, 1000)  # end past the axis: clamped to the last channel
    y = b.op("Relu", [_conv(b, last, last_c := (split or [8, 8, 8])[-1], last_c, 3)])
    y = b.op("Add", [y, last])
    out = _conv(b, b.op("Concat", parts[:-1] + [head, y], axis=1), c + 8, 6, 1, pads=[0, 0, 0, 0])
    tail_out = _conv(b, b.op("Concat", [head, tail], axis=1), c, 5, 3)
    model = b.model([("x", [batch, 3, 10, 9])], [out, tail_out])
    types = _layer_types(lib, model)
    if all(s % 8 == 0 for s in (split or [8, 8, 8])[:-1]):
        assert "Reorder" not in types
        assert batch > 1 or not {"Split", "Slice"} & set(types)  # views of the input
    _compare(lib, model, _feeds(model))


RESIZES = [
    ("nearest", "asymmetric", "floor", [1, 1, 2, 2]),        # yolov8n's upsampling
    ("nearest", "half_pixel", "round_prefer_floor", [1, 1, 1.5, 0.5]),
    ("nearest", "tf_half_pixel_for_nn", "ceil", [1, 1, 3, 1]),
    ("linear", "half_pixel", None, [1, 1, 2, 2]),
    ("linear", "align_corners", None, [1, 1, 1.6, 2.5]),
    ("linear", "pytorch_half_pixel", None, [1, 1, 0.5, 0.4]),
    ("linear", "asymmetric", None, (2, 16, 29, 8)),        # sizes
]


@pytest.mark.parametrize("mode,ctm,nearest,scales", RESIZES)
def test_resize_stays_blocked(lib, mode, ctm, nearest, scales):
    """Nearest and linear Resize of a blocked tensor (12 channels) by scales or sizes, into a convolution and
    a Concat with another blocked tensor; as onnxruntime, and as the plain Resize (the result also a graph
    output)."""
    results = []
    for plain in (False, True):
        b = Builder(25)
        x = b.op("Relu", [_conv(b, "x", 3, 16, 3)])
        attrs = dict(mode=mode, coordinate_transformation_mode=ctm)
        if nearest:
            attrs["nearest_mode"] = nearest
        if isinstance(scales, tuple):
            ins = [x, "", "", b.const(np.array(scales, np.int64))]
        else:
            ins = [x, "", b.const(np.array(scales, np.float32))]
        up = b.op("Resize", ins, **attrs)
        y = _conv(b, up, 16, 12, 3)
        model = b.model([("x", [2, 3, 15, 10])], [y, up] if plain else [y])
        if not plain:
            assert "Reorder" not in _layer_types(lib, model)
        _compare(lib, model, _feeds(model))
        results.append(_run(lib, model)[0])
    assert np.abs(results[0] - results[1]).max() <= 1e-5 * np.abs(results[1]).max()


@pytest.mark.parametrize("mode,shape,sizes", [
    ("linear", [1, 3, 9, 11], [1, 3, 70, 90]),   # large upsampling: the last axis first
    ("nearest", [2, 2, 5, 7], [2, 2, 11, 30]),
    ("linear", [1, 2, 40, 30], [1, 2, 13, 64]),  # down one axis, up the other
])
def test_plain_resize(lib, mode, shape, sizes):
    b = Builder(26)
    y = b.op("Resize", ["x", "", "", b.const(np.array(sizes, np.int64))], mode=mode)
    model = b.model([("x", shape)], [y])
    _compare(lib, model, _feeds(model))


@pytest.mark.parametrize("op", ["Mul", "Sub", "Div", "Max"])
@pytest.mark.parametrize("shape", [(3, 1, 1), (1, 3, 1, 1), (), (1, 1, 1, 17), (2, 1, 9, 1)])
@pytest.mark.parametrize("constant_first", [False, True])
def test_plain_broadcast_forms(lib, op, shape, constant_first):
    """Plain elementwise operators with a broadcast constant on either side, in one pass."""
    b = Builder(27)
    c = b.const((b.rng.uniform(0.5, 2, size=shape)).astype(np.float32))
    y = b.op(op, [c, "x"] if constant_first else ["x", c])
    model = b.model([("x", [2, 3, 9, 17])], [y])
    _compare(lib, model, _feeds(model))


@pytest.mark.parametrize("c,m,group,k,stride", [(12, 12, 3, 3, 1), (16, 24, 4, 1, 1), (12, 6, 2, 3, 2)])
def test_plain_grouped_convolution(lib, c, m, group, k, stride):
    """Grouped convolutions of channel counts per group that are not multiples of 8, over planes of more
    than one column tile (1024 positions), two images: the plain kernel's (image, group, tile) items."""
    b = Builder(28)
    y = b.op("Relu", [_conv(b, "x", c, m, k, stride, group=group)])
    model = b.model([("x", [2, c, 40, 33])], [y])
    _compare(lib, model, _feeds(model))


@pytest.mark.parametrize("cout,size", [(16, (8, 8)), (12, (7, 9)), (20, (3, 5))])
def test_convolution_for_plain_readers(lib, cout, size):
    """A convolution whose reader takes NCHW (a Reshape into tokens) writes blocked, and one conversion to
    NCHW follows: whole and partial channel blocks, planes of whole and partial groups of eight positions."""
    b = Builder(26)
    y = _conv(b, b.op("Relu", [_conv(b, "x", 3, 8, 3)]), 8, cout, 3)
    tokens = b.op("Transpose", [b.op("Reshape", [y, b.const(np.array([2, cout, -1], np.int64))])], perm=[0, 2, 1])
    model = b.model([("x", [2, 3, *size])], [b.op("MatMul", [tokens, b.weight((cout, 4), cout)])])
    _compare(lib, model, _feeds(model))
    assert _layer_types(lib, model).count("Reorder") == 1


@pytest.mark.parametrize("batch", [1, 2])
@pytest.mark.parametrize("channels", [(12, 5, 20), (36, 36), (3, 3, 3), (8, 13)])
def test_concat_of_partial_blocks(lib, batch, channels):
    """A Concat whose inputs before the last end in partial blocks (a ghost module's halves) stays blocked:
    the channels after each shift across the lanes.  As onnxruntime, with no conversion to NCHW."""
    b = Builder(27)
    parts = [b.op("Relu", [_conv(b, "x", 3, c, 3)]) for c in channels]
    cat = b.op("Concat", parts, axis=1)
    model = b.model([("x", [batch, 3, 9, 7])], [_conv(b, cat, sum(channels), 5, 3)])
    assert "Reorder" not in _layer_types(lib, model)
    _compare(lib, model, _feeds(model))


def _tokens_dwconv(b, t, n, c, h, w, stride, act, case):
    """Tokens [n, h*w, c] -> image -> depthwise 3x3 (+ act) -> tokens, as a transformer's convolutional MLP."""
    img = b.op("Reshape", [b.op("Transpose", [t], perm=[0, 2, 1]), b.const(np.array([n, c, h, w]))])
    if case == "channels split":  # the view does not keep the channels: the transpose runs
        img = b.op("Reshape", [b.op("Transpose", [t], perm=[0, 2, 1]), b.const(np.array([n, c // 2, 2 * h, w]))])
        c, h = c // 2, 2 * h
    y = b.conv(img, c, c, 3, stride=stride, group=1 if case == "dense" else c)
    if act:
        y = b.op(act, [y])
    return b.op("Transpose", [b.op("Reshape", [y, b.const(np.array([n, c, -1]))])], perm=[0, 2, 1]), c


# The depthwise kernel of AVX-512 (two channel blocks an item) and of AVX2.
ISAS = ["default", "avx2"]


@pytest.mark.parametrize("n,c,h,w,stride", [(1, 32, 7, 9, 1), (2, 20, 6, 5, 1), (1, 24, 9, 8, 2)])
@pytest.mark.parametrize("case", ["", "Gelu", "Relu", "image read twice", "channels split", "dense"])
@pytest.mark.parametrize("isa", ISAS)
def test_depthwise_between_tokens(lib, monkeypatch, n, c, h, w, stride, case, isa):
    """The transposes between tokens and image around a depthwise convolution are gathers and stores of the
    convolution itself, unless another operator reads the image or the view moves the channels."""
    if isa == "avx2":
        monkeypatch.setenv("ZELT_AVX512", "0")
    b = Builder(7, opset=20)
    t = b.op("MatMul", ["x", b.weight((16, c), 16)])
    act = case if case in ("Gelu", "Relu") else None
    y, cout = _tokens_dwconv(b, t, n, c, h, w, stride, act, case)
    y = b.op("MatMul", [y, b.weight((cout, 8), cout)])
    outs = [y]
    if case == "image read twice":
        outs.append(b.op("Relu", [b.nodes[1].output[0]]))  # the transposed tokens
    model = b.model([("x", (n, h * w, 16))], outs)
    _compare(lib, model, _feeds(model))
    elided = case in ("", "Gelu", "Relu")
    assert (_layer_types(lib, model).count("Transpose") == 0) == elided, _layer_types(lib, model)


@pytest.mark.parametrize("c,stride", [(16, 1), (13, 2)])
@pytest.mark.parametrize("isa", ISAS)
def test_depthwise_between_channels_last_images(lib, monkeypatch, c, stride, isa):
    """[N, H, W, C] -> depthwise -> [N, H, W, C], the channels-last images of a ConvNeXt-like block."""
    if isa == "avx2":
        monkeypatch.setenv("ZELT_AVX512", "0")
    b = Builder(8)
    x = b.op("Relu", ["x"])
    img = b.op("Transpose", [x], perm=[0, 3, 1, 2])
    y = b.op("Transpose", [b.conv(img, c, c, 5, stride=stride, group=c)], perm=[0, 2, 3, 1])
    model = b.model([("x", (1, 10, 11, c))], [b.op("Relu", [y])])
    _compare(lib, model, _feeds(model))
    assert "Transpose" not in _layer_types(lib, model)
