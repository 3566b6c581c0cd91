"""The package's command runner, running real processes."""

import os
import pickle
import subprocess
import sys
import tempfile
import time
import unittest

from vellomar.printing.cups.call import CommandFailed, Timeouts, call


def python(code):
    return [sys.executable, "-c", code]


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
        for _ in range(100):
            try:
                with open("/proc/%s/stat" % grandchild) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
            except FileNotFoundError:
                break
            if state in ("Z", "X"):
                break
            time.sleep(0.05)
        else:
            self.fail("the tool's child %s outlived the time-out" % grandchild)


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
                           ((0, 10), ValueError), ((3, -1), ValueError)]:
            with self.subTest(bad=bad), self.assertRaises(error):
                Timeouts(*bad)


if __name__ == "__main__":
    unittest.main()
