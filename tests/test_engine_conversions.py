"""Float-to-integer conversions of the engine: values that fit no int64 (or NaN) in integer parameters are
refused, never converted (undefined behaviour, which the sanitizer build reports as float-cast-overflow).
"""
import math

import pytest

import simlib
from exportgraph import F32, I64, ExportGraph

INT64_MAX = 2 ** 63 - 1


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


def _load(lib, g, y):
    data = g.container([y])
    with simlib.Model(lib, data) as m:
        return m.infer([])


def _pad(value):
    g = ExportGraph()
    return g, g.node("Pad", [g.const([2, 2], 1.0), g.const([4], [value, 0.0, 0.0, 0.0], F32)])


def _slice(value):
    g = ExportGraph()
    return g, g.node("Slice", [g.const([4], 1.0), g.const([1], [value], F32), g.const([1], [4], I64)])


def _reshape(value):
    g = ExportGraph()
    return g, g.node("Reshape", [g.const([4], 1.0), g.const([2], [value, 2.0], F32)])


def _resize_sizes(size):
    """keep_aspect_ratio_policy not_smaller scales the other axis by size / 4: 2^63 leaves int64."""
    g = ExportGraph()
    return g, g.node("Resize", [g.const([4, 4], 1.0), -1, -1, g.const([2], [size, 1], I64)],
                     keep_aspect_ratio_policy="not_smaller")


@pytest.mark.parametrize("build,value", [
    (_pad, 1e30), (_pad, -1e30), (_pad, math.nan), (_pad, math.inf),
    (_slice, math.inf), (_slice, math.nan), (_slice, 3e38),
    (_reshape, -1e20), (_reshape, math.nan),
    (_resize_sizes, INT64_MAX),
])
def test_out_of_range_integer_parameters_are_refused(lib, build, value):
    g, y = build(value)
    with pytest.raises(simlib.RuntimeError_) as e:
        _load(lib, g, y)
    assert e.value.code == simlib.ZELT_ERR_MODEL_INVALID


@pytest.mark.parametrize("mode,scale", [("cubic", 1e-45), ("linear", 1e-45), ("cubic", 1e-38), ("nearest", 1e-45)])
def test_a_tiny_resize_scale_empties_the_axis(lib, mode, scale):
    """A valid opset-18 antialiased Resize: the axis of 4 becomes empty, whatever the window would be."""
    g = ExportGraph()
    y = g.node("Resize", [g.const([1, 4], [1.0, 2.0, 3.0, 4.0]), -1, g.const([2], [1.0, scale])], mode=mode,
               antialias=1)
    out, = _load(lib, g, y)
    assert out.shape == (1, 0)


def test_float_parameters_in_range_still_work(lib):
    g = ExportGraph()
    y = g.node("Pad", [g.const([2, 2], [1.0, 2.0, 3.0, 4.0]), g.const([4], [1.0, 0.0, -1.0, 0.0], F32)])
    out, = _load(lib, g, y)
    assert out.tolist() == [[0.0, 0.0], [1.0, 2.0]]
