"""Installs the build into a scratch prefix and uses what was installed: the manual pages and
the programs, as someone would after `cmake --install`."""
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

CMAKE = ""
BUILD = ""
RAW = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "tsplib", "raw")
PROGRAMS = ["tourplan", "tourplan-import", "tourplan-check", "tourplan-draw", "tourplan-solve"]
PAGES = [program + ".1" for program in PROGRAMS]
# Installed compressed, as Debian wants them.
INSTALLED_PAGES = [page + ".gz" for page in PAGES]
SECTIONS = {
    "tourplan.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "PROBLEM FILE", "CONSOLE REPORT",
                   "SOLUTION FILE", "EXIT STATUS", "FILES", "LIMITS", "EXAMPLES", "SEE ALSO"],
    "tourplan-import.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DIAGNOSTICS",
                          "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
    "tourplan-check.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DIAGNOSTICS",
                         "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
    "tourplan-draw.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DIAGNOSTICS",
                        "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
    "tourplan-solve.1": ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "DIAGNOSTICS",
                         "EXIT STATUS", "EXAMPLES", "SEE ALSO"],
}


def run(args, **options):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                          **options)


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = tempfile.mkdtemp(prefix="tourplan_install_")
        done = run([CMAKE, "--install", BUILD, "--prefix", cls.prefix])
        assert done.returncode == 0, done.stdout + done.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def installed(self, *parts):
        return os.path.join(self.prefix, *parts)

    def test_programs_and_pages_are_in_place(self):
        for program in PROGRAMS:
            self.assertTrue(os.access(self.installed("bin", program), os.X_OK), program)
        for page in INSTALLED_PAGES:
            self.assertTrue(os.path.isfile(self.installed("share", "man", "man1", page)), page)

    def test_pages_render_without_warnings(self):
        environment = dict(os.environ, MANWIDTH="80", LANG="C.UTF-8", LC_ALL="C.UTF-8")
        for page in PAGES:
            path = self.installed("share", "man", "man1", page + ".gz")
            with gzip.open(path) as handle:
                checked = run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=handle.read())
            self.assertEqual((checked.returncode, checked.stderr), (0, b""), page)
            shown = run(["man", "-l", path], env=environment)
            self.assertEqual((shown.returncode, shown.stderr), (0, b""), page)
            lines = shown.stdout.decode("utf-8").splitlines()
            self.assertEqual([line for line in lines if len(line) > 80], [], page)
            headings = [line for line in lines if line and not line[0].isspace()]
            for section in SECTIONS[page]:
                self.assertIn(section, headings, page)
            # Every page leads to every other program.
            see_also = [word.rstrip(",") for line in lines[lines.index("SEE ALSO") + 1:]
                        for word in line.split() if word.startswith("tourplan")
                        and word.rstrip(",").endswith("(1)")]
            self.assertEqual(sorted(see_also), sorted(f"{program}(1)" for program in PROGRAMS
                                                      if program + ".1" != page), page)

    def test_man_finds_the_pages_under_the_prefix(self):
        environment = dict(os.environ, MANPATH=self.installed("share", "man"))
        found = run(["man", "-w", *PROGRAMS], env=environment)
        self.assertEqual(found.returncode, 0, found.stderr)
        self.assertEqual(found.stdout.decode().split(),
                         [self.installed("share", "man", "man1", page)
                          for page in INSTALLED_PAGES])

    def test_installed_programs_solve_an_imported_instance(self):
        work = tempfile.mkdtemp(prefix="tourplan_install_run_")
        try:
            imported = run([self.installed("bin", "tourplan-import"),
                            os.path.join(RAW, "gr21.tsp"), "gr21.dat"], cwd=work)
            self.assertEqual((imported.returncode, imported.stderr), (0, b""))
            solved = run([self.installed("bin", "tourplan"), "gr21.dat"], cwd=work,
                         stdin=subprocess.DEVNULL)
            self.assertEqual((solved.returncode, solved.stderr), (0, b""))
            with open(os.path.join(work, "gr21.dat"), "rb") as handle:
                numbers = [int(x) for x in handle.read().split()]
            with open(os.path.join(work, "solution.txt"), "rb") as handle:
                tour = [int(x) for x in handle.read().split()]
            n = numbers[0]
            self.assertEqual(sorted(tour[:-1]), list(range(1, n + 1)))
            cost = sum(numbers[1 + (a - 1) * n + (b - 1)] for a, b in zip(tour, tour[1:]))
            self.assertEqual(cost, 2707)  # the published optimum of gr21
            checked = run([self.installed("bin", "tourplan-check"), "gr21.dat", "solution.txt"],
                          cwd=work)
            self.assertEqual((checked.returncode, checked.stderr), (0, b""))
            self.assertTrue(checked.stdout.endswith(b"\nCost: 2707\n"))
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    for argument in list(sys.argv[1:]):
        if argument.startswith("--cmake="):
            CMAKE = argument.split("=", 1)[1]
        elif argument.startswith("--build="):
            BUILD = argument.split("=", 1)[1]
        else:
            continue
        sys.argv.remove(argument)
    if not CMAKE or not BUILD:
        sys.exit("give --cmake=PATH and --build=FOLDER")
    unittest.main(verbosity=2)
