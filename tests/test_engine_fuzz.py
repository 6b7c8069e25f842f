"""Seeded fuzzing of model loading and input binding: only status codes, never a crash or a leak.

ZELT_FUZZ_ITERATIONS scales the loops (default 300 per kind).  The same tests
run under AddressSanitizer with a ZELT_SANITIZE=ON build (see README).
"""
import os
import random
import struct
from ctypes import byref, c_ulonglong

import numpy as np
import psutil
import pytest

onnx = pytest.importorskip("onnx")

import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from zeltlite.convert import SUPPORTED_OPS, compile_model  # noqa: E402

ITERATIONS = int(os.environ.get("ZELT_FUZZ_ITERATIONS", "300"))
ERROR_CODES = set(range(-14, 0))


def _seed_models():
    b = Builder(1)
    y = b.clip6(b.conv("x", 3, 4, 3, stride=2, group=1))
    y = b.op("Concat", [y, b.op("Resize", [y, "", b.const(np.array([1, 1, 1, 1], np.float32))])], axis=1)
    y = b.op("Softmax", [b.op("Reshape", [y, b.const(np.array([1, -1], np.int64))])])
    first = b.model([("x", [1, 3, 9, 7])], [y])
    b = Builder(2)
    z = b.op("Gemm", [b.op("Flatten", ["x"]), b.weight((6, 12), 12)], transB=1)
    second = b.model([("x", [2, 3, 2, 2])], [b.op("Pad", [z, b.const(np.array([0, 1, 0, 1], np.int64))])])
    # A chain that runs channel-blocked: mutated window attributes reach the blocked kernels.
    b = Builder(3)
    y = b.op("Relu", [b.conv("x", 3, 8, 3)])
    y = b.op("MaxPool", [b.conv(y, 8, 12, 3, stride=2)], kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1])
    y = b.clip6(b.conv(y, 12, 12, 3, group=12))
    y = b.op("Concat", [b.conv(y, 12, 8, 1), b.op("Add", [b.conv(y, 12, 8, 3), b.conv(y, 12, 8, 1)])], axis=1)
    third = b.model([("x", [1, 3, 13, 11])], [b.op("GlobalAveragePool", [y]), b.conv(y, 16, 5, 3)])
    return [compile_model(m, "tx5100") for m in (first, second, third)]


@pytest.fixture(scope="module")
def lib():
    return simlib.load_library()


@pytest.fixture(scope="module")
def seeds():
    return _seed_models()


def _exercise(lib, data, rng):
    """Loads `data`; when it loads, binds right and wrong inputs, runs and reads outputs."""
    h = c_ulonglong(0)
    ret = lib.zelt_init(byref(h), data, len(data), 1, None)
    if ret != 0:
        assert ret in ERROR_CODES
        return False
    m = simlib.Model.__new__(simlib.Model)
    m.lib, m.ctx = lib, h
    try:
        n_in, _ = m.counts()
        arrays = []
        for i in range(n_in):
            a = m.attr(i)
            arrays.append(rng.standard_normal(a.n_elems).astype(np.float32))
        if arrays:
            wrong = [np.zeros(max(0, a.size - 1), np.float32) if a.size else np.zeros(1, np.float32)
                     for a in arrays]
            assert m.set_inputs(wrong) in ERROR_CODES
            assert m.set_inputs(arrays) == 0
        m.run()
        for out in m.outputs():
            assert out.dtype == np.float32
    finally:
        m.close()
    return True


def _mutate(data, rng):
    export_end = 24 + struct.unpack_from("<Q", data, 16)[0]
    b = bytearray(data)
    kind = rng.integers(4)
    if kind == 0:  # flip bytes inside the export section
        for _ in range(int(rng.integers(1, 8))):
            pos = int(rng.integers(24, export_end))
            b[pos] = int(rng.integers(256))
    elif kind == 1:  # truncate anywhere
        b = b[:int(rng.integers(0, len(b)))]
    elif kind == 2:  # a plausible integer somewhere in the section
        pos = int(rng.integers(24, export_end - 8))
        value = int(rng.choice([0, 1, 2, 255, 2 ** 16, 2 ** 31 - 1, 2 ** 32 - 1, 2 ** 63 - 1]))
        b[pos:pos + 8] = struct.pack("<Q", value)
    else:  # splice a random run of bytes in or out
        pos = int(rng.integers(24, export_end))
        if rng.integers(2):
            b[pos:pos] = rng.integers(0, 256, int(rng.integers(1, 16)), dtype=np.uint8).tobytes()
        else:
            del b[pos:pos + int(rng.integers(1, 16))]
    return bytes(b)


def test_mutated_containers(lib, seeds):
    rng = np.random.default_rng(1234)
    loaded = 0
    for i in range(ITERATIONS):
        loaded += _exercise(lib, _mutate(seeds[i % len(seeds)], rng), rng)
    assert loaded < ITERATIONS  # the mutations do reach the error paths


def _value(rnd, dtype):
    """Mostly small numbers, sometimes extremes that overflow careless arithmetic."""
    if rnd.random() < 0.1:
        return rnd.choice([2 ** 62, -2 ** 63, 2 ** 63 - 1, 2 ** 31, -2 ** 31, 1 << 40]) if dtype else rnd.choice(
            [1e30, -1e30, float("inf"), float("nan")])
    return rnd.randint(-3, 5)


def _random_graph(rnd):
    """Well-framed export sections with random operators, wiring, shapes and attributes."""
    def s(t):
        return struct.pack("<I", len(t)) + t.encode()

    ops = sorted(SUPPORTED_OPS)
    n_const = rnd.randint(0, 4)
    tensors = [s("in") + struct.pack("<BBB", 0, 0, 4) + struct.pack("<4q", *[rnd.randint(1, 5) for _ in range(4)])]
    for k in range(n_const):
        rank = rnd.randint(0, 4)
        dims = [rnd.randint(0, 4) for _ in range(rank)]
        dtype = rnd.randint(0, 1)
        n = int(np.prod(dims)) if dims else 1
        fill = rnd.random() < 0.3
        body = struct.pack("<BBB{}q".format(rank), 2 if fill else 1, dtype, rank, *dims)
        values = [_value(rnd, dtype) for _ in range(1 if fill else n)]
        body += struct.pack("<{}{}".format(len(values), "f" if dtype == 0 else "q"), *values)
        tensors.append(s("c{}".format(k)) + body)
    n_nodes = rnd.randint(1, 5)
    first_value = len(tensors)
    nodes = []
    for j in range(n_nodes):
        avail = first_value + j
        ins = [rnd.randint(-1, avail - 1) for _ in range(rnd.randint(1, 4))]
        attrs = []
        for name in rnd.sample(["axis", "perm", "kernel_shape", "strides", "pads", "group", "mode", "alpha",
                                "keepdims", "split", "axes", "transB"], rnd.randint(0, 3)):
            kind = rnd.randint(0, 4)
            if kind == 0:
                payload = struct.pack("<Bq", 0, _value(rnd, 1))
            elif kind == 1:
                payload = struct.pack("<Bf", 1, rnd.uniform(-2, 2))
            elif kind == 2:
                vals = [_value(rnd, 1) for _ in range(rnd.randint(0, 5))]
                payload = struct.pack("<BI{}q".format(len(vals)), 2, len(vals), *vals)
            elif kind == 3:
                payload = struct.pack("<BIf", 3, 1, 0.5)
            else:
                payload = struct.pack("<B", 4) + s(rnd.choice(["linear", "nearest", "reflect", "SAME_UPPER"]))
            attrs.append(s(name) + payload)
        nodes.append(s(rnd.choice(ops)) + s("n{}".format(j)) + struct.pack("<I{}i".format(len(ins)), len(ins), *ins)
                     + struct.pack("<II", 1, avail) + struct.pack("<I", len(attrs)) + b"".join(attrs))
        tensors.append(s("v{}".format(j)) + struct.pack("<B", 3))
    export = (b"ZENG" + struct.pack("<II", 1, len(tensors)) + b"".join(tensors) + struct.pack("<II", 1, 0)
              + struct.pack("<II", 1, len(tensors) - 1) + struct.pack("<I", n_nodes) + b"".join(nodes))
    config = b'{"target_platform": ["TX5100"]}'
    return (struct.pack("<QQQ", 0x544C455A, 1, len(export)) + export + struct.pack("<Q", len(config)) + config)


def test_random_graphs(lib):
    rnd = random.Random(99)
    rng = np.random.default_rng(99)
    loaded = sum(_exercise(lib, _random_graph(rnd), rng) for _ in range(ITERATIONS))
    assert 0 < loaded < ITERATIONS


# AddressSanitizer holds freed memory in quarantine, so resident size says nothing there.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="memory is quarantined under ASan")
def test_no_memory_growth_over_many_contexts(lib, seeds):
    rng = np.random.default_rng(5)
    for data in seeds * 20:  # warm up allocator pools
        _exercise(lib, data, rng)
    before = psutil.Process().memory_info().rss
    for data in seeds * 200:
        _exercise(lib, data, rng)
    assert psutil.Process().memory_info().rss - before < 8 << 20
