"""The facade's checks and layout work against calling the session directly, side by side, on the simulator.

    python benchmarks/bench_facade.py [--seconds 1.0]

For a tiny model (the per-call overhead shows) and for the shipped example model, one inference through
ZELTLite.inference is timed against set_inputs + run + get_outputs on the facade's own session with the
same NHWC array; the rows print the median time of each and their ratio. Needs the convert extra (onnx).
"""
import argparse
import os
import statistics
import tempfile
import time

import numpy as np
from onnx import TensorProto, helper

from zeltlite.__main__ import EXAMPLE_MODEL
from zeltlite.api import ZELTLite
from zeltlite.convert import compile_model


def tiny_model():
    graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "tiny",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4, 4, 3])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, None)])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model


def measure(seconds, calls):
    """Median seconds per call of each function, the calls interleaved in rounds."""
    times = [[] for _ in calls]
    end = time.perf_counter() + seconds * len(calls)
    while time.perf_counter() < end:
        for i, call in enumerate(calls):
            t0 = time.perf_counter()
            call()
            times[i].append(time.perf_counter() - t0)
    return [statistics.median(t) for t in times]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="measuring time per variant and model")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tiny = os.path.join(tmp, "tiny.zelt")
        with open(tiny, "wb") as f:
            f.write(compile_model(tiny_model(), "tx5100"))
        print("{:<10} {:>14} {:>14} {:>8}".format("model", "facade (us)", "session (us)", "ratio"))
        for name, path in (("tiny", tiny), ("example", EXAMPLE_MODEL)):
            with ZELTLite() as lite:
                lite.load_zelt(path)
                lite.init_runtime("simulator")
                detail = lite.get_inputs()[0]
                x = np.random.default_rng(0).random(detail["shape"], dtype=np.float32)
                session = lite._runtime

                def direct():
                    session.set_inputs([x], None, None)
                    session.run()
                    return session.get_outputs()

                facade, plain = measure(args.seconds, [lambda: lite.inference([x]), direct])
            print("{:<10} {:>14.1f} {:>14.1f} {:>8.3f}".format(name, facade * 1e6, plain * 1e6, facade / plain))


if __name__ == "__main__":
    main()
