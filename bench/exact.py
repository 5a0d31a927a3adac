#!/usr/bin/env python3
"""Exact solves of the public instances of 150 to 1002 points (../shared/tsplib/large/, whose
README gives the optima): for each, the root relaxation's gap below the optimum with blossoms
by the odd-component heuristic alone, with the cut tree too, and with combs found and
tightened as well (the program's; tourplan-bench, built with -DTOURPLAN_BENCHMARKS=ON), then
the whole solve by tourplan-solve --json --time-limit: its
seconds, or the bound it reached. With --concorde PATH (../shared/anchors/bin/concorde, a peer
for benchmarks only), Concorde's time on the same file beside, and the ratio; without it,
that column is left out.

    bench/exact.py [--build DIR] [--folder DIR] [--limit SECONDS] [--only NAME,NAME]
                   [--concorde PATH] [--no-solve]
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from local_search import optima  # noqa: E402
DEFAULT = ["kroA200.tsp", "ts225.tsp", "a280.tsp", "lin318.tsp", "fl417.tsp", "pcb442.tsp",
           "d493.tsp", "att532.tsp", "u574.tsp", "gr666.tsp", "rat783.tsp", "pr1002.tsp",
           "ftv170.atsp", "rbg443.atsp"]


def root_bound(build, problem, engine, scratch):
    done = subprocess.run([os.path.join(build, "tourplan-bench"), "--engine=" + engine, problem,
                           os.path.join(scratch, "root.sol")],
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    found = re.search(r"root bound ([\d.]+).*root ([\d.]+) s", done.stderr)
    return (float(found.group(1)), float(found.group(2))) if found else None


def solve(build, path, limit):
    started = time.monotonic()
    done = subprocess.run([os.path.join(build, "tourplan-solve"), "--json", "--time-limit",
                           str(limit), path], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    wall = time.monotonic() - started
    answer = json.loads(done.stdout)
    # Exit 0: the first optimal tour, proven. At the time limit (exit 3) the bound may meet
    # the tour's cost: the cost is then the optimum, but the tour not always the first.
    answer["finished"] = done.returncode == 0
    return answer, wall


def concorde(binary, path, scratch):
    started = time.monotonic()
    done = subprocess.run([binary, "-s", "99", "-x", path], capture_output=True, text=True,
                          cwd=scratch, stdin=subprocess.DEVNULL)
    wall = time.monotonic() - started
    found = re.search(r"Optimal Solution: ([\d.]+)", done.stdout)
    return (int(float(found.group(1))), wall) if found else (None, wall)


def gap(bound, optimum):
    return "%.2f %%" % (100.0 * (optimum - bound) / optimum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--folder", default=os.path.join(ROOT, "..", "shared", "tsplib", "large"))
    parser.add_argument("--limit", type=float, default=120)
    parser.add_argument("--only", default=",".join(DEFAULT))
    parser.add_argument("--concorde")
    parser.add_argument("--no-solve", action="store_true")
    args = parser.parse_args()
    if args.concorde:
        args.concorde = os.path.abspath(args.concorde)
    known = optima(args.folder, (".tsp", ".atsp"))
    head = ["instance", "points", "root gap, components", "root gap, cut tree",
            "root gap, combs", "root s"]
    if not args.no_solve:
        head += ["tourplan"]
    if args.concorde:
        head += ["Concorde", "ratio"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for name in args.only.split(","):
        if name not in known:
            print("| %s | not in %s |" % (name, args.folder))
            continue
        points, optimum = known[name]
        path = os.path.join(args.folder, name)
        with tempfile.TemporaryDirectory() as scratch:
            problem = os.path.join(scratch, "problem.dat")
            subprocess.run([os.path.join(args.build, "tourplan-import"), path, problem],
                           check=True, capture_output=True)
            row = [name, str(points)]
            heuristic = root_bound(args.build, problem, "branch-and-cut-root-components", scratch)
            tree = root_bound(args.build, problem, "branch-and-cut-root-no-combs", scratch)
            combs = root_bound(args.build, problem, "branch-and-cut-root", scratch)
            row.append(gap(heuristic[0], optimum) if heuristic else "?")
            row.append(gap(tree[0], optimum) if tree else "?")
            row.append(gap(combs[0], optimum) if combs else "?")
            row.append("%.2f" % combs[1] if combs else "?")
            ours = None
            if not args.no_solve:
                answer, wall = solve(args.build, path, args.limit)
                if answer["finished"]:
                    ours = answer["seconds"]
                    mark = "" if answer["cost"] == optimum else " (cost %d, not the optimum!)" % answer["cost"]
                    row.append("%.2f s%s" % (ours, mark))
                elif answer.get("proven"):
                    row.append("optimum %d proven, its first tour not found in %g s"
                               % (answer["cost"], args.limit))
                else:
                    row.append("not proven in %g s: %d, bound %d" % (args.limit, answer["cost"],
                                                                      answer["lower_bound"]))
            if args.concorde:
                if name.endswith(".atsp"):
                    row += ["—", ""]
                else:
                    cost, wall = concorde(args.concorde, path, scratch)
                    row.append("%.2f s" % wall if cost == optimum else "failed")
                    row.append("%.1fx" % (ours / wall) if ours and cost == optimum else "")
        print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
