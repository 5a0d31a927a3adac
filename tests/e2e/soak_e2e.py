"""Soak: a few hundred back-to-back runs of good and bad files in one scratch folder.

Every run must end with its exact status and console report, nothing on stderr (under the
AddressSanitizer build: no report and no leak), the same tour every time for the same
problem, an optimal one, and no file in the folder but the problems and the solutions
that good runs wrote."""
import itertools
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase  # noqa: E402

# Under a sanitizer every run starts an instrumented process; a third of the runs still meets
# every case several times.
RUNS = 100 if os.environ.get("TOURPLAN_SANITIZE") else 300


def header(problem, solution):
    return b"Input file: %s\r\nOutput file: %s\r\n" % (problem.encode(), solution.encode())


def steps(n):
    return b"".join(b"Step %d\r\n" % k for k in range(1, max(2, n - 1) + 1)) + b"End\r\n"


def optimum(costs):
    n = len(costs)
    return min(sum(costs[a][b] for a, b in zip((0,) + order, order + (0,)))
               for order in itertools.permutations(range(1, n)))


def written(value, rng):
    """The value in one of the notations the reader accepts, chosen at random."""
    forms = [str(value), '"%d"' % value, "%d.0" % value, "%de0" % value, "%d.4" % value,
             "%dabc" % value]
    if value >= 0:
        forms += ["+%d" % value, "&H%X" % value, "&h%x" % value, "&O%o" % value, "&%o" % value,
                  "&B{:b}".format(value)]
    if value >= 0 and value % 2 == 0:
        forms.append("%d.5" % value)  # halves go to the even neighbour
    return rng.choice(forms)


def problem_bytes(costs, rng):
    n = len(costs)
    line_end = rng.choice(["\n", "\r\n", "\r"])
    separator = rng.choice([" ", "\t", ",", ", ", " ,", "  "])
    rows = [separator.join(written(c, rng) for c in row) for row in costs]
    text = line_end.join([written(n, rng)] + rows) + line_end
    if rng.random() < 0.3:
        text += "\x1a trailing bytes that are never read"
    return text.encode()


class Soak(RunCase):
    def check_tour(self, tour_bytes, costs, where):
        n = len(costs)
        tour = [int(x) for x in tour_bytes.split()]
        self.assertEqual(sorted(tour[:-1]), list(range(1, n + 1)), where)
        self.assertEqual((tour[0], tour[-1]), (1, 1), where)
        cost = sum(costs[a - 1][b - 1] for a, b in zip(tour, tour[1:]))
        self.assertEqual(cost, optimum(costs), where)

    def check_good_run(self, result, problem, solution, costs, tours, where):
        """Checks a run of a good problem; true when it wrote its solution file."""
        n = len(costs)
        solved = header(problem, solution) + b"Points: %d\r\n" % n + steps(n) + b"-----\r\n"
        status = {problem + ".tour": 0, "/dev/full": 3}.get(solution, 2)
        # The tour is shown unless the solution file could not be created.
        tour_bytes = b""
        if status != 2:
            tour_bytes = result.stdout[len(solved):].split(b"-----")[0].split(b"Error:")[0]
            if problem not in tours:
                self.check_tour(tour_bytes, costs, where)
                tours[problem] = tour_bytes
            self.assertEqual(tour_bytes, tours[problem], where)
        if status != 0:
            self.assertEqual((result.status, result.stdout),
                             (status, solved + tour_bytes + b"Error: %d\r\n" % status), where)
            return False
        self.assertEqual((result.status, result.report_without_time()),
                         (0, solved + tour_bytes + b"-----\r\nTime:"), where)
        self.assertEqual(result.file(solution), tour_bytes, where)
        return True

    def test_hundreds_of_runs(self):
        rng = random.Random(20240611)
        os.mkdir(os.path.join(self.folder, "folder"))
        os.mkfifo(os.path.join(self.folder, "pipe"))
        good = {}
        for index in range(16):
            n = 2 + index % 7
            costs = [[0 if r == c else rng.randint(-20, 999) for c in range(n)] for r in range(n)]
            name = "good%02d.dat" % index
            self.put(name, problem_bytes(costs, rng))
            good[name] = costs
        # Path costs far beyond 64 bits, written plainly (a fraction would round them).
        top, bottom = 9223372036854775807, -9223372036854775808
        huge = [[0, top, bottom, 5], [top, 0, top, bottom], [bottom, 7, 0, top], [top, -1, top, 0]]
        self.put("huge.dat", harness.problem_text(huge))
        good["huge.dat"] = huge
        bad = {  # name: (bytes or None for what the folder already holds, console, status)
            "empty.dat": (b"", b"Points: 0\r\n", 1),
            "one.dat": (b"1\r\n0\r\n", b"Points: 1\r\n", 1),
            "mark.dat": (b"\xef\xbb\xbf3\r\n0 1 2\r\n", b"Points: 0\r\n", 1),
            "vast.dat": (b"30000\r\n1 2 3\r\n", b"Points: 30000\r\n", 4),
            "folder": (None, b"", 2),
            "pipe": (None, b"", 2),
            "missing.dat": (None, b"", 2),
        }
        for name, (data, _, _) in bad.items():
            if data is not None:
                self.put(name, data)
        problems = set(os.listdir(self.folder))

        cases = [(name, name + ".tour") for name in good] * 4
        cases += [(name, solution) for name in list(good)[:4]
                  for solution in ["/dev/full", "no/such/folder.txt", "folder"]]
        cases += [(name, name + ".tour") for name in bad] * 2
        schedule = [rng.choice(cases) for _ in range(RUNS)]

        env = dict(os.environ)
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=1"
        tours = {}
        written_solutions = set()
        for run, (problem, solution) in enumerate(schedule):
            where = "run %d: %s %s" % (run, problem, solution)
            result = self.run_tourplan([problem, solution], env=env)
            self.assertEqual(result.stderr, b"", where)
            if problem in bad:
                _, console, status = bad[problem]
                self.assertEqual((result.status, result.stdout),
                                 (status, header(problem, solution) + console
                                  + b"Error: %d\r\n" % status), where)
            elif self.check_good_run(result, problem, solution, good[problem], tours, where):
                written_solutions.add(solution)
            self.assertEqual(set(os.listdir(self.folder)), problems | written_solutions, where)
            self.assertEqual(os.listdir(os.path.join(self.folder, "folder")), [], where)
        self.assertEqual(written_solutions, {name + ".tour" for name in good})


if __name__ == "__main__":
    harness.main()
