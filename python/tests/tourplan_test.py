"""The Python module tourplan: the tours of a brute force and of tourplan-solve, its exceptions,
Ctrl+C during a solve, and NumPy arrays."""
import atexit
import ast
import inspect
import itertools
import json
import math
import random
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from harness import random_problem, write_long_instance  # noqa: E402
from import_e2e import RAW, TSPLIB, raw_instances, read  # noqa: E402

MODULE = ""  # the folder holding the built module
SOLVE = ""
tourplan = None
# Far beyond a second to solve on any machine: written once, removed at exit.
LONG_FOLDER = tempfile.mkdtemp(prefix="tourplan-long-")
LONG = os.path.join(LONG_FOLDER, "long400.tsp")
write_long_instance(LONG)
atexit.register(shutil.rmtree, LONG_FOLDER, True)
SMALL = [[0, 5, 1], [1, 0, 5], [5, 1, 0]]  # its tour: 0, 2, 1, 0


def brute_force(costs):
    """The first optimal tour in lexicographic order (permutations come in that order)."""
    best = None
    for rest in itertools.permutations(range(1, len(costs))):
        tour = [0, *rest, 0]
        cost = sum(costs[a][b] for a, b in zip(tour, tour[1:]))
        if best is None or cost < best[1]:
            best = (tour, cost)
    return best


def brute_force_paths(costs):
    """The first optimal path from 0 in lexicographic order, ending anywhere (key None) and
    ending at each point k (key k)."""
    best = {}
    for rest in itertools.permutations(range(1, len(costs))):
        path = [0, *rest]
        cost = sum(costs[a][b] for a, b in zip(path, path[1:]))
        for key in (None, path[-1]):
            if key not in best or cost < best[key][1]:
                best[key] = (path, cost)
    return best


def euc_2d(a, b):
    """TSPLIB's EUC_2D, written again here from its definition: the distance rounded."""
    return int(math.floor(math.hypot(a[0] - b[0], a[1] - b[1]) + 0.5))


def tsplib_text(metric, points):
    """A TSPLIB instance of points under metric."""
    lines = ["NAME : points", "TYPE : TSP", "DIMENSION : %d" % len(points),
             "EDGE_WEIGHT_TYPE : %s" % metric, "NODE_COORD_SECTION"]
    lines += ["%d %s" % (k + 1, " ".join(repr(x) for x in point))
              for k, point in enumerate(points)]
    return "\n".join(lines + ["EOF"]) + "\n"


def mypy_command():
    """Debian's mypy, or the one this interpreter has; None where there is neither."""
    try:
        import mypy  # noqa: F401
        return [sys.executable, "-m", "mypy"]
    except ImportError:
        found = shutil.which("mypy")
        return [found] if found else None


def run_child(script, timeout=120):
    """Runs script in a fresh interpreter that imports the built module."""
    return subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=MODULE))


class Case(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tourplan_python_")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def assert_usable(self):
        self.assertEqual(tourplan.solve(SMALL).tour, [0, 2, 1, 0])


class Solving(Case):
    def test_the_first_optimal_tour_of_a_brute_force(self):
        for n, seed, low, high in [
            (2, 1, 1, 9), (5, 2, 1, 2), (7, 3, 1, 3), (8, 4, -5, 5), (8, 5, 7, 7),
            (6, 6, 2**62, 2**63 - 1),          # sums beyond 64 bits
            (7, 7, -2**63, -2**63 + 2),        # and below
        ]:
            costs = random_problem(n, seed, low, high)
            tour, cost = brute_force(costs)
            solution = tourplan.solve(costs)
            self.assertEqual((solution.tour, solution.cost, solution.proven, solution.lower_bound),
                             (tour, cost, True, cost), (n, seed))
            self.assertEqual(tourplan.tour_cost(costs, tour), cost)
        self.assertEqual(tourplan.solve([[3] * 12] * 12).tour, list(range(12)) + [0])

    def test_a_time_limit_gives_a_sound_tour_and_a_lower_bound(self):
        costs = tourplan.read_tsplib(LONG).costs
        solution = tourplan.solve(costs, time_limit=1)
        self.assertFalse(solution.proven)
        self.assertLess(solution.lower_bound, solution.cost)
        self.assertEqual(tourplan.tour_cost(costs, solution.tour), solution.cost)
        self.assertTrue(repr(solution).startswith("Solution(tour=[0, "), repr(solution))

    def test_solves_from_several_threads_take_turns(self):
        problems = [random_problem(18 + k, k) for k in range(4)]
        expected = [tourplan.solve(costs).tour for costs in problems]
        found = [None] * 4

        def solve(k):
            found[k] = tourplan.solve(problems[k]).tour
        threads = [threading.Thread(target=solve, args=(k,)) for k in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(found, expected)


class Instances(Case):
    def test_the_tour_cost_and_tour_file_of_tourplan_solve(self):
        for raw, dat in raw_instances():
            path = os.path.join(RAW, raw)
            done = subprocess.run([SOLVE, "--json", "--tour", "expected.tour", path],
                                  cwd=self.folder, stdout=subprocess.PIPE, timeout=300, check=True)
            answer = json.loads(done.stdout)
            instance = tourplan.read_tsplib(path)
            # The importer's matrix: the bundled problem file's.
            rows = read(os.path.join(TSPLIB, dat)).split(b"\r\n")[1:-1]
            self.assertEqual(instance.costs, [[int(x) for x in row.split()] for row in rows])
            text = read(path)
            drawn = b"NODE_COORD_SECTION" in text or b"DISPLAY_DATA_SECTION" in text
            self.assertEqual(instance.coordinates is not None, drawn, raw)
            solution = tourplan.solve(instance.costs)
            self.assertEqual(([p + 1 for p in solution.tour], solution.cost, solution.proven),
                             (answer["tour"], answer["cost"], True), raw)
            tour_file = os.path.join(self.folder, "module.tour")
            tourplan.write_tour(tour_file, solution.tour, instance.name, solution.cost)
            self.assertEqual(read(tour_file), read(os.path.join(self.folder, "expected.tour")))


class Errors(Case):
    def test_each_error_raises_its_exception_and_the_module_goes_on(self):
        three = [[0, 1, 2], [1, 0, 1], [2, 1, 0]]
        hcp = os.path.join(self.folder, "hcp.tsp")
        with open(hcp, "w") as handle:
            handle.write("NAME: x\nTYPE: HCP\n")
        missing = os.path.join(self.folder, "missing.tsp")
        for call, error, message in [
            (lambda: tourplan.solve([[0, 1], [1]]), ValueError,
             "costs row 1 has 1 cost, not 2: the matrix must be square"),
            (lambda: tourplan.solve([[0, 1.5], [1, 0]]), ValueError,
             "costs row 0, column 1: 1.5 is not an integer"),
            (lambda: tourplan.solve([[0, 1], [1, "2"]]), ValueError,
             "costs row 1, column 1: '2' is not an integer"),
            (lambda: tourplan.solve([[0, 1], [-2**63 - 1, 0]]), ValueError,
             "costs row 1, column 0: -9223372036854775809 is outside the 64-bit range"),
            (lambda: tourplan.solve([[0, 1], 7]), ValueError, "costs row 1: 7 is not a row of costs"),
            (lambda: tourplan.solve([[0]]), ValueError, "costs: 1 point; a tour needs at least 2"),
            (lambda: tourplan.solve([]), ValueError, "costs: 0 points; a tour needs at least 2"),
            (lambda: tourplan.solve(5), TypeError,
             "costs must be a square matrix: a sequence of rows"),
            (lambda: tourplan.solve(three, time_limit=0), ValueError,
             "time_limit must be a number of seconds above 0, not 0"),
            (lambda: tourplan.solve(three, end=0), ValueError,
             "end: 0 is not a point other than the start 0 (1 to 2)"),
            (lambda: tourplan.solve(three, cycle=False, end=3), ValueError,
             "end: 3 is not a point other than the start 0 (1 to 2)"),
            (lambda: tourplan.solve(three, end="1"), ValueError, "end: '1' is not an integer"),
            (lambda: tourplan.solve(three, progress=5), ValueError,
             "progress must be a callable or None, not 5"),
            (lambda: tourplan.solve_points([(0, 0), (1, 1)], "EUC"), ValueError,
             "metric: unknown 'EUC' (supported: EUC_2D, CEIL_2D, ATT, GEO, EUC_3D, MAX_2D, "
             "MAX_3D, MAN_2D, MAN_3D)"),
            (lambda: tourplan.solve_points([(0, 0), (1, 1, 1)]), ValueError,
             "points row 1 has 3 coordinates, not 2"),
            (lambda: tourplan.solve_points([(0, 0, 0), (1, 1)], "MAX_3D"), ValueError,
             "points row 1 has 2 coordinates, not 3"),
            (lambda: tourplan.solve_points([(0, 0), 7]), ValueError,
             "points row 1: 7 is not a point"),
            (lambda: tourplan.solve_points([(0, 0), (1, "a")]), ValueError,
             "points row 1, coordinate 1: 'a' is not a number"),
            (lambda: tourplan.solve_points([(0, math.nan), (1, 1)]), ValueError,
             "points row 0, coordinate 1: nan is not a finite number"),
            (lambda: tourplan.solve_points([(0, 1e300), (1, 1)], scale=1e10), ValueError,
             "points row 0, coordinate 1: times the scale, beyond the range of a double"),
            (lambda: tourplan.solve_points([(0, 0), (1, 1)], scale=0), ValueError,
             "scale must be a number above 0, not 0"),
            (lambda: tourplan.solve_points([(0, 0), (1, 1)], "GEO", scale=10), ValueError,
             "scale: GEO's coordinates are latitudes and longitudes, not to be scaled"),
            (lambda: tourplan.solve_points([(0, 0)]), ValueError,
             "points: 1 point; a tour needs at least 2"),
            (lambda: tourplan.solve_points([(0, 0), (1e300, 1e300)]), ValueError,
             "points: the points lie too far apart: a distance passes the 64-bit range"),
            (lambda: tourplan.solve_points([(k, 0) for k in range(5001)], "MAN_2D"), ValueError,
             "points: 5001 points, more than the exact solver's 5000; beyond, only tours are "
             "searched, and only under EUC_2D, CEIL_2D, ATT, GEO or EUC_3D"),
            (lambda: tourplan.solve_points([(k, 0) for k in range(5001)], cycle=False),
             ValueError,
             "points: 5001 points, more than the exact solver's 5000; beyond, only tours are "
             "searched, and only under EUC_2D, CEIL_2D, ATT, GEO or EUC_3D"),
            (lambda: tourplan.solve_points(5), TypeError, "points must be a sequence of points"),
            (lambda: tourplan.solve_many([three], processes=0), ValueError,
             "processes must be a whole number above 0 or None, not 0"),
            (lambda: tourplan.solve_many([three], executor="pool"), ValueError,
             "executor must be a concurrent.futures.Executor, not 'pool'"),
            (lambda: tourplan.solve_many([three], time_limit=-1), ValueError,
             "time_limit must be a number of seconds above 0, not -1"),
            (lambda: tourplan.tour_cost(three, [0, 1, 2]), ValueError,
             "tour: 3 entries; a closed tour over 3 points has 4 (its start again at the end)"),
            (lambda: tourplan.tour_cost(three, [0, 1, 2, 1]), ValueError,
             "tour: ends at 1, not at its start 0"),
            (lambda: tourplan.tour_cost(three, [0, 1, 1, 0]), ValueError,
             "tour: point 1 comes twice (entries 1 and 2)"),
            (lambda: tourplan.tour_cost(three, [0, 3, 1, 0]), ValueError,
             "tour entry 1: point 3 is not among the 3 points (0 to 2)"),
            (lambda: tourplan.write_tour(os.path.join(self.folder, "t"), [0, 1, 0], "a\nb", 2),
             ValueError,
             "name: a line break would end the NAME line"),
            (lambda: tourplan.read_tsplib(hcp), ValueError,
             hcp + ":2: TYPE HCP is not supported (supported: TSP, ATSP)"),
            (lambda: tourplan.read_tsplib(missing), FileNotFoundError,
             "[Errno 2] cannot open: No such file or directory: '%s'" % missing),
            (lambda: tourplan.write_tour(os.path.join(missing, "t"), [0, 1, 0], "x", 2),
             FileNotFoundError,
             "[Errno 2] cannot create: No such file or directory: '%s/t'" % missing),
        ]:
            with self.assertRaises(error) as raised:
                call()
            self.assertEqual(str(raised.exception), message)
            self.assert_usable()
        self.assertEqual(os.listdir(self.folder), ["hcp.tsp"])

    def test_tables_that_do_not_fit_raise_memory_error(self):
        child = run_child(
            "import resource, tourplan\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
            "try:\n"
            "    tourplan.solve([[1] * 5000] * 5000)\n"
            "except MemoryError as error:\n"
            "    print(error)\n"
            "print(tourplan.solve(%r).tour)\n" % SMALL)
        stdout, stderr = child.communicate(timeout=120)
        self.assertEqual((child.returncode, stderr), (0, b""))
        self.assertEqual(stdout.decode(), "the solver's tables for 5000 points do not fit in "
                         "memory: run-time error 4 (out of memory)\n[0, 2, 1, 0]\n")


class Interrupts(Case):
    def test_ctrl_c_stops_a_long_solve_and_the_module_goes_on(self):
        # A public instance, and a problem of 2000 points, each phase of whose search would
        # take many seconds had it not looked at the interrupt: the exception comes about a
        # second after Ctrl+C at most (a wide margin here, for a busy machine).
        problems = [
            "tourplan.read_tsplib(%r).costs" % LONG,
            "[[int(math.hypot(a[0] - b[0], a[1] - b[1])) for b in points] for a in points]",
        ]
        for problem in problems:
            child = run_child(
                "import math, random, time, tourplan\n"
                "chance = random.Random(5)\n"
                "points = [(chance.randint(0, 10 ** 6), chance.randint(0, 10 ** 6))"
                " for _ in range(2000)]\n"
                "costs = %s\n"
                "print('started', flush=True)\n"
                "try:\n"
                "    tourplan.solve(costs)\n"
                "    print('solved')\n"
                "except KeyboardInterrupt:\n"
                "    print('interrupted %%.6f' %% time.monotonic(), flush=True)\n"
                "print(tourplan.solve(%r).tour)\n" % (problem, SMALL))
            try:
                self.assertEqual(child.stdout.readline(), b"started\n")
                # The solve has begun once its thread is there: the interpreter starts none.
                deadline = time.monotonic() + 60
                while len(os.listdir("/proc/%d/task" % child.pid)) < 2:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.01)
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
                stdout, stderr = child.communicate(timeout=120)
            finally:
                child.kill()
                child.wait()
            self.assertEqual((child.returncode, stderr), (0, b""), problem)
            interrupted, tour = stdout.decode().splitlines()
            self.assertEqual((interrupted.split()[0], tour), ("interrupted", "[0, 2, 1, 0]"))
            self.assertLess(float(interrupted.split()[1]) - sent, 3, problem)


class Arrays(Case):
    def test_integer_arrays_of_any_layout_and_their_refusals(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("NumPy is not installed")
        costs = tourplan.read_tsplib(os.path.join(RAW, "gr17.tsp")).costs
        expected = tourplan.solve(costs)
        array = numpy.array(costs, dtype=numpy.int64)
        for form in [array, numpy.asfortranarray(array.astype(numpy.int32)),
                     array.astype(">i8"), array.astype(numpy.uint16), array.T.copy().T,
                     numpy.repeat(numpy.repeat(array, 2, 0), 2, 1)[::2, ::2],
                     [list(row) for row in array]]:  # NumPy integers in lists
            solution = tourplan.solve(form)
            self.assertEqual((solution.tour, solution.cost), (expected.tour, expected.cost))
        for form, message in [
            (numpy.zeros(4, dtype=numpy.int64), "costs: a 1-dimensional array, not a square matrix"),
            (numpy.zeros((2, 3), dtype=numpy.int8), "costs: a 2 x 3 array, not a square matrix"),
            (numpy.array([[0, 1], [2**63, 0]], dtype=numpy.uint64),
             "costs row 1, column 0: 9223372036854775808 is outside the 64-bit range"),
        ]:
            with self.assertRaises(ValueError) as raised:
                tourplan.solve(form)
            self.assertEqual(str(raised.exception), message)
        # Points as an N x 2 array of floats, or of integers, as the same points in lists.
        chance = random.Random(9)
        points = [(chance.uniform(0, 99), chance.uniform(0, 99)) for _ in range(12)]
        expected = tourplan.solve_points(points, "CEIL_2D")
        for form in [numpy.array(points), numpy.array(points[::-1])[::-1],
                     numpy.asfortranarray(numpy.array(points))]:
            solution = tourplan.solve_points(form, "CEIL_2D")
            self.assertEqual((solution.tour, solution.cost), (expected.tour, expected.cost))
        rounded = numpy.array(points).astype(numpy.int64)
        self.assertEqual(tourplan.solve_points(rounded).cost,
                         tourplan.solve_points(rounded.tolist()).cost)
        with self.assertRaises(ValueError) as raised:
            tourplan.solve(numpy.array([[0, 1], [1.5, 0]]))
        self.assertRegex(str(raised.exception), r"^costs row 0, column 0: .*0\.0.* is not an integer$")
        self.assert_usable()


class Coordinates(Case):
    def test_points_cost_what_read_tsplib_gives_their_instance(self):
        chance = random.Random(28)
        rows = []  # (metric, points as given, scale, the instance's text)
        for raw, _ in raw_instances():
            instance = tourplan.read_tsplib(os.path.join(RAW, raw))
            if instance.metric is not None:
                rows.append((instance.metric, instance.coordinates, 1,
                             read(os.path.join(RAW, raw))))
        self.assertGreater(len(rows), 0)
        for metric in ["EUC_2D", "CEIL_2D", "ATT", "MAN_2D", "MAX_2D", "EUC_3D", "MAN_3D",
                       "MAX_3D"]:
            dimensions = 3 if metric.endswith("3D") else 2
            # Quarters are exact in binary: times 4 they are the whole numbers of the file.
            points = [tuple(chance.randint(0, 400) / 4 for _ in range(dimensions))
                      for _ in range(9)]
            scaled = [tuple(int(x * 4) for x in point) for point in points]
            rows.append((metric, points, 4, tsplib_text(metric, scaled).encode()))
        for metric, points, scale, text in rows:
            path = os.path.join(self.folder, "points.tsp")
            with open(path, "wb") as handle:
                handle.write(text)
            expected = tourplan.solve(tourplan.read_tsplib(path).costs)
            found = tourplan.solve_points(points, metric, scale=scale)
            self.assertEqual((found.tour, found.cost, found.proven),
                             (expected.tour, expected.cost, True), metric)

    def test_past_the_exact_range_a_search_without_a_matrix(self):
        # 20000 points: their matrix alone would take 3.2 GB, four times the memory allowed.
        child = run_child(
            "import random, resource, tourplan\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
            "chance = random.Random(7)\n"
            "points = [(chance.uniform(0, 10 ** 5), chance.uniform(0, 10 ** 5))"
            " for _ in range(20000)]\n"
            "s = tourplan.solve_points(points, time_limit=1)\n"
            "print(repr((points, s.tour, s.cost, s.proven, s.lower_bound)))\n")
        stdout, stderr = child.communicate(timeout=300)
        self.assertEqual((child.returncode, stderr), (0, b""))
        points, tour, cost, proven, lower_bound = ast.literal_eval(stdout.decode())
        self.assertEqual((tour[0], tour[-1], sorted(tour[1:])), (0, 0, list(range(20000))))
        self.assertEqual(cost, sum(euc_2d(points[a], points[b]) for a, b in zip(tour, tour[1:])))
        # The bound's ascent may not have proven one within a second on a busy machine: 0.
        self.assertFalse(proven)
        self.assertTrue(0 <= lower_bound < cost, (lower_bound, cost))


class Paths(Case):
    def test_open_paths_and_fixed_ends_against_a_brute_force(self):
        for n, seed, low, high in [(2, 1, 1, 9), (3, 2, 1, 2), (6, 3, 1, 2), (7, 4, 0, 3),
                                   (8, 5, -4, 4), (9, 6, 1, 3), (8, 7, 2**62, 2**63 - 1)]:
            costs = random_problem(n, seed, low, high)
            best = brute_force_paths(costs)
            for cycle, end in [(False, None)] + [(True, k) for k in range(1, n)]:
                solution = tourplan.solve(costs, cycle=cycle, end=end)
                path, cost = best[end]
                self.assertEqual((solution.tour, solution.cost, solution.lower_bound,
                                  solution.proven), (path, cost, cost, True), (n, seed, end))

    def test_points_and_a_time_limit_keep_the_path(self):
        chance = random.Random(3)
        points = [(chance.randint(0, 20), chance.randint(0, 20)) for _ in range(8)]
        costs = [[euc_2d(a, b) for b in points] for a in points]
        best = brute_force_paths(costs)
        for end in [None, 5]:
            solution = tourplan.solve_points(points, cycle=False, end=end)
            self.assertEqual((solution.tour, solution.cost), best[end], end)
        # Stopped early, a path still: every point once, from 0 to its end, priced as a path.
        costs = tourplan.read_tsplib(LONG).costs
        for end in [None, 17]:
            solution = tourplan.solve(costs, cycle=False, end=end, time_limit=0.5)
            self.assertEqual((solution.tour[0], sorted(solution.tour)), (0, list(range(400))))
            if end is not None:
                self.assertEqual(solution.tour[-1], end)
            self.assertEqual(solution.cost, sum(costs[a][b] for a, b in
                                                zip(solution.tour, solution.tour[1:])))
            self.assertLessEqual(solution.lower_bound, solution.cost)


class Graphs(Case):
    def setUp(self):
        super().setUp()
        try:
            import networkx
        except ImportError:
            self.skipTest("networkx is not installed")
        self.nx = networkx

    def walk_cost(self, G, walk):
        """The cost of a walk along G's edges (KeyError off them)."""
        return sum(G[a][b].get("weight", 1) for a, b in zip(walk, walk[1:]))

    def test_node_names_in_and_out_complete_or_not(self):
        nx = self.nx
        chance = random.Random(11)
        names = ["n%d" % k for k in range(8)]
        for directed, complete in [(False, True), (True, True), (False, False), (True, False)]:
            G = nx.DiGraph() if directed else nx.Graph()
            G.add_nodes_from(names)
            for a, b in itertools.permutations(names, 2):
                if (directed or a < b) and (complete or chance.random() < 0.35):
                    G.add_edge(a, b, weight=chance.randint(1, 9))
            # A ring keeps every node reachable from every other.
            for a, b in zip(names, names[1:] + names[:1]):
                if not G.has_edge(a, b):
                    G.add_edge(a, b, weight=chance.randint(1, 9))
            closure = dict(nx.all_pairs_dijkstra_path_length(G))
            if complete:
                costs = [[G[a][b]["weight"] if a != b else 0 for b in names] for a in names]
            else:
                costs = [[closure[a][b] for b in names] for a in names]
            for cycle, end in [(True, None), (False, None), (False, "n5")]:
                expected = tourplan.solve(costs, cycle=cycle,
                                          end=None if end is None else names.index(end))
                found = tourplan.solve_graph(G, cycle=cycle, end=end)
                row = (directed, complete, cycle, end)
                self.assertEqual((found.cost, found.proven), (expected.cost, True), row)
                self.assertEqual(self.walk_cost(G, found.tour), found.cost, row)
                self.assertEqual((found.tour[0], set(found.tour)), ("n0", set(names)), row)
                self.assertEqual(found.tour[-1], {True: "n0", False: end or found.tour[-1]}[cycle],
                                 row)
                if complete:
                    self.assertEqual(found.tour, [names[p] for p in expected.tour], row)

    def test_weights_starts_and_graphs_refused(self):
        nx = self.nx
        G = nx.Graph()
        G.add_weighted_edges_from([("a", "b", 2.0), ("b", "c", 3), ("c", "a", 4)])
        self.assertEqual(tourplan.solve_graph(G, start="c").tour, ["c", "a", "b", "c"])
        M = nx.MultiGraph()
        M.add_weighted_edges_from([(0, 1, 5), (0, 1, 1), (1, 2, 1), (2, 0, 1)])
        self.assertEqual(tourplan.solve_graph(M).cost, 3)
        apart = nx.Graph()
        apart.add_weighted_edges_from([(0, 1, 1), (2, 3, 1)])
        negative = nx.Graph()
        negative.add_weighted_edges_from([(0, 1, -1), (1, 2, 1)])
        for graph, keywords, message in [
            (nx.Graph([("a", "b")]), {"end": "z"}, "end: 'z' is not a node of G"),
            (nx.Graph([("a", "b")]), {"end": "a"}, "end: 'a' is the start; a path ends at "
             "another node"),
            (nx.path_graph(1), {}, "G: 1 node; a tour needs at least 2"),
            (nx.Graph([(0, 1, {"weight": 1.5})]), {},
             "edge (0, 1): weight 1.5 is not a whole number; scale and round the weights first"),
            (apart, {}, "G: no path from 0 to 2; every node must reach every other"),
            (negative, {}, "edge (0, 1): a negative weight; an incomplete graph is solved over "
             "shortest paths, which need weights of 0 or more"),
        ]:
            with self.assertRaises(ValueError) as raised:
                tourplan.solve_graph(graph, **keywords)
            self.assertEqual(str(raised.exception), message)


class Many(Case):
    def problems(self):
        chance = random.Random(5)
        points = [(chance.randint(0, 100), chance.randint(0, 100)) for _ in range(12)]
        return [random_problem(12, 1), [[0, 1], [1]], {"points": points, "metric": "ATT"},
                {"costs": random_problem(9, 2), "end": 4}, random_problem(14, 3),
                {"points": points, "metric": "NOPE"}]

    def expect_each_answer(self, results):
        self.assertEqual(len(results), 6)
        for problem, result in zip(self.problems(), results):
            try:
                if isinstance(problem, dict) and "points" in problem:
                    expected = tourplan.solve_points(**problem)
                elif isinstance(problem, dict):
                    expected = tourplan.solve(**problem)
                else:
                    expected = tourplan.solve(problem)
            except ValueError as error:
                self.assertIsInstance(result, ValueError)
                self.assertEqual(str(result), str(error))
                continue
            self.assertIsInstance(result, tourplan.Solution)
            self.assertEqual((result.tour, result.cost, result.proven),
                             (expected.tour, expected.cost, True))

    def test_one_bad_problem_among_good_ones(self):
        for processes in [1, 2, None]:
            self.expect_each_answer(tourplan.solve_many(self.problems(), processes=processes))
        self.assertEqual(tourplan.solve_many([]), [])

    def test_any_executor_and_a_local_dask_cluster(self):
        import concurrent.futures
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            self.expect_each_answer(tourplan.solve_many(self.problems(), executor=pool))
        try:
            import distributed
        except ImportError:
            self.skipTest("distributed (Dask) is not installed")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            self.expect_each_answer(tourplan.solve_many(self.problems(),
                                                        executor=client.get_executor()))

    def test_ctrl_c_ends_every_worker(self):
        # Four solves far longer than the test, over two processes: Ctrl+C must end the
        # workers, not wait for their problems.
        child = run_child(
            "import time, tourplan\n"
            "costs = tourplan.read_tsplib(%r).costs\n"
            "print('started', flush=True)\n"
            "try:\n"
            "    tourplan.solve_many([costs] * 4, processes=2)\n"
            "    print('solved')\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted %%.6f' %% time.monotonic(), flush=True)\n" % LONG)
        try:
            self.assertEqual(child.stdout.readline(), b"started\n")
            # The workers are at work once two descendants use the processor.
            deadline = time.monotonic() + 120
            while len(busy_descendants(child.pid)) < 2:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.05)
            workers = busy_descendants(child.pid)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            stdout, stderr = child.communicate(timeout=120)
        finally:
            child.kill()
            child.wait()
        self.assertEqual((child.returncode, stderr), (0, b""))
        word, when = stdout.decode().split()
        self.assertEqual(word, "interrupted")
        self.assertLess(float(when) - sent, 5)
        for pid in workers:
            self.assertFalse(alive(pid), pid)


def descendants(pid):
    """The processes below pid, from /proc."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as handle:
                    fields = handle.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            children.setdefault(int(fields[1]), []).append(int(entry))
    found, waiting = [], [pid]
    while waiting:
        for child in children.get(waiting.pop(), []):
            found.append(child)
            waiting.append(child)
    return found


def busy_descendants(pid):
    """The processes below pid that have used more than a second of processor time."""
    busy = []
    for child in descendants(pid):
        try:
            with open("/proc/%d/stat" % child) as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[11]) + int(fields[12]) > os.sysconf("SC_CLK_TCK"):
            busy.append(child)
    return busy


def alive(pid):
    """Whether pid is a process that has not ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Progress(Case):
    def test_reports_at_most_ten_a_second_and_a_raise_stops_the_solve(self):
        costs = tourplan.read_tsplib(LONG).costs
        calls = []

        class Enough(Exception):
            pass

        def note(info):
            calls.append((time.monotonic(), info))
            if len(calls) == 5:
                raise Enough("five reports")
        started = time.monotonic()
        with self.assertRaises(Enough):
            tourplan.solve(costs, progress=note)
        # Stopped at once, on the thread that called solve.
        self.assertLess(time.monotonic() - calls[-1][0], 3)
        self.assertEqual(len(calls), 5)
        for (before, _), (after, _) in zip(calls, calls[1:]):
            self.assertGreaterEqual(after - before, 0.099)
        for when, info in calls:
            self.assertIsInstance(info, tourplan.Progress)
            self.assertTrue(info.phase)
            self.assertLessEqual(info.seconds, when - started)
            if info.best is not None and info.lower_bound is not None:
                self.assertLessEqual(info.lower_bound, info.best)
        self.assertIsNotNone(calls[-1][1].best)
        self.assert_usable()
        # A solve that ends first calls nothing, and the solve past the exact range reports too.
        self.assertEqual(tourplan.solve(SMALL, progress=note).tour, [0, 2, 1, 0])
        chance = random.Random(1)
        points = [(chance.random(), chance.random()) for _ in range(6000)]
        calls.clear()
        with self.assertRaises(Enough):
            tourplan.solve_points(points, scale=10 ** 6, progress=note)
        self.assert_usable()


class Types(Case):
    def test_the_stub_gives_every_public_name_its_real_signature(self):
        with open(os.path.join(MODULE, "tourplan", "__init__.pyi")) as handle:
            stub = ast.parse(handle.read())
        functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
        classes = {node.name: node for node in stub.body if isinstance(node, ast.ClassDef)}
        self.assertEqual(sorted(functions) + sorted(classes),
                         sorted(name for name in tourplan.__all__ if name[0].islower()) +
                         sorted(name for name in tourplan.__all__ if name[0].isupper()))
        for name, node in functions.items():
            self.assertEqual(stub_parameters(node.args), real_parameters(getattr(tourplan, name)),
                             name)
        for name, node in classes.items():
            real = getattr(tourplan, name)
            fields = sorted(item.name for item in node.body if isinstance(item, ast.FunctionDef)
                            and item.name != "__init__")
            self.assertEqual(fields, sorted(attribute for attribute in vars(real)
                                            if not attribute.startswith("_")), name)

    def test_mypy_strict_takes_an_example_and_catches_a_wrong_call(self):
        command = mypy_command()
        if command is None:
            self.skipTest("mypy is not installed")
        example = os.path.join(self.folder, "example.py")
        for body, expected in [
            ("def report(info: tourplan.Progress) -> None:\n"
             "    print(info.phase, info.best, info.seconds)\n"
             "s = tourplan.solve([[0, 1], [1, 0]], cycle=False, progress=report)\n"
             "cost: int = s.cost + s.lower_bound\n"
             "p = tourplan.solve_points([(0.5, 1.0), (2.0, 3.0)], 'CEIL_2D', scale=10)\n"
             "many = tourplan.solve_many([[[0, 1], [1, 0]], {'points': [(0, 0), (1, 1)]}])\n"
             "costs = [r.cost for r in many if isinstance(r, tourplan.Solution)]\n",
             "Success"),
            ("s = tourplan.solve([[0, 1], [1, 0]], cycle=False)\n"
             "text: str = s.cost\n",
             'Incompatible types in assignment (expression has type "int", variable has '
             'type "str")'),
        ]:
            with open(example, "w") as handle:
                handle.write("import tourplan\n" + body)
            done = subprocess.run(
                command + ["--strict", "--no-incremental", "--cache-dir", os.devnull, example],
                cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                stdin=subprocess.DEVNULL, timeout=300, env=dict(os.environ, MYPYPATH=MODULE))
            self.assertIn(expected, done.stdout.decode(), body)


def stub_parameters(arguments):
    """(name, kind, default) of each parameter of a stub's function, as inspect names kinds."""
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    shown = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(positional, defaults)]
    shown += [(a.arg, "KEYWORD_ONLY", d) for a, d in zip(arguments.kwonlyargs,
                                                          arguments.kw_defaults)]
    return [(name, kind, None if d is None else ast.literal_eval(d)) for name, kind, d in shown]


def real_parameters(function):
    """The same of the module's function: from its signature, or for a compiled one from
    the first line of its docstring, which states it."""
    try:
        signature = inspect.signature(function)
    except ValueError:
        first = " ".join(function.__doc__.split("\n\n")[0].split()).split(" -> ")[0]
        tree = ast.parse("def " + first + ": pass")
        return stub_parameters(tree.body[0].args)
    return [(p.name, p.kind.name, None if p.default is p.empty else p.default)
            for p in signature.parameters.values()]


def main():
    global MODULE, SOLVE, tourplan
    for argument in list(sys.argv[1:]):
        for option in ("--module=", "--solve="):
            if argument.startswith(option):
                globals()[option[2:-1].upper()] = os.path.abspath(argument.split("=", 1)[1])
                sys.argv.remove(argument)
    if not (MODULE and SOLVE):
        sys.exit("give --module=FOLDER and --solve=PATH")
    sys.path.insert(0, MODULE)
    import tourplan as module
    tourplan = module
    unittest.main(module="__main__", verbosity=2)


if __name__ == "__main__":
    main()
