#!/usr/bin/env python3
"""Solves the public instances of 33 to 56 points in bench/tsplib/ (imported with
tourplan-import), and random asymmetric problems of 40 points, with the program as it
chooses; prints the wall time, the peak resident memory and whether the tour's cost is the
proven optimum. Then checks that the bounded engine writes the same bytes as filling every
subset on random problems of 10 to 28 points (near ties, negative costs, every cell width).

    bench/instances.py [--build DIR] [--limit SECONDS] [--only NAME,NAME] [--no-compare]
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The proven optima (TSPLIB).
OPTIMA = {
    "ftv33.atsp": 1286, "ftv38.atsp": 1530, "p43.atsp": 5620, "ftv47.atsp": 1776,
    "ft53.atsp": 6905, "ftv55.atsp": 1608, "dantzig42.tsp": 699, "swiss42.tsp": 1273,
    "att48.tsp": 10628, "gr48.tsp": 5046, "hk48.tsp": 11461, "eil51.tsp": 426,
    "berlin52.tsp": 7542,
}


def read_matrix(path):
    with open(path) as handle:
        numbers = [int(x) for x in handle.read().split()]
    n = numbers[0]
    return [numbers[1 + r * n:1 + (r + 1) * n] for r in range(n)]


def write_matrix(path, costs):
    with open(path, "w") as handle:
        handle.write("%d\n" % len(costs))
        for row in costs:
            handle.write(" ".join(str(c) for c in row) + "\n")


def solve(binary, problem, solution, limit):
    start = time.monotonic()
    process = subprocess.Popen([binary, problem, solution], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = start + limit
    while True:
        pid, status, usage = os.wait4(process.pid, os.WNOHANG)
        if pid:
            break
        if time.monotonic() > deadline:
            process.kill()
            os.wait4(process.pid, 0)
            return None, limit, 0
        time.sleep(0.01)
    return os.waitstatus_to_exitcode(status), time.monotonic() - start, usage.ru_maxrss / 1024


def tour_cost(costs, solution):
    with open(solution) as handle:
        tour = [int(x) for x in handle.read().split()]
    return sum(costs[a - 1][b - 1] for a, b in zip(tour, tour[1:]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--limit", type=float, default=120)
    parser.add_argument("--only", default="")
    parser.add_argument("--no-compare", action="store_true")
    args = parser.parse_args()
    tourplan = os.path.join(args.build, "tourplan")
    importer = os.path.join(args.build, "tourplan-import")
    bench = os.path.join(args.build, "tourplan-bench")
    names = args.only.split(",") if args.only else sorted(OPTIMA, key=lambda n: n.split(".")[1])
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        print("%-14s %6s %9s %9s %8s %s" % ("instance", "points", "wall s", "peak MiB",
                                           "cost", "optimum"))
        problems = []
        for name in names:
            problem = os.path.join(folder, name + ".dat")
            subprocess.run([importer, os.path.join(HERE, "tsplib", name), problem], check=True,
                           stderr=subprocess.DEVNULL)
            problems.append((name, problem, OPTIMA[name]))
        rng = random.Random(40)
        for seed in range(5 if not args.only else 0):
            problem = os.path.join(folder, "random40-%d.dat" % seed)
            write_matrix(problem, [[rng.randint(1, 1000) for _ in range(40)] for _ in range(40)])
            problems.append(("random40-%d" % seed, problem, None))
        for name, problem, optimum in problems:
            costs = read_matrix(problem)
            solution = problem + ".tour"
            status, wall, peak = solve(tourplan, problem, solution, args.limit)
            if status != 0:
                print("%-14s %6d %9s %9s %8s %s" % (name, len(costs), ">%g" % args.limit
                                                    if status is None else "status %d" % status,
                                                    "", "", optimum or ""), flush=True)
                failures += 1
                continue
            cost = tour_cost(costs, solution)
            verdict = "" if optimum is None else ("yes" if cost == optimum else "NO (%d)" % optimum)
            if optimum is not None and cost != optimum:
                failures += 1
            print("%-14s %6d %9.2f %9.1f %8d %s" % (name, len(costs), wall, peak, cost, verdict),
                  flush=True)

        if not args.no_compare:
            # The bounded engine against every subset filled, byte for byte.
            families = [("near ties", 0, 2), ("negative", -50, 50), ("4-byte cells", 0, 10 ** 6),
                        ("8-byte cells", -(1 << 58), 1 << 58), ("16-byte cells", -(1 << 62), 1 << 62)]
            compared = differing = 0
            for n in range(10, 29, 3):
                for family, low, high in families:
                    if high > 1 << 60 and n > 22:
                        continue  # 16-byte cells have no vector lanes: slow, and not the point
                    costs = [[rng.randint(low, high) for _ in range(n)] for _ in range(n)]
                    problem = os.path.join(folder, "compare.dat")
                    write_matrix(problem, costs)
                    tours = []
                    for engine in ["bounded", "two-layer"]:
                        subprocess.run([bench, "--engine=" + engine, problem, problem + engine],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, check=True)
                        with open(problem + engine, "rb") as handle:
                            tours.append(handle.read())
                    compared += 1
                    if tours[0] != tours[1]:
                        print("DIFFERENT tours: %d points, %s" % (n, family))
                        differing += 1
            print("bounded engine against every subset filled: %d problems of 10 to 28 points, "
                  "%s" % (compared, "%d differ" % differing if differing else "the same bytes"))
            failures += differing
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
