"""Latency of the simulator runtime library against onnxruntime and OpenVINO on the same ONNX models.

All sides are timed end to end for one inference (inputs in, run, float32 outputs out) in one process,
with 1 and then 2 threads: onnxruntime with intra_op_num_threads, OpenVINO's CPU plugin with
INFERENCE_NUM_THREADS and the LATENCY hint (and float32 precision unless --ov-precision default: on CPUs with
native bfloat16 arithmetic the plugin otherwise computes in bf16), the simulator through its core mask (one
thread per bit).
The simulator is driven as an application drives it: descriptors made once, then per inference
zelt_inputs_set, zelt_run, zelt_outputs_get into preallocated arrays and zelt_outputs_release.
Other processes on the machine disturb single runs, so the sides run in alternating rounds and the best
round median counts; the 1-minute load average is printed beside each row.  Ratios: simulator / each
peer and simulator / the faster peer (target <= 1.0).

Models: squeezenet and resnet50 of onnx's light model zoo (light_squeezenet, light_resnet50), a
MobileNet-style graph (mobilenet), and the public architectures that benchmarks/export_models.py writes
to its cache folder (see benchmarks/README.md).
OpenVINO is optional: without it its columns read n/a.

    python benchmarks/bench_engine.py [--runs N] [--rounds R] [--models a,b] [--threads 1,2] [--cache DIR]
                                    [--ov-precision f32|default]
"""
import argparse
import ctypes
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import onnx
import onnxruntime as ort

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import simlib  # noqa: E402
from onnx_models import mobilenet_like, randomise_weights  # noqa: E402

import export_models  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

try:
    import openvino
except ImportError:
    openvino = None

LIGHT_DIR = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
LIGHT = ("light_squeezenet", "light_resnet50")
DEFAULT_MODELS = ",".join(LIGHT + ("mobilenet",) + tuple(export_models.MODELS))


def load(name, cache):
    if name == "mobilenet":
        return mobilenet_like()
    if name in LIGHT:
        return randomise_weights(onnx.load(os.path.join(LIGHT_DIR, name + ".onnx")), seed=0)
    path = export_models.model_path(cache, name)
    if not os.path.exists(path):
        raise FileNotFoundError("{} is missing: run benchmarks/export_models.py first".format(path))
    return onnx.load(path)


def graph_input(model):
    inits = {t.name for t in model.graph.initializer}
    vi = next(v for v in model.graph.input if v.name not in inits)
    return vi.name, [d.dim_value for d in vi.type.tensor_type.shape.dim]


def median_ms(fn, runs):
    for _ in range(2):
        fn()
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def ort_round(path, threads, input_name, x, runs):
    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    opts.inter_op_num_threads = 1
    sess = ort.InferenceSession(path, opts, providers=["CPUExecutionProvider"])
    return median_ms(lambda: sess.run(None, {input_name: x}), runs)  # the session and its threads end here


def openvino_round(path, threads, x, runs, precision):
    core = openvino.Core()
    config = {"INFERENCE_NUM_THREADS": threads, "PERFORMANCE_HINT": "LATENCY"}
    if precision != "default":
        config["INFERENCE_PRECISION_HINT"] = precision
    compiled = core.compile_model(path, "CPU", config)
    request = compiled.create_infer_request()

    def infer():
        request.infer({0: x})
        return [request.get_output_tensor(i).data for i in range(len(compiled.outputs))]

    return median_ms(infer, runs)


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


def mask_of(threads):
    return (1 << threads) - 1


def prepare(lib, name, cache, folder):
    """(ONNX file for the peers, container for the simulator, input name, input) or why there is none."""
    try:
        model = load(name, cache)
    except FileNotFoundError as exc:
        return str(exc)
    input_name, shape = graph_input(model)
    x = np.random.RandomState(0).rand(*shape).astype(np.float32)
    path = os.path.join(folder, name + ".onnx")
    onnx.save(model, path)
    try:
        data = compile_model(model, "tx5100")
    except ValueError as exc:
        return "compiler refused: {}".format(exc)
    try:
        simlib.Model(lib, data).close()
    except simlib.RuntimeError_ as exc:
        return "engine refused: {}".format(exc)
    return path, data, input_name, x


def fmt(v):
    return "{:>9.2f}".format(v) if v is not None else "{:>9}".format("n/a")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10, help="runs per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--models", default=DEFAULT_MODELS)
    parser.add_argument("--threads", default="1,2")
    # On CPUs with native bfloat16 arithmetic (AVX512_BF16, AMX) the CPU plugin's default precision is
    # bf16: a different, less exact computation than the float32 of the simulator and onnxruntime.
    parser.add_argument("--ov-precision", default="f32", choices=["f32", "default"],
                        help="OpenVINO's INFERENCE_PRECISION_HINT: f32, or the plugin's default")
    parser.add_argument("--cache", default=export_models.default_cache(), help="folder of the exported models")
    args = parser.parse_args()
    ort.set_default_logger_severity(3)
    lib = simlib.load_library()
    print("{:<22} {:>3} {:>9} {:>9} {:>9} {:>8} {:>8} {:>8} {:>6}".format(
        "model", "thr", "sim ms", "ort ms", "ov ms", "sim/ort", "sim/ov", "sim/best", "load"))
    with tempfile.TemporaryDirectory() as folder:
        for name in args.models.split(","):
            prepared = prepare(lib, name, args.cache, folder)
            if isinstance(prepared, str):
                print("{:<22} {}".format(name, prepared))
                continue
            path, data, input_name, x = prepared
            for threads in (int(t) for t in args.threads.split(",")):
                sim_ms = ort_ms = float("inf")
                ov_ms = float("inf") if openvino else None
                for _ in range(args.rounds):
                    ort_ms = min(ort_ms, ort_round(path, threads, input_name, x, args.runs))
                    if openvino:
                        ov_ms = min(ov_ms, openvino_round(path, threads, x, args.runs, args.ov_precision))
                    sim_ms = min(sim_ms, simulator_round(lib, data, mask_of(threads), x, args.runs))
                best = min(ort_ms, ov_ms) if openvino else ort_ms
                print("{:<22} {:>3} {} {} {} {:>8.2f} {} {:>8.2f} {:>6.2f}".format(
                    name, threads, fmt(sim_ms), fmt(ort_ms), fmt(ov_ms), sim_ms / ort_ms,
                    "{:>8.2f}".format(sim_ms / ov_ms) if openvino else "{:>8}".format("n/a"), sim_ms / best,
                    os.getloadavg()[0]))
                sys.stdout.flush()


if __name__ == "__main__":
    main()
