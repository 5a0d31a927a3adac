"""Builds the Debian package of the build folder with CPack, unpacks it into a scratch root and
uses the programs from there."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from install_test import PAGES, PROGRAMS, RAW, run  # noqa: E402

CPACK = ""
BUILD = ""


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="tourplan_package_")
        done = run([CPACK, "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                    "-B", cls.scratch])
        assert done.returncode == 0, done.stdout + done.stderr
        cls.packages = glob.glob(os.path.join(cls.scratch, "*.deb"))
        cls.root = os.path.join(cls.scratch, "root")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_the_package_names_its_dependencies_and_runs_unpacked(self):
        self.assertEqual(len(self.packages), 1)
        package = self.packages[0]
        fields = run(["dpkg-deb", "-f", package, "Package", "Depends"]).stdout.decode()
        self.assertIn("Package: tourplan\n", fields)
        self.assertRegex(fields, r"Depends: .*libc6 \(>= [^)]+\)")
        self.assertRegex(fields, r"Depends: .*libstdc\+\+6 \(>= [^)]+\)")
        unpacked = run(["dpkg-deb", "-x", package, self.root])
        self.assertEqual(unpacked.returncode, 0, unpacked.stderr)
        usr = os.path.join(self.root, "usr")
        for page in PAGES:
            self.assertTrue(os.path.isfile(os.path.join(usr, "share", "man", "man1", page)), page)
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
            done = run([os.path.join(usr, "bin", program), *args], cwd=work,
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
