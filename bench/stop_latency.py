#!/usr/bin/env python3
"""How soon a solve stops when asked, at every size: tourplan-solve with a time limit (how far
past the limit its solve ends, and the tour and bound it hands back), tourplan-solve sent
SIGINT (how long after the signal the process is gone, and its exit status), and the Python
module interrupted by KeyboardInterrupt. The instances are those of --folder (TSPLIB files)
and random Euclidean problems of --random sizes (coordinates 0..10^6, written as TSPLIB).

    bench/stop_latency.py [--build DIR] [--folder DIR] [--only NAME,NAME]
                          [--limits 0.5,1,2] [--interrupts 0.5,2] [--random 5000]
                          [--no-python]

The time-limit columns: the solve's own seconds (JSON "seconds", from the solve's start: the
reading of the file is not in it) less the limit, and the whole run's wall time. The
interrupt columns: seconds from the signal to the process's end.
"""
import argparse
import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def random_instance(path, n, seed):
    chance = random.Random(seed)
    with open(path, "w") as out:
        out.write("NAME : random%d\nTYPE : TSP\nDIMENSION : %d\nEDGE_WEIGHT_TYPE : EUC_2D\n"
                  "NODE_COORD_SECTION\n" % (n, n))
        for k in range(n):
            out.write("%d %d %d\n" % (k + 1, chance.randint(0, 10 ** 6), chance.randint(0, 10 ** 6)))
        out.write("EOF\n")


def dimension(path):
    with open(path) as handle:
        for line in handle:
            if line.split(":")[0].strip() == "DIMENSION":
                return int(line.split(":")[1])
    return 0


def time_limited(solve, path, limit):
    start = time.monotonic()
    done = subprocess.run([solve, "--json", "--time-limit", str(limit), path],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    wall = time.monotonic() - start
    if done.returncode not in (0, 3):
        return "exit %d: %s" % (done.returncode, done.stderr.strip()[:60])
    result = json.loads(done.stdout)
    if done.returncode == 0:
        return "solved in %.2f s (wall %.2f s), cost %d" % (result["seconds"], wall,
                                                           result["cost"])
    return "%+.2f s past the limit (wall %.2f s), cost %d, bound %d" % (
        result["seconds"] - limit, wall, result["cost"], result["lower_bound"])


def interrupted(command, after):
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    time.sleep(after)
    if process.poll() is not None:
        return "done before the signal"
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    status = process.wait()
    return "%.2f s, exit %d" % (time.monotonic() - sent, status)


# The child says when KeyboardInterrupt reached it: its own ending (freeing a list of millions
# of ints) is no part of the solve's answer to Ctrl+C.
PYTHON_CHILD = """
import sys, time, tourplan
problem = tourplan.read_tsplib(sys.argv[1])
sys.stdout.write("ready\\n"); sys.stdout.flush()
try:
    tourplan.solve(problem.costs)
except KeyboardInterrupt:
    sys.stdout.write("%.6f\\n" % time.monotonic()); sys.stdout.flush()
    sys.exit(130)
"""


def python_interrupted(module_folder, path, after):
    environment = dict(os.environ, PYTHONPATH=module_folder)
    process = subprocess.Popen([sys.executable, "-c", PYTHON_CHILD, path], env=environment,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    process.stdout.readline()  # read and converted: the solve starts now
    time.sleep(after)
    if process.poll() is not None:
        return "done before the signal"
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    caught = process.stdout.readline()
    status = process.wait()
    if not caught:
        return "no KeyboardInterrupt, exit %d" % status
    return "%.2f s to KeyboardInterrupt (%.2f s to the end), exit %d" % (
        float(caught) - sent, time.monotonic() - sent, status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--folder", default=os.path.join(ROOT, "..", "shared", "tsplib", "large"))
    parser.add_argument("--only", default="")
    parser.add_argument("--limits", default="0.5,1,2")
    parser.add_argument("--interrupts", default="0.5,2")
    parser.add_argument("--random", default="5000")
    parser.add_argument("--no-python", action="store_true")
    args = parser.parse_args()
    solve = os.path.join(args.build, "tourplan-solve")
    module_folder = os.path.join(args.build, "python")
    python = not args.no_python and os.path.isdir(module_folder)
    limits = [float(x) for x in args.limits.split(",") if x]
    interrupts = [float(x) for x in args.interrupts.split(",") if x]

    scratch = tempfile.mkdtemp(prefix="tourplan-stop-")
    paths = []
    if os.path.isdir(args.folder):
        for name in sorted(os.listdir(args.folder)):
            if name.endswith(".tsp") or name.endswith(".atsp"):
                paths.append(os.path.join(args.folder, name))
    for size in [int(x) for x in args.random.split(",") if x]:
        path = os.path.join(scratch, "random%d.tsp" % size)
        random_instance(path, size, size)
        paths.append(path)
    only = set(x for x in args.only.split(",") if x)
    paths = [p for p in paths if not only or os.path.basename(p).split(".")[0] in only]
    paths.sort(key=dimension)

    for path in paths:
        name = os.path.basename(path)
        print("%s (%d points)" % (name, dimension(path)), flush=True)
        for limit in limits:
            print("  --time-limit %g: %s" % (limit, time_limited(solve, path, limit)), flush=True)
        for after in interrupts:
            print("  SIGINT after %g s: %s" % (after, interrupted([solve, "--json", path], after)),
                  flush=True)
            if python:
                print("  Python, KeyboardInterrupt after %g s: %s"
                      % (after, python_interrupted(module_folder, path, after)), flush=True)


if __name__ == "__main__":
    main()
