"""A real IPP Everywhere printer for the tests: ippeveprinter (Debian's
cups-ipp-utils) on a free loopback port. Its DNS-SD announcements are
stubbed out (dnssd_stub.c, preloaded): a DNS-SD daemon would multicast
beyond loopback. Each document it prints is copied into `output`, so a test
sees whether the page came out."""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SBIN_PATH = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])
FORMATS = "application/pdf,image/pwg-raster,image/urf,text/plain,application/octet-stream"

PRINT_COMMAND = """#!/bin/sh
# ippeveprinter runs this for each document: the page "comes out" here.
sleep {seconds}
cp "$1" "{output}/$(date +%s%N)-$(basename "$1")"
"""


def ippeveprinter():
    return shutil.which("ippeveprinter", path=SBIN_PATH)


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


_stub = None


def dnssd_stub():
    """The stub library, built once per process with the C compiler."""
    global _stub
    if _stub is None:
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            raise RuntimeError("building the DNS-SD stub needs a C compiler (cc)")
        path = os.path.join(tempfile.mkdtemp(prefix="dnssd-stub-"), "dnssd_stub.so")
        subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", path,
                        os.path.join(HERE, "dnssd_stub.c")], check=True)
        _stub = path
    return _stub


def _die_with_parent():
    # The printer ends with the test process, however that ends.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class VirtualPrinter:
    def __init__(self, name="lab", version=None, print_seconds=0, formats=FORMATS):
        self.root = tempfile.mkdtemp(prefix="printer-")
        self.output = os.path.join(self.root, "output")
        self.spool = os.path.join(self.root, "spool")
        os.mkdir(self.output)
        os.mkdir(self.spool)
        self.command = os.path.join(self.root, "print")
        with open(self.command, "w") as f:
            f.write(PRINT_COMMAND.format(output=self.output, seconds=print_seconds))
        os.chmod(self.command, 0o755)
        self.name = name
        self.version = version
        self.formats = formats
        self.port = free_port()
        self.uri = "ipp://127.0.0.1:%d/ipp/print" % self.port
        self.process = None

    def start(self, deadline=20.0):
        args = [ippeveprinter(), "-r", "off", "-p", str(self.port), "-n", "localhost",
                "-d", self.spool, "-c", self.command, "-f", self.formats]
        if self.version:
            args += ["-V", self.version]
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
        env["LD_PRELOAD"] = dnssd_stub()
        log = open(os.path.join(self.root, "log"), "ab")
        with log:
            self.process = subprocess.Popen(args + [self.name], stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT, env=env,
                                            preexec_fn=_die_with_parent)
        until = time.monotonic() + deadline
        while time.monotonic() < until:
            if self.process.poll() is not None:
                raise RuntimeError("ippeveprinter exited with status %d:\n%s"
                                   % (self.process.returncode, self.logs()))
            try:
                urllib.request.urlopen("http://127.0.0.1:%d/" % self.port, timeout=1).close()
                return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("ippeveprinter did not answer within %g s:\n%s"
                           % (deadline, self.logs()))

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process = None

    def close(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def logs(self):
        try:
            with open(os.path.join(self.root, "log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def pages(self):
        """The documents that came out, oldest first."""
        return sorted(os.listdir(self.output))

    def wait_for_pages(self, count, deadline=30.0):
        until = time.monotonic() + deadline
        while time.monotonic() < until:
            if len(self.pages()) >= count:
                return True
            time.sleep(0.05)
        return False

    def main_tray(self, level, bypass=None):
        """Sets the level of paper in the main tray through the printer's web
        form: 0 empties it, 250 fills it; bypass, if given, is the by-pass
        tray's level (else it has no paper loaded and an unknown level)."""
        query = "size1=na_letter_8.5x11in&type1=stationery&level1=%d&" % level + (
            "size3=&type3=&level3=-2" if bypass is None else
            "size3=na_letter_8.5x11in&type3=stationery&level3=%d" % bypass)
        urllib.request.urlopen("http://127.0.0.1:%d/media?%s" % (self.port, query),
                               timeout=10).close()
