"""End to end with hostile surroundings: files that fail, odd names and kinds of file, and
limits on the process. Every run ends with the exact tour or the defined error."""
import os
import resource
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase, problem_text, tour_lines  # noqa: E402

FOUR = [[0, 1, 9, 9], [9, 0, 1, 9], [9, 9, 0, 1], [1, 9, 9, 0]]
FOUR_TOUR = tour_lines([1, 2, 3, 4, 1])
FOUR_SOLVE = b"Points: 4\r\nStep 1\r\nStep 2\r\nStep 3\r\nEnd\r\n-----\r\n"


def header(problem=b"problem.dat", solution=b"solution.txt"):
    if isinstance(problem, str):
        problem = problem.encode()
    if isinstance(solution, str):
        solution = solution.encode()
    return b"Input file: %s\r\nOutput file: %s\r\n" % (problem, solution)


class HostileCase(RunCase):
    def check_report(self, args, before_error, error, **options):
        result = self.run_tourplan(args, **options)
        self.assertEqual(result.stdout, before_error + b"Error: %d\r\n" % error)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.status, error)
        return result

    def check_solved(self, args, problem, solution, **options):
        result = self.run_tourplan(args, **options)
        self.assertEqual(result.status, 0, result.stdout)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.report_without_time(),
                         header(problem, solution) + FOUR_SOLVE + FOUR_TOUR + b"-----\r\nTime:")
        return result


class FailedWrites(HostileCase):
    def test_full_device_reports_the_tour_then_error_3(self):
        self.put("problem.dat", problem_text(FOUR))
        self.check_report(["problem.dat", "/dev/full"],
                          header("problem.dat", "/dev/full") + FOUR_SOLVE + FOUR_TOUR, 3)
        self.assertEqual(sorted(os.listdir(self.folder)), ["problem.dat"])

    def test_file_size_limit_truncates_the_solution_file(self):
        # Below the tour's size the file keeps what fitted and the run fails; at it, it succeeds.
        self.put("problem.dat", problem_text(FOUR))
        for limit in [0, 1, 10, len(FOUR_TOUR) - 1, len(FOUR_TOUR)]:
            def limit_file_size(limit=limit):
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            if limit < len(FOUR_TOUR):
                self.check_report(["problem.dat", "out.txt"],
                                  header("problem.dat", "out.txt") + FOUR_SOLVE + FOUR_TOUR, 3,
                                  preexec_fn=limit_file_size)
            else:
                self.check_solved(["problem.dat", "out.txt"], "problem.dat", "out.txt",
                                  preexec_fn=limit_file_size)
            with open(os.path.join(self.folder, "out.txt"), "rb") as handle:
                self.assertEqual(handle.read(), FOUR_TOUR[:limit], limit)


class ProblemFiles(HostileCase):
    def test_pipe_is_refused_without_being_opened(self):
        # Opening it would let a writer waiting there go on, into a pipe that is closed at once.
        pipe = os.path.join(self.folder, "pipe")
        os.mkfifo(pipe)
        writer_opened = threading.Event()

        def write_into_pipe():
            handle = os.open(pipe, os.O_WRONLY)
            writer_opened.set()
            os.close(handle)

        writer = threading.Thread(target=write_into_pipe)
        writer.start()
        try:
            time.sleep(0.3)  # the writer waits in its open
            self.check_report(["pipe"], header("pipe"), 2)
            self.assertFalse(writer_opened.wait(0.5))
        finally:
            os.close(os.open(pipe, os.O_RDONLY | os.O_NONBLOCK))  # lets the writer go
            writer.join()
        self.assertTrue(writer_opened.is_set())


class SolutionFiles(HostileCase):
    def test_pipe_without_a_reader_cannot_be_created(self):
        # Waiting for a reader could last for ever, and not even Ctrl+C would end it.
        self.put("problem.dat", problem_text(FOUR))
        os.mkfifo(os.path.join(self.folder, "pipe"))
        self.check_report(["problem.dat", "pipe"], header("problem.dat", "pipe") + FOUR_SOLVE,
                          2, timeout=20)

    def test_pipe_with_a_reader_receives_the_tour(self):
        self.put("problem.dat", problem_text(FOUR))
        os.mkfifo(os.path.join(self.folder, "pipe"))
        reader = os.open(os.path.join(self.folder, "pipe"), os.O_RDONLY | os.O_NONBLOCK)
        try:
            self.check_solved(["problem.dat", "pipe"], "problem.dat", "pipe", timeout=20)
            self.assertEqual(os.read(reader, 4096), FOUR_TOUR)
        finally:
            os.close(reader)


if __name__ == "__main__":
    harness.main()
