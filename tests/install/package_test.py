"""Builds the Debian package of the build folder with CPack, checks it with lintian, unpacks it
into a scratch root and uses the programs from there."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from install_test import INSTALLED_PAGES, PROGRAMS, RAW, run  # noqa: E402

CPACK = ""
BUILD = ""


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tourplan_package_")
        done = run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", cls.scratch])
        assert done.returncode == 0, done.stdout + done.stderr
        packages = glob.glob(os.path.join(cls.scratch, "*.deb"))
        assert len(packages) == 1, packages
        cls.package = packages[0]
        cls.root = os.path.join(cls.scratch, "root")
        unpacked = run(["dpkg-deb", "-x", cls.package, cls.root])
        assert unpacked.returncode == 0, unpacked.stderr
        cls.usr = os.path.join(cls.root, "usr")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_lintian_finds_no_errors(self):
        checked = run(["lintian", self.package], stdin=subprocess.DEVNULL)
        errors = [line for line in checked.stdout.decode().splitlines() if line.startswith("E: ")]
        self.assertEqual(errors, [])
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_every_companion_prints_the_package_version(self):
        version = run(["dpkg-deb", "-f", self.package, "Version"]).stdout.decode().strip()
        for program in [program for program in PROGRAMS if program != "tourplan"]:
            done = run([os.path.join(self.usr, "bin", program), "--version"],
                       stdin=subprocess.DEVNULL)
            self.assertEqual((done.returncode, done.stdout, done.stderr),
                             (0, f"{program} {version}\n".encode(), b""))
        # tourplan takes no options: --version is the name of a problem file that is not there.
        done = run([os.path.join(self.usr, "bin", "tourplan"), "--version"], cwd=self.scratch,
                   stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 2)
        self.assertTrue(done.stdout.startswith(b"Input file: --version\r\n"), done.stdout)

    def test_the_package_names_its_dependencies_and_runs_unpacked(self):
        fields = run(["dpkg-deb", "-f", self.package, "Package", "Depends"]).stdout.decode()
        self.assertIn("Package: tourplan\n", fields)
        self.assertRegex(fields, r"Depends: .*libc6 \(>= [^)]+\)")
        self.assertRegex(fields, r"Depends: .*libstdc\+\+6 \(>= [^)]+\)")
        for page in INSTALLED_PAGES:
            path = os.path.join(self.usr, "share", "man", "man1", page)
            self.assertTrue(os.path.isfile(path), page)
        work = os.path.join(self.scratch, "work")
        os.mkdir(work)
        burma = os.path.join(RAW, "burma14.tsp")
        steps = [["tourplan-import", burma, "burma14.dat"], ["tourplan", "burma14.dat", "tour"],
                 ["tourplan-check", "burma14.dat", "tour"],
                 ["tourplan-draw", burma, "tour", "burma14.svg"],
                 ["tourplan-solve", "--solution", "solved", burma]]
        self.assertEqual(sorted(step[0] for step in steps), sorted(PROGRAMS))
        stdout = {}
        for program, *args in steps:
            done = run([os.path.join(self.usr, "bin", program), *args], cwd=work,
                       stdin=subprocess.DEVNULL)
            self.assertEqual((done.returncode, done.stderr), (0, b""), program)
            stdout[program] = done.stdout
        self.assertTrue(stdout["tourplan-check"].endswith(b"\nCost: 3323\n"))  # the optimum
        self.assertTrue(stdout["tourplan-solve"].endswith(b"\nCost: 3323\n"))
        with open(os.path.join(work, "tour"), "rb") as tour, \
                open(os.path.join(work, "solved"), "rb") as solved:
            self.assertEqual(tour.read(), solved.read())

if __name__ == "__main__":
    for argument in list(sys.argv[1:]):
        if argument.startswith("--cpack="):
            CPACK = argument.split("=", 1)[1]
        elif argument.startswith("--build="):
            BUILD = argument.split("=", 1)[1]
        else:
            continue
        sys.argv.remove(argument)
    if not CPACK or not BUILD:
        sys.exit("give --cpack=PATH and --build=FOLDER")
    unittest.main(verbosity=2)
