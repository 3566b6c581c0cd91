"""A D-Bus system bus of the tests' own: dbus-daemon on a unix socket in a
temporary directory (no TCP, nothing leaves the host), with a policy that
lets every local process send and receive. A private scheduler given its
address sends its notifier's signals there."""

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


def dbus_daemon():
    return shutil.which("dbus-daemon")


class PrivateBus:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="bus-")
        os.chmod(self.root, 0o755)  # the scheduler's notifier runs as lp
        self.socket = os.path.join(self.root, "bus")
        self.address = "unix:path=" + self.socket
        self.pid = None

    def start(self, deadline=10.0):
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(CONFIG.format(socket=self.socket))
        done = subprocess.run([dbus_daemon(), "--config-file=" + config, "--fork",
                               "--print-pid", "--nopidfile"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=deadline)
        if done.returncode != 0:
            raise RuntimeError("dbus-daemon failed: %s" % done.stderr)
        self.pid = int(done.stdout.split()[0])
        until = time.monotonic() + deadline
        while not os.path.exists(self.socket):
            if time.monotonic() > until:
                raise RuntimeError("dbus-daemon did not listen within %g s" % deadline)
            time.sleep(0.02)
        os.chmod(self.socket, 0o777)
        return self

    def close(self):
        if self.pid is not None:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except OSError:
                pass
            self.pid = None
        shutil.rmtree(self.root, ignore_errors=True)
