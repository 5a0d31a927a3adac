"""The Python module tourplan: the tours of a brute force and of tourplan-solve, its exceptions,
Ctrl+C during a solve, and NumPy arrays."""
import atexit
import itertools
import json
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
        with self.assertRaises(ValueError) as raised:
            tourplan.solve(numpy.array([[0, 1], [1.5, 0]]))
        self.assertRegex(str(raised.exception), r"^costs row 0, column 0: .*0\.0.* is not an integer$")
        self.assert_usable()


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
