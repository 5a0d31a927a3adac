"""pip install --no-build-isolation of the source tree, offline, into a scratch folder; the
installed package then solves a problem in a fresh interpreter that finds it there, and mypy
finds its types there (where mypy is installed)."""
import os
import shutil
import subprocess
import sys
import sysconfig
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
            self.assertEqual(where, os.path.join(target, "tourplan", "__init__.py"))
            self.assertEqual(sorted(os.listdir(os.path.join(target, "tourplan"))),
                             sorted(["__init__.py", "__init__.pyi", "py.typed", "__pycache__",
                                     "_tourplan" + sysconfig.get_config_var("EXT_SUFFIX")]))
            self.assertTrue(solution.startswith(
                "Solution(tour=[0, 2, 1, 0], cost=3, proven=True, lower_bound=3, seconds="),
                solution)
            # The wheel's record names what was installed.
            info = [name for name in os.listdir(target) if name.endswith(".dist-info")]
            self.assertEqual(info, ["tourplan-%s.dist-info" % version()])
            # A type checker takes the installed package's types, by its py.typed: a wrong
            # type is an error, as it would not be for a package without types.
            mypy = mypy_command()
            if mypy is None:
                return
            example = os.path.join(folder, "example.py")
            with open(example, "w") as handle:
                handle.write("import tourplan\ntext: str = tourplan.solve([[0, 1], [1, 0]]).cost\n")
            done = subprocess.run(
                mypy + ["--strict", "--no-incremental", "--cache-dir", os.devnull,
                        "--python-executable", sys.executable, example],
                cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                stdin=subprocess.DEVNULL, env=dict(os.environ, PYTHONPATH=target))
            self.assertIn('example.py:2: error: Incompatible types in assignment (expression has '
                          'type "int", variable has type "str")', done.stdout.decode())
        finally:
            shutil.rmtree(folder, ignore_errors=True)


def mypy_command():
    """Debian's mypy, or the one this interpreter has; None where there is neither."""
    try:
        import mypy  # noqa: F401
        return [sys.executable, "-m", "mypy"]
    except ImportError:
        found = shutil.which("mypy")
        return [found] if found else None


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
