"""Dilated 3x3 convolutions of a segmentation head against onnxruntime, over the dilation.

A 1x1 convolution, the dilated 3x3 one (padding as wide as its window, as in atrous pyramid pooling), then
a 1x1 convolution; most taps of a large dilation fall into the padding.  Per dilation this prints the
best-of-rounds median latencies of the simulator and onnxruntime, in alternating rounds in one process,
their ratio (target <= 1.0) and the load average.

    python benchmarks/bench_dilated_conv.py [--channels C] [--size S] [--threads T] [--rounds R]
"""
import argparse
import os
import sys
import tempfile

import numpy as np
import onnx
import onnxruntime as ort

import bench_engine
import simlib
from onnx_models import Builder
from zeltlite.convert import compile_model


def head(channels, size, dilation):
    b = Builder(3)
    y = b.op("Relu", [b.conv("x", channels, channels, 1)])
    y = b.op("Relu", [b.conv(y, channels, channels, 3, pad=dilation, dilation=dilation)])
    return b.model([("x", [1, channels, size, size])], [b.conv(y, channels, 16, 1)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--channels", type=int, default=256)
    parser.add_argument("--size", type=int, default=33)
    parser.add_argument("--dilations", default="1,6,12,24,36")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    lib = simlib.load_library()
    x = np.random.RandomState(0).rand(1, args.channels, args.size, args.size).astype(np.float32)
    print("{:>8} {:>9} {:>9} {:>6} {:>6}".format("dilation", "sim ms", "ort ms", "ratio", "load"))
    for d in map(int, args.dilations.split(",")):
        model = head(args.channels, args.size, d)
        data = compile_model(model, "tx5100")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "head.onnx")
            onnx.save(model, path)
            opts = ort.SessionOptions()
            opts.intra_op_num_threads, opts.inter_op_num_threads = args.threads, 1
            sess = ort.InferenceSession(path, opts, providers=["CPUExecutionProvider"])
            sim = peer = float("inf")
            for _ in range(args.rounds):
                peer = min(peer, bench_engine.median_ms(lambda: sess.run(None, {"x": x}), args.runs))
                sim = min(sim, bench_engine.simulator_round(lib, data, bench_engine.mask_of(args.threads), x,
                                                            args.runs))
        print("{:>8} {:>9.2f} {:>9.2f} {:>6.2f} {:>6.2f}".format(d, sim, peer, sim / peer, os.getloadavg()[0]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
