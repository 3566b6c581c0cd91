"""A D-Bus system bus of the tests' own: dbus-daemon on a unix socket in a
temporary directory (no TCP, nothing leaves the host), with a policy that
lets every local process send and receive. A private scheduler given its
address sends its notifier's signals there."""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
"""


def _die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def dbus_daemon():
    return shutil.which("dbus-daemon")


class PrivateBus:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="bus-")
        os.chmod(self.root, 0o755)  # the scheduler's notifier runs as lp
        self.socket = os.path.join(self.root, "bus")
        self.address = "unix:path=" + self.socket
        self.pid = None
        self.process = None

    def start(self, deadline=10.0):
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(CONFIG.format(socket=self.socket))
        # In the foreground, as a child that ends with this process, however
        # that ends: a forked daemon would outlive a killed test.
        log = os.path.join(self.root, "bus.log")
        with open(log, "wb") as out:
            self.process = subprocess.Popen(
                [dbus_daemon(), "--config-file=" + config, "--nofork", "--nopidfile"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                preexec_fn=_die_with_parent)
        self.pid = self.process.pid
        until = time.monotonic() + deadline
        while not os.path.exists(self.socket):
            if self.process.poll() is not None:
                with open(log, errors="replace") as f:
                    raise RuntimeError("dbus-daemon failed: %s" % f.read())
            if time.monotonic() > until:
                self.close()
                raise RuntimeError("dbus-daemon did not listen within %g s" % deadline)
            time.sleep(0.02)
        os.chmod(self.socket, 0o777)
        return self

    def close(self):
        if self.process is not None:
            for signal_number in (signal.SIGCONT, signal.SIGKILL):  # a stopped one, too
                try:
                    os.kill(self.process.pid, signal_number)
                except OSError:
                    pass
            self.process.wait()
            self.process = None
        shutil.rmtree(self.root, ignore_errors=True)
