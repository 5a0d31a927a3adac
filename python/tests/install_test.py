"""pip install --no-build-isolation of the source tree, offline, into a scratch folder; the
installed module then solves a problem in a fresh interpreter that finds it there."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = ""


class Install(unittest.TestCase):
    def test_pip_builds_and_installs_the_module_offline(self):
        folder = tempfile.mkdtemp(prefix="tourplan_install_")
        try:
            target = os.path.join(folder, "site")
            environment = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", HOME=folder)
            done = subprocess.run(
                [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                 "--no-deps", "--no-cache-dir", "--target", target, SOURCE],
                cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT, env=environment, timeout=1500)
            self.assertEqual(done.returncode, 0, done.stdout.decode(errors="replace"))
            done = subprocess.run(
                [sys.executable, "-c", "import tourplan; print(tourplan.__file__); "
                 "print(tourplan.solve([[0, 5, 1], [1, 0, 5], [5, 1, 0]]))"],
                cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
                env=dict(os.environ, PYTHONPATH=target))
            self.assertEqual(done.stderr, b"")
            where, solution = done.stdout.decode().splitlines()
            self.assertEqual(os.path.dirname(where), target)
            self.assertTrue(solution.startswith(
                "Solution(tour=[0, 2, 1, 0], cost=3, proven=True, lower_bound=3, seconds="),
                solution)
            # The wheel's record names what was installed.
            info = [name for name in os.listdir(target) if name.endswith(".dist-info")]
            self.assertEqual(info, ["tourplan-%s.dist-info" % version()])
        finally:
            shutil.rmtree(folder, ignore_errors=True)


def version():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as handle:
        for line in handle:
            if line.startswith("project(tourplan VERSION "):
                return line.split()[2]
    raise AssertionError("no version in CMakeLists.txt")


if __name__ == "__main__":
    for argument in list(sys.argv[1:]):
        if argument.startswith("--source="):
            SOURCE = os.path.abspath(argument.split("=", 1)[1])
            sys.argv.remove(argument)
    if not SOURCE:
        sys.exit("give --source=FOLDER")
    unittest.main(verbosity=2)
