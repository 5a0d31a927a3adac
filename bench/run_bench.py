#!/usr/bin/env python3
"""Times whole runs of tourplan-bench on fixed random problems and prints, per engine and
point count, the medians of the wall time, of the computing (until every size is filled), of
the user and system CPU time, the kernel's share of the CPU time (sys / (user + sys)), and the
peak resident memory.

    bench/run_bench.py [--build DIR] [--points 16,18,20] [--engines a,b] [--runs 3]
                       [--high 1000] [--symmetric]

Costs are drawn from 1..HIGH (1000: 16-bit cells up to 32 points; 100000: 32-bit cells).
Runs of the engines alternate (a, b, a, b, ...) so that drifts in machine load hit all alike;
every engine must write the same tour.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def random_problem(n, seed, high, symmetric):
    state = seed
    costs = [[0] * n for _ in range(n)]
    for r in range(n):
        for c in range(n):
            state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
            costs[r][c] = 1 + (state >> 33) % high
    if symmetric:
        for r in range(n):
            for c in range(r):
                costs[r][c] = costs[c][r]
    lines = [str(n)] + [" ".join(str(x) for x in row) for row in costs]
    return ("\r\n".join(lines) + "\r\n").encode()


def run_once(binary, engine, problem, solution):
    start = time.monotonic()
    process = subprocess.Popen([binary, "--engine=" + engine, problem, solution],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.monotonic() - start
    sizes = float(process.stderr.read().decode().split()[-1])
    if status != 0:
        sys.exit("%s failed on %s: status %d" % (engine, problem, status))
    with open(solution, "rb") as handle:
        tour = handle.read()
    return elapsed, sizes, usage.ru_utime, usage.ru_stime, usage.ru_maxrss, tour


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--points", default="16,18,20,22")
    parser.add_argument("--engines", default="full-table,fast")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--high", type=int, default=1000)
    parser.add_argument("--symmetric", action="store_true")
    args = parser.parse_args()
    binary = os.path.join(args.build, "tourplan-bench")
    engines = args.engines.split(",")
    print("machine: %s, %d processors; costs 1..%d%s" % (
        os.uname().machine, os.cpu_count(), args.high, ", symmetric" if args.symmetric else ""))
    print("%-7s %-14s %9s %9s %9s %9s %6s %10s" % (
        "points", "engine", "wall s", "sizes s", "user s", "sys s", "share", "peak MiB"))
    with tempfile.TemporaryDirectory() as folder:
        for n in [int(p) for p in args.points.split(",")]:
            problem = os.path.join(folder, "problem%d.dat" % n)
            with open(problem, "wb") as handle:
                handle.write(random_problem(n, args.seed + n, args.high, args.symmetric))
            results = {e: [] for e in engines}
            tours = {}
            for _ in range(args.runs):
                for engine in engines:
                    *figures, tour = run_once(binary, engine, problem,
                                              os.path.join(folder, "solution.txt"))
                    results[engine].append(figures)
                    tours.setdefault(engine, tour)
            if len(set(tours.values())) != 1:
                sys.exit("engines disagree on the tour at %d points" % n)
            for engine in engines:
                wall, sizes, user, system, _ = (statistics.median(column)
                                                for column in zip(*results[engine]))
                peak = max(row[4] for row in results[engine])
                share = system / (user + system) if user + system > 0 else 0
                print("%-7d %-14s %9.3f %9.3f %9.2f %9.2f %6.2f %10.1f" % (
                    n, engine, wall, sizes, user, system, share, peak / 1024), flush=True)


if __name__ == "__main__":
    main()
