"""End to end: tourplan-import on the published instances, then tourplan on what it wrote."""
import os
import re
import resource
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase  # noqa: E402

IMPORT = ""
TSPLIB = os.path.join(harness.DATA, "tsplib")
RAW = os.path.join(TSPLIB, "raw")

GOOD = (b"TYPE: TSP\nDIMENSION: 3\nEDGE_WEIGHT_TYPE: EXPLICIT\nEDGE_WEIGHT_FORMAT: UPPER_ROW\n"
        b"EDGE_WEIGHT_SECTION\n1 2 3\nEOF\n")


def raw_instances():
    """(raw file name, matching .dat name) for every bundled raw instance."""
    names = sorted(os.listdir(RAW))
    return [(name, os.path.splitext(name)[0] + ".dat") for name in names]


def published_optima():
    """The optimal costs from the instances' README table: {"gr21.dat": 2707, ...}."""
    with open(os.path.join(TSPLIB, "README.md"), encoding="utf-8") as handle:
        rows = re.findall(r"^\| (\S+\.dat) \| (\d+) \| [^|]+ \| (\d+) \|", handle.read(), re.M)
    return {name: (int(points), int(cost)) for name, points, cost in rows}


def read(path):
    with open(path, "rb") as handle:
        return handle.read()


class ImportCase(RunCase):
    def run_import(self, args, stdin=None, preexec_fn=None):
        done = subprocess.run([IMPORT, *args], cwd=self.folder, input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                              preexec_fn=preexec_fn)
        return done.returncode, done.stdout, done.stderr

    def import_ok(self, args, stdin=None):
        status, stdout, stderr = self.run_import(args, stdin)
        self.assertEqual((status, stderr), (0, b""), args)
        return stdout


class PublicInstances(ImportCase):
    def test_every_raw_instance_gives_its_problem_file_byte_for_byte(self):
        pairs = raw_instances()
        self.assertEqual(len(pairs), 11)
        for raw, dat in pairs:
            # ft70 too, whose subsets would never fit: the search takes it in 1.2 MiB.
            self.assertEqual(self.run_import([os.path.join(RAW, raw), dat]), (0, b"", b""), raw)
            self.assertEqual(read(os.path.join(self.folder, dat)),
                             read(os.path.join(TSPLIB, dat)), raw)
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(dat for _, dat in pairs))


class SolvedAfterImport(ImportCase):
    def test_imported_instances_up_to_22_points_solve_to_their_optimum(self):
        optima = published_optima()
        solved = 0
        for raw, dat in raw_instances():
            points, optimum = optima[dat]
            if points > 22:
                continue
            self.import_ok([os.path.join(RAW, raw), dat])
            numbers = [int(x) for x in read(os.path.join(self.folder, dat)).split()]
            n = numbers[0]
            self.assertEqual(n, points)
            costs = [numbers[1 + r * n: 1 + (r + 1) * n] for r in range(n)]
            result = self.run_tourplan([dat, dat + ".tour"])
            self.assertEqual(result.status, 0, dat)
            tour = [int(x) for x in result.file(dat + ".tour").split()]
            self.assertEqual(sorted(tour[:-1]), list(range(1, n + 1)))
            self.assertEqual((tour[0], tour[-1]), (1, 1))
            self.assertEqual(sum(costs[a - 1][b - 1] for a, b in zip(tour, tour[1:])), optimum,
                             dat)
            solved += 1
        self.assertEqual(solved, 6)


class CommandLine(ImportCase):
    def test_dash_means_standard_input_and_output(self):
        gr17 = os.path.join(RAW, "gr17.tsp")
        expected = read(os.path.join(TSPLIB, "gr17.dat"))
        self.assertEqual(self.import_ok([gr17, "-"]), expected)
        self.assertEqual(self.import_ok(["-", "-"], stdin=read(gr17)), expected)
        self.assertEqual(self.import_ok(["-", "out.dat"], stdin=read(gr17)), b"")
        self.assertEqual(read(os.path.join(self.folder, "out.dat")), expected)

    def test_a_problem_for_the_search_gets_no_note_on_memory(self):
        # Every subset of 60 points would take 6.5e+09 GiB, but tourplan searches instead.
        nodes = "".join(f"{i} {i % 7} {i // 7}\n" for i in range(1, 61))
        self.put("big.tsp", f"TYPE: TSP\nDIMENSION: 60\nEDGE_WEIGHT_TYPE: MAN_2D\n"
                 f"NODE_COORD_SECTION\n{nodes}EOF\n".encode())
        self.assertEqual(self.run_import(["big.tsp", "big.dat"]), (0, b"", b""))
        self.assertTrue(read(os.path.join(self.folder, "big.dat")).startswith(b"60\r\n0 1 2 "))

    def test_usage(self):
        for args in ([], ["in.tsp"], ["in.tsp", "out.dat", "more"], ["--strict", "out.dat"]):
            status, stdout, stderr = self.run_import(args)
            self.assertEqual((status, stdout), (2, b""), args)
            self.assertTrue(stderr.startswith(b"usage: tourplan-import input.tsp output.dat\n"))
        status, stdout, stderr = self.run_import(["--help"])
        self.assertEqual((status, stderr), (0, b""))
        self.assertTrue(stdout.startswith(b"usage: "))
        self.assertEqual(os.listdir(self.folder), [])


class Failures(ImportCase):
    def check_failure(self, args, message, stdin=None):
        status, stdout, stderr = self.run_import(args, stdin)
        self.assertEqual(status, 1, args)
        self.assertEqual(stdout, b"")
        self.assertEqual(stderr, b"tourplan-import: " + message + b"\n")

    def test_a_fault_is_one_line_naming_the_file_and_line_and_nothing_is_written(self):
        self.put("bad.tsp", GOOD.replace(b"1 2 3", b"1 2"))
        self.check_failure(["bad.tsp", "out.dat"],
                           b"bad.tsp:7: EDGE_WEIGHT_SECTION ends after 2 of 3 numbers for"
                           b" DIMENSION 3 in UPPER_ROW")
        self.check_failure(["-", "-"], b"standard input:1: TYPE HCP is not supported"
                           b" (supported: TSP, ATSP)", stdin=b"TYPE: HCP\n")
        self.check_failure(["missing.tsp", "out.dat"],
                           b"missing.tsp: cannot open: No such file or directory")
        self.assertEqual(os.listdir(self.folder), ["bad.tsp"])

    def test_standard_output_that_cannot_be_written(self):
        self.put("good.tsp", GOOD)
        with open(os.devnull, "rb") as nothing, open("/dev/full", "wb") as full:
            done = subprocess.run([IMPORT, "good.tsp", "-"], cwd=self.folder, stdin=nothing,
                                  stdout=full, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, b"tourplan-import: standard output: cannot write:"
                         b" No space left on device\n")

    def test_a_write_cut_short_leaves_the_old_file_and_no_temporary(self):
        def small_file_limit():
            # A write past the limit fails with EFBIG, as on a full disk.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

        self.put("out.dat", b"kept")
        status, stdout, stderr = self.run_import([os.path.join(RAW, "gr21.tsp"), "out.dat"],
                                                 preexec_fn=small_file_limit)
        self.assertEqual((status, stdout), (1, b""))
        self.assertEqual(stderr, b"tourplan-import: out.dat: cannot write: File too large\n")
        self.assertEqual(os.listdir(self.folder), ["out.dat"])
        self.assertEqual(read(os.path.join(self.folder, "out.dat")), b"kept")


def main():
    global IMPORT
    for argument in list(sys.argv[1:]):
        if argument.startswith("--import="):
            IMPORT = os.path.abspath(argument.split("=", 1)[1])
            sys.argv.remove(argument)
    if not IMPORT:
        sys.exit("give --import=PATH")
    harness.main()


if __name__ == "__main__":
    main()
