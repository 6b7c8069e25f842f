"""Latency of the simulator against onnxruntime on small graphs of the patterns that keep the blocked layout
between convolutions: squeeze-and-excitation, grouped convolution, C2f (Split, convolutions, Concat),
upsampling into a Concat; and on plain operators: a large bilinear Resize, per-channel input scaling.

Random weights, Relu activations.  Sides alternate in rounds, the best round median counts (as in
bench_engine.py), with the 1-minute load average beside each row.

    python benchmarks/bench_patterns.py [--runs N] [--rounds R] [--threads 1,2] [--patterns a,b]
"""
import argparse
import os
import sys
import tempfile

import numpy as np
import onnx
import onnxruntime as ort

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_engine import mask_of, ort_round, simulator_round  # noqa: E402
import simlib  # noqa: E402  (bench_engine puts tests/ on the path)
from onnx_models import Builder  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


def se_block(b):
    x = b.op("Relu", [b.conv("x", 96, 96, 3, group=12)])
    s = b.op("Relu", [b.conv(b.op("GlobalAveragePool", [x]), 96, 24, 1)])
    s = b.op("Sigmoid", [b.conv(s, 24, 96, 1)])
    return [b.conv(b.op("Mul", [s, x]), 96, 96, 1)], [1, 96, 56, 56]


def grouped(b):
    x = b.op("Relu", [b.conv("x", 104, 104, 1)])
    x = b.op("Relu", [b.conv(x, 104, 104, 3, group=13)])
    return [b.conv(x, 104, 104, 1)], [1, 104, 28, 28]


def c2f(b):
    x = b.op("Relu", [b.conv("x", 64, 64, 1)])
    a, c = b.op("Split", [x, b.const(np.array([32, 32], np.int64))], n_out=2, axis=1)
    y = b.op("Add", [c, b.op("Relu", [b.conv(b.op("Relu", [b.conv(c, 32, 32, 3)]), 32, 32, 3)])])
    return [b.op("Relu", [b.conv(b.op("Concat", [a, c, y], axis=1), 96, 64, 1)])], [1, 64, 80, 80]


def upsample_concat(b):
    x = b.op("Relu", [b.conv("x", 128, 128, 1)])
    low = b.op("Relu", [b.conv(x, 128, 128, 3, stride=2)])
    up = b.op("Resize", [low, "", b.const(np.array([1, 1, 2, 2], np.float32))], mode="nearest",
              coordinate_transformation_mode="asymmetric", nearest_mode="floor")
    return [b.conv(b.op("Concat", [up, x], axis=1), 256, 64, 1)], [1, 128, 40, 40]


def resize_33_520(b):
    return [b.op("Resize", ["x", "", "", b.const(np.array([1, 21, 520, 520], np.int64))], mode="linear")], \
        [1, 21, 33, 33]


def channel_scale_224(b):
    y = b.op("Sub", ["x", b.const(np.array([0.485, 0.456, 0.406], np.float32).reshape(1, 3, 1, 1))])
    y = b.op("Mul", [b.const(np.array([4.4, 4.5, 4.4], np.float32).reshape(3, 1, 1)), y])
    return [b.conv(y, 3, 32, 3, stride=2)], [1, 3, 224, 224]


PATTERNS = {f.__name__: f for f in (se_block, grouped, c2f, upsample_concat, resize_33_520, channel_scale_224)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20, help="runs per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--patterns", default=",".join(PATTERNS))
    args = parser.parse_args()
    ort.set_default_logger_severity(3)
    lib = simlib.load_library()
    print("{:<20} {:>3} {:>9} {:>9} {:>8} {:>6}".format("pattern", "thr", "sim ms", "ort ms", "sim/ort", "load"))
    with tempfile.TemporaryDirectory() as folder:
        for name in args.patterns.split(","):
            b = Builder(0)
            outputs, shape = PATTERNS[name](b)
            model = b.model([("x", shape)], outputs)
            path = os.path.join(folder, name + ".onnx")
            onnx.save(model, path)
            data = compile_model(model, "tx5100")
            x = np.random.RandomState(0).rand(*shape).astype(np.float32)
            for threads in (int(t) for t in args.threads.split(",")):
                sim_ms = ort_ms = float("inf")
                for _ in range(args.rounds):
                    ort_ms = min(ort_ms, ort_round(path, threads, "x", x, args.runs))
                    sim_ms = min(sim_ms, simulator_round(lib, data, mask_of(threads), x, args.runs))
                print("{:<20} {:>3} {:>9.3f} {:>9.3f} {:>8.2f} {:>6.2f}".format(
                    name, threads, sim_ms, ort_ms, sim_ms / ort_ms, os.getloadavg()[0]))
                sys.stdout.flush()


if __name__ == "__main__":
    main()
