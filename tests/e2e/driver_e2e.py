"""End to end: the console report, the solution file, stderr and the exit status."""
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase, problem_text, tour_lines  # noqa: E402

FOUR = [[0, 1, 9, 9], [9, 0, 1, 9], [9, 9, 0, 1], [1, 9, 9, 0]]


def header(problem="problem.dat", solution="solution.txt"):
    return b"Input file: %s\r\nOutput file: %s\r\n" % (problem.encode(), solution.encode())


class NormalRuns(RunCase):
    def test_no_arguments_in_a_folder_with_only_problem_dat(self):
        self.put("problem.dat", problem_text(FOUR))
        result = self.run_tourplan()
        self.assertEqual(result.status, 0)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(
            result.report_without_time(),
            header() + b"Points: 4\r\nStep 1\r\nStep 2\r\nStep 3\r\nEnd\r\n-----\r\n"
            + tour_lines([1, 2, 3, 4, 1]) + b"-----\r\nTime:")
        self.assertEqual(result.file("solution.txt"), tour_lines([1, 2, 3, 4, 1]))
        self.assertEqual(sorted(os.listdir(self.folder)), ["problem.dat", "solution.txt"])

    def test_empty_arguments_mean_the_default_names(self):
        self.put("problem.dat", problem_text(FOUR))
        result = self.run_tourplan(["", ""])
        self.assertEqual(result.status, 0)
        self.assertTrue(result.stdout.startswith(header()))
        self.assertEqual(result.file("solution.txt"), tour_lines([1, 2, 3, 4, 1]))

    def test_named_files_and_extra_arguments(self):
        self.put("in put.txt", problem_text(FOUR))
        result = self.run_tourplan(["in put.txt", "out.txt", "ignored"])
        self.assertEqual(result.status, 0)
        self.assertTrue(result.stdout.startswith(header("in put.txt", "out.txt")))
        self.assertEqual(result.file("out.txt"), tour_lines([1, 2, 3, 4, 1]))
        self.assertIsNone(result.file("solution.txt"))

    def test_two_and_three_points(self):
        cases = [
            ([[0, 5], [7, 0]], b"Step 1\r\nStep 2\r\nEnd\r\n", [1, 2, 1]),
            ([[0, 10, 1], [1, 0, 10], [10, 1, 0]], b"Step 1\r\nStep 2\r\nEnd\r\n", [1, 3, 2, 1]),
        ]
        for costs, steps, tour in cases:
            self.put("problem.dat", problem_text(costs))
            result = self.run_tourplan()
            self.assertEqual(result.status, 0)
            self.assertEqual(result.report_without_time(),
                             header() + b"Points: %d\r\n" % len(costs) + steps + b"-----\r\n"
                             + tour_lines(tour) + b"-----\r\nTime:")
            self.assertEqual(result.file("solution.txt"), tour_lines(tour))

    def test_solution_replaces_an_existing_file_even_the_problem_file(self):
        self.put("problem.dat", problem_text(FOUR))
        self.put("solution.txt", b"x" * 1000)
        self.assertEqual(self.run_tourplan().file("solution.txt"), tour_lines([1, 2, 3, 4, 1]))
        result = self.run_tourplan(["problem.dat", "problem.dat"])
        self.assertEqual(result.status, 0)
        self.assertEqual(result.file("problem.dat"), tour_lines([1, 2, 3, 4, 1]))

    def test_costs_whose_sums_leave_64_bits_are_solved_exactly(self):
        top, bottom = 9223372036854775807, -9223372036854775808
        cases = [
            ([[0, top], [1, 0]], [1, 2, 1]),
            ([[0, bottom, 0], [0, 0, 0], [0, 0, 0]], [1, 2, 3, 1]),
            # 1-3-4-2-1 and 1-4-3-2-1 cost 2 top + 2 bottom = -2, the others more than top:
            # the lower second point wins.
            ([[0, top, top, top], [bottom, 0, top, top], [top, bottom, 0, bottom],
              [top, top, top, 0]], [1, 3, 4, 2, 1]),
        ]
        for costs, tour in cases:
            self.put("problem.dat", problem_text(costs))
            result = self.run_tourplan()
            self.assertEqual((result.status, result.stderr), (0, b""), costs)
            self.assertEqual(result.file("solution.txt"), tour_lines(tour), costs)

    def test_up_to_64_points_with_near_ties(self):
        # Costs 2 and 3 out of point 1, everything else 0: the first optimal tour goes to
        # point 4, then through the rest in order.
        for n in [40, 64]:
            self.put("problem.dat", b"%d\r\n1 2 3\r\n" % n)
            result = self.run_tourplan()
            tour = [1, 4, 2, 3] + list(range(5, n + 1)) + [1]
            self.assertEqual((result.status, result.stderr), (0, b""), n)
            self.assertEqual(result.report_without_time(),
                             header() + b"Points: %d\r\n" % n
                             + b"".join(b"Step %d\r\n" % k for k in range(1, n))
                             + b"End\r\n-----\r\n" + tour_lines(tour) + b"-----\r\nTime:")
            self.assertEqual(result.file("solution.txt"), tour_lines(tour))

    def test_short_file_reads_missing_costs_as_zero(self):
        self.put("problem.dat", b"3\r\n0 1")
        result = self.run_tourplan()
        self.assertEqual(result.status, 0)
        self.assertEqual(result.file("solution.txt"), tour_lines([1, 3, 2, 1]))


class InstanceRuns(RunCase):
    def check_optimal(self, instances):
        for name, optimum in instances:
            with open(os.path.join(harness.DATA, "tsplib", name), "rb") as handle:
                data = handle.read()
            self.put(name, data)
            numbers = [int(x) for x in data.split()]
            n = numbers[0]
            costs = [numbers[1 + r * n: 1 + (r + 1) * n] for r in range(n)]
            result = self.run_tourplan([name, name + ".tour"])
            self.assertEqual(result.status, 0, name)
            lines = result.file(name + ".tour").split(b"\r\n")
            self.assertEqual(lines[-1], b"")
            tour = [int(x) for x in lines[:-1]]
            self.assertEqual(len(tour), n + 1)
            self.assertEqual(tour[0], 1)
            self.assertEqual(tour[-1], 1)
            self.assertEqual(sorted(tour[:-1]), list(range(1, n + 1)))
            cost = sum(costs[a - 1][b - 1] for a, b in zip(tour, tour[1:]))
            self.assertEqual(cost, optimum, name)
            self.assertIn(tour_lines(tour), result.stdout)


class PublicInstances(InstanceRuns):
    def test_instances_up_to_24_points_come_out_optimal(self):
        self.check_optimal([("burma14.dat", 3323), ("ulysses16.dat", 6859), ("br17.dat", 39),
                            ("gr17.dat", 2085), ("gr21.dat", 2707), ("ulysses22.dat", 7013),
                            ("gr24.dat", 1272)])


class LargePublicInstances(InstanceRuns):
    """fri26 in two layers (about 0.3 GB), the 29-point ones by the bounded engine, ft70 by the
    branch-and-cut search."""

    def test_fri26_comes_out_optimal(self):
        self.check_optimal([("fri26.dat", 937)])

    def test_29_points_come_out_optimal(self):
        self.check_optimal([("bays29.dat", 2020), ("bayg29.dat", 1610)])

    def test_more_than_64_points_come_out_optimal(self):
        self.check_optimal([("ft70.dat", 38673)])


class ErrorReports(RunCase):
    """Each report is cut short by a key typed before it."""

    def check_report(self, args, before_error, error, solution=None):
        result = self.run_tourplan(args)
        self.assertEqual(result.stdout, before_error + b"Error: %d\r\n" % error)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.status, error)
        return result

    def test_missing_problem_file(self):
        self.check_report([], header(), 2)
        self.check_report(["nothere.dat"], header("nothere.dat"), 2)

    def test_problem_file_that_is_not_a_file(self):
        os.mkdir(os.path.join(self.folder, "folder"))
        os.mkfifo(os.path.join(self.folder, "pipe"))
        self.check_report(["folder"], header("folder"), 2)
        self.check_report(["pipe"], header("pipe"), 2)
        self.check_report(["/dev/null"], header("/dev/null"), 2)

    def test_counts_without_a_tour(self):
        for text, shown in [(b"0\r\n", b" 0"), (b"", b" 0"), (b"-3\r\n", b"-3"),
                            (b"\xef\xbb\xbf5\r\n", b" 0")]:
            self.put("problem.dat", text)
            self.check_report([], header() + b"Points:" + shown + b"\r\n", 1)
        self.put("problem.dat", b"1\r\n0\r\n")
        self.check_report([], header() + b"Points: 1\r\n", 1)

    def test_too_many_points_for_memory(self):
        # 30000 points: a 7.2 GB matrix, which a large machine can hold; the short file ends
        # the reading at once and the solver refuses the size, whose search would need 58 GB,
        # without reading the matrix (on a machine that has them, the search would begin).
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        for n in [30000, 1000000, 9223372036854775807]:
            if n == 30000 and memory > 50 * 1024 ** 3:
                continue
            self.put("problem.dat", b"%d\r\n1 2 3\r\n" % n)
            self.check_report([], header() + b"Points: %d\r\n" % n, 4)

    def test_a_termination_request_during_a_large_solve_is_reported_within_a_second(self):
        # Every phase of the search looks at pending signals (and the clock) often: the
        # report comes about a second after the request at most (a wide margin here: a busy
        # machine, and the sanitizers' slower code), however large the problem.
        sanitized = bool(os.environ.get("TOURPLAN_SANITIZE"))
        n = 500 if sanitized else 1500
        self.put("problem.dat", problem_text(harness.random_problem(n, 3)))
        size = os.path.getsize(os.path.join(self.folder, "problem.dat"))
        process = subprocess.Popen([harness.BINARY, "problem.dat"], cwd=self.folder,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        try:
            # The solve has begun once the whole file has been read.
            deadline = time.monotonic() + 120
            while read_so_far(process.pid) < size:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            sent = time.monotonic()
            process.send_signal(signal.SIGTERM)
            output = b""
            while not output.endswith(b"Error: 13\r\n"):
                chunk = os.read(process.stdout.fileno(), 4096)
                self.assertTrue(chunk, output)
                output += chunk
            self.assertLess(time.monotonic() - sent, 15 if sanitized else 3)
            self.assertEqual(process.wait(timeout=60), 13)
        finally:
            process.kill()
            process.wait()
            process.stdout.close()
            process.stderr.close()
        self.assertEqual(output, header() + b"Points: %d\r\nError: 13\r\n" % n)

    def test_solution_file_that_cannot_be_created(self):
        self.put("problem.dat", problem_text(FOUR))
        report = header("problem.dat", "no/such/folder.txt") + (
            b"Points: 4\r\nStep 1\r\nStep 2\r\nStep 3\r\nEnd\r\n-----\r\n")
        self.check_report(["problem.dat", "no/such/folder.txt"], report, 2)
        self.assertEqual(os.listdir(self.folder), ["problem.dat"])


def read_so_far(pid):
    """The bytes the process has read so far, from the system's count."""
    with open("/proc/%d/io" % pid) as counts:
        for line in counts:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    return 0


class PauseWithoutTerminal(RunCase):
    def test_report_pauses_five_seconds_when_no_key_can_come(self):
        start = time.monotonic()
        result = self.run_tourplan(["missing.dat"], stdin="null")
        elapsed = time.monotonic() - start
        self.assertEqual(result.status, 2)
        self.assertEqual(result.stdout, header("missing.dat") + b"Error: 2\r\n")
        self.assertGreaterEqual(elapsed, 4.9)


if __name__ == "__main__":
    harness.main()
