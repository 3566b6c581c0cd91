"""The module with its real command runner and Debian's real CUPS tools;
no stand-ins. Under CI (CI set in the environment) the tools must be there."""

import os
import shutil
import stat
import subprocess
import tempfile
import time
import unittest

from support import ModuleTestCase, require

TOOLS = ["/usr/bin/lp", "/usr/bin/lpoptions", "/usr/bin/lpstat"]
OPTIONS = ["version", "api-version", "build", "datadir", "serverbin", "serverroot"]


def require_tools():
    missing = [tool for tool in TOOLS if not os.path.exists(tool)]
    if not shutil.which("cups-config"):
        missing.append("cups-config on PATH")
    require(missing, "the CUPS tools are not installed", "Debian's cups-client and libcups2-dev",
            "real-tool tests")


class RealToolsTest(ModuleTestCase):
    def test_answers_from_the_installed_tools(self):
        require_tools()
        self.assertEqual(self.module.is_available(), (True, ""))
        ok, pairs = self.module.get_version_info()
        self.assertIs(ok, True)
        expected = {option: subprocess.run(["cups-config", "--" + option], check=True,
                                           stdout=subprocess.PIPE, universal_newlines=True
                                           ).stdout.rstrip("\n")
                    for option in OPTIONS}
        self.assertEqual(dict(pairs), expected)


class FakeToolTest(ModuleTestCase):
    """Throwaway cups-config programs placed first on PATH."""

    def setUp(self):
        super().setUp()
        self.bin = tempfile.mkdtemp(prefix="fake-cups-")
        self.addCleanup(shutil.rmtree, self.bin, True)
        path = os.environ.get("PATH")
        os.environ["PATH"] = self.bin + os.pathsep + (path or "")
        self.addCleanup(os.environ.__setitem__, "PATH", path or "")

    def fake(self, script):
        program = os.path.join(self.bin, "cups-config")
        with open(program, "w") as f:
            f.write("#!/bin/sh\n" + script + "\n")
        os.chmod(program, stat.S_IRWXU)

    def test_a_hung_tool_ends_by_the_time_limit_and_propagates(self):
        # A short limit for the hang alone: the other cases keep the default,
        # which a loaded machine under valgrind needs.
        from vellomar.printing.cups import call
        self.addCleanup(setattr, call, "TIME_LIMIT", call.TIME_LIMIT)
        call.TIME_LIMIT = 1.0
        self.fake("exec sleep 60")
        started = time.monotonic()
        self.assertRaisesAt(subprocess.TimeoutExpired, 56, self.module.get_version_info)
        # Well short of the tool's 60 s, with room for a loaded machine.
        self.assertLess(time.monotonic() - started, 30)

    def test_a_failing_tool_is_a_failure_pair(self):
        self.fake("echo 'cups-config: broken' >&2; exit 1")
        self.assertEqual(self.module.get_version_info(),
                         (False, "Unable to collect cups info: cups-config exited with status "
                                 "1: cups-config: broken"))

    def test_no_tool_at_all_is_a_failure_pair(self):
        os.environ["PATH"] = self.bin
        self.assertEqual(self.module.get_version_info(),
                         (False, "Unable to collect cups info: [Errno 2] No such file or "
                                 "directory: 'cups-config'"))


if __name__ == "__main__":
    unittest.main()
