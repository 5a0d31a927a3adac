"""Runs the real tourplan binary in a scratch folder and captures every byte it produces."""
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import termios
import unittest

BINARY = os.environ.get("TOURPLAN_BINARY", "")
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")

TIME_LINE = re.compile(rb"Time: \d+(\.\d+)?(e-\d+)?\r\n$")


class Result:
    def __init__(self, status, stdout, stderr, folder):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr
        self.folder = folder

    def file(self, name):
        path = os.path.join(self.folder, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as handle:
            return handle.read()

    def report_without_time(self):
        """The console report with the measured time cut off its last line."""
        lines = self.stdout.split(b"\r\n")
        assert lines[-1] == b"", self.stdout
        assert TIME_LINE.match(lines[-2] + b"\r\n"), self.stdout
        return b"\r\n".join(lines[:-2]) + b"\r\nTime:"


def problem_text(costs):
    """The problem file bytes of a cost matrix, CR LF line ends."""
    rows = [str(len(costs))] + [" ".join(str(c) for c in row) for row in costs]
    return ("\r\n".join(rows) + "\r\n").encode()


def tour_lines(tour):
    return b"".join(b" %d\r\n" % p for p in tour)


class RunCase(unittest.TestCase):
    """A test case with a scratch folder per test."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tourplan_e2e_")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def put(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as handle:
            handle.write(data)
        return path

    def run_tourplan(self, args=(), stdin="key", timeout=120, env=None, binary=None,
                     **options):
        """stdin: 'key' (a terminal with a key already typed, so a pause ends at once),
        'null' (no terminal: a pause lasts its full time). binary: another copy of the
        program. Further options go to subprocess.run (a user to run as, a preexec_fn setting
        limits, a standard output other than a pipe)."""
        master = slave = None
        if stdin == "key":
            master, slave = pty.openpty()
            os.write(master, b"k")
            stdin_handle = slave
        else:
            stdin_handle = subprocess.DEVNULL
        try:
            options.setdefault("stdout", subprocess.PIPE)
            done = subprocess.run([binary or BINARY, *args], cwd=self.folder,
                                  stdin=stdin_handle, stderr=subprocess.PIPE, timeout=timeout,
                                  env=env, **options)
        finally:
            for fd in (master, slave):
                if fd is not None:
                    os.close(fd)
        return Result(done.returncode, done.stdout, done.stderr, self.folder)


def main():
    global BINARY
    if len(sys.argv) > 1 and sys.argv[1].startswith("--binary="):
        BINARY = os.path.abspath(sys.argv.pop(1).split("=", 1)[1])
    if not BINARY:
        sys.exit("give --binary=PATH or TOURPLAN_BINARY")
    os.environ["TOURPLAN_BINARY"] = BINARY
    unittest.main(module="__main__", verbosity=2)


def random_problem(n, seed, low=1, high=1000):
    """A reproducible random problem: a linear congruential generator, no library needed."""
    state = seed
    costs = []
    for _ in range(n):
        row = []
        for _ in range(n):
            state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
            row.append(low + (state >> 33) % (high - low + 1))
        costs.append(row)
    return costs


# Points of a problem whose solve lasts long enough to be interrupted in the middle.
LONG_SOLVE_POINTS = 26

# Points of a TSPLIB instance far beyond what any solve proves in the seconds a test waits
# (public instances of 150 points now take a second or two).
LONG_INSTANCE_POINTS = 400


def write_long_instance(path):
    """Writes a TSPLIB instance (EUC_2D) of LONG_INSTANCE_POINTS reproducible random points in
    a square of side 10^6, named long400."""
    state = 400
    lines = ["NAME : long400", "TYPE : TSP", "DIMENSION : %d" % LONG_INSTANCE_POINTS,
             "EDGE_WEIGHT_TYPE : EUC_2D", "NODE_COORD_SECTION"]
    for k in range(LONG_INSTANCE_POINTS):
        place = []
        for _ in range(2):
            state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
            place.append((state >> 33) % 1000001)
        lines.append("%d %d %d" % (k + 1, place[0], place[1]))
    lines.append("EOF")
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
