"""End to end with hostile surroundings: files that fail, odd names and kinds of file, and
limits on the process. Every run ends with the exact tour or the defined error."""
import fcntl
import grp
import os
import pwd
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase, problem_text, tour_lines  # noqa: E402

FOUR = [[0, 1, 9, 9], [9, 0, 1, 9], [9, 9, 0, 1], [1, 9, 9, 0]]
FOUR_TOUR = tour_lines([1, 2, 3, 4, 1])
FOUR_SOLVE = b"Points: 4\r\nStep 1\r\nStep 2\r\nStep 3\r\nEnd\r\n-----\r\n"


def ancestors(path):
    while path != os.path.dirname(path):
        path = os.path.dirname(path)
        yield path


F_SETPIPE_SZ = 1031


def kernel_wait(pid):
    """Where the process's main thread sleeps in the kernel ('' when it runs)."""
    try:
        with open("/proc/%d/wchan" % pid) as wchan:
            return wchan.read()
    except OSError:
        return ""


def wait_until(condition, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("no %s in %d s" % (what, timeout))
        time.sleep(0.01)


def header(problem=b"problem.dat", solution=b"solution.txt"):
    if isinstance(problem, str):
        problem = problem.encode()
    if isinstance(solution, str):
        solution = solution.encode()
    return b"Input file: %s\r\nOutput file: %s\r\n" % (problem, solution)


class HostileCase(RunCase):
    def put(self, name, data):
        return super().put(os.fsdecode(name), data)

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

    def as_another_user(self):
        """Options that run tourplan where permissions apply: root passes every check, so root
        runs it as 'nobody' in a scratch folder open to all, from a copy of the binary beside
        it (the build may lie in a folder that only its owner can enter)."""
        if os.geteuid() != 0:
            return {}
        try:
            pwd.getpwnam("nobody")
            grp.getgrnam("nogroup")
        except KeyError:
            self.skipTest("running as root without a user 'nobody' to run as")
        shelf = tempfile.mkdtemp(prefix="tourplan_bin_")
        self.addCleanup(shutil.rmtree, shelf, ignore_errors=True)
        binary = os.path.join(shelf, "tourplan")
        shutil.copy(harness.BINARY, binary)
        for path in [self.folder, shelf, binary]:
            os.chmod(path, 0o755)
        closed = [folder for path in [self.folder, shelf] for folder in ancestors(path)
                  if not os.stat(folder).st_mode & 0o001]
        if closed:
            self.skipTest("other users cannot enter %s, where scratch folders go" % closed[0])
        return {"user": "nobody", "group": "nogroup", "extra_groups": [], "binary": binary}

    def deep_folder(self, component, total):
        """A folder path relative to the scratch folder, made of components of the given
        length, at least total bytes long."""
        path = b""
        while len(path) < total:
            path = os.path.join(path, b"d" * component)
        return path


class FailedWrites(HostileCase):
    def test_full_device_reports_the_tour_then_error_3(self):
        self.put("problem.dat", problem_text(FOUR))
        self.check_report(["problem.dat", "/dev/full"],
                          header("problem.dat", "/dev/full") + FOUR_SOLVE + FOUR_TOUR, 3)
        self.assertEqual(sorted(os.listdir(self.folder)), ["problem.dat"])

    def test_a_console_that_cannot_take_the_report(self):
        # The solution file is written all the same, and the run ends with 3 at once: the
        # report that could not be shown is not shown again, and there is no pause for it
        # (with no terminal a pause would last five seconds). A failure of the run itself keeps
        # its own number.
        self.put("problem.dat", problem_text(FOUR))
        read_end, closed_pipe = os.pipe()
        os.close(read_end)
        with open("/dev/full", "wb") as full:
            for name, args, status, options in [
                    ("full device", ["problem.dat", "out.txt"], 3, {"stdout": full}),
                    ("closed pipe", ["problem.dat", "out.txt"], 3, {"stdout": closed_pipe}),
                    ("closed", ["problem.dat", "out.txt"], 3,
                     {"stdout": subprocess.DEVNULL, "preexec_fn": lambda: os.close(1)}),
                    ("full device", ["missing.dat", "out.txt"], 2, {"stdout": full})]:
                if os.path.exists(os.path.join(self.folder, "out.txt")):
                    os.remove(os.path.join(self.folder, "out.txt"))
                result = self.run_tourplan(args, stdin="null", timeout=4, **options)
                self.assertEqual((result.status, result.stderr), (status, b""), name)
                self.assertEqual(result.file("out.txt"), FOUR_TOUR if status == 3 else None, name)
        os.close(closed_pipe)

    def test_ctrl_c_while_the_console_is_blocked(self):
        # Standard output is a full pipe that nobody reads: the first line's write blocks for
        # ever. An interrupt still ends the run at once; the line that could not be written is
        # left behind rather than waited for.
        self.put("problem.dat", problem_text(FOUR))
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, F_SETPIPE_SZ, 4096)
        os.set_blocking(write_end, False)
        try:
            while True:
                os.write(write_end, b"x" * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(write_end, True)
        process = subprocess.Popen([harness.BINARY, "problem.dat", "out.txt"], cwd=self.folder,
                                   stdin=subprocess.DEVNULL, stdout=write_end,
                                   stderr=subprocess.PIPE)
        os.close(write_end)
        try:
            wait_until(lambda: "pipe_write" in kernel_wait(process.pid), "a blocked write")
            process.send_signal(signal.SIGINT)
            stderr = process.communicate(timeout=60)[1]
        finally:
            process.kill()
            os.close(read_end)
        self.assertEqual((process.returncode, stderr),
                         (9, b"\nAborting due to runtime error 9 (\"interrupted\" signal)\n\n"))

    def test_file_size_limit_truncates_the_solution_file(self):
        # Below the tour's size the file keeps what fitted and the run fails; at it, it succeeds.
        # (No limit of 0: the ThreadSanitizer runtime writes a file of its own before main.)
        self.put("problem.dat", problem_text(FOUR))
        for limit in [1, 10, len(FOUR_TOUR) - 1, len(FOUR_TOUR)]:
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
    def test_what_is_not_a_regular_file_is_error_2(self):
        os.mkdir(os.path.join(self.folder, "folder"))
        self.put("problem.dat", problem_text(FOUR))
        os.symlink("folder", os.path.join(self.folder, "to-folder"))
        os.symlink("nowhere", os.path.join(self.folder, "dangling"))
        os.symlink("loop", os.path.join(self.folder, "loop"))
        listening = socket.socket(socket.AF_UNIX)
        listening.bind(os.path.join(self.folder, "socket"))
        try:
            for name in ["to-folder", "dangling", "loop", "socket", "/dev/zero", "/dev/tty",
                         "problem.dat/", "problem.dat/x", "folder/"]:
                self.check_report([name], header(name), 2)
        finally:
            listening.close()

    def test_regular_file_whose_size_cannot_be_known(self):
        # The memory of the process itself: a regular file that allows no seek to its end.
        # The open refuses it as an illegal function call, before N is read.
        self.check_report(["/proc/self/mem"], header("/proc/self/mem"), 1)

    def test_links_to_a_regular_file_are_read(self):
        self.put("problem.dat", problem_text(FOUR))
        os.symlink("problem.dat", os.path.join(self.folder, "symbolic"))
        os.link(os.path.join(self.folder, "problem.dat"), os.path.join(self.folder, "hard"))
        for name in ["symbolic", "hard", "./problem.dat", os.path.join(self.folder, "problem.dat")]:
            self.check_solved([name], name, "solution.txt")

    def test_unreadable_file_and_unsearchable_folder(self):
        options = self.as_another_user()
        self.put("problem.dat", problem_text(FOUR))
        os.chmod(os.path.join(self.folder, "problem.dat"), 0)
        os.mkdir(os.path.join(self.folder, "closed"))
        self.put("closed/problem.dat", problem_text(FOUR))
        os.chmod(os.path.join(self.folder, "closed"), 0o600)  # no search, even for its owner
        try:
            for name in ["problem.dat", "closed/problem.dat"]:
                self.check_report([name, "out.txt"], header(name, "out.txt"), 2, **options)
        finally:
            os.chmod(os.path.join(self.folder, "closed"), 0o700)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "out.txt")))

    def test_names_with_spaces_and_bytes_that_are_not_ascii(self):
        for name in [b"  ", b"-h", b"\xc3\xa9t\xc3\xa9 1.dat", b"\xff\xfe\x01\x7f.dat",
                     b"\\*?[\"'$x;|&.dat"]:
            self.put(name, problem_text(FOUR))
            self.check_solved([name, name + b".out"], name, name + b".out")
            with open(os.path.join(self.folder.encode(), name + b".out"), "rb") as handle:
                self.assertEqual(handle.read(), FOUR_TOUR)

    def test_long_names(self):
        # One component at the system's limit, one past it; a path of over 3800 bytes that
        # exists, and some past 4096.
        folder = self.deep_folder(255, 3500)
        os.makedirs(os.path.join(self.folder.encode(), folder))
        inside = os.path.join(folder, b"p" * 255)
        self.put(inside, problem_text(FOUR))
        self.put(b"p" * 255, problem_text(FOUR))
        self.check_solved([b"p" * 255], b"p" * 255, b"solution.txt")
        self.check_solved([inside], inside, b"solution.txt")
        for name in [b"p" * 256, os.path.join(folder, b"p" * 256), self.deep_folder(255, 4100),
                     b"./" * 2100 + b"problem.dat"]:
            self.check_report([name], header(name), 2)
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
    def test_what_cannot_be_created_is_error_2(self):
        self.put("problem.dat", problem_text(FOUR))
        os.mkdir(os.path.join(self.folder, "folder"))
        for name in [b"folder", b"folder/", b".", b"problem.dat/out.txt", b"o" * 256,
                     self.deep_folder(255, 4100) + b"/out.txt", b"./" * 2100 + b"out.txt"]:
            self.check_report([b"problem.dat", name],
                              header(b"problem.dat", name) + FOUR_SOLVE, 2)
        self.assertEqual(sorted(os.listdir(self.folder)), ["folder", "problem.dat"])

    def test_read_only_file_and_folder(self):
        options = self.as_another_user()
        self.put("problem.dat", problem_text(FOUR))
        self.put("kept.txt", b"kept")
        os.chmod(os.path.join(self.folder, "kept.txt"), 0o444)
        os.mkdir(os.path.join(self.folder, "closed"))
        os.chmod(os.path.join(self.folder, "closed"), 0o555)
        for name in ["kept.txt", "closed/out.txt"]:
            self.check_report(["problem.dat", name], header("problem.dat", name) + FOUR_SOLVE, 2,
                              **options)
        self.assertEqual(self.run_tourplan().file("kept.txt"), b"kept")
        self.assertEqual(os.listdir(os.path.join(self.folder, "closed")), [])

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


GIGABYTE = 1 << 30


class MemoryLimits(HostileCase):
    """Under 1 GiB: 27 points (1.7 GB as a full table, 0.55 GB in two layers), 29 points (2.2 GB
    even in two layers, little for the branch-and-cut search), fri26 and the smaller public
    instances solve to the same bytes as without a limit; a problem whose search would outgrow
    the limit is refused with error 4."""

    def instance(self, name):
        path = os.path.join(harness.DATA, "tsplib", name)
        if os.path.exists(path):
            with open(path, "rb") as handle:
                self.put(name, handle.read())

    def check_limited(self, **options):
        self.put("random29.dat", problem_text(harness.random_problem(29, 5)))
        fitting = ["gr21.dat", "ulysses22.dat", "random29.dat"]
        if not os.environ.get("TOURPLAN_SANITIZE"):
            # A sanitizer's shadow memory would not fit beside these, and it would take long.
            self.put("random27.dat", problem_text(harness.random_problem(27, 5)))
            fitting += ["fri26.dat", "random27.dat"]
            # 5000 points: the search's tables (64 bytes a pair of points, 1.6 GB) would not fit.
            self.put("large.dat", b"5000\r\n" + (b"1 " * 5000 + b"\r\n") * 5000)
            result = self.run_tourplan(["large.dat"], **options)
            self.assertEqual((result.status, result.stderr), (4, b""))
            self.assertTrue(result.stdout.startswith(header("large.dat") + b"Points: 5000\r\n"))
            self.assertTrue(result.stdout.endswith(b"\r\nError: 4\r\n"), result.stdout)
            self.assertFalse(os.path.exists(os.path.join(self.folder, "solution.txt")))
        for name in fitting:
            self.instance(name)
            free = self.run_tourplan([name, name + ".free"])
            limited = self.run_tourplan([name, name + ".limited"], **options)
            self.assertEqual((limited.status, limited.stderr), (0, b""), limited.stdout)
            self.assertEqual(limited.report_without_time(),
                             free.report_without_time().replace(b".free", b".limited"))
            self.assertEqual(limited.file(name + ".limited"), free.file(name + ".free"))
            self.assertEqual(free.status, 0)

    def test_address_space_limit(self):
        if os.environ.get("TOURPLAN_SANITIZE"):
            self.skipTest("a sanitizer's shadow memory does not fit under the limit")

        def limit_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (GIGABYTE, GIGABYTE))
        self.check_limited(preexec_fn=limit_address_space)

    def test_control_group_limit(self):
        group = self.memory_group(GIGABYTE)

        def enter_group():
            with open(os.path.join(group, "cgroup.procs"), "w") as procs:
                procs.write(str(os.getpid()))
        self.check_limited(preexec_fn=enter_group)

    def memory_group(self, limit):
        """A new control group below this process's own, in the first layout's memory
        hierarchy, limited to limit bytes and removed after the test."""
        own = None
        with open("/proc/self/cgroup") as groups:
            for line in groups:
                number, controllers, path = line.rstrip("\n").split(":", 2)
                if "memory" in controllers.split(","):
                    own = path
        base = "/sys/fs/cgroup/memory" + (own or "")
        if own is None or not os.path.isfile(os.path.join(base, "memory.limit_in_bytes")):
            self.skipTest("no memory control group of the first layout here")
        group = os.path.join(base, "tourplan-test-%d" % os.getpid())
        try:
            os.mkdir(group)
        except OSError as error:
            self.skipTest("cannot create a control group: %s" % error)
        self.addCleanup(os.rmdir, group)
        with open(os.path.join(group, "memory.limit_in_bytes"), "w") as limit_file:
            limit_file.write(str(limit))
        return group


if __name__ == "__main__":
    harness.main()
