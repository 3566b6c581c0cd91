"""The package's command runner, running real processes."""

import math
import os
import pathlib
import pickle
import pty
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest
from unittest import mock

import vellomar.printing.cups.call as call_module
from vellomar.printing.cups.call import CommandFailed, OutputTooLarge, Timeouts, call

# Where the package under test is imported from, for child interpreters.
PACKAGE_ROOT = call_module.__file__
for _ in range(4):
    PACKAGE_ROOT = os.path.dirname(PACKAGE_ROOT)


def python(code):
    return [sys.executable, "-c", code]


def state(pid):
    """The one-letter state of a process, or None when there is none."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return None


def wait_gone(test, pids, why, seconds=20.0):
    """Fails unless every pid is gone or a zombie within seconds: a killed
    orphan's zombie lasts until pid 1 reaps it, which a container's may not."""
    end = time.monotonic() + seconds
    while True:
        alive = [pid for pid in pids if state(pid) not in (None, "Z", "X")]
        if not alive:
            return
        if time.monotonic() > end:
            test.fail("%s: %s still running" % (why, alive))
        time.sleep(0.05)


def group_members(pgid):
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if fields[2] == str(pgid) and fields[0] not in ("Z", "X"):
            members.append(entry)
    return members


def child_python(code, **kwargs):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), **kwargs)


class CallTest(unittest.TestCase):
    def test_returns_both_outputs_as_text_with_the_given_environment(self):
        out, err = call(python("import os, sys; print(os.environ['PROBE']); "
                               "sys.stderr.write('warn\\n'); sys.stdout.flush(); "
                               "sys.stdout.buffer.write(b'\\xff')"),
                        dict(os.environ, PROBE="seen"))
        self.assertEqual((out, err), ("seen\n\udcff", "warn\n"))

    def test_failures_to_run_are_os_errors(self):
        with self.assertRaises(FileNotFoundError):
            call(["/nonexistent/cups-config"], {})
        with self.assertRaises(FileNotFoundError) as caught:
            call(["cups-config-nonexistent"], {"PATH": "/nonexistent"})
        self.assertEqual(str(caught.exception),
                         "[Errno 2] No such file or directory: 'cups-config-nonexistent'")
        with tempfile.TemporaryDirectory() as tmp:
            with self.assertRaises(PermissionError):
                call([tmp], {})
            # A script whose interpreter is missing fails to start, as in
            # subprocess (valgrind, tracing children, runs such a script
            # itself and reports status 126).
            script = os.path.join(tmp, "script")
            with open(script, "w") as f:
                f.write("#!/nonexistent/interpreter\n")
            os.chmod(script, 0o755)
            if os.environ.get("PYTHONMALLOC") != "malloc":
                with self.assertRaises(FileNotFoundError) as caught:
                    call([script], {})
                with self.assertRaises(FileNotFoundError) as expected:
                    subprocess.run([script], env={})
                self.assertEqual(str(caught.exception), str(expected.exception))
        with self.assertRaises(CommandFailed) as caught:
            call(python("import sys; sys.stderr.write('no server\\n'); sys.exit(3)"), {})
        error = caught.exception
        self.assertIsInstance(error, OSError)
        self.assertEqual((error.returncode, error.stderr), (3, "no server\n"))
        self.assertEqual(str(error), "%s exited with status 3: no server" % sys.executable)
        self.assertEqual(str(pickle.loads(pickle.dumps(error))), str(error))
        with self.assertRaises(CommandFailed) as caught:
            call(python("import os; os.kill(os.getpid(), 9)"), {})
        self.assertIn("was killed by signal 9", str(caught.exception))

    def test_the_tool_gets_exactly_its_environment(self):
        # Names no shell keeps, and variables a shell would set or reset.
        env = {"PATH": os.defpath, "A-B": "1", "1X": "2", "a.b": "3", "IFS": "q",
               "PWD": "/nowhere", "OPTIND": "7", "PPID": "0", "SHLVL": "x"}
        out, _err = call(["env", "-0"], env)
        self.assertEqual(dict(entry.split("=", 1) for entry in out.split("\0")[:-1]), env)
        self.assertEqual(call(["env"], {}), ("", ""))

    def test_the_program_run_is_the_one_subprocess_finds(self):
        # Without PATH, subprocess searches os.defpath; so must the start.
        with tempfile.TemporaryDirectory() as tmp:
            for name in ("probe", "env"):
                with open(os.path.join(tmp, name), "w") as f:
                    f.write("#!/bin/sh\necho %s from the test\n" % name)
                os.chmod(os.path.join(tmp, name), 0o755)
            environ = {name: value for name, value in os.environ.items() if name != "PATH"}
            with mock.patch.object(os, "defpath", tmp):
                for env in ({}, None):
                    with self.subTest(env=env), mock.patch.dict(os.environ, environ, clear=True):
                        self.assertEqual(call(["probe"], env)[0], "probe from the test\n")
                        self.assertEqual(call(["env"], env)[0], "env from the test\n")
            # An earlier directory of env's PATH wins over a later one.
            self.assertEqual(call(["env"], {"PATH": tmp + ":" + os.defpath})[0],
                             "env from the test\n")

    def test_cmd_is_a_list_or_tuple_of_arguments(self):
        for cmd in ("false", b"false", bytearray(b"false"), iter(["false"])):
            with self.subTest(cmd=cmd), self.assertRaisesRegex(TypeError, "list or tuple"):
                call(cmd, None)
        with self.assertRaisesRegex(TypeError, "str, bytes or os.PathLike"):
            call(["echo", 1], None)
        with self.assertRaises(ValueError):
            call([], None)
        # The program keeps its own name as argv[0], as subprocess gives it.
        out, _err = call((pathlib.Path(sys.executable), b"-c",
                          "import sys; print(sys.argv[0] == '-c', sys.argv[1:])", "x"), None)
        self.assertEqual(out, "True ['x']\n")
        out, _err = call(["sh", "-c", 'echo "$0"'], None)
        self.assertEqual(out, "sh\n")

    def test_time_limit_kills_the_whole_tree(self):
        with tempfile.TemporaryDirectory() as tmp:
            pid_file = os.path.join(tmp, "pid")
            started = time.monotonic()
            with self.assertRaises(subprocess.TimeoutExpired):
                call(["/bin/sh", "-c", "sleep 60 & echo $! > %s; wait" % pid_file], {},
                     timeout=0.5)
            self.assertLess(time.monotonic() - started, 30)
            with open(pid_file) as f:
                grandchild = f.read().strip()
        wait_gone(self, [grandchild], "the tool's child outlived the time-out", 5)

    def test_limits_range_from_just_above_zero_to_inf(self):
        # What Timeouts takes, call() honours: inf and beyond-the-clock
        # values mean no limit rather than an OverflowError.
        for limit in (math.inf, 1e300, 10 ** 400, 2147484):
            with self.subTest(limit=limit):
                self.assertEqual(Timeouts(limit, limit).query, limit)
                self.assertEqual(call(["sh", "-c", "echo ok"], None, limit), ("ok\n", ""))
        for limit, error in [(math.nan, ValueError), (0, ValueError), (-1.0, ValueError),
                             ("1", TypeError), (True, TypeError)]:
            with self.subTest(limit=limit):
                with self.assertRaises(error):
                    Timeouts(limit, 10)
                with self.assertRaises(error):
                    call(["true"], None, limit)


class OutputBoundTest(unittest.TestCase):
    def test_output_past_the_bound_kills_the_tool(self):
        self.assertEqual(call(["printf", "1234567890"], None, max_output=10),
                         ("1234567890", ""))
        for stream, redirect in [("stdout", ""), ("stderr", ">&2")]:
            with self.subTest(stream=stream):
                started = time.monotonic()
                # The tool would sleep out the whole limit if it were not killed.
                with self.assertRaises(OutputTooLarge) as caught:
                    call(["sh", "-c", "echo warning >&2; printf 12345678901 %s; "
                          "exec sleep 60" % redirect], None, 120, max_output=10)
                self.assertLess(time.monotonic() - started, 30)
                error = caught.exception
                self.assertIsInstance(error, CommandFailed)
                self.assertEqual((error.stream, error.limit, error.returncode, error.cmd[0]),
                                 (stream, 10, -signal.SIGKILL, "sh"))
                self.assertTrue(error.stderr.startswith("warning"), error.stderr)
                self.assertRegex(str(error), r"^sh wrote more than 10 bytes to its (standard|"
                                 r"error) output and was killed$")
                copy = pickle.loads(pickle.dumps(error))
                self.assertEqual((type(copy), str(copy), copy.stream, copy.limit, copy.stderr),
                                 (OutputTooLarge, str(error), stream, 10, error.stderr))
        for bad, error in [(-1, ValueError), (1.5, TypeError), (True, TypeError)]:
            with self.subTest(max_output=bad), self.assertRaises(error):
                call(["true"], None, max_output=bad)

    @unittest.skipIf(os.environ.get("PYTHONMALLOC") == "malloc",
                     "the memory checks' allocators and tracing change both time and memory")
    def test_a_flood_ends_in_time_with_little_memory(self):
        # In a child, whose peak memory is the runner's alone. The default
        # bound stops `yes` long before its time limit; a flood kept under
        # the bound ends by its time limit.
        flood = ("import sys, time\n"
                 "while True:\n"
                 "    sys.stdout.buffer.write(b'x' * 65536); sys.stdout.flush()\n"
                 "    sys.stderr.buffer.write(b'y' * 65536); sys.stderr.flush()\n"
                 "    time.sleep(0.02)\n")
        child = child_python('''
            import resource, subprocess, sys, time
            from vellomar.printing.cups.call import OutputTooLarge, call
            for cmd, limit, expected in [(["sh", "-c", "yes"], 2, OutputTooLarge),
                                         ([sys.executable, "-c", %r], 1,
                                          subprocess.TimeoutExpired)]:
                started = time.monotonic()
                try:
                    call(cmd, None, limit)
                except expected:
                    pass
                print(limit, time.monotonic() - started)
            print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
        ''' % flood, stdout=subprocess.PIPE, universal_newlines=True)
        out, _err = child.communicate(timeout=120)
        self.assertEqual(child.returncode, 0)
        *runs, peak = out.split("\n")[:-1]
        for run in runs:
            limit, elapsed = map(float, run.split())
            self.assertLess(elapsed, limit + 4, run)
        self.assertLess(int(peak), 200, "peak memory in MiB")


class CallerEndTest(unittest.TestCase):
    """The tool ends with the process that called it, however that ends."""

    CALLER = '''
        import sys, threading, time
        from vellomar.printing.cups.call import call
        def run():
            call(["/bin/sh", "-c", "sleep 1000 & echo $! > %s.tmp; echo $$ >> %s.tmp; "
                  "mv %s.tmp %s; wait"], None, 600)
        if sys.argv[1] == "thread":
            threading.Thread(target=run, daemon=True).start()
            time.sleep(1000)
        run()
    '''

    def caller_ends(self, how, where="main"):
        with tempfile.TemporaryDirectory() as tmp:
            pid_file = os.path.join(tmp, "pids")
            code = self.CALLER % ((pid_file,) * 4)
            errors = open(os.path.join(tmp, "stderr"), "w+")
            self.addCleanup(errors.close)
            caller = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), where],
                                      env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT),
                                      stderr=errors, start_new_session=True)
            try:
                end = time.monotonic() + 60
                while not os.path.exists(pid_file):
                    if caller.poll() is not None:
                        errors.seek(0)
                        self.fail("the caller ended early:\n" + errors.read())
                    self.assertLess(time.monotonic(), end, "the tool never started")
                    time.sleep(0.05)
                with open(pid_file) as f:
                    pids = f.read().split()
                self.assertEqual(len(pids), 2)
                self.assertEqual(state(pids[0]) not in (None, "Z", "X"), True)
                how(caller)
                caller.wait(60)
            finally:
                if caller.poll() is None:
                    caller.kill()
                    caller.wait()
        wait_gone(self, pids, "the tool outlived its caller")

    def test_signals_that_end_the_caller_end_the_tool(self):
        for name, how in [("SIGINT", lambda p: p.send_signal(signal.SIGINT)),
                          ("SIGTERM", lambda p: p.send_signal(signal.SIGTERM)),
                          ("SIGHUP", lambda p: p.send_signal(signal.SIGHUP)),
                          ("SIGKILL", lambda p: p.kill()),
                          ("killpg", lambda p: os.killpg(p.pid, signal.SIGTERM))]:
            with self.subTest(name):
                self.caller_ends(how)

    def test_threads_make_no_difference(self):
        with self.subTest("caller in a thread"):
            self.caller_ends(lambda p: p.send_signal(signal.SIGTERM), "thread")
        # Nothing of a call is tied to the thread that made it.
        worker = threading.Thread(target=call, args=(["true"], None))
        worker.start()
        worker.join()
        results = []
        runner = threading.Thread(target=lambda: results.append(
            call(["sh", "-c", "sleep 0.5; echo alive"], None)))
        runner.start()
        call(["true"], None)
        runner.join()
        self.assertEqual(results, [("alive\n", "")])

    def test_the_watchdog_leaves_with_the_tool(self):
        out, _err = call(python("import os; print(os.getpgrp())"), None)
        group = int(out)
        self.assertNotEqual(group, os.getpgrp())
        end = time.monotonic() + 20
        while group_members(group):
            self.assertLess(time.monotonic(), end, "the tool's group lingers")
            time.sleep(0.05)


class TerminalTest(unittest.TestCase):
    def test_a_tool_that_waits_for_the_terminal_fails_at_once(self):
        # The tool shares the caller's terminal from a background group: a
        # password prompt would stop it until its time limit instead.
        code = textwrap.dedent('''
            import sys, time
            from vellomar.printing.cups.call import CommandFailed, call
            started = time.monotonic()
            try:
                call(["sh", "-c", "read answer < /dev/tty"], None, 60)
            except CommandFailed as e:
                print("failed", e.returncode, time.monotonic() - started < 30)
        ''')
        pid, terminal = pty.fork()
        if pid == 0:
            try:
                os.environ["PYTHONPATH"] = PACKAGE_ROOT
                os.execv(sys.executable, [sys.executable, "-c", code])
            finally:
                os._exit(127)
        output = b""
        try:
            while True:
                try:
                    chunk = os.read(terminal, 1024)
                except OSError:  # EIO: the caller is gone
                    break
                if not chunk:
                    break
                output += chunk
        finally:
            os.close(terminal)
            _pid, status = os.waitpid(pid, 0)
        self.assertEqual((status, output.decode(errors="replace").split()),
                         (0, ["failed", str(-signal.SIGKILL), "True"]))


class ReapingTest(unittest.TestCase):
    def test_a_subreaper_caller_collects_no_children(self):
        # pid 1 and a subreaper inherit every orphan: the runner must leave
        # none, on whichever way a call ends.
        child = child_python('''
            import ctypes, os, subprocess
            from vellomar.printing.cups.call import OutputTooLarge, call
            if ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) != 0:  # PR_SET_CHILD_SUBREAPER
                raise OSError(ctypes.get_errno(), "prctl")
            for _ in range(17):
                call(["true"], None)
            for cmd, kwargs, error in [(["sleep", "60"], {"timeout": 0.2}, subprocess.TimeoutExpired),
                                       (["yes"], {"max_output": 10}, OutputTooLarge),
                                       (["/nonexistent"], {}, FileNotFoundError)]:
                try:
                    call(cmd, None, **kwargs)
                except error:
                    pass
            children = []
            for entry in os.listdir("/proc"):
                try:
                    with open("/proc/%s/stat" % entry) as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                except (OSError, IndexError):
                    continue
                if fields[1] == str(os.getpid()):
                    children.append((entry, fields[0]))
            print(children)
        ''', stdout=subprocess.PIPE, universal_newlines=True)
        out, _err = child.communicate(timeout=120)
        self.assertEqual((child.returncode, out), (0, "[]\n"))


@unittest.skipIf(sys.version_info < (3, 11), "before 3.11 a group is joined through preexec_fn, "
                 "which subinterpreters refuse")
class SubinterpreterTest(unittest.TestCase):
    def test_works_in_another_interpreter(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "out")
            child = child_python('''
                import sys
                try:
                    import _interpreters as interpreters
                    interp = interpreters.create("legacy")
                except ImportError:
                    import _xxsubinterpreters as interpreters
                    interp = interpreters.create(isolated=False)
                interpreters.run_string(interp, "\\n".join([
                    "from vellomar.printing.cups.call import call",
                    "try:",
                    "    result = repr(call(['sh', '-c', 'echo ok'], None))",
                    "except BaseException as e:",
                    "    result = repr(e)",
                    "with open(%%r, 'w') as f:" %% %r,
                    "    f.write(result)"]))
                interpreters.destroy(interp)
            ''' % out)
            self.assertEqual(child.wait(60), 0)
            with open(out) as f:
                self.assertEqual(f.read(), "('ok\\n', '')")


class TimeoutsTest(unittest.TestCase):
    def test_value_type(self):
        t = Timeouts(3, 10)
        self.assertEqual((t.query, t.job, repr(t)), (3, 10, "Timeouts(query=3, job=10)"))
        self.assertEqual(t, Timeouts(3, 10))
        self.assertEqual(hash(t), hash(Timeouts(3, 10)))
        self.assertNotEqual(t, Timeouts(3, 11))
        self.assertEqual(pickle.loads(pickle.dumps(t)), t)
        with self.assertRaises(AttributeError):
            t.query = 1
        for bad, error in [(("3", 10), TypeError), ((True, 10), TypeError),
                           ((0, 10), ValueError), ((3, -1), ValueError),
                           ((3, math.nan), ValueError)]:
            with self.subTest(bad=bad), self.assertRaises(error):
                Timeouts(*bad)


if __name__ == "__main__":
    unittest.main()
