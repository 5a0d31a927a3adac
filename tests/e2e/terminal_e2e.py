"""End to end at a real terminal: keys, Ctrl+C, hang-up and the terminal's mode."""
import fcntl
import os
import pty
import select
import signal
import subprocess
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import RunCase, problem_text  # noqa: E402

ASYNCHRONOUS_SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                        signal.SIGTSTP]
INTERRUPTED = b"\nAborting due to runtime error 9 (\"interrupted\" signal)\n\n"


class Terminal:
    """tourplan running with a pseudo-terminal as its controlling terminal and standard input.
    Standard output goes to a second pseudo-terminal, so that it is line-buffered and every
    line can be seen as it is printed."""

    def __init__(self, case, args, ignored=()):
        self.master, slave = pty.openpty()
        self.mode_before = termios.tcgetattr(self.master)
        self.out_master, out_slave = pty.openpty()
        attributes = termios.tcgetattr(out_slave)
        attributes[1] &= ~termios.ONLCR  # keep the bytes as the program writes them
        termios.tcsetattr(out_slave, termios.TCSANOW, attributes)

        def own_the_terminal():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)
            # What the program was given, whatever the test runner ignores.
            for number in ASYNCHRONOUS_SIGNALS:
                signal.signal(number, signal.SIG_IGN if number in ignored else signal.SIG_DFL)

        self.process = subprocess.Popen(
            [harness.BINARY, *args], cwd=case.folder, stdin=slave, stdout=out_slave,
            stderr=subprocess.PIPE, preexec_fn=own_the_terminal)
        os.close(slave)
        os.close(out_slave)
        self.output = b""

    def type(self, data):
        os.write(self.master, data)

    def wait_for_output(self, text, timeout=60):
        deadline = time.monotonic() + timeout
        while text not in self.output:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no %r in %r" % (text, self.output))
            ready, _, _ = select.select([self.out_master], [], [], left)
            if ready:
                try:
                    self.output += os.read(self.out_master, 4096)
                except OSError:
                    break

    def wait_for_key_input(self, timeout=60):
        """Waits until the pause has switched the terminal to key input."""
        deadline = time.monotonic() + timeout
        while termios.tcgetattr(self.master) == self.mode_before:
            if time.monotonic() > deadline:
                raise AssertionError("key input never began")
            time.sleep(0.01)

    def finish(self, timeout=60):
        status = self.process.wait(timeout=timeout)
        stderr = self.process.stderr.read()
        self.process.stderr.close()
        try:
            while select.select([self.out_master], [], [], 0)[0]:
                chunk = os.read(self.out_master, 4096)
                if not chunk:
                    break
                self.output += chunk
        except OSError:
            pass
        mode_after = termios.tcgetattr(self.master) if self.master is not None else None
        for fd in (self.master, self.out_master):
            if fd is not None:
                os.close(fd)
        return status, stderr, mode_after

    def hang_up(self):
        os.close(self.master)
        self.master = None


# Runs a command as a background job of a terminal session: the session's leader keeps the
# foreground, the command gets a process group of its own. A command stopped by the terminal
# is killed, and the status is 100 plus the stopping signal.
BACKGROUND_JOB = r"""
import fcntl, os, signal, sys, termios
os.setsid()
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
job = os.fork()
if job == 0:
    os.setpgid(0, 0)
    os.execv(sys.argv[1], sys.argv[1:])
_, status = os.waitpid(job, os.WUNTRACED)
if os.WIFSTOPPED(status):
    os.kill(job, signal.SIGKILL)
    os.waitpid(job, 0)
    sys.exit(100 + os.WSTOPSIG(status))
sys.exit(os.waitstatus_to_exitcode(status))
"""


def pending_signals(pid):
    """The signals sent to the process that no thread has taken yet."""
    with open("/proc/%d/status" % pid) as status:
        mask = int([line for line in status if line.startswith("ShdPnd:")][0].split()[1], 16)
    return {number for number in signal.valid_signals() if mask & (1 << (number - 1))}


def header(problem):
    return b"Input file: %s\r\nOutput file: solution.txt\r\n" % problem.encode()


def signal_during_a_solve(case, seed, sent, key, ignored=()):
    """Sends a signal (or each of a list) once a long solve is under way, to a run started
    with the ignored signals ignored; a key typed first (key) is already waiting when a
    report's pause begins. Returns the terminal, the status, stderr and the terminal's mode
    after the run."""
    case.put("problem.dat", problem_text(harness.random_problem(harness.LONG_SOLVE_POINTS, seed)))
    terminal = Terminal(case, [], ignored)
    terminal.wait_for_output(b"Step 3\r\n")
    if key:
        terminal.type(b"k")
    for one in sent if isinstance(sent, list) else [sent]:
        terminal.process.send_signal(one)
    return (terminal,) + terminal.finish(timeout=600)


class Keys(RunCase):
    def test_a_key_ends_the_pause_within_one_slice(self):
        terminal = Terminal(self, ["missing.dat"])
        terminal.wait_for_output(b"Error: 2\r\n")
        terminal.wait_for_key_input()
        time.sleep(0.5)  # the key comes in the middle of the pause, not at its start
        typed = time.monotonic()
        terminal.type(b"x")
        status, stderr, mode = terminal.finish()
        self.assertLess(time.monotonic() - typed, 0.5)
        self.assertEqual(status, 2)
        self.assertEqual(stderr, b"")
        self.assertEqual(terminal.output, header("missing.dat") + b"Error: 2\r\n")
        self.assertEqual(mode, terminal.mode_before)

    def test_a_key_typed_before_the_pause_ends_it_at_once(self):
        start = time.monotonic()
        terminal = Terminal(self, ["missing.dat"])
        terminal.type(b"q")
        status, stderr, mode = terminal.finish()
        self.assertLess(time.monotonic() - start, 2)
        self.assertEqual(status, 2)
        self.assertEqual(mode, terminal.mode_before)

    def test_a_key_at_a_terminal_that_does_not_control_the_run(self):
        # Standard input is a terminal of no session of the run's: it has no foreground job.
        start = time.monotonic()
        result = self.run_tourplan(["missing.dat"], stdin="key")
        self.assertLess(time.monotonic() - start, 2)
        self.assertEqual((result.status, result.stderr), (2, b""))

    def test_closing_the_terminal_ends_the_pause(self):
        terminal = Terminal(self, ["missing.dat"])
        terminal.wait_for_output(b"Error: 2\r\n")
        terminal.wait_for_key_input()
        closed = time.monotonic()
        terminal.hang_up()
        status, stderr, _ = terminal.finish()
        self.assertLess(time.monotonic() - closed, 1)
        self.assertEqual(status, 2)
        self.assertEqual(stderr, b"")


class Interrupts(RunCase):
    def test_ctrl_c_during_the_pause(self):
        terminal = Terminal(self, ["missing.dat"])
        terminal.wait_for_output(b"Error: 2\r\n")
        terminal.type(b"\x03")
        status, stderr, mode = terminal.finish()
        self.assertEqual(status, 9)
        self.assertEqual(stderr, INTERRUPTED)
        self.assertEqual(terminal.output, header("missing.dat") + b"Error: 2\r\n")
        self.assertEqual(mode, terminal.mode_before)

    def test_ctrl_c_during_a_long_solve(self):
        n = harness.LONG_SOLVE_POINTS
        self.put("problem.dat", problem_text(harness.random_problem(n, 7)))
        terminal = Terminal(self, [])
        terminal.wait_for_output(b"Step 3\r\n")
        terminal.type(b"\x03")
        status, stderr, mode = terminal.finish()
        self.assertEqual(status, 9)
        self.assertEqual(stderr, INTERRUPTED)
        self.assertTrue(terminal.output.startswith(header("problem.dat") + b"Points: %d\r\n" % n))
        self.assertNotIn(b"End", terminal.output)
        self.assertEqual(mode, terminal.mode_before)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "solution.txt")))

    def test_termination_request_during_a_long_solve_is_reported(self):
        terminal, status, stderr, mode = signal_during_a_solve(self, 8, signal.SIGTERM, key=True)
        self.assertEqual(status, 13)
        self.assertEqual(stderr, b"")
        self.assertTrue(terminal.output.endswith(b"\r\nError: 13\r\n"), terminal.output)
        self.assertNotIn(b"End", terminal.output)
        self.assertEqual(mode, terminal.mode_before)

    def test_termination_request_after_the_last_tour_line_is_reported(self):
        # Standard output is a pipe with room for the report up to its time line, whose write
        # then waits: the request comes once the solution file, closed after the last tour
        # line, holds the tour.
        self.put("problem.dat", problem_text([[0, 1, 9], [9, 0, 1], [1, 9, 0]]))
        before_time = (header("problem.dat") + b"Points: 3\r\nStep 1\r\nStep 2\r\nEnd\r\n"
                       b"-----\r\n 1\r\n 2\r\n 3\r\n 1\r\n-----\r\n")
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 4096)
        os.write(write_end, b"x" * (4096 - len(before_time)))
        master, slave = pty.openpty()
        os.write(master, b"k")  # for the report's pause
        process = subprocess.Popen([harness.BINARY], cwd=self.folder, stdin=slave,
                                   stdout=write_end, stderr=subprocess.PIPE)
        for fd in (write_end, slave):
            os.close(fd)
        try:
            solution = os.path.join(self.folder, "solution.txt")
            deadline = time.monotonic() + 60
            while not os.path.exists(solution) or os.path.getsize(solution) < 16:
                self.assertLess(time.monotonic(), deadline, "no tour was written")
                time.sleep(0.01)
            process.send_signal(signal.SIGTERM)
            while signal.SIGTERM in pending_signals(process.pid):
                self.assertLess(time.monotonic(), deadline, "the request was never taken")
                time.sleep(0.01)
            with os.fdopen(read_end, "rb") as pipe:
                output = pipe.read()
            status = process.wait(timeout=60)
            self.assertEqual((status, process.stderr.read()), (13, b""))
        finally:
            process.stderr.close()
            os.close(master)
        lines = output[4096 - len(before_time):].split(b"\r\n")
        self.assertEqual(b"\r\n".join(lines[:-3]) + b"\r\n", before_time)
        self.assertEqual(lines[-3][:5], b"Time:")
        self.assertEqual(lines[-2:], [b"Error: 13", b""])

    def test_quit_key_keeps_its_default_but_restores_the_terminal(self):
        terminal = Terminal(self, ["missing.dat"])
        terminal.wait_for_output(b"Error: 2\r\n")
        terminal.wait_for_key_input()
        terminal.type(b"\x1c")  # Ctrl+\
        status, stderr, mode = terminal.finish()
        self.assertEqual(status, -signal.SIGQUIT)
        self.assertEqual(mode, terminal.mode_before)

    def test_stopping_restores_the_terminal_until_continued(self):
        terminal = Terminal(self, ["missing.dat"])
        terminal.wait_for_output(b"Error: 2\r\n")
        terminal.wait_for_key_input()
        terminal.type(b"\x1a")  # Ctrl+Z
        deadline = time.monotonic() + 60
        while True:
            with open("/proc/%d/stat" % terminal.process.pid) as stat:
                if stat.read().split(") ")[1].startswith("T"):
                    break
            self.assertLess(time.monotonic(), deadline, "the run never stopped")
            time.sleep(0.02)
        self.assertEqual(termios.tcgetattr(terminal.master), terminal.mode_before)
        terminal.process.send_signal(signal.SIGCONT)
        terminal.wait_for_key_input()
        terminal.type(b"x")
        status, _, mode = terminal.finish()
        self.assertEqual(status, 2)
        self.assertEqual(mode, terminal.mode_before)


class Endings(RunCase):
    """Every other way the run can end leaves the terminal's mode as it found it."""

    def test_a_solved_run(self):
        self.put("problem.dat", problem_text(harness.random_problem(10, 3)))
        terminal = Terminal(self, [])
        status, stderr, mode = terminal.finish()
        self.assertEqual((status, stderr), (0, b""))
        self.assertIn(b"\r\nTime:", terminal.output)
        self.assertEqual(mode, terminal.mode_before)

    def test_a_pause_that_runs_its_full_time(self):
        terminal = Terminal(self, ["missing.dat"])
        status, stderr, mode = terminal.finish()
        self.assertEqual((status, stderr), (2, b""))
        self.assertEqual(terminal.output, header("missing.dat") + b"Error: 2\r\n")
        self.assertEqual(mode, terminal.mode_before)

    def test_a_background_job_pauses_without_touching_the_terminal(self):
        # Changing the mode from the background would stop the job until someone brought it
        # to the foreground; no key can reach it there, so the pause runs its full time.
        master, slave = pty.openpty()
        mode_before = termios.tcgetattr(master)
        try:
            done = subprocess.run(
                [sys.executable, "-c", BACKGROUND_JOB, harness.BINARY, "missing.dat"],
                cwd=self.folder, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                timeout=60)
            self.assertEqual((done.returncode, done.stderr), (2, b""))
            self.assertEqual(done.stdout, header("missing.dat") + b"Error: 2\r\n")
            self.assertEqual(termios.tcgetattr(master), mode_before)
        finally:
            os.close(master)
            os.close(slave)

    def test_a_hang_up_during_the_pause(self):
        # What the terminal's closing sends, with the terminal kept so that its mode can be read.
        terminal = Terminal(self, ["missing.dat"])
        terminal.wait_for_output(b"Error: 2\r\n")
        terminal.wait_for_key_input()
        terminal.process.send_signal(signal.SIGHUP)
        status, stderr, mode = terminal.finish()
        self.assertEqual((status, stderr), (2, b""))
        self.assertEqual(mode, terminal.mode_before)

    def test_signals_ignored_at_the_start_stay_ignored(self):
        # As nohup ignores the hang-up, and a script's background job Ctrl+C and Ctrl+\.
        ignored = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT]
        terminal, status, stderr, mode = signal_during_a_solve(self, 4, ignored, key=False,
                                                               ignored=ignored)
        self.assertEqual((status, stderr), (0, b""))
        self.assertIn(b"\r\nTime:", terminal.output)
        self.assertEqual(mode, terminal.mode_before)

    def test_a_hang_up_during_a_solve_keeps_its_default(self):
        terminal, status, stderr, mode = signal_during_a_solve(self, 9, signal.SIGHUP, key=False)
        self.assertEqual((status, stderr), (-signal.SIGHUP, b""))
        self.assertEqual(mode, terminal.mode_before)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "solution.txt")))

    def test_faults_and_requests_sent_during_the_pause_get_their_own_report(self):
        for sent, error in [(signal.SIGSEGV, 12), (signal.SIGBUS, 12), (signal.SIGFPE, 11),
                            (signal.SIGILL, 10), (signal.SIGABRT, 14), (signal.SIGTERM, 13)]:
            terminal = Terminal(self, ["missing.dat"])
            terminal.wait_for_output(b"Error: 2\r\n")
            terminal.wait_for_key_input()
            terminal.process.send_signal(sent)
            report = b"Error: 2\r\nError: %d\r\n" % error
            terminal.wait_for_output(report)
            terminal.type(b"k")
            status, stderr, mode = terminal.finish()
            self.assertEqual((status, stderr), (error, b""), sent)
            self.assertEqual(terminal.output, header("missing.dat") + report)
            self.assertEqual(mode, terminal.mode_before, sent)

    def test_a_segmentation_fault_sent_during_a_solve(self):
        # Whichever thread the system hands a sent fault to (the main thread, a worker, the
        # signal thread), the main thread reports it at its next safe point: no thread jumps
        # out of what it was doing (under the thread sanitizer, its bookkeeping).
        terminal, status, stderr, mode = signal_during_a_solve(self, 5, signal.SIGSEGV, key=True)
        self.assertEqual((status, stderr), (12, b""))
        self.assertTrue(terminal.output.endswith(b"\r\nError: 12\r\n"), terminal.output)
        self.assertNotIn(b"End", terminal.output)
        self.assertEqual(mode, terminal.mode_before)
        self.assertFalse(os.path.exists(os.path.join(self.folder, "solution.txt")))


if __name__ == "__main__":
    harness.main()
