#!/usr/bin/env python3
"""Problems per second with the Python module: random Euclidean problems (EUC_2D, points
uniform in a square of side 10^6) of 50 and of 100 points, solved exactly by a plain loop over
tourplan.solve_points() in this process, by tourplan.solve_many() on its default pool (a
process per core) and by solve_many() on a local Dask cluster (a worker process per core, one
thread each), where Dask's distributed is installed. Checks that the three give the same
tours. The cluster's start is timed apart from the solving.

    bench/many_problems.py [--build DIR] [--problems N] [--sizes 50 100] [--no-dask]
"""
import argparse
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--problems", type=int, default=1000)
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 100])
    parser.add_argument("--no-dask", action="store_true")
    options = parser.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(options.build), "python"))
    # The cluster's worker processes find the module the same way.
    os.environ["PYTHONPATH"] = os.pathsep.join(
        [os.path.join(os.path.abspath(options.build), "python")] +
        [path for path in [os.environ.get("PYTHONPATH")] if path])
    import tourplan

    cores = len(os.sched_getaffinity(0))
    distributed = None
    if not options.no_dask:
        try:
            import distributed
        except ImportError:
            print("distributed (Dask) is not installed: its column stays empty")

    def dask_run(problems):
        """solve_many on a local cluster started for this run alone: a cluster left running
        beside the other runs took two thirds of the pool's speed (5.2 against 1.6 problems
        a second of 100 points)."""
        start = time.perf_counter()
        with distributed.LocalCluster(n_workers=cores, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            started = time.perf_counter() - start
            print("(local Dask cluster of %d workers started in %.1f s, not counted)"
                  % (cores, started), file=sys.stderr)
            return tourplan.solve_many(problems, executor=client.get_executor()), started

    # Other work on the machine shows in the figures: its load is printed before and after.
    print("%d cores; %d problems of each size; load average %.1f\n"
          % (cores, options.problems, os.getloadavg()[0]))
    print("| points | problems | plain loop | solve_many (pool) | solve_many (local Dask) |")
    print("|---|---|---|---|---|")
    for size in options.sizes:
        chance = random.Random(size)
        problems = [{"points": [(chance.uniform(0, 10 ** 6), chance.uniform(0, 10 ** 6))
                                for _ in range(size)]} for _ in range(options.problems)]
        rates, answers = [], []
        runs = [lambda: ([tourplan.solve_points(**p) for p in problems], 0),
                lambda: (tourplan.solve_many(problems), 0)]
        if distributed is not None:
            runs.append(lambda: dask_run(problems))
        for run in runs:
            start = time.perf_counter()
            solutions, not_counted = run()
            rates.append(len(problems) / (time.perf_counter() - start - not_counted))
            for solution in solutions:
                if not isinstance(solution, tourplan.Solution) or not solution.proven:
                    sys.exit("not solved: %r" % (solution,))
            answers.append([(s.tour, s.cost) for s in solutions])
        if any(answer != answers[0] for answer in answers):
            sys.exit("the runs gave different tours")
        cells = ["%.1f /s" % rate for rate in rates] + [""] * (3 - len(rates))
        print("| %d | %d | %s |" % (size, len(problems), " | ".join(cells)), flush=True)
    print("\nload average %.1f" % os.getloadavg()[0])


if __name__ == "__main__":
    main()
