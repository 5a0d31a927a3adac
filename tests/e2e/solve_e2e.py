"""End to end: tourplan-solve against tourplan and its companions on the bundled instances, its
JSON, its progress line, a time limit and its refusals."""
import itertools
import json
import math
import os
import pty
import re
import resource
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase  # noqa: E402
from import_e2e import RAW, TSPLIB, published_optima, raw_instances, read  # noqa: E402
from tools_e2e import tsplib_tour  # noqa: E402

SOLVE = ""
CHECK = ""
DRAW = ""
IMPORT = ""
# Far beyond a second to solve on any machine, in any build: its relaxation alone takes many.
LONG = "long400.tsp"  # written into each test's folder: see harness.write_long_instance


def large_problem_text(n, euclidean):
    """A random problem of n points: Euclidean by its coordinates (a small TSPLIB file), or
    an asymmetric tourplan problem file."""
    state = n
    def draw(high):
        nonlocal state
        state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        return (state >> 33) % high
    if euclidean:
        lines = ["NAME : euclidean", "TYPE : TSP", "DIMENSION : %d" % n,
                 "EDGE_WEIGHT_TYPE : EUC_2D", "NODE_COORD_SECTION"]
        lines += ["%d %d %d" % (k + 1, draw(10 ** 6), draw(10 ** 6)) for k in range(n)]
        return "\n".join(lines + ["EOF", ""])
    rows = [" ".join("0" if r == c else str(1 + draw(1000)) for c in range(n)) for r in range(n)]
    return "%d\n%s\n" % (n, "\n".join(rows))


class SolveCase(RunCase):
    def run_program(self, program, args, stdin=b""):
        done = subprocess.run([program, *args], cwd=self.folder, input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        return done.returncode, done.stdout, done.stderr

    def solve_ok(self, args, stdin=b"", status=0):
        done = self.run_program(SOLVE, args, stdin)
        self.assertEqual((done[0], done[2]), (status, b""), args)
        return done[1]


class Instances(SolveCase):
    def test_the_same_tour_as_tourplan_and_the_cost_of_tourplan_check(self):
        optima = published_optima()
        for raw, dat in raw_instances():
            problem = os.path.join(TSPLIB, dat)
            self.assertEqual(self.run_tourplan([problem, "tourplan.txt"]).status, 0)
            expected = read(os.path.join(self.folder, "tourplan.txt"))
            tour = [int(x) for x in expected.split()]
            _, checked, _ = self.run_program(CHECK, [problem, "tourplan.txt"])
            cost = int(checked.decode().splitlines()[-1].split()[-1])
            self.assertEqual(cost, optima[dat][1], dat)
            text = read(os.path.join(RAW, raw))
            name = re.search(rb"^NAME\s*:\s*(.*?)\s*$", text, re.M).group(1).decode()
            drawn = b"NODE_COORD_SECTION" in text or b"DISPLAY_DATA_SECTION" in text
            status, report, stderr = self.run_program(SOLVE, [
                "--tour", "t.tour", "--svg", "s.svg", "--solution", "s.txt",
                os.path.join(RAW, raw)])
            note = ("tourplan-solve: note: %s has no coordinates to draw; s.svg not written\n"
                    % os.path.join(RAW, raw))
            self.assertEqual((status, stderr.decode()), (0, "" if drawn else note), raw)
            self.assertEqual(os.path.exists(os.path.join(self.folder, "s.svg")), drawn, raw)
            self.assertEqual(report.decode(), "Name: %s\nPoints: %d\nTour: %s\nCost: %d\n"
                             % (name, len(tour) - 1, " ".join(map(str, tour)), cost))
            self.assertEqual(read(os.path.join(self.folder, "s.txt")), expected, raw)
            self.assertEqual(read(os.path.join(self.folder, "t.tour")),
                             tsplib_tour(name, tour[:-1], cost), raw)
            if drawn:  # the picture of tourplan-draw, byte for byte
                self.assertEqual(self.run_program(DRAW, [os.path.join(RAW, raw), "s.txt",
                                                         "d.svg"])[0], 0)
                self.assertEqual(read(os.path.join(self.folder, "s.svg")),
                                 read(os.path.join(self.folder, "d.svg")), raw)
                os.remove(os.path.join(self.folder, "s.svg"))
            # The problem file itself, from standard input, as JSON (the smaller ones: the
            # same engines once more).
            if len(tour) > 25:
                continue
            named = json.loads(self.solve_ok(["--json", problem]))["name"]
            self.assertEqual(named, os.path.splitext(dat)[0], dat)  # as tourplan-check names it
            answer = json.loads(self.solve_ok(["--json", "-"], read(problem)))
            del answer["seconds"]
            self.assertEqual(answer, {"name": "stdin", "points": len(tour) - 1, "tour": tour,
                                      "cost": cost, "proven": True, "lower_bound": cost})


    def test_open_paths_and_fixed_ends_against_a_brute_force(self):
        for n, seed, high in [(2, 1, 9), (5, 2, 2), (8, 3, 3)]:
            costs = harness.random_problem(n, seed, 1, high)
            self.put("p.dat", ("%d\n" % n + "".join(" ".join(map(str, row)) + "\n"
                                                    for row in costs)).encode())
            best = {}  # the first optimal path from point 1, by its end (None: any)
            for rest in itertools.permutations(range(2, n + 1)):
                path = [1, *rest]
                cost = sum(costs[a - 1][b - 1] for a, b in zip(path, path[1:]))
                for key in (None, path[-1]):
                    if key not in best or cost < best[key][1]:
                        best[key] = (path, cost)
            for end in [None, *range(2, n + 1)]:
                args = ["--open"] if end is None else ["--end", str(end)]
                answer = json.loads(self.solve_ok(["--json", *args, "p.dat"]))
                self.assertEqual((answer["tour"], answer["cost"], answer["lower_bound"]),
                                 (*best[end], best[end][1]), (n, seed, end))
        # The report, the files and the picture of a path: no return to point 1.
        raw = os.path.join(RAW, "burma14.tsp")
        answer = json.loads(self.solve_ok(["--json", "--end", "9", raw]))
        path = answer["tour"]
        self.assertEqual((len(path), path[0], path[-1]), (14, 1, 9))
        report = self.solve_ok(["--end=9", "--tour", "p.tour", "--solution", "p.txt",
                                "--svg", "p.svg", raw]).decode()
        self.assertEqual(report, "Name: burma14\nPoints: 14\nPath: %s\nCost: %d\n"
                         % (" ".join(map(str, path)), answer["cost"]))
        self.assertEqual(read(os.path.join(self.folder, "p.tour")),
                         tsplib_tour("burma14", path, answer["cost"]))
        self.assertEqual(read(os.path.join(self.folder, "p.txt")),
                         "".join(" %d\r\n" % point for point in path).encode())
        picture = read(os.path.join(self.folder, "p.svg"))
        self.assertIn(b"<polyline ", picture)
        self.assertIn(b"burma14: path cost %d" % answer["cost"], picture)


class Limits(SolveCase):
    def test_a_time_limit_stops_with_a_sound_tour_and_a_lower_bound(self):
        harness.write_long_instance(os.path.join(self.folder, LONG))
        subprocess.run([IMPORT, LONG, "long.dat"], cwd=self.folder, stderr=subprocess.PIPE,
                       check=True)
        # Standard error is a pipe: no progress line, nothing at all.
        answer = json.loads(self.solve_ok(["--time-limit", "1", "--json", "--tour", "c.tour",
                                           LONG], status=3))
        self.assertEqual((answer["name"], answer["points"], answer["proven"]),
                         ("long400", harness.LONG_INSTANCE_POINTS, False))
        self.assertLess(answer["lower_bound"], answer["cost"])
        self.assertGreaterEqual(answer["seconds"], 1)
        tour = answer["tour"]
        self.assertEqual((tour[0], tour[-1], sorted(tour[:-1])),
                         (1, 1, list(range(1, harness.LONG_INSTANCE_POINTS + 1))))
        _, checked, _ = self.run_program(CHECK, ["long.dat", "c.tour"])
        self.assertEqual(checked.decode().splitlines()[-1], "Cost: %d" % answer["cost"])

    def test_large_problems_stop_within_their_bound(self):
        # Problems whose every phase (the tables, the relaxation's set-up and solves, the
        # patching, the cuts, the local search) outlasts the limit many times over, had it not
        # looked at the clock: a time limit ends the solve with a sound tour and bound, Ctrl+C
        # the run, each about a second later at most (a wide margin here: a busy machine, and
        # the sanitizers' slower code). A plain build takes the larger problems.
        sanitized = bool(os.environ.get("TOURPLAN_SANITIZE"))
        margin = 15.0 if sanitized else 3.0
        rows = [("euclidean.tsp", 1000 if sanitized else 3000, True),
                ("asymmetric.dat", 500 if sanitized else 1500, False)]
        for name, n, euclidean in rows:
            path = os.path.join(self.folder, name)
            with open(path, "w") as out:
                out.write(large_problem_text(n, euclidean))
            with self.subTest(name, stop="time limit"):
                start = time.monotonic()
                done = subprocess.run([SOLVE, "--json", "--time-limit", "1", name],
                                      cwd=self.folder, stdin=subprocess.DEVNULL,
                                      capture_output=True, timeout=300)
                self.assertEqual((done.returncode, done.stderr), (3, b""))
                answer = json.loads(done.stdout)
                self.assertLess(answer["seconds"], 1 + margin)
                self.assertLess(time.monotonic() - start, 60)
                tour = answer["tour"]
                self.assertEqual((tour[0], tour[-1], sorted(tour[:-1])),
                                 (1, 1, list(range(1, n + 1))))
                self.assertLessEqual(answer["lower_bound"], answer["cost"])
            with self.subTest(name, stop="Ctrl+C"):
                process = subprocess.Popen([SOLVE, "--progress", "--json", name],
                                           cwd=self.folder, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    # The first progress line comes half a second into the solve.
                    seen = b""
                    while b" s" not in seen:
                        chunk = os.read(process.stderr.fileno(), 4096)
                        self.assertTrue(chunk, seen)
                        seen += chunk
                    sent = time.monotonic()
                    process.send_signal(signal.SIGINT)
                    status = process.wait(timeout=120)
                    self.assertLess(time.monotonic() - sent, margin)
                finally:
                    process.kill()
                    process.wait()
                    process.stdout.close()
                    process.stderr.close()
                self.assertEqual(status, 130)
            os.remove(path)
        self.assertEqual(os.listdir(self.folder), [])

    def test_past_the_exact_range_a_search_from_coordinates_in_linear_memory(self):
        # 20000 points: a table of their costs alone would take 3.2 GB, beyond the 1 GiB of
        # address space the run is given. The search reports its best tour and a lower bound
        # at the time limit, as an unproven solve does.
        sanitized = bool(os.environ.get("TOURPLAN_SANITIZE"))
        n = 6000 if sanitized else 20000
        self.put("big.tsp", large_problem_text(n, True).encode())
        def limit_address_space():
            if not sanitized:
                resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        done = subprocess.run([SOLVE, "--json", "--time-limit", "2", "--tour", "big.tour",
                               "big.tsp"], cwd=self.folder, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=300, preexec_fn=limit_address_space)
        self.assertEqual((done.returncode, done.stderr.decode()), (3, (
            "tourplan-solve: note: big.tsp has %d points, more than the exact search takes "
            "(5000); searching 2 s for a good tour and a lower bound\n" % n)))
        answer = json.loads(done.stdout)
        self.assertEqual((answer["points"], answer["proven"]), (n, False))
        self.assertLess(answer["seconds"], 2 + (15.0 if sanitized else 3.0))
        tour = answer["tour"]
        self.assertEqual((tour[0], tour[-1], sorted(tour[:-1])), (1, 1, list(range(1, n + 1))))
        points = [tuple(map(int, line.split()[1:])) for line in
                  large_problem_text(n, True).splitlines()[5:5 + n]]
        def euc_2d(a, b):
            dx, dy = points[a - 1][0] - points[b - 1][0], points[a - 1][1] - points[b - 1][1]
            return int(math.floor(math.sqrt(dx * dx + dy * dy) + 0.5))
        cost = sum(euc_2d(a, b) for a, b in zip(tour, tour[1:]))
        self.assertEqual(answer["cost"], cost)
        # Random uniform points: the optimum is near 0.7124 sqrt(n A); the search comes within
        # a few percent of it, and the bound within a few percent below.
        near = 0.7124 * math.sqrt(n * 1e12)
        self.assertLess(cost, 1.08 * near)
        self.assertLess(0.9 * near, answer["lower_bound"])
        self.assertLessEqual(answer["lower_bound"], cost)
        with open(os.path.join(self.folder, "big.tour")) as written:
            lines = written.read().splitlines()
        self.assertIn("TOUR_SECTION", lines)
        start = lines.index("TOUR_SECTION") + 1
        self.assertEqual([int(x) for x in lines[start:start + n]], tour[:-1])

    def test_the_progress_line_at_a_terminal_and_ctrl_c(self):
        harness.write_long_instance(os.path.join(self.folder, LONG))
        master, slave = pty.openpty()
        process = subprocess.Popen([SOLVE, "--tour", "c.tour", "--solution", "c.txt", LONG],
                                   cwd=self.folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        seen = b""
        try:
            deadline = time.monotonic() + 120
            # Any phase's line will do: how long each phase lasts is the engines' business.
            while not re.search(rb"\r[a-z ]+, .* s$", seen):
                self.assertLess(time.monotonic(), deadline, seen)
                if select.select([master], [], [], 1)[0]:
                    seen += os.read(master, 4096)
            process.send_signal(signal.SIGINT)
            status = process.wait(timeout=60)
            while select.select([master], [], [], 0)[0]:
                chunk = os.read(master, 4096)
                if not chunk:
                    break
                seen += chunk
        except OSError:
            status = process.wait(timeout=60)
        finally:
            os.close(master)
            stdout = process.stdout.read()
            process.stdout.close()
        self.assertEqual((status, stdout), (130, b""))
        self.assertTrue(seen.endswith(b"\rtourplan-solve: interrupted; nothing written\r\n"),
                        seen)
        self.assertEqual(os.listdir(self.folder), [LONG])  # nothing written beside it


class Refusals(SolveCase):
    def test_each_bad_input_exits_1_with_its_message_and_writes_nothing(self):
        cases = [
            (b"", "p: empty file: expected N, then N x N costs"),
            (b"3\n0 1 2\n1 0 x\n", "p:3: 'x' is not a whole number"),
            (b"2\n0 1.5\n1 0\n", "p:2: '1.5' is not a whole number"),
            (b"2\r\n0,1\r\n1 0\r\n", "p:2: '0,1' is not a whole number"),
            (b"2\n0 +-1\n1 0\n", "p:2: '+-1' is not a whole number"),
            (b"2\n0 99999999999999999999\n1 0\n",
             "p:2: '99999999999999999999' is beyond the 64-bit range"),
            (b"1\n0\n", "p:1: N is 1; a tour needs at least 2 points"),
            (b"3\n0 1 2\n1 0\r2 3\n", "p:4: the file ends after 7 of the 3 x 3 costs"),
            (b"2\n0 1\n1 0\n5\n", "p:4: more items than N and the 2 x 2 costs: '5'"),
            (b"9999999999\n1\n",
             "p:2: the file ends after 1 of the 9999999999 x 9999999999 costs"),
            # TSPLIB files, as the importer refuses them.
            (b"NAME: x\nTYPE: HCP\n", "p:2: TYPE HCP is not supported (supported: TSP, ATSP)"),
            (b"TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\n",
             "p: EDGE_WEIGHT_TYPE EXPLICIT needs an EDGE_WEIGHT_FORMAT"),
            # Past the exact range only coordinates are read, without a table.
            (b"TYPE: TSP\nDIMENSION: 6000\nEDGE_WEIGHT_TYPE: EXPLICIT\n"
             b"EDGE_WEIGHT_FORMAT: FULL_MATRIX\nEDGE_WEIGHT_SECTION\n1 2\n",
             "p:2: DIMENSION above 5000 needs EDGE_WEIGHT_TYPE EUC_2D, CEIL_2D, ATT, GEO or "
             "EUC_3D, not EXPLICIT"),
            (b"TYPE: TSP\nDIMENSION: 6000\nEDGE_WEIGHT_TYPE: EUC_2D\nNODE_COORD_SECTION\n" +
             b"".join(b"%d 0 %d\n" % (k, k * 10 ** 9) for k in range(1, 6001)) + b"EOF\n",
             "p: the coordinates lie too far apart for a search without a table of costs "
             "(distances must stay below 2^40)"),
        ]
        for problem, message in cases:
            self.refused(["p"], problem, message)
        self.refused(["--open", "p"],
                     b"TYPE: TSP\nDIMENSION: 6000\nEDGE_WEIGHT_TYPE: EUC_2D\nNODE_COORD_SECTION\n" +
                     b"".join(b"%d 0 %d\n" % (k, k) for k in range(1, 6001)) + b"EOF\n",
                     "p: a path (--open, --end) is solved over a table of costs, for 5000 points "
                     "at most; this has 6000")
        self.refused(["nothere.tsp"], None,
                     "nothere.tsp: cannot open: No such file or directory")
        self.refused(["-"], b"x", "standard input:1: " + self.tsplib_message(b"x"))
        os.mkdir(os.path.join(self.folder, "folder"))
        # A file that cannot be created: the ones created before it go too.
        self.refused(["--tour", "t.tour", "--solution", "no/s.txt", "p"], b"2\n0 1\n1 0\n",
                     "no/s.txt: cannot create: No such file or directory", outputs=[])
        self.refused(["--tour", "t.tour", "--svg", "folder", "p"],
                     read(os.path.join(RAW, "burma14.tsp")),
                     "folder: not a regular file (use '-' for standard output)", outputs=[])

    def test_out_of_memory_exits_4_in_every_companion(self):
        if os.environ.get("TOURPLAN_SANITIZE"):
            self.skipTest("a sanitizer's shadow memory does not fit under the limit")
        # 5000 points: their 200 MB cost matrix cannot be had in 100 MiB of address space.
        nodes = "".join(f"{i} {i % 71} {i // 71}\n" for i in range(1, 5001))
        self.put("big.tsp", ("TYPE: TSP\nDIMENSION: 5000\nEDGE_WEIGHT_TYPE: EUC_2D\n"
                             f"NODE_COORD_SECTION\n{nodes}").encode())
        self.put("t.txt", b" 1\n 2\n 1\n")

        def limit_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (100 << 20, 100 << 20))

        for program, args in [(IMPORT, ["big.tsp", "big.dat"]),
                              (DRAW, ["big.tsp", "t.txt", "big.svg"]),
                              (SOLVE, ["--tour", "big.tour", "--svg", "big.svg", "big.tsp"])]:
            done = subprocess.run([program, *args], cwd=self.folder, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                                  preexec_fn=limit_address_space)
            self.assertEqual((done.returncode, done.stdout, done.stderr.decode()),
                             (4, b"", os.path.basename(program) + ": out of memory\n"), program)
        self.assertEqual(sorted(os.listdir(self.folder)), ["big.tsp", "t.txt"])

    def tsplib_message(self, text):
        """What the importer itself says of a broken TSPLIB text."""
        done = subprocess.run([IMPORT, "-", "out.dat"], cwd=self.folder, input=text,
                              stderr=subprocess.PIPE)
        return done.stderr.decode().split(":", 3)[-1].strip()

    def refused(self, args, problem, message,
                outputs=("--tour", "t.tour", "--svg", "s.svg", "--solution", "s.txt")):
        if problem is not None:
            self.put("p", problem)
        before = sorted(os.listdir(self.folder))
        status, stdout, stderr = self.run_program(SOLVE, [*outputs, *args], problem or b"")
        self.assertEqual((status, stdout, stderr.decode()), (1, b"", "tourplan-solve: %s\n"
                                                             % message), args)
        self.assertEqual(sorted(os.listdir(self.folder)), before, args)

    def test_the_command_line(self):
        self.put("p", b"3\n0 1 2\n1 0 1\n2 1 0\n")
        for args, message in [
            ([], "no problem file given"),
            (["a", "b"], "one problem file only; 'b' is a second"),
            (["--time-limit", "0", "a"], "--time-limit needs a number of seconds above 0, not '0'"),
            (["--time-limit=x", "a"], "--time-limit needs a number of seconds above 0, not 'x'"),
            (["--tour", "-", "a"], "--tour needs a file name (standard output holds the report)"),
            (["a", "--svg"], "--svg needs a value"),
            (["--fast", "a"], "unknown option '--fast'"),
            (["--end", "1", "a"], "--end needs a point other than the start 1 (2 to N), not '1'"),
            (["--end=2x", "a"], "--end needs a point other than the start 1 (2 to N), not '2x'"),
            (["--end", "4", "p"], "--end 4: p has 3 points"),
        ]:
            status, stdout, stderr = self.run_program(SOLVE, args)
            self.assertEqual((status, stdout), (2, b""), args)
            self.assertTrue(stderr.decode().startswith("tourplan-solve: %s\nusage: " % message),
                            stderr)
        status, stdout, _ = self.run_program(SOLVE, ["--version"])
        self.assertEqual((status, stdout.decode().split()[0]), (0, "tourplan-solve"))
        status, stdout, _ = self.run_program(SOLVE, ["--help"])
        self.assertEqual(status, 0)
        self.assertIn(b"3 time limit reached, 4 out of memory", stdout)


def main():
    for argument in list(sys.argv[1:]):
        for option in ("--solve=", "--check=", "--draw=", "--import="):
            if argument.startswith(option):
                globals()[option[2:-1].upper()] = os.path.abspath(argument.split("=", 1)[1])
                sys.argv.remove(argument)
    if not (SOLVE and CHECK and DRAW and IMPORT):
        sys.exit("give --solve=, --check=, --draw= and --import=")
    harness.main()


if __name__ == "__main__":
    main()
