#!/usr/bin/env python3
"""Solves the public instances of 43 to 150 points in bench/tsplib/ and random problems of 40
to 150 points with tourplan as it chooses, and (with --cbc) the same problems with a generic
integer programme: COIN-OR CBC (`cbc`, Debian's coinor-cbc) on the assignment model, adding
a subtour cut for every cycle of each integer solution until the solution is one tour. Prints
the wall times, their ratio, and whether tourplan's cost is the proven optimum (or, for the
random problems, CBC's). tourplan uses every processor; CBC one thread, unless --cbc-threads.

    bench/large.py [--build DIR] [--limit SECONDS] [--only NAME,NAME] [--cbc]
                   [--cbc-threads N]
"""
import argparse
import math
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from instances import read_matrix, write_matrix, solve, tour_cost  # noqa: E402

OPTIMA = {
    "p43.atsp": 5620, "ry48p.atsp": 14422, "ftv64.atsp": 1839, "ft70.atsp": 38673,
    "st70.tsp": 675, "ftv70.atsp": 1950, "eil76.tsp": 538, "pr76.tsp": 108159,
    "rat99.tsp": 1211, "kroA100.tsp": 21282, "rd100.tsp": 7910, "kro124p.atsp": 36230,
    "eil101.tsp": 629, "lin105.tsp": 14379, "ch130.tsp": 6110, "ch150.tsp": 6528,
}


def random_matrix(n, seed, low, high, symmetric=False):
    chance = random.Random(seed)
    costs = [[0 if r == c else chance.randint(low, high) for c in range(n)] for r in range(n)]
    if symmetric:
        for r in range(n):
            for c in range(r):
                costs[r][c] = costs[c][r]
    return costs


def euclidean_matrix(n, seed):
    chance = random.Random(seed)
    points = [(chance.randint(0, 1000), chance.randint(0, 1000)) for _ in range(n)]
    return [[int(math.hypot(p[0] - q[0], p[1] - q[1]) + 0.5) for q in points] for p in points]


RANDOM = [
    ("random 48 (1..1000)", lambda: random_matrix(48, 1, 1, 1000)),
    ("random 56 (1..1000)", lambda: random_matrix(56, 2, 1, 1000)),
    ("random 64 (1..1000)", lambda: random_matrix(64, 3, 1, 1000)),
    ("random 100 (1..1000)", lambda: random_matrix(100, 4, 1, 1000)),
    ("random 56 (-500..500)", lambda: random_matrix(56, 5, -500, 500)),
    ("random 64 (0..10^9)", lambda: random_matrix(64, 6, 0, 10 ** 9)),
    ("symmetric 40 (5..9)", lambda: random_matrix(40, 7, 5, 9, symmetric=True)),
    ("Euclidean 100", lambda: euclidean_matrix(100, 8)),
    ("Euclidean 150", lambda: euclidean_matrix(150, 9)),
]


def cbc_solve(costs, folder, limit, threads):
    """The integer programme with cycle cuts; returns (cost, seconds) or (None, seconds)."""
    n = len(costs)
    cuts = []
    start = time.monotonic()
    model, answer = os.path.join(folder, "model.lp"), os.path.join(folder, "answer.txt")
    while time.monotonic() - start < limit:
        with open(model, "w") as out:
            out.write("Minimize\n obj: " + " + ".join(
                "%d x_%d_%d" % (costs[i][j], i, j) for i in range(n) for j in range(n)
                if i != j) + "\nSubject To\n")
            for i in range(n):
                out.write(" o%d: " % i + " + ".join("x_%d_%d" % (i, j) for j in range(n)
                                                    if j != i) + " = 1\n")
                out.write(" i%d: " % i + " + ".join("x_%d_%d" % (j, i) for j in range(n)
                                                    if j != i) + " = 1\n")
            for k, cycle in enumerate(cuts):
                out.write(" s%d: " % k + " + ".join("x_%d_%d" % (i, j) for i in cycle
                                                    for j in cycle if i != j)
                          + " <= %d\n" % (len(cycle) - 1))
            out.write("Binary\n" + "\n".join(" x_%d_%d" % (i, j) for i in range(n)
                                             for j in range(n) if i != j) + "\nEnd\n")
        left = max(1, int(limit - (time.monotonic() - start)))
        subprocess.run(["cbc", model, "sec", str(left), "threads", str(threads), "solve",
                        "solu", answer],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        successor = {}
        with open(answer) as handle:
            if "Optimal" not in handle.readline():
                return None, time.monotonic() - start
            for line in handle:
                parts = line.split()
                if len(parts) >= 3 and parts[1].startswith("x_") and float(parts[2]) > 0.5:
                    _, i, j = parts[1].split("_")
                    successor[int(i)] = int(j)
        seen, cycles = set(), []
        for first in range(n):
            if first in seen:
                continue
            cycle, p = [], first
            while p not in seen:
                seen.add(p)
                cycle.append(p)
                p = successor[p]
            cycles.append(cycle)
        if len(cycles) == 1:
            return sum(costs[i][successor[i]] for i in range(n)), time.monotonic() - start
        cuts.extend(cycles)
    return None, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--limit", type=float, default=120)
    parser.add_argument("--only", default="")
    parser.add_argument("--cbc", action="store_true")
    parser.add_argument("--cbc-threads", type=int, default=1)
    args = parser.parse_args()
    binary = os.path.join(args.build, "tourplan")
    importer = os.path.join(args.build, "tourplan-import")
    only = set(filter(None, args.only.split(",")))
    problems = []
    with tempfile.TemporaryDirectory() as folder:
        for name in sorted(OPTIMA, key=lambda name: (len(read_points(name)), name)):
            dat = os.path.join(folder, name + ".dat")
            subprocess.run([importer, os.path.join(HERE, "tsplib", name), dat], check=True,
                           stderr=subprocess.DEVNULL)
            problems.append((name, dat, OPTIMA[name]))
        for name, make in RANDOM:
            dat = os.path.join(folder, "".join(c if c.isalnum() else "_" for c in name) + ".dat")
            write_matrix(dat, make())
            problems.append((name, dat, None))
        print("%-26s %10s %8s %10s %8s  %s" % ("problem", "tourplan", "memory", "CBC", "ratio",
                                               "cost"))
        for name, dat, optimum in problems:
            if only and name not in only:
                continue
            costs = read_matrix(dat)
            solution = os.path.join(folder, "solution.txt")
            status, seconds, memory = solve(binary, dat, solution, args.limit)
            cost = tour_cost(costs, solution) if status == 0 else None
            cbc_cost, cbc_seconds = (cbc_solve(costs, folder, args.limit, args.cbc_threads) if args.cbc
                                     else (None, None))
            reference = optimum if optimum is not None else cbc_cost
            verdict = ("not solved" if cost is None else
                       "%d, optimal" % cost if cost == reference else
                       "%d (unchecked)" % cost if reference is None else
                       "%d, NOT THE OPTIMUM %d" % (cost, reference))
            ratio = ("%.1fx" % (cbc_seconds / seconds) if cost is not None and
                     cbc_seconds is not None and cbc_cost is not None else "-")
            print("%-26s %9s %6.0f MB %10s %8s  %s" % (
                name, "%.2f s" % seconds if cost is not None else "-", memory,
                "%.2f s" % cbc_seconds if cbc_cost is not None else "-", ratio, verdict),
                flush=True)


def read_points(name):
    with open(os.path.join(HERE, "tsplib", name)) as handle:
        for line in handle:
            if line.upper().startswith("DIMENSION"):
                return "x" * int(line.split(":")[1])
    return ""


if __name__ == "__main__":
    main()
