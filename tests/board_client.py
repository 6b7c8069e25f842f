"""A client process of the virtual board for the reliability tests: TX5100 sessions on the running proxy.

    python board_client.py stress CONTAINER INPUT EXPECTED SECONDS   cycles for SECONDS, compares every output
    python board_client.py until-error CONTAINER INPUT               cycles until a call fails
    python board_client.py hold CONTAINER INPUT CONTEXTS             keeps CONTEXTS sessions and cycles them

Prints "ready" once its first cycles succeeded, then (stress, until-error) one JSON line with the result.
"""
import json
import sys
import time

import numpy as np

import zeltlite.api.zelt_runtime as zr
from boardlib import PACKAGE_ROOT


def cycle(rt, x):
    rt.set_inputs([x], None, None)
    rt.run()
    return rt.get_outputs()[0]


def main(mode, container_path, input_path, *args):
    with open(container_path, "rb") as f:
        container = f.read()
    x = np.load(input_path)
    sessions = [zr.ZELTRuntime(PACKAGE_ROOT, "tx5100", None) for _ in range(int(args[0]) if mode == "hold" else 1)]
    for rt in sessions:
        rt.build_graph(container)
        cycle(rt, x)
    print("ready", flush=True)
    if mode == "hold":
        while True:
            for rt in sessions:
                cycle(rt, x)
    rt = sessions[0]
    if mode == "until-error":
        while True:
            try:
                cycle(rt, x)
            except Exception as e:  # the session raises once the board is gone
                print(json.dumps({"time": time.time(), "error": str(e)}), flush=True)
                return
    want = np.load(args[0]).tobytes()
    deadline = time.monotonic() + float(args[1])
    cycles, errors = 0, []
    while time.monotonic() < deadline:
        try:
            if cycle(rt, x).tobytes() != want:
                errors.append("cycle {}: outputs differ from the simulator's".format(cycles))
        except Exception as e:
            errors.append("cycle {}: {}".format(cycles, e))
        cycles += 1
    rt.release()
    print(json.dumps({"cycles": cycles, "errors": errors[:10]}), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:])
