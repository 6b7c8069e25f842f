"""Attention paths against onnxruntime: Softmax and LogSoftmax kernels, LayerNormalization and the decomposed
form the rewrite stage fuses into it, scale and bias folded into MatMul, and a small transformer block.

Each rewrite case also checks whether the pattern was fused (the per-layer profile names the operators that
ran); a pattern whose inner values are read elsewhere, or that cannot be proven to fit, stays as written.
"""
import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from onnx_models import Builder  # noqa: E402
from test_engine_models import _compare  # noqa: E402
from test_engine_nchwc import _feeds, _layer_types, lib  # noqa: E402,F401


def _run_compare(lib, model, feeds):
    """Compares with onnxruntime; returns the operator types that ran (the profile cuts names to 17
    characters: LayerNormalization reads LayerNorm)."""
    _compare(lib, model, feeds)
    return [t[:9] if t.startswith("LayerNorm") else t for t in _layer_types(lib, model)]


@pytest.mark.parametrize("op", ["Softmax", "LogSoftmax"])
@pytest.mark.parametrize("shape,axis", [
    ((3, 197), -1),      # attention rows: 24 vectors and a tail of 5
    ((2, 4, 8), -1),     # whole vectors only
    ((5, 1), -1),        # one element per row
    ((2, 13, 3), 1),     # strided axis, fewer lanes than a vector
    ((3, 7, 19), 1),     # strided axis, two groups of lanes with a tail
    ((11, 10), 0),
    ((1, 3, 5, 9), 2),
])
@pytest.mark.parametrize("values", ["normal", "large", "masked"])
def test_softmax(lib, op, shape, axis, values):
    rng = np.random.RandomState(1)
    x = rng.randn(*shape).astype(np.float32)
    if values == "large":
        x *= 3e4  # exp underflows for all but the maximum
    elif values == "masked":
        x[rng.rand(*shape) < 0.3] = -np.inf
        x.reshape(-1)[0] = 80.0  # near exp's range limit
        idx = [slice(None)] * len(shape)
        idx[axis] = 0
        x[tuple(idx)] = 1.0  # no slice along the axis is all -inf
    b = Builder(0)
    y = b.op(op, ["x"], axis=axis)
    model = b.model([("x", shape)], [y])
    feeds = {"x": x}
    if values == "masked":
        # Masked positions come out exactly 0 (Softmax) or -inf (LogSoftmax); the rest compares.
        import simlib
        from zeltlite.convert import compile_model
        want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(None, feeds)[0]
        with simlib.Model(lib, compile_model(model, "tx5100")) as m:
            got = m.infer([x])[0].reshape(want.shape)
        if op == "Softmax":
            assert np.all(got[np.isneginf(x)] == 0)
            np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6)
            return
        assert np.array_equal(np.isneginf(got), np.isneginf(want))
        fin = np.isfinite(want)
        np.testing.assert_allclose(got[fin], want[fin], rtol=1e-5, atol=1e-4)
        return
    _compare(lib, model, feeds)


def _decomposed_ln(b, x, d, case):
    """LayerNormalization as exporters write it, over the last axes (`case` picks the variant)."""
    axes = {"two axes": [-2, -1], "positive axes": [2], "middle axis": [1]}.get(case, [-1])
    mean = b.op("ReduceMean", [x], axes=axes)
    c = b.op("Sub", [x, mean])
    sq = b.op("Mul", [c, c]) if case == "mul self" else b.op("Pow", [c, b.const(np.float32(2))])
    var = b.op("ReduceMean", [sq], axes=axes)
    eps = b.const(np.float32(1e-5))
    y = b.op("Div", [c, b.op("Sqrt", [b.op("Add", [eps, var] if case == "eps first" else [var, eps])])])
    extra = []
    if case == "centred read twice":
        extra.append(b.op("Relu", [c]))
    if case == "centred is output":
        extra.append(c)
    norm_shape = (4, d) if case == "two axes" else (d,)
    if case == "wide scale":
        norm_shape = (1, 1, d)  # could broadcast a value of lower rank up: not provably a layer norm
    if case not in ("no scale", "no affine"):
        y = b.op("Mul", [b.const(b.rng.uniform(0.5, 1.5, norm_shape).astype(np.float32)), y])
    if case not in ("no bias", "no affine"):
        y = b.op("Add", [y, b.const((b.rng.randn(*norm_shape) * 0.1).astype(np.float32))])
    return y, extra


@pytest.mark.parametrize("case,fused", [
    ("pow", True),
    ("mul self", True),
    ("eps first", True),
    ("two axes", True),
    ("no scale", True),
    ("no bias", True),
    ("no affine", True),
    ("centred read twice", False),
    ("centred is output", False),
    ("positive axes", True),   # the compiler counts them from the end
    ("middle axis", False),
    ("wide scale", True),      # the normalisation is fused; the scale stays a Mul
])
def test_layernorm_pattern(lib, case, fused):
    d = 19
    b = Builder(2)
    x = b.op("Relu", ["x"])
    y, extra = _decomposed_ln(b, x, d, case)
    shape = (2, 4, d)
    model = b.model([("x", shape)], [y] + extra)
    types = _run_compare(lib, model, _feeds(model))
    assert ("ReduceMean" not in types) == fused, types
    assert ("LayerNorm" in types) == fused, types


@pytest.mark.parametrize("shape,axis,pshape,bias", [
    ((3, 197, 192), -1, (192,), True),
    ((2, 5, 13), -1, (13,), False),
    ((2, 5, 13), 1, (5, 13), True),
    ((2, 5, 13), -2, (1, 13), True),   # scale broadcast within the normalised shape
    ((7, 3), 0, (3,), True),
])
def test_layernorm_op(lib, shape, axis, pshape, bias):
    b = Builder(3)
    rng = b.rng
    ins = ["x", b.const(rng.uniform(0.5, 1.5, pshape).astype(np.float32))]
    if bias:
        ins.append(b.const((rng.randn(*pshape) * 0.1).astype(np.float32)))
    y = b.op("LayerNormalization", ins, axis=axis, epsilon=1e-6)
    model = b.model([("x", shape)], [y])
    feeds = {"x": (np.random.RandomState(0).randn(*shape) * 3 + 2).astype(np.float32)}
    _compare(lib, model, feeds)


def _attention_scores(b, q, k, case):
    s = np.float32(0.125)
    if case == "operands scaled":  # torch's exporter: each operand times sqrt(scale)
        q = b.op("Mul", [q, b.const(np.float32(np.sqrt(s)))])
        k = b.op("Mul", [b.const(np.float32(np.sqrt(s))), k])
    y = b.op("MatMul", [q, k])
    if case == "result divided":
        y = b.op("Div", [y, b.const(np.float32(8.0))])
    if case == "result scaled":
        y = b.op("Mul", [y, b.const(np.float32(s))])
    return y


@pytest.mark.parametrize("case,fused", [
    ("operands scaled", True),
    ("result divided", True),
    ("result scaled", True),
    ("plain", False),
])
def test_matmul_scale(lib, case, fused):
    b = Builder(4)
    q, k = b.op("Relu", ["q"]), b.op("Relu", ["k"])
    y = b.op("Softmax", [_attention_scores(b, q, k, case)], axis=-1)
    model = b.model([("q", (1, 3, 13, 8)), ("k", (1, 3, 8, 13))], [y])
    types = _run_compare(lib, model, _feeds(model))
    assert ("FusedMatMul" in types) == fused, types
    if fused:
        assert "Mul" not in types and "Div" not in types, types


@pytest.mark.parametrize("case,fused", [
    ("bias after", True),
    ("bias first", True),
    ("scaled, then bias", True),
    ("bias rank 2", True),
    ("product read twice", False),
    ("weights computed", True),
])
def test_matmul_bias(lib, case, fused):
    b = Builder(5)
    x = b.op("Relu", ["x"])
    w = b.weight((24, 19), 24) if case != "weights computed" else b.op("Relu", ["w"])
    y = b.op("MatMul", [x, w])
    if case == "scaled, then bias":
        y = b.op("Mul", [y, b.const(np.float32(0.5))])
    bias = (b.rng.randn(1, 19) if case == "bias rank 2" else b.rng.randn(19)).astype(np.float32)
    outs = []
    if case == "product read twice":
        outs.append(b.op("Relu", [y]))
    y = b.op("Add", [b.const(bias), y] if case == "bias first" else [y, b.const(bias)])
    inputs = [("x", (2, 7, 24))] + ([("w", (24, 19))] if case == "weights computed" else [])
    model = b.model(inputs, [y] + outs)
    types = _run_compare(lib, model, _feeds(model))
    assert ("Add" not in types) == fused, types


@pytest.mark.parametrize("case,fused", [
    ("keys", True),             # [B,H,S,D] x ([B,H,S,D] transposed)
    ("both", True),
    ("2-D", True),
    ("three axes moved", False),
    ("transpose read twice", False),
])
def test_matmul_transpose(lib, case, fused):
    b = Builder(7)
    shapes = {"2-D": ((13, 9), (11, 9))}.get(case, ((1, 3, 13, 9), (1, 3, 11, 9)))
    q, k = b.op("Relu", ["q"]), b.op("Relu", ["k"])
    r = len(shapes[0])
    swap = list(range(r - 2)) + [r - 1, r - 2]
    outs = []
    if case == "three axes moved":
        kt = b.op("Reshape", [b.op("Transpose", [k], perm=[0, 3, 2, 1]), b.const(np.array([1, 3, 9, 11], np.int64))])
    else:
        kt = b.op("Transpose", [k], perm=swap)
    if case == "transpose read twice":
        outs.append(b.op("Relu", [kt]))
    if case == "both":
        q = b.op("Transpose", [b.op("Transpose", [q], perm=swap)], perm=swap)
    y = b.op("MatMul", [q, kt])
    model = b.model([("q", shapes[0]), ("k", shapes[1])], [y] + outs)
    types = _run_compare(lib, model, _feeds(model))
    assert ("FusedMatMul" in types) == fused, types
    if case == "both":
        assert types.count("Transpose") == 1, types  # the inner one of q's two stays


def _vit_block(b, x, seq, dim, heads, native_ln):
    """A pre-norm transformer encoder block as torch exports it (qkv projection, attention, MLP with GELU)."""
    hd = dim // heads

    def ln(v):
        scale = b.const(b.rng.uniform(0.5, 1.5, dim).astype(np.float32))
        shift = b.const((b.rng.randn(dim) * 0.1).astype(np.float32))
        if native_ln:
            return b.op("LayerNormalization", [v, scale, shift], axis=-1, epsilon=1e-6)
        mean = b.op("ReduceMean", [v], axes=[-1])
        c = b.op("Sub", [v, mean])
        var = b.op("ReduceMean", [b.op("Pow", [c, b.const(np.float32(2))])], axes=[-1])
        n = b.op("Div", [c, b.op("Sqrt", [b.op("Add", [var, b.const(np.float32(1e-6))])])])
        return b.op("Add", [b.op("Mul", [n, scale]), shift])

    def linear(v, cin, cout):
        y = b.op("MatMul", [v, b.weight((cin, cout), cin)])
        return b.op("Add", [b.const((b.rng.randn(cout) * 0.1).astype(np.float32)), y])

    qkv = linear(ln(x), dim, 3 * dim)
    qkv = b.op("Transpose", [b.op("Reshape", [qkv, b.const(np.array([1, seq, 3, heads, hd], np.int64))])],
               perm=[2, 0, 3, 1, 4])
    q, k, v = [b.op("Squeeze", [t, b.const(np.array([0], np.int64))])
               for t in b.op("Split", [qkv, b.const(np.array([1, 1, 1], np.int64))], n_out=3, axis=0)]
    root = b.const(np.float32(hd ** -0.25))
    scores = b.op("MatMul", [b.op("Mul", [q, root]), b.op("Mul", [b.op("Transpose", [k], perm=[0, 1, 3, 2]), root])])
    att = b.op("MatMul", [b.op("Softmax", [scores], axis=-1), v])
    att = b.op("Reshape", [b.op("Transpose", [att], perm=[0, 2, 1, 3]), b.const(np.array([1, seq, dim], np.int64))])
    x = b.op("Add", [x, linear(att, dim, dim)])
    h = linear(ln(x), dim, 4 * dim)
    gelu = b.op("Mul", [b.op("Mul", [h, b.op("Add", [b.op("Erf", [b.op("Div", [h, b.const(np.float32(np.sqrt(2)))])]),
                                                     b.const(np.float32(1))])]), b.const(np.float32(0.5))])
    return b.op("Add", [x, linear(gelu, 4 * dim, dim)])


@pytest.mark.parametrize("native_ln", [False, True])
def test_vit_block(lib, native_ln):
    seq, dim, heads = 13, 36, 3  # 13 tokens, head size 12: nothing a multiple of 8
    b = Builder(6)
    y = _vit_block(b, _vit_block(b, "x", seq, dim, heads, native_ln), seq, dim, heads, native_ln)
    model = b.model([("x", (1, seq, dim))], [y])
    types = _run_compare(lib, model, _feeds(model))
    assert types.count("LayerNorm") == 4 and "ReduceMean" not in types, types
    assert types.count("FusedMatMul") == 2 and types.count("Softmax") == 2, types  # the scaled scores
    assert types.count("MatMul+Add") == 6 and types.count("MatMul+Add+Act") == 2 and "Erf" not in types, types
    assert types.count("Transpose") == 4, types  # of the keys: read in place
    assert "Split" not in types, types  # queries, keys and values: views of the permuted products


@pytest.mark.parametrize("equation,shapes", [
    ("B G H I D, B G H J D -> B G H I J", [(1, 2, 3, 5, 8), (1, 2, 3, 7, 8)]),  # window attention scores
    ("bghij,bghjd->bghid", [(1, 2, 3, 5, 7), (1, 2, 3, 7, 8)]),
    ("ij,jk", [(3, 4), (4, 5)]),                                 # implicit output
    ("...ij,...jk->...ik", [(2, 3, 4), (4, 5)]),                  # an ellipsis of no axes in one operand
    ("bij,bjk->bik", [(1, 3, 4), (2, 4, 5)]),                     # a broadcast batch
    ("ijk,ikl->lj", [(2, 3, 4), (2, 4, 5)]),                      # a label summed in one operand only
    ("i,j->ij", [(3,), (4,)]),                                   # no contraction
    ("ab,ab->", [(3, 4), (3, 4)]),                               # everything contracted
    ("ijk->kij", [(2, 3, 4)]),
    ("ijk->j", [(2, 3, 4)]),
])
def test_einsum_matches_numpy(lib, equation, shapes):
    """Einsum lowered to sums, transposes and one batched MatMul."""
    from onnx import TensorProto, helper

    import simlib
    from test_engine_models import _assert_close
    from zeltlite.convert import compile_model

    ins = [helper.make_tensor_value_info("x{}".format(i), TensorProto.FLOAT, s) for i, s in enumerate(shapes)]
    graph = helper.make_graph([helper.make_node("Einsum", [v.name for v in ins], ["y"], equation=equation)], "g",
                              ins, [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    rng = np.random.RandomState(len(equation))
    xs = [rng.randn(*s).astype(np.float32) for s in shapes]
    with simlib.Model(lib, compile_model(model, "tx5100")) as m:
        got = m.infer(xs)[0]
    want = np.einsum(equation.replace(" ", ""), *xs)
    _assert_close(got.reshape(want.shape), want)


@pytest.mark.parametrize("equation,shapes,why", [
    ("ii->i", [(3, 3)], "diagonal"),
    ("ij,jk->ik", [(3, 4), (5, 6)], "sizes"),
    ("ij,jk,kl->il", [(2, 2), (2, 2), (2, 2)], "two operands"),
])
def test_einsum_refusals(equation, shapes, why):
    from onnx import TensorProto, helper

    from zeltlite.convert import compile_model

    ins = [helper.make_tensor_value_info("x{}".format(i), TensorProto.FLOAT, s) for i, s in enumerate(shapes)]
    graph = helper.make_graph([helper.make_node("Einsum", [v.name for v in ins], ["y"], equation=equation)], "g",
                              ins, [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)])
    with pytest.raises(ValueError, match=why):
        compile_model(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), "tx5100")
