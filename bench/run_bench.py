#!/usr/bin/env python3
"""Times whole runs of tourplan-bench on fixed random problems and prints a table of median
wall time and peak resident memory per engine and point count.

    bench/run_bench.py [--build DIR] [--points 16,18,20,22] [--engines a,b] [--runs 3]

Runs of the engines alternate (a, b, a, b, ...) so that drifts in machine load hit all alike.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def random_problem(n, seed):
    state = seed
    lines = [str(n)]
    for _ in range(n):
        row = []
        for _ in range(n):
            state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
            row.append(str(1 + (state >> 33) % 1000))
        lines.append(" ".join(row))
    return ("\r\n".join(lines) + "\r\n").encode()


def run_once(binary, engine, problem, solution):
    start = time.monotonic()
    process = subprocess.Popen([binary, "--engine=" + engine, problem, solution],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.monotonic() - start
    if status != 0:
        sys.exit("%s failed on %s: status %d" % (engine, problem, status))
    with open(solution, "rb") as handle:
        tour = handle.read()
    return elapsed, usage.ru_maxrss, tour


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--points", default="16,18,20,22")
    parser.add_argument("--engines", default="reference-sequential,reference")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    binary = os.path.join(args.build, "tourplan-bench")
    engines = args.engines.split(",")
    print("machine: %s, %d processors" % (os.uname().machine, os.cpu_count()))
    print("%-8s %-22s %12s %14s" % ("points", "engine", "median s", "peak MiB"))
    with tempfile.TemporaryDirectory() as folder:
        for n in [int(p) for p in args.points.split(",")]:
            problem = os.path.join(folder, "problem%d.dat" % n)
            with open(problem, "wb") as handle:
                handle.write(random_problem(n, args.seed + n))
            times = {e: [] for e in engines}
            peaks = {e: 0 for e in engines}
            tours = {}
            for _ in range(args.runs):
                for engine in engines:
                    elapsed, peak, tour = run_once(binary, engine, problem,
                                                   os.path.join(folder, "solution.txt"))
                    times[engine].append(elapsed)
                    peaks[engine] = max(peaks[engine], peak)
                    tours.setdefault(engine, tour)
            if len(set(tours.values())) != 1:
                sys.exit("engines disagree on the tour at %d points" % n)
            for engine in engines:
                print("%-8d %-22s %12.3f %14.1f" % (n, engine, statistics.median(times[engine]),
                                                    peaks[engine] / 1024), flush=True)


if __name__ == "__main__":
    main()
