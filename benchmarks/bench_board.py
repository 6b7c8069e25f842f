"""One inference cycle through the virtual board against the same cycle on the in-process simulator.

Both sides are ZELTRuntime sessions driven the way an application drives them: per cycle set_inputs, run
and get_outputs.  The board side is a TX5100 session on the installed npu_tetherd (the TALUN host library,
its inputs staged in shared memory and sent with the run); the in-process side a SIMULATOR session on the
simulator library.  Models: resnet50 (the ONNX zoo's light model with random weights), a yolov8n-sized
detector built here (640x640 input, about 7.6 GFLOP, output 1x84x8400) and one small convolution.
Each side runs in alternating rounds and its best round median counts.  Prints the cycle times and the
ratio board / in-process (targets: <= 1.05 for the two large models, <= 3 for the convolution).

    python benchmarks/bench_board.py [--rounds R] [--models resnet50,yolov8n,conv]
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np
import onnx

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from boardlib import PACKAGE_ROOT, ProxyControl  # noqa: E402
from onnx_models import Builder, randomise_weights  # noqa: E402

from zeltlite.api import zelt_runtime as zr  # noqa: E402
from zeltlite.api.npu_config import npu_chipmap  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

LIGHT_DIR = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
RUNS = {"resnet50": 10, "yolov8n": 5, "conv": 3000}


def silu_conv(b, x, cin, cout, k, stride=1):
    y = b.conv(x, cin, cout, k, stride=stride)
    return b.op("Mul", [y, b.op("Sigmoid", [y])])


def yolov8n_sized():
    """A yolov8n-sized detector: SiLU convolution backbone with residual blocks, three heads of 84 channels
    at strides 8, 16 and 32, flattened and joined to 1x84x8400."""
    b = Builder(seed=8)
    x = silu_conv(b, "input", 3, 16, 3, 2)
    x = silu_conv(b, x, 16, 32, 3, 2)
    levels, c = [], 32
    for cout, blocks in ((32, 1), (64, 2), (128, 2), (256, 1)):
        if cout != c:
            x = silu_conv(b, x, c, cout, 3, 2)
            c = cout
        for _ in range(blocks):
            x = b.op("Add", [x, silu_conv(b, silu_conv(b, x, c, c, 3), c, c, 3)])
        levels.append((x, c))
    heads = []
    for feature, ch in levels[1:]:
        y = silu_conv(b, feature, ch, 64, 3)
        y = b.conv(y, 64, 84, 1)
        heads.append(b.op("Reshape", [y, b.const(np.array([1, 84, -1], np.int64))]))
    out = b.op("Concat", heads, axis=2)
    return b.model([("input", [1, 3, 640, 640])], [out])


def conv():
    b = Builder(seed=9)
    return b.model([("input", [1, 3, 16, 16])], [b.conv("input", 3, 8, 3)])


def resnet50():
    return randomise_weights(onnx.load(os.path.join(LIGHT_DIR, "light_resnet50.onnx")), seed=0)


def cycle_ms(rt, x, runs):
    def cycle():
        rt.set_inputs([x], None, None)
        rt.run()
        return rt.get_outputs()

    for _ in range(2):
        cycle()
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        cycle()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--models", default="resnet50,yolov8n,conv")
    args = parser.parse_args()

    # The shipped chip map plus a SIMULATOR row, in a temporary root, for the in-process sessions.
    root = tempfile.mkdtemp()
    os.makedirs(os.path.join(root, "config"))
    shutil.copy(os.path.join(npu_chipmap.ROOT_DIR, "config", "npu_chipmap.yml"), os.path.join(root, "config"))
    with open(os.path.join(root, "config", "npu_chipmap.yml"), "a") as f:
        f.write("    SIMULATOR:\n        npu_model: TALUN2\n        npu_inside: false\n        npu_assemble: false\n")
    npu_chipmap.ROOT_DIR = root

    proxy = ProxyControl()
    proxy.start()
    try:
        print("{:<10} {:>14} {:>12} {:>7} {:>7}".format("model", "in-process ms", "board ms", "ratio", "target"))
        for name in args.models.split(","):
            model = {"resnet50": resnet50, "yolov8n": yolov8n_sized, "conv": conv}[name]()
            data = compile_model(model, "tx5100")
            dims = [d.dim_value for d in model.graph.input[0].type.tensor_type.shape.dim]
            x = np.random.RandomState(0).rand(dims[0], dims[2], dims[3], dims[1]).astype(np.float32)  # NHWC
            local = zr.ZELTRuntime(PACKAGE_ROOT, "SIMULATOR", None)
            board = zr.ZELTRuntime(PACKAGE_ROOT, "tx5100", None)
            try:
                for rt in (local, board):
                    rt.build_graph(data)
                    rt.set_inputs([x], None, None)
                    rt.run()
                want, got = local.get_outputs(), board.get_outputs()
                assert [w.tobytes() for w in want] == [g.tobytes() for g in got], "outputs differ"
                local_ms = board_ms = float("inf")
                # The convolution's rounds are short: more of them ride out the host's load better.
                for _ in range(args.rounds * (5 if name == "conv" else 1)):
                    local_ms = min(local_ms, cycle_ms(local, x, RUNS[name]))
                    board_ms = min(board_ms, cycle_ms(board, x, RUNS[name]))
            finally:
                local.release()
                board.release()
            target = 3.0 if name == "conv" else 1.05
            print("{:<10} {:>14.3f} {:>12.3f} {:>7.3f} {:>7.2f}".format(name, local_ms, board_ms, board_ms / local_ms,
                                                                        target))
            sys.stdout.flush()
    finally:
        proxy.stop()
        shutil.rmtree(root)


if __name__ == "__main__":
    main()
