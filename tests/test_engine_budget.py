"""Tiny hostile models: an empty tensor with one huge axis must cost nothing, and what cannot fit the
per-model memory budget is refused before it is allocated.

Each model loads (and runs, when it loads) in a process of its own, which reports the load and run times
and how much its peak resident size grew.  The limits are loose (the machine is shared, and the sanitizer
build is slower): the audit that found these measured seconds and gigabytes.
"""
import json
import os
import subprocess
import sys

import pytest

import simlib
from exportgraph import I64, ExportGraph

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
SECONDS = 12.0 if SANITIZED else 3.0
GROWTH = 100 << 20

_PROBE = r"""
import json, resource, sys, time
from ctypes import byref, c_ulonglong
import numpy as np
sys.path.insert(0, sys.argv[1])
import simlib
data = open(sys.argv[2], "rb").read()
lib = simlib.load_library()
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
h = c_ulonglong(0)
t0 = time.monotonic()
ret = lib.zelt_init(byref(h), data, len(data), 1, None)
load = time.monotonic() - t0
run, shapes = None, None
if ret == 0:
    m = simlib.Model.__new__(simlib.Model)
    m.lib, m.ctx = lib, h
    n_in, _ = m.counts()
    t0 = time.monotonic()
    outs = m.infer([np.zeros(m.attr(i).n_elems, np.float32) for i in range(n_in)])
    run = time.monotonic() - t0
    shapes = [list(o.shape) for o in outs]
    m.close()
grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) * 1024
print(json.dumps(dict(ret=ret, load=load, run=run, shapes=shapes, grown=grown)))
"""


def _probe(tmp_path, data):
    assert len(data) < 1024
    path = tmp_path / "model.zelt"
    path.write_bytes(data)
    # subprocess.run kills its own child on timeout.
    out = subprocess.run([sys.executable, "-c", _PROBE, os.path.dirname(__file__), str(path)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    r = json.loads(out.stdout.strip().splitlines()[-1])
    assert r["load"] < SECONDS and (r["run"] or 0) < SECONDS, r
    if not SANITIZED:  # the sanitizer's own shadow and quarantine are no part of the budget
        assert r["grown"] < GROWTH, r
    return r


HUGE = 2 ** 27


def _matmul_empty_batch():
    g = ExportGraph()
    return g, [g.node("MatMul", [g.const([HUGE, 0, 1], []), g.const([1, 1], [1.0])])], [[HUGE, 0, 1]]


def _resize_antialias(extent):
    def build():
        g = ExportGraph()
        x = g.const([0, extent], [])
        y = g.node("Resize", [x, -1, g.const([2], [1.0, 1.0 / extent])], mode="linear", antialias=1)
        return g, [y], [[0, 1]]
    return build


def _pad_empty():
    g = ExportGraph()
    y = g.node("Pad", [g.const([0, HUGE], []), g.const([4], [0, 0, 0, 1], I64)])
    return g, [y], [[0, HUGE + 1]]


def _concat_chain():
    g = ExportGraph()
    y = g.const([2 ** 30, 0], [])
    for _ in range(4):
        y = g.node("Concat", [y, y], axis=1)
    return g, [y], [[2 ** 30, 0]]


def _fill_indices():
    """Gather indices declared as one value repeated 2^27 times, for an empty result."""
    g = ExportGraph()
    return g, [g.node("Gather", [g.const([1, 0], []), g.const([HUGE], 0, I64)])], [[HUGE, 0]]


def _fill_weights():
    g = ExportGraph()
    w = g.const([2 ** 14, 2 ** 14, 1, 1], 0.5)  # 1 GiB of weights as one repeated value
    return g, [g.node("Conv", [g.const([0, 2 ** 14, 1, 1], []), w])], [[0, 2 ** 14, 1, 1]]


def _empty(op, shape, *params, out, n_out=1, **attrs):
    """`op` on an empty constant of `shape`; `out`: the shape of its first output."""
    def build():
        g = ExportGraph()
        ins = [g.const(shape, [])] + [p(g) if callable(p) else p for p in params]
        y = g.node(op, ins, n_out, **attrs)
        return g, [y] if n_out == 1 else y[:1], [out]
    return build


def _ints(*v):
    return lambda g: g.const([len(v)], list(v), I64)


MODELS = {
    "matmul_empty_batch": _matmul_empty_batch,
    "resize_antialias_2^27": _resize_antialias(2 ** 27),
    "resize_antialias_2^30": _resize_antialias(2 ** 30),
    "pad_empty": _pad_empty,
    "concat_chain": _concat_chain,
    "fill_indices": _fill_indices,
    "fill_weights": _fill_weights,
    # The same class nearby: index maps, coordinate tables and per-row loops of other operators.
    "resize_nearest": _empty("Resize", [0, 2 ** 22], -1, lambda g: g.const([2], [1.0, 4.0]), out=[0, 2 ** 24]),
    "resize_cubic": _empty("Resize", [3, 0, 2 ** 24], -1, lambda g: g.const([3], [1.0, 1.0, 2 ** -24]),
                           out=[3, 0, 1], mode="cubic", antialias=1),
    "pad_reflect": _empty("Pad", [0, HUGE], _ints(0, 5, 0, 5), out=[0, HUGE + 10], mode="edge"),
    "gather": _empty("Gather", [HUGE, 0], _ints(0, 1, 2), out=[3, 0]),
    "slice": _empty("Slice", [2 ** 30, 0], _ints(0), _ints(2 ** 30), _ints(0), _ints(3), out=[(2 ** 30 + 2) // 3, 0]),
    "transpose": _empty("Transpose", [2 ** 30, 0, 1], out=[1, 0, 2 ** 30]),
    "expand": _empty("Expand", [1, 0], _ints(2 ** 30, 0), out=[2 ** 30, 0]),
    "split": _empty("Split", [2 ** 30, 0], _ints(2 ** 29 - 1, 2 ** 29 + 1), out=[2 ** 29 - 1, 0], n_out=2),
    "elementwise": _empty("Add", [2 ** 30, 0, 1], lambda g: g.const([1], [1.0]), out=[2 ** 30, 0, 1]),
    "softmax": _empty("Softmax", [2 ** 30, 0], out=[2 ** 30, 0]),
    "conv_transpose": _empty("ConvTranspose", [0, 1, 2 ** 14, 2 ** 14], lambda g: g.const([1, 1, 3, 3], 1.0),
                             out=[0, 1, 2 ** 14 + 2, 2 ** 14 + 2]),
    "depthwise_conv": _empty("Conv", [0, 2, 3, 2 ** 27], lambda g: g.const([2, 1, 3, 3], 1.0),
                             out=[0, 2, 1, 2 ** 27 - 2], group=2),
    "average_pool": _empty("AveragePool", [0, 1, 1, 2 ** 30], out=[0, 1, 1, 2 ** 30], kernel_shape=[1, 1]),
    "max_pool": _empty("MaxPool", [1, 0, 2 ** 15, 2 ** 15], out=[1, 0, 2 ** 15, 2 ** 15], kernel_shape=[3, 3],
                       pads=[1, 1, 1, 1]),
    "reduce": _empty("ReduceSum", [2 ** 30, 0], _ints(0), out=[1, 0]),
}


@pytest.mark.parametrize("name", sorted(MODELS))
def test_empty_tensors_with_a_huge_axis_cost_nothing(tmp_path, name):
    g, outputs, shapes = MODELS[name]()
    r = _probe(tmp_path, g.container(outputs))
    assert r["ret"] == simlib.ZELT_SUCC, r
    assert r["shapes"] == shapes


def _wide_antialias():
    """A non-empty result whose antialiased window spans 2^30 taps: a table that fits no budget."""
    g = ExportGraph()
    x = g.input([1, 2 ** 28])
    return g, [g.node("Resize", [x, -1, g.const([2], [1.0, 2.0 ** -28])], mode="cubic", antialias=1)]


def _fill_pads():
    """A Pad whose pads are one value repeated 2^28 times: refused without making them."""
    g = ExportGraph()
    return g, [g.node("Pad", [g.const([1, 1], [1.0]), g.const([2 ** 28], 0, I64)])]


@pytest.mark.parametrize("build", [_wide_antialias, _fill_pads])
def test_what_cannot_fit_is_refused_early(tmp_path, build):
    g, outputs = build()
    r = _probe(tmp_path, g.container(outputs))
    assert r["ret"] == simlib.ZELT_ERR_MODEL_INVALID, r


def test_a_fill_constant_read_through_a_view(tmp_path):
    """Fill constants get their elements when an operator reads them, also through a Reshape view."""
    g = ExportGraph()
    v = g.node("Reshape", [g.const([4, 4], 2.5), g.const([1], [16], I64)])
    y = g.node("Relu", [v])
    w = g.node("Conv", [g.const([1, 2, 3, 3], -1.0), g.const([3, 2, 1, 1], 0.5), g.const([3], 0.25)])
    with simlib.Model(simlib.load_library(), g.container([y, w])) as m:
        got_y, got_w = m.infer([])
    assert got_y.tolist() == [2.5] * 16
    assert got_w.shape == (1, 3, 3, 3) and (got_w == -0.75).all()


def _random_hostile(rnd):
    """One operator over an empty tensor with a huge axis, or a Fill of a huge shape, with random parameters."""
    from zeltlite.convert import SUPPORTED_OPS

    g = ExportGraph()
    big = rnd.choice([2 ** 20, 2 ** 27, 2 ** 30])
    shapes = [[big, 0], [0, big], [1, 0, big], [0, 1, 1, big], [1, 0, 2 ** 10, 2 ** 10], [0, 3, big // 2 ** 10, 4]]
    x = g.const(rnd.choice(shapes), [])
    small = [lambda: g.const([2], [0, 1], I64), lambda: g.const([4], [0, 0, 0, rnd.choice([1, 2 ** 24])], I64),
             lambda: g.const([1], [rnd.choice([1, 2 ** 30])], I64), lambda: g.const([2], [1.0, 2.0 ** -27]),
             lambda: g.const([rnd.choice([2 ** 20, 2 ** 28])], rnd.choice([0, 1]), I64),
             lambda: g.const([4, 4, 3, 3], 0.5), lambda: g.const([1], 0.0), lambda: -1]
    ins = [x] + [rnd.choice(small)() for _ in range(rnd.randint(0, 3))]
    attrs = {}
    for name, values in [("axis", [0, 1, -1]), ("kernel_shape", [[3, 3], [1, 2 ** 10]]), ("pads", [[1, 1, 1, 1]]),
                         ("strides", [[2, 2]]), ("mode", ["linear", "cubic", "nearest", "edge"]),
                         ("antialias", [1]), ("perm", [[1, 0], [2, 1, 0]]), ("ceil_mode", [1]), ("group", [1, 3])]:
        if rnd.random() < 0.3:
            attrs[name] = rnd.choice(values)
    return g.container([g.node(rnd.choice(sorted(SUPPORTED_OPS)), ins, **attrs)])


def test_random_operators_on_huge_empty_tensors():
    """A seeded loop over random operators: each model loads (or is refused) quickly and without growing the
    process, and runs quickly where its results are small (a reduction over an empty axis, for one, has
    a large result of zeros, which costs what it holds)."""
    import random
    import time
    from ctypes import byref, c_ulonglong

    import numpy as np
    import psutil

    lib = simlib.load_library()
    rnd = random.Random(2026)
    proc = psutil.Process()
    loaded = 0
    for _ in range(int(os.environ.get("ZELT_FUZZ_ITERATIONS", "300"))):
        data = _random_hostile(rnd)
        before = proc.memory_info().rss
        t0 = time.monotonic()
        h = c_ulonglong(0)
        ret = lib.zelt_init(byref(h), data, len(data), 1, None)
        assert time.monotonic() - t0 < SECONDS, data
        if ret != 0:
            assert -14 <= ret < 0
            continue
        loaded += 1
        if not SANITIZED:
            assert proc.memory_info().rss - before < GROWTH, data
        m = simlib.Model.__new__(simlib.Model)
        m.lib, m.ctx = lib, h
        try:
            n_in, n_out = m.counts()
            if sum(m.attr(i, output=True).n_elems for i in range(n_out)) <= 2 ** 20:
                t0 = time.monotonic()
                m.infer([np.zeros(m.attr(i).n_elems, np.float32) for i in range(n_in)])
                assert time.monotonic() - t0 < SECONDS, data
        finally:
            m.close()
    assert loaded
