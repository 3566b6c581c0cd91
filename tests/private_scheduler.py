"""A CUPS scheduler of the tests' own: cupsd in the foreground on a free
loopback port, its configuration and state in a temporary directory, so that
nothing of the host's scheduler or /etc/cups is touched. Clients reach it
through CUPS_SERVER, in an environment without the user's PRINTER and
LPDEST, which name a default destination this scheduler does not know."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from support import require

SBIN_PATH = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])
TOOLS = ["cupsd", "lpadmin", "lpstat", "cupsaccept", "cupsreject", "cupsenable", "cupsdisable"]

CUPSD_CONF = """\
Listen 127.0.0.1:{port}
WebInterface No
Browsing No
DefaultAuthType None
LogLevel warn
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
"""

FILES_CONF = """\
ServerRoot {root}
RequestRoot {root}/spool
CacheDir {root}/cache
StateDir {root}/state
TempDir {root}/tmp
AccessLog {root}/log/access_log
ErrorLog {root}/log/error_log
PageLog {root}/log/page_log
FileDevice Yes
{user}
"""


def tool(name):
    return shutil.which(name, path=SBIN_PATH)


def skip_under_memory_checks():
    if os.environ.get("PYTHONMALLOC") == "malloc":
        # scripts/check-memory.sh: these tests run little of the module's own
        # code, and valgrind traces cupsd and stand-in tools far past their
        # time limits. The plain runs cover them.
        raise unittest.SkipTest("timed CUPS tests are not run under the memory checks")


def require_scheduler():
    """Skips the calling test class without the Debian packages, except under
    CI (CI set), where their absence fails it."""
    skip_under_memory_checks()
    require([name for name in TOOLS if not tool(name)], "no CUPS scheduler to test against",
            "Debian's cups-daemon and cups-client", "scheduler tests")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class PrivateScheduler:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="cupsd-")
        os.chmod(self.root, 0o755)  # the scheduler's user must reach its files
        self.port = free_port()
        self.server = "127.0.0.1:%d" % self.port
        self.process = None
        user = ""
        if os.geteuid() == 0:
            # cupsd refuses to run its children as root
            user = "User lp\nGroup lp\nSystemGroup root"
        for name in ("spool", "cache", "tmp", "state", "log"):
            os.mkdir(os.path.join(self.root, name), 0o755)
            if user and name in ("spool", "cache", "tmp"):
                shutil.chown(os.path.join(self.root, name), "lp", "lp")
        self._write("cupsd.conf", CUPSD_CONF.format(port=self.port))
        self._write("cups-files.conf", FILES_CONF.format(root=self.root, user=user))

    def _write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def start(self, deadline=20.0):
        log = open(os.path.join(self.root, "log", "cupsd.out"), "ab")
        with log:
            self.process = subprocess.Popen(
                [tool("cupsd"), "-f", "-c", os.path.join(self.root, "cupsd.conf"),
                 "-s", os.path.join(self.root, "cups-files.conf")],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        until = time.monotonic() + deadline
        while time.monotonic() < until:
            if self.process.poll() is not None:
                raise RuntimeError("cupsd exited with status %d:\n%s"
                                   % (self.process.returncode, self.logs()))
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("cupsd did not listen within %g s:\n%s" % (deadline, self.logs()))

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def close(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def logs(self):
        text = []
        for name in ("cupsd.out", "error_log"):
            try:
                with open(os.path.join(self.root, "log", name), errors="replace") as f:
                    text.append(f.read())
            except OSError:
                pass
        return "".join(text)

    def environ(self):
        """os.environ for clients of this scheduler."""
        env = {name: value for name, value in os.environ.items()
               if name not in ("PRINTER", "LPDEST")}
        env["CUPS_SERVER"] = self.server
        return env

    def admin(self, name, *args):
        """Runs a CUPS tool (lpadmin, cupsreject, ...) against this scheduler."""
        done = subprocess.run([tool(name), *args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=dict(self.environ(), LANG="C"),
                              universal_newlines=True, timeout=30)
        if done.returncode != 0:
            raise AssertionError("%s %s failed: %s" % (name, " ".join(args), done.stdout))

    def add_queue(self, name):
        self.admin("lpadmin", "-p", name, "-E", "-v", "file:///dev/null", "-m", "raw")
