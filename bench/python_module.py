#!/usr/bin/env python3
"""The Python module tourplan against the programs on the same problems: random problems of 15
and 25 points (costs 1 to 1000) and bundled instances. For each, the median wall time of
tourplan.solve() in this process (the matrix handed over as lists included), of tourplan-solve
and of tourplan (whole processes: start, reading, solving, writing), alternating, and of
python-tsp's exact solver (dynamic programming) where that is installed and the problem small
enough for it. Checks that the module, tourplan-solve and tourplan give the same tour.

    bench/python_module.py [--build DIR] [--runs N] [--python-tsp-limit POINTS]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import problem_text, random_problem  # noqa: E402

RAW = os.path.join(ROOT, "tests", "data", "tsplib", "raw")


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def run(command):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build-rel"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--python-tsp-limit", type=int, default=16,
                        help="largest problem given to python-tsp (its time grows as 2^N N^2)")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    sys.path.insert(0, os.path.join(build, "python"))
    import tourplan
    try:
        from python_tsp.exact import solve_tsp_dynamic_programming
    except ImportError:
        solve_tsp_dynamic_programming = None
        print("python-tsp is not installed: its column stays empty")

    folder = tempfile.mkdtemp(prefix="tourplan_bench_")
    try:
        compare(tourplan, solve_tsp_dynamic_programming, folder, options)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def compare(tourplan, solve_tsp_dynamic_programming, folder, options):
    build = os.path.abspath(options.build)
    problems = []
    for n, seed in ((15, 1), (25, 2)):
        path = os.path.join(folder, "random%d.dat" % n)
        with open(path, "wb") as handle:
            handle.write(problem_text(random_problem(n, seed)))
        problems.append(("random %d" % n, path, random_problem(n, seed)))
    for name in ("gr24.tsp", "bays29.tsp", "ft70.atsp"):
        path = os.path.join(RAW, name)
        problems.append((name, path, tourplan.read_tsplib(path).costs))

    print("| problem | points | module | tourplan-solve | tourplan | python-tsp | cost |")
    print("|---|---|---|---|---|---|---|")
    for name, path, costs in problems:
        dat = os.path.join(folder, "problem.dat")
        with open(dat, "wb") as handle:
            handle.write(problem_text(costs))
        times = {"module": [], "solve": [], "tourplan": [], "python-tsp": []}
        for _ in range(options.runs):
            seconds, solution = timed(lambda: tourplan.solve(costs))
            times["module"].append(seconds)
            seconds, answer = timed(lambda: json.loads(run(
                [os.path.join(build, "tourplan-solve"), "--json", path])))
            times["solve"].append(seconds)
            solution_file = os.path.join(folder, "solution.txt")
            seconds, _ = timed(lambda: run([os.path.join(build, "tourplan"), dat,
                                            solution_file]))
            times["tourplan"].append(seconds)
            with open(solution_file) as handle:
                program_tour = [int(x) for x in handle.read().split()]
            expected = [p + 1 for p in solution.tour]
            if answer["tour"] != expected or program_tour != expected:
                sys.exit("%s: the tours differ" % name)
            if solve_tsp_dynamic_programming and len(costs) <= options.python_tsp_limit:
                import numpy
                seconds, (_, distance) = timed(
                    lambda: solve_tsp_dynamic_programming(numpy.array(costs)))
                times["python-tsp"].append(seconds)
                if distance != solution.cost:
                    sys.exit("%s: python-tsp's cost %s, not %s" % (name, distance, solution.cost))
        cells = ["%.4f s" % statistics.median(times[key]) if times[key] else "-"
                 for key in ("module", "solve", "tourplan", "python-tsp")]
        print("| %s | %d | %s | %d |" % (name, len(costs), " | ".join(cells), solution.cost),
              flush=True)


if __name__ == "__main__":
    main()
