"""The simulator at 1 and 2 threads, alone and beside one competing CPU-bound process.

On a machine whose cores are all busy with other work, a second engine thread must not make inference
slower than one thread does: a worker that the scheduler holds back may not hold up the others.  Per model
this prints the best-of-rounds median latencies at 1 and 2 threads, alone and with one competitor (a
process spinning on one core, started and stopped by pid), and the ratio 2 threads / 1 thread in each
case (target under the competitor: <= 1.10).  Rounds alternate between the thread counts.

    python benchmarks/bench_contention.py [--runs N] [--rounds R] [--models a,b]
"""
import argparse
import os
import subprocess
import sys
import tempfile

import bench_engine
import simlib


def start_competitor():
    return subprocess.Popen([sys.executable, "-c", "while True: pass"])


def stop(process):
    process.kill()
    process.wait()


def best_latencies(lib, data, x, rounds, runs):
    best = {1: float("inf"), 2: float("inf")}
    for _ in range(rounds):
        for threads in best:
            best[threads] = min(best[threads], bench_engine.simulator_round(lib, data, bench_engine.mask_of(threads),
                                                                            x, runs))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10, help="runs per round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--models",
                        default="mobilenet,light_squeezenet,squeezenet1_1,efficientnet_b0,mobilenet_v3_large")
    parser.add_argument("--cache", default=bench_engine.export_models.default_cache(),
                        help="folder of the exported models")
    args = parser.parse_args()
    lib = simlib.load_library()
    print("{:<22} {:>9} {:>9} {:>7} {:>11} {:>11} {:>7} {:>6}".format(
        "model", "1 thr ms", "2 thr ms", "2/1", "1 thr busy", "2 thr busy", "2/1", "load"))
    with tempfile.TemporaryDirectory() as folder:
        for name in args.models.split(","):
            prepared = bench_engine.prepare(lib, name, args.cache, folder)
            if isinstance(prepared, str):
                print("{:<22} {}".format(name, prepared))
                continue
            _, data, _, x = prepared
            alone = best_latencies(lib, data, x, args.rounds, args.runs)
            competitor = start_competitor()
            try:
                busy = best_latencies(lib, data, x, args.rounds, args.runs)
                load = os.getloadavg()[0]
            finally:
                stop(competitor)
            print("{:<22} {:>9.2f} {:>9.2f} {:>7.2f} {:>11.2f} {:>11.2f} {:>7.2f} {:>6.2f}".format(
                name, alone[1], alone[2], alone[2] / alone[1], busy[1], busy[2], busy[2] / busy[1], load))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
