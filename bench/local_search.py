#!/usr/bin/env python3
"""The chained Lin-Kernighan search alone (tourplan-tour, built with -DTOURPLAN_BENCHMARKS=ON)
on the symmetric public instances of --folder whose optimum its README gives, for each time
budget: the tour's excess over the optimum. With --linkern PATH (Concorde's chained
Lin-Kernighan, a peer for benchmarks only; ../shared/anchors/bin/linkern), the same budget for
it beside; without it, that column is left out.

Instances given by coordinates are searched as tourplan-solve searches those past its exact
range (without a table of costs, two threads, the lower bound beside); --table searches them
over their table, as branch and cut does for its first tour. --random 10000,20000 adds random
uniform instances of those sizes (those of bench/stop_latency.py, the size its seed); they
have no known optimum, so their rows give the tour's cost, the bound and the peer's cost.

    bench/local_search.py [--build DIR] [--folder DIR] [--seconds 1,10] [--smallest 150]
                          [--largest 5000] [--only NAME,NAME] [--linkern PATH] [--table]
                          [--random N,N]
"""
import argparse
import os
import re
import subprocess
import tempfile

from stop_latency import random_instance

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def optima(folder, suffixes=(".tsp",)):
    """name -> (points, optimum) from the folder's README table, for files of these suffixes."""
    found = {}
    with open(os.path.join(folder, "README.md")) as readme:
        for line in readme:
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if len(cells) == 4 and cells[0].endswith(suffixes) and cells[3].isdigit():
                found[cells[0]] = (int(cells[1]), int(cells[3]))
    return found


def tourplan(binary, path, seconds, table=False):
    """(cost, seconds, lower bound or None)."""
    done = subprocess.run([binary, str(seconds), path] + (["--table"] if table else []),
                          capture_output=True, text=True, check=True)
    fields = done.stdout.split()
    return int(fields[0]), float(fields[1]), int(fields[2]) if len(fields) > 2 else None


def linkern(binary, path, seconds):
    with tempfile.TemporaryDirectory() as scratch:
        done = subprocess.run([binary, "-s", "99", "-t", str(seconds), "-R", "1000000000",
                               "-Q", path], capture_output=True, text=True, cwd=scratch)
    found = re.search(r"Final Cycle: (\d+)", done.stdout)
    return int(found.group(1)) if found else None


def excess(cost, optimum):
    return "%+.2f %%" % (100.0 * (cost - optimum) / optimum)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--folder", default=os.path.join(ROOT, "..", "shared", "tsplib", "large"))
    parser.add_argument("--seconds", default="1,10")
    parser.add_argument("--smallest", type=int, default=150)
    parser.add_argument("--largest", type=int, default=5000)
    parser.add_argument("--only", default="")
    parser.add_argument("--linkern", default="")
    parser.add_argument("--table", action="store_true")
    parser.add_argument("--random", default="")
    args = parser.parse_args()
    binary = os.path.join(args.build, "tourplan-tour")
    budgets = [float(x) for x in args.seconds.split(",") if x]
    only = set(x for x in args.only.split(",") if x)
    peer = os.path.abspath(args.linkern) if args.linkern and os.path.exists(args.linkern) else ""

    header = "%-14s %6s" % ("instance", "points")
    for seconds in budgets:
        header += "   %12s" % ("tourplan %gs" % seconds)
        if peer:
            header += " %12s" % ("linkern %gs" % seconds)
    print(header)
    totals = {}
    for name, (points, optimum) in sorted(optima(args.folder).items(), key=lambda x: x[1][0]):
        if points < args.smallest or points > args.largest:
            continue
        if only and os.path.splitext(name)[0] not in only:
            continue
        path = os.path.join(args.folder, name)
        row = "%-14s %6d" % (os.path.splitext(name)[0], points)
        for seconds in budgets:
            cost, _, _ = tourplan(binary, path, seconds, args.table)
            row += "   %12s" % excess(cost, optimum)
            totals.setdefault(("tourplan", seconds), []).append((cost - optimum) / optimum)
            if peer:
                theirs = linkern(peer, path, seconds)
                row += " %12s" % (excess(theirs, optimum) if theirs else "-")
                if theirs:
                    totals.setdefault(("linkern", seconds), []).append((theirs - optimum) / optimum)
        print(row, flush=True)
    sizes = [int(x) for x in args.random.split(",") if x]
    if sizes:
        print("%-14s %6s   %s" % ("instance", "points", "   ".join(
            "tourplan %gs (bound)%s" % (s, ", linkern %gs" % s if peer else "")
            for s in budgets)))
    with tempfile.TemporaryDirectory() as scratch:
        for n in sizes:
            path = os.path.join(scratch, "uniform%d.tsp" % n)
            random_instance(path, n, n)
            row = "%-14s %6d" % ("uniform%d" % n, n)
            for seconds in budgets:
                cost, _, bound = tourplan(binary, path, seconds, args.table)
                row += "   %d (%s)" % (cost, bound if bound is not None else "-")
                if peer:
                    theirs = linkern(peer, path, seconds)
                    row += ", %s" % (theirs if theirs else "-")
                    if theirs:
                        row += " (ours %+.2f %%)" % (100.0 * (cost - theirs) / theirs)
            print(row, flush=True)
    for (who, seconds), values in sorted(totals.items()):
        print("mean excess, %s %gs: %+.3f %%" % (who, seconds, 100.0 * sum(values) / len(values)))


if __name__ == "__main__":
    main()
