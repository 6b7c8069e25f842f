"""One set_inputs + run + get_outputs cycle of ZELTRuntime against the plain
ctypes baseline, on the test-double runtime library, for a small and a large
model; the large one also against the physical floor (one copy of the input
plus one of the output bytes).

    python benchmarks/bench_session.py [--seconds 1.0]
"""
import argparse
import ctypes
import os
import shutil
import sys
import tempfile
import time

# Idle OpenBLAS worker threads spin on the same cores as the measured calls.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import zeltlite  # noqa: E402
from zeltlite.api import zelt_runtime as zr  # noqa: E402
from zeltlite.api.npu_config import npu_chipmap  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ctypes_baseline import BaselineSession  # noqa: E402

DOUBLE = os.path.join(os.path.dirname(zeltlite.__file__), "api", "lib", "testing", "libzelt_runtime_double.so")


def prepare(root):
    config = os.path.join(root, "chipmap", "config")
    os.makedirs(config)
    with open(os.path.join(config, "npu_chipmap.yml"), "w") as f:
        f.write("SoCs:\n    SIMULATOR:\n        npu_model: KESTA\n        npu_inside: false\n"
                "        npu_assemble: false\n")
    npu_chipmap.ROOT_DIR = os.path.join(root, "chipmap")
    lib = os.path.join(root, "pkg", "api", "lib", "simulator", "Linux_x64", "libzelt_runtime.so")
    os.makedirs(os.path.dirname(lib))
    shutil.copy(DOUBLE, lib)
    ctl = ctypes.CDLL(lib)
    ctl.zd_set.argtypes = [ctypes.c_char_p, ctypes.c_longlong]
    ctl.zd_set(b"record", 0)
    return os.path.join(root, "pkg")


def per_call(fns, seconds):
    """Best mean time of one call of each function, timed in alternating batches
    so that all of them see the same machine load."""
    batches = []
    for fn in fns:
        fn()
        n, start = 1, time.perf_counter()
        while time.perf_counter() - start < seconds / 50:
            fn()
            n += 1
        batches.append(n)
    best = [float("inf")] * len(fns)
    end = time.perf_counter() + seconds * len(fns)
    while time.perf_counter() < end:
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            for _ in range(batches[k]):
                fn()
            best[k] = min(best[k], (time.perf_counter() - t0) / batches[k])
    return best


def bench(root, name, dtype, in_shape, out_shape, seconds):
    rt = zr.ZELTRuntime(root, "SIMULATOR", None)
    script = f"input {zr.zelt_input_data_type[dtype]} 1 {','.join(map(str, in_shape))}\n" \
             f"output {','.join(map(str, out_shape))}\nstatic\n"
    rt.build_graph(script.encode())
    base = BaselineSession(rt.lib, rt.context, rt.npu_model)
    x = (np.arange(int(np.prod(in_shape))) % 251).astype(dtype).reshape(in_shape)

    def ours():
        rt.set_inputs([x], None, None)
        rt.run()
        return rt.get_outputs()

    def baseline():
        base.set_inputs([x], None, None)
        base.run()
        return base.get_outputs()

    for a, b in zip(ours(), baseline()):
        assert a.shape == b.shape and np.array_equal(a, b)
    big = x.nbytes > 1 << 20
    fns = [ours, baseline]
    if big:
        src_in, dst_in = x.copy(), np.empty_like(x)
        src_out = np.ones(int(np.prod(out_shape)), np.float32)
        dst_out = np.empty_like(src_out)

        def floor():
            np.copyto(dst_in, src_in)
            np.copyto(dst_out, src_out)

        fns.append(floor)
    times = per_call(fns, seconds)
    t_ours, t_base = times[0], times[1]
    print(f"{name}: input {dtype}{list(in_shape)}, output float32{list(out_shape)}")
    print(f"  zelt_runtime   {t_ours * 1e6:10.1f} us/cycle")
    print(f"  ctypes baseline{t_base * 1e6:10.1f} us/cycle   -> {t_base / t_ours:6.1f}x faster")
    result = {"ratio_vs_baseline": t_base / t_ours}
    if big:
        t_floor = times[2]
        print(f"  memcpy floor   {t_floor * 1e6:10.1f} us/cycle   -> zelt_runtime at {t_ours / t_floor:5.2f}x the floor")
        result["ratio_vs_floor"] = t_ours / t_floor
    rt.release()
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="timing budget per measurement")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = prepare(tmp)
        small = bench(root, "small model", "float32", (1, 3, 32, 32), (1, 10), args.seconds)
        large = bench(root, "large model", "uint8", (1, 3, 640, 640), (1, 255, 80, 80), args.seconds)
    print(f"\nsmall: {small['ratio_vs_baseline']:.1f}x less time than the ctypes baseline (target >= 20x)")
    print(f"large: {large['ratio_vs_floor']:.2f}x the memcpy floor (target <= 1.3x), "
          f"{large['ratio_vs_baseline']:.1f}x less time than the baseline")


if __name__ == "__main__":
    main()
