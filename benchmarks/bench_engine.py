"""Latency of the simulator runtime library against onnxruntime on the same ONNX models.

Both sides are timed end to end for one inference (inputs in, run, float32
outputs out) in one process, with 1 and then 2 threads: onnxruntime with
intra_op_num_threads, the simulator through its core mask (one thread per bit).
The simulator is driven as an application drives it: descriptors made once, then
per inference zelt_inputs_set, zelt_run, zelt_outputs_get into preallocated arrays
and zelt_outputs_release.
Other processes on the machine disturb single runs, so each side runs in alternating rounds and the best
round median counts.  Prints those latencies and the ratio simulator / onnxruntime (target <= 1.0).

    python benchmarks/bench_engine.py [--runs N] [--rounds R] [--models squeezenet,resnet50,mobilenet]
"""
import argparse
import ctypes
import os
import statistics
import sys
import time

import numpy as np
import onnx
import onnxruntime as ort

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import simlib  # noqa: E402
from onnx_models import mobilenet_like, randomise_weights  # noqa: E402

from zeltlite.convert import compile_model  # noqa: E402

LIGHT_DIR = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
MASKS = {1: 1, 2: 3}


def load(name):
    if name == "mobilenet":
        return mobilenet_like(), "input"
    model = randomise_weights(onnx.load(os.path.join(LIGHT_DIR, "light_{}.onnx".format(name))), seed=0)
    inits = {t.name for t in model.graph.initializer}
    return model, next(v.name for v in model.graph.input if v.name not in inits)


def median_ms(fn, runs):
    for _ in range(2):
        fn()
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def ort_round(serialized, threads, input_name, x, runs):
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    sess = ort.InferenceSession(serialized, opts, providers=["CPUExecutionProvider"])
    return median_ms(lambda: sess.run(None, {input_name: x}), runs)  # the session and its threads end here


def simulator_round(lib, data, mask, x, runs):
    with simlib.Model(lib, data) as m:
        assert lib.zelt_set_core_mask(m.ctx, mask) == 0
        inputs = (simlib.ZELTInput * 1)()
        inputs[0].buf, inputs[0].size = x.ctypes.data, x.nbytes
        inputs[0].type, inputs[0].fmt = simlib.TYPE_CODES["float32"], simlib.NCHW
        n_out = m.counts()[1]
        arrays = [np.empty(m.attr(i, output=True).n_elems, np.float32) for i in range(n_out)]
        outputs = (simlib.ZELTOutput * n_out)()
        for i, a in enumerate(arrays):
            outputs[i].want_float, outputs[i].is_prealloc, outputs[i].index = 1, 1, i
            outputs[i].buf, outputs[i].size = a.ctypes.data, a.nbytes
        run_ext, out_ext = simlib.ZELTRunExtend(), simlib.ZELTOutputExtend()

        def infer():
            assert lib.zelt_inputs_set(m.ctx, 1, inputs) == 0
            assert lib.zelt_run(m.ctx, ctypes.byref(run_ext)) == 0
            assert lib.zelt_outputs_get(m.ctx, n_out, outputs, ctypes.byref(out_ext)) == 0
            assert lib.zelt_outputs_release(m.ctx, n_out, outputs) == 0
            return arrays

        want = m.infer([x])
        assert all(np.array_equal(w.ravel(), a) for w, a in zip(want, infer()))
        return median_ms(infer, runs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10, help="runs per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--models", default="squeezenet,resnet50,mobilenet")
    args = parser.parse_args()
    ort.set_default_logger_severity(3)
    lib = simlib.load_library()
    print("{:<12} {:>7} {:>12} {:>12} {:>7}".format("model", "threads", "simulator ms", "ort ms", "ratio"))
    for name in args.models.split(","):
        model, input_name = load(name)
        shape = [d.dim_value for d in next(v for v in model.graph.input if v.name == input_name)
                 .type.tensor_type.shape.dim]
        x = np.random.RandomState(0).rand(*shape).astype(np.float32)
        data = compile_model(model, "tx5100")
        serialized = model.SerializeToString()
        for threads, mask in MASKS.items():
            ort_ms = sim_ms = float("inf")
            for _ in range(args.rounds):
                ort_ms = min(ort_ms, ort_round(serialized, threads, input_name, x, args.runs))
                sim_ms = min(sim_ms, simulator_round(lib, data, mask, x, args.runs))
            print("{:<12} {:>7} {:>12.2f} {:>12.2f} {:>7.2f}".format(name, threads, sim_ms, ort_ms, sim_ms / ort_ms))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
