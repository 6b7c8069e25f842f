"""Winograd against the direct kernel on single blocked 3x3 convolutions, side by side in one process.

Each shape (input channels, output channels, plane side) is one convolution between two 1x1 ones, compiled
once and loaded twice: with ZELT_WINOGRAD=0 (direct) and with the engine's own choice.  The two run in
alternating rounds; the best round median of the layer's own time (the simulator's per-layer profile)
counts.  GF/s are of the direct algorithm's multiply-adds, for both.  The 1-minute load average is printed
first: the machine may be shared.

    python benchmarks/bench_winograd.py [--threads N] [--rounds R] [CIN,COUT,SIDE ...]
"""
import argparse
import os
import statistics
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import simlib  # noqa: E402
from onnx_models import Builder  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

# resnet50's stages, squeezenet1_1's expand3x3, yolov8n-like planes, and small planes near the choice's edge.
SHAPES = ["64,64,56", "128,128,28", "256,256,14", "512,512,7", "16,64,55", "32,128,27", "48,192,13",
          "64,256,13", "16,16,160", "32,32,160", "64,64,80", "128,128,40", "256,256,20", "64,64,7", "64,64,3"]


def conv(b, x, cin, cout, k):
    w = b.weight((cout, cin, k, k), cin * k * k)
    return b.op("Conv", [x, w, b.const(np.zeros(cout, np.float32))], kernel_shape=[k, k], pads=[k // 2] * 4)


def layer_us(lib, m, x):
    m.infer([x])
    d = simlib.ZELTPerfDetail()
    assert m.query(simlib.ZELT_QUERY_PERF_DETAIL, d) == 0
    rows = [line.split() for line in d.perf_data.decode().splitlines()[1:] if line[:1].isdigit()]
    return float(rows[1][-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("shapes", nargs="*", default=SHAPES)
    args = ap.parse_args()
    lib = simlib.load_library()
    flag = simlib.ZELT_FLAG_PRIOR_MEDIUM | simlib.ZELT_FLAG_COLLECT_PERF_MASK
    print("load %.2f, %d thread(s)" % (os.getloadavg()[0], args.threads))
    for shape in args.shapes:
        cin, cout, side = map(int, shape.split(","))
        b = Builder(1)
        y = b.op("Relu", [conv(b, b.op("Relu", [conv(b, "x", 3, cin, 1)]), cin, cout, 3)])
        model = b.model([("x", [1, 3, side, side])], [conv(b, y, cout, 4, 1)])
        data = compile_model(model, "tx5100")
        x = np.random.RandomState(0).randn(1, 3, side, side).astype(np.float32)
        models = []
        for choice in ("0", None):
            if choice is None:
                os.environ.pop("ZELT_WINOGRAD", None)
            else:
                os.environ["ZELT_WINOGRAD"] = choice
            m = simlib.Model(lib, data, flag)
            m.__enter__()
            assert lib.zelt_set_core_mask(m.ctx, (1 << args.threads) - 1) == 0
            models.append(m)
        best = [float("inf")] * 2
        for _ in range(args.rounds):
            for k, m in enumerate(models):
                best[k] = min(best[k], statistics.median(layer_us(lib, m, x) for _ in range(3)))
        for m in models:
            m.__exit__(None, None, None)
        flops = 2.0 * cin * cout * 9 * side * side
        print("C %4d M %4d %4dx%-4d direct %9.0f us %6.1f GF/s   chosen %9.0f us %6.1f GF/s   direct/chosen %.2f"
              % (cin, cout, side, side, best[0], flops / best[0] / 1e3, best[1], flops / best[1] / 1e3,
                 best[0] / best[1]))


if __name__ == "__main__":
    main()
