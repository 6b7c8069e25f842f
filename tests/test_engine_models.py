"""Whole models through the compiler and the simulator library, against onnxruntime.

Tolerance: max |engine - onnxruntime| <= 1e-3 * max |onnxruntime| + 1e-5 per
output, float32 summation-order noise over deep networks.
"""
import glob
import os

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

import simlib  # noqa: E402
from onnx_models import Builder, mobilenet_like, randomise_weights  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

LIGHT_DIR = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
LIGHT = sorted(os.path.basename(p)[len("light_"):-len(".onnx")] for p in glob.glob(LIGHT_DIR + "/light_*.onnx"))
RTOL, ATOL = 1e-3, 1e-5


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


def _assert_close(got, want):
    assert got.shape == want.shape
    assert np.all(np.isfinite(got))
    err = np.abs(got - want).max() if got.size else 0.0
    assert err <= RTOL * np.abs(want).max() + ATOL, "max error {} against max {}".format(err, np.abs(want).max())


def _compare(lib, model, feeds, fmt=simlib.NCHW):
    sess = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"])
    want = sess.run(None, feeds)
    arrays = list(feeds.values())
    if fmt == simlib.NHWC:
        arrays = [a.transpose(0, 2, 3, 1) for a in arrays]
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        got = m.infer(arrays, fmt)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        _assert_close(g, w)


@pytest.mark.parametrize("name", LIGHT)
def test_light_model_zoo(lib, name):
    model = randomise_weights(onnx.load(os.path.join(LIGHT_DIR, "light_{}.onnx".format(name))), seed=1)
    inits = {t.name for t in model.graph.initializer}
    vi = next(v for v in model.graph.input if v.name not in inits)
    shape = [d.dim_value for d in vi.type.tensor_type.shape.dim]
    x = np.random.RandomState(0).rand(*shape).astype(np.float32)
    # Compare the logits: the zoo models end in Softmax, which hides most errors.
    last = model.graph.node[-1]
    if last.op_type == "Softmax":
        model.graph.output[0].name = last.input[0]
        model.graph.node.remove(last)
    _compare(lib, model, {vi.name: x})


def test_mobilenet_like_nhwc_input(lib):
    x = np.random.RandomState(0).rand(1, 3, 96, 96).astype(np.float32)
    _compare(lib, mobilenet_like(size=96, width=0.5, classes=10), {"input": x}, fmt=simlib.NHWC)


def _conv_block(seed, group, stride, dilation, act):
    b = Builder(seed)
    cin = 8 if group != "dw" else 12
    g = cin if group == "dw" else group
    y = b.conv("x", cin, 12, 3, stride=stride, group=g, dilation=dilation)
    y = {"relu": lambda v: b.op("Relu", [v]), "clip": b.clip6, "hardswish": lambda v: b.op("HardSwish", [v]),
         "sigmoid": lambda v: b.op("Sigmoid", [v]), "leaky": lambda v: b.op("LeakyRelu", [v], alpha=0.1)}[act](y)
    return b.model([("x", [2, cin, 17, 13])], [y])


@pytest.mark.parametrize("group,stride,dilation,act", [
    (1, 1, 1, "relu"), (1, 2, 1, "clip"), (2, 1, 2, "hardswish"), (4, 2, 1, "sigmoid"), ("dw", 1, 1, "clip"),
    ("dw", 2, 1, "relu"), ("dw", 1, 2, "leaky"), (1, 3, 1, "leaky"),
])
def test_random_conv_blocks(lib, group, stride, dilation, act):
    model = _conv_block(7, group, stride, dilation, act)
    x = np.random.RandomState(1).randn(2, model.graph.input[0].type.tensor_type.shape.dim[1].dim_value, 17,
                                       13).astype(np.float32)
    _compare(lib, model, {"x": x})


def _detector_head():
    """Feature-pyramid style graph: resize, concat, slice, split, transpose, pad, softmax, broadcasting."""
    b = Builder(3)
    f = b.clip6(b.conv("x", 3, 16, 3, stride=2))
    small = b.op("MaxPool", [f], kernel_shape=[2, 2], strides=[2, 2])
    up = b.op("Resize", [small, "", b.const(np.array([1, 1, 2, 2], np.float32))], mode="nearest")
    lin = b.op("Resize", [small, "", "", b.const(np.array([1, 16, 16, 16], np.int64))], mode="linear",
               coordinate_transformation_mode="half_pixel")
    cat = b.op("Concat", [f, up, lin], axis=1)
    padded = b.op("Pad", [cat, b.const(np.array([0, 0, 1, 2, 0, 0, 2, 1], np.int64))], mode="reflect")
    sl = b.op("Slice", [padded, b.const(np.array([1, 1], np.int64)), b.const(np.array([17, -1], np.int64)),
                        b.const(np.array([2, 3], np.int64))])
    a, c = b.op("Split", [sl, b.const(np.array([20, 28], np.int64))], n_out=2, axis=1)
    gate = b.op("Sigmoid", [b.op("ReduceMean", [a], axes=[2, 3], keepdims=1)])
    scaled = b.op("Mul", [a, gate])
    t = b.op("Transpose", [c], perm=[0, 2, 3, 1])
    sm = b.op("Softmax", [t], axis=-1)
    flat = b.op("Reshape", [scaled, b.const(np.array([1, 20, -1], np.int64))])
    mm = b.op("MatMul", [b.op("Transpose", [flat], perm=[0, 2, 1]), b.weight((20, 5), 20)])
    bias = b.op("Add", [mm, b.const(np.linspace(-1, 1, 5).astype(np.float32))])
    return b.model([("x", [1, 3, 32, 32])], [sm, bias, b.op("HardSigmoid", [bias])])


def test_detector_style_graph(lib):
    x = np.random.RandomState(2).randn(1, 3, 32, 32).astype(np.float32)
    _compare(lib, _detector_head(), {"x": x})


def test_batchnorm_folded_into_conv():
    b = Builder(5)
    y = b.op("Relu", [b.bn(b.conv("x", 4, 6, 3), 6)])
    data = compile_model(b.model([("x", [1, 4, 8, 8])], [y]), "tx5100")
    assert b"BatchNormalization" not in data and b"Conv" in data


@pytest.mark.parametrize("form,folds", [("flatten", True), ("reshape", True), ("channels_first", False),
                                        ("shared", False)])
def test_batchnorm_after_linear_layer(lib, form, folds):
    """A linear layer with BatchNorm1d over its rows folds into the weights and a bias; normalising another
    axis, or a product read elsewhere too, stays as it is."""
    b = Builder(6)
    rows, k, n = 10, 12, 20
    mm = b.op("MatMul", ["x", b.weight((k, n), k)])
    back = b.const(np.array([1, rows, n], np.int64))
    outputs = []
    if form == "channels_first":
        y = b.op("BatchNormalization", [b.op("Transpose", [mm], perm=[0, 2, 1])] + [
            b.const(p.astype(np.float32)) for p in (np.linspace(0.5, 2, n), np.linspace(-1, 1, n),
                                                   np.linspace(-0.5, 0.5, n), np.linspace(0.5, 1.5, n))])
    else:
        flat = (b.op("Reshape", [mm, b.const(np.array([rows, n], np.int64))]) if form == "reshape"
                else b.op("Flatten", [mm], axis=2))
        y = b.op("Reshape", [b.bn(flat, n), back])
        if form == "shared":
            outputs.append(b.op("Relu", [mm]))
    model = b.model([("x", [1, rows, k])], [y] + outputs)
    _compare(lib, model, {"x": np.random.RandomState(6).randn(1, rows, k).astype(np.float32)})
    assert (b"BatchNormalization" not in compile_model(model, "tx5100")) == folds


@pytest.mark.parametrize("scale,bias,c,groups,hw", [
    (1.0, 0.0, 12, 3, (6, 5)), (1.0, 0.5, 12, 3, (6, 5)), (2.0, 0.0, 12, 3, (6, 5)),
    (1.0, 0.0, 16, 1, (64, 48)),   # one group: a row of 49152 values, normalised in pieces
    (1.0, 0.0, 13, 1, (37, 41)),   # the same with a last piece of a partial vector
])
def test_group_norm_as_instance_norm(lib, scale, bias, c, groups, hw):
    """GroupNormalization as exported: a reshape to the groups, InstanceNormalization (of ones and zeros, or
    not), the shape back and a per-channel affine."""
    b = Builder(7)
    g = b.op("Reshape", ["x", b.const(np.array([1, groups, -1], np.int64))])
    g = b.op("InstanceNormalization", [g, b.const(np.full(groups, scale, np.float32)),
                                       b.const(np.full(groups, bias, np.float32))], epsilon=1e-5)
    g = b.op("Reshape", [g, b.const(np.array([1, c, *hw], np.int64))])
    y = b.op("Add", [b.op("Mul", [g, b.const(np.linspace(0.5, 1.5, c).reshape(c, 1, 1).astype(np.float32))]),
                     b.const(np.linspace(-1, 1, c).reshape(c, 1, 1).astype(np.float32))])
    x = np.random.RandomState(7).randn(1, c, *hw).astype(np.float32) * 3 + 1
    _compare(lib, b.model([("x", [1, c, *hw])], [y]), {"x": x})


def test_legacy_operator_set_forms(lib):
    """Operator set 9: Upsample, attribute-form Slice/Pad/Clip/Unsqueeze, 2-D coerced Softmax."""
    b = Builder(4, opset=9)
    x = b.op("Upsample", ["x", b.const(np.array([1, 1, 2, 2], np.float32))], mode="nearest")
    x = b.op("Slice", [x], starts=[0, 1], ends=[100, -1], axes=[2, 3])
    x = b.op("Pad", [x], pads=[0, 0, 1, 1, 0, 0, 1, 1], mode="constant", value=0.5)
    x = b.op("Clip", [x], min=-0.5, max=0.75)
    x = b.op("Unsqueeze", [x], axes=[0])
    x = b.op("Softmax", [x], axis=2)
    m = b.model([("x", [1, 2, 5, 6])], [x])
    _compare(lib, m, {"x": np.random.RandomState(3).randn(1, 2, 5, 6).astype(np.float32)})


@pytest.mark.parametrize("make,message", [
    (lambda b: b.op("TopK", ["x", b.const(np.array([2], np.int64))], n_out=2)[0], "unsupported operator 'TopK'"),
    (lambda b: b.op("Reshape", ["x", "x"]), "must be a constant"),
])
def test_compiler_names_what_it_refuses(make, message):
    b = Builder(0)
    out = make(b)
    with pytest.raises(ValueError, match=message):
        compile_model(b.model([("x", [1, 4])], [out]), "tx5100")


def test_dynamic_input_needs_a_shape():
    b = Builder(0)
    y = b.op("Relu", ["x"])
    m = b.model([("x", ["batch", 4])], [y])
    with pytest.raises(ValueError, match="no static shape"):
        compile_model(m, "tx5100")
    assert len(compile_model(m, "tx5100", input_shapes={"x": [2, 4]})) > 32


def test_convert_command_writes_whole_containers_only(tmp_path):
    from zeltlite.__main__ import main
    from zeltlite.api.zelt_model import ZELTModel

    b = Builder(0)
    good = tmp_path / "good.onnx"
    onnx.save(b.model([("x", [1, 4])], [b.op("Relu", ["x"])]), str(good))
    out = tmp_path / "m.zelt"
    assert main(["convert", str(good), "-o", str(out), "--target", "tx5100"]) == 0
    zm = ZELTModel()
    assert zm.load(str(out)) == 0
    assert zm.config_data == b'{"target_platform": ["TX5100"]}'

    b = Builder(0)
    bad = tmp_path / "bad.onnx"
    onnx.save(b.model([("x", [1, 4])], [b.op("NonZero", ["x"])]), str(bad))
    before = out.read_bytes()
    assert main(["convert", str(bad), "-o", str(out), "--target", "tx5100"]) == 1
    assert out.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.onnx", "good.onnx", "m.zelt"]
    assert main(["convert", str(good), "-o", str(out), "--target", "nosuchchip"]) == 1


@pytest.mark.parametrize("stride,group,pads,output_padding", [(2, 1, 1, 1), (1, 2, 0, 0), (3, 1, 2, 2)])
def test_random_conv_transpose(lib, stride, group, pads, output_padding):
    b = Builder(8)
    w = b.weight((4, 6 // group, 3, 3), 9)
    y = b.op("ConvTranspose", ["x", w, b.const(np.linspace(-1, 1, 6).astype(np.float32))], group=group,
             strides=[stride, stride], pads=[pads] * 4, output_padding=[output_padding] * 2)
    model = b.model([("x", [1, 4, 7, 5])], [b.op("Relu", [y])])
    _compare(lib, model, {"x": np.random.RandomState(4).randn(1, 4, 7, 5).astype(np.float32)})


def test_scalar_values(lib):
    b = Builder(0)
    y = b.op("Mul", [b.op("Transpose", ["x"]), b.const(np.float32(3))])
    _compare(lib, b.model([("x", [])], [b.op("Unsqueeze", [y, b.const(np.array([0], np.int64))])]),
             {"x": np.array(2.5, np.float32)})


def test_exported_shape_arithmetic_is_folded(lib):
    """The Shape -> Gather -> Unsqueeze -> Concat -> Reshape chains that exporters write for flatten."""
    b = Builder(6)
    shape = b.op("Shape", ["x"])
    batch = b.op("Gather", [shape, b.const(np.array(0, np.int64))], axis=0)
    target = b.op("Concat", [b.op("Unsqueeze", [batch, b.const(np.array([0], np.int64))]),
                             b.const(np.array([-1], np.int64))], axis=0)
    y = b.op("Gemm", [b.op("Reshape", ["x", target]), b.weight((5, 24), 24)], transB=1)
    model = b.model([("x", [2, 4, 3, 2])], [y])
    data = compile_model(model, "tx5100")
    assert b"Shape" not in data and b"Gather" not in data
    _compare(lib, model, {"x": np.random.RandomState(5).randn(2, 4, 3, 2).astype(np.float32)})


def _split_by_shape(stages):
    """A detector backbone's channel split, as exporters write it: the half of the channels comes from
    Shape -> Gather -> Div, which onnx's shape inference does not evaluate, so the slice's shape, and every
    Shape taken downstream of it, is only known once that arithmetic is folded.  Each stage needs one
    more round of folding and inference."""
    b = Builder(8)
    y = "x"
    for _ in range(stages):
        channels = b.op("Gather", [b.op("Shape", [y]), b.const(np.array(1, np.int64))], axis=0)
        half = b.op("Unsqueeze", [b.op("Div", [channels, b.const(np.array(2, np.int64))]),
                                  b.const(np.array([0], np.int64))])
        part = b.op("Slice", [y, b.const(np.array([0], np.int64)), half, b.const(np.array([1], np.int64))])
        y = b.op("Sigmoid", [b.op("Concat", [part, b.op("Relu", [part]), part], axis=1)])
    n = b.op("Gather", [b.op("Shape", [y]), b.const(np.array([0, 1], np.int64))], axis=0)
    flat = b.op("Reshape", [y, b.op("Concat", [n, b.const(np.array([-1], np.int64))], axis=0)])
    return b.model([("x", [1, 8, 5, 3])], [flat])


@pytest.mark.parametrize("stages", [1, 3])
def test_shapes_inferred_again_after_folding(lib, stages):
    model = _split_by_shape(stages)
    data = compile_model(model, "tx5100")
    assert b"Shape" not in data and b"Div" not in data
    _compare(lib, model, {"x": np.random.RandomState(9).randn(1, 8, 5, 3).astype(np.float32)})


def test_a_shape_that_stays_unknown_is_refused_naming_where_inference_stopped():
    # Inputs of different ranks: onnx's shape inference gives the Concat no shape, and none after it.
    b = Builder(0)
    y = b.op("Relu", [b.op("Concat", ["x", b.const(np.zeros((2, 2, 2), np.float32))], axis=0)])
    flat = b.op("Reshape", [y, b.op("Shape", [y])])
    with pytest.raises(ValueError, match=r"Shape node '\w+': the shape of '{}' is not static: shape inference "
                                         r"stops at Concat node".format(y)) as info:
        compile_model(b.model([("x", [1, 4])], [flat]), "tx5100")
    assert "unsupported operator" not in str(info.value)


@pytest.mark.parametrize("shape,reps", [
    ((1, 1, 3, 3, 4), (1, 5, 1, 1, 1)),  # a rank-5 tile of a length-1 axis: no axis to add
    ((2, 3, 1, 4, 1, 2), (2, 1, 3, 1, 2, 1)),
    ((2, 3), (2, 3)),
    ((2, 3, 4), (1, 1, 1)),
])
def test_tile(lib, shape, reps):
    b = Builder(8)
    y = b.op("Tile", ["x", b.const(np.array(reps, np.int64))])
    _compare(lib, b.model([("x", list(shape))], [y]), {"x": np.random.RandomState(8).randn(*shape).astype(np.float32)})


@pytest.mark.parametrize("shape,perm", [
    ((1, 48, 40), (0, 2, 1)),           # whole 16x16 tiles in both directions
    ((2, 37, 45), (0, 2, 1)),           # partial tiles along both axes
    ((3, 16, 5, 32), (0, 3, 2, 1)),     # tiles with an axis between
    ((2, 37, 45, 3), (0, 2, 1, 3)),     # rows of three contiguous values
    ((5, 17, 33), (2, 1, 0)),
])
def test_transpose(lib, shape, perm):
    """Transposes that move the innermost axis go by tiles; the values arrive exactly."""
    b = Builder(9)
    y = b.op("Relu", [b.op("Transpose", [b.op("Relu", ["x"])], perm=list(perm))])
    x = np.random.RandomState(9).randn(*shape).astype(np.float32)
    with simlib.Model(lib, compile_model(b.model([("x", list(shape))], [y]), "tx5100")) as m:
        got = m.infer([x])[0]
    np.testing.assert_array_equal(got, np.maximum(x, 0).transpose(perm))


@pytest.mark.parametrize("form,folds", [
    ("conv", True), ("conv scalar", True), ("linear", True), ("matmul", True), ("linear transposed", True),
    ("full", False), ("shared", False)])
def test_layer_scale_folds_into_weights(lib, form, folds):
    """A constant scale per output channel after a convolution, or per column after a linear layer (also
    through the Transpose back to NCHW), scales the weights; a scale of every element, or of a product read
    elsewhere too, stays a Mul."""
    from test_engine_nchwc import _layer_types

    b = Builder(10)
    c = 6
    gamma = np.linspace(-1.5, 2, c).astype(np.float32)
    extra = []
    if form.startswith("conv") or form == "shared":
        y = b.conv("x", 4, c, 3)
        scale = np.float32(0.5) if form == "conv scalar" else gamma.reshape(c, 1, 1)
        if form == "shared":
            extra.append(b.op("Relu", [y]))
    else:
        t = b.op("Transpose", ["x"], perm=[0, 2, 3, 1])
        y = b.op("MatMul", [t, b.weight((4, c), 4)])
        if form != "matmul":
            y = b.op("Add", [y, b.const(np.linspace(0, 1, c).astype(np.float32))])
        scale = gamma
        if form == "linear transposed":
            y, scale = b.op("Transpose", [y], perm=[0, 3, 1, 2]), gamma.reshape(c, 1, 1)
        elif form == "full":
            scale = np.random.RandomState(10).randn(5, 7, c).astype(np.float32)
    out = b.op("Mul", [b.const(scale), y] if form == "linear" else [y, b.const(scale)])
    model = b.model([("x", [2, 4, 5, 7])], [out] + extra)
    _compare(lib, model, {"x": np.random.RandomState(10).randn(2, 4, 5, 7).astype(np.float32)})
    assert ("Mul" not in _layer_types(lib, model)) == folds


@pytest.mark.parametrize("ends,steps", [([2 ** 62], [1]), ([12], [1]), ([-1], [1]), ([2 ** 62], [2])])
def test_slice_of_the_channels(lib, ends, steps):
    """x[:, :C] of all the channels is a view of x for its two readers; a shorter or strided slice copies."""
    b = Builder(11)
    s = b.op("Slice", [b.op("Relu", ["x"]), b.const(np.array([0], np.int64)), b.const(np.array(ends, np.int64)),
                       b.const(np.array([1], np.int64)), b.const(np.array(steps, np.int64))])
    model = b.model([("x", [2, 12, 5, 3])], [b.op("Sigmoid", [s]), b.op("Tanh", [s])])
    _compare(lib, model, {"x": np.random.RandomState(11).randn(2, 12, 5, 3).astype(np.float32)})
