"""A CUPS scheduler of the tests' own: cupsd in the foreground on a free
loopback port, its configuration and state in a temporary directory, so that
nothing of the host's scheduler or /etc/cups is touched. Clients reach it
through CUPS_SERVER, in an environment without the user's PRINTER and
LPDEST, which name a default destination this scheduler does not know.

Each scheduler has a ServerBin of its own: the system's backends, cups-exec,
a pass-through gziptoany and the `hold` backend, which puts its queue in the
condition its device URI names for as long as its job lasts. The tests ask
the scheduler what it reports with a small IPP client over a plain socket,
so that they depend on no CUPS tool beyond cups-client, and on no language
of lpstat's."""

import http.client
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
from urllib.parse import quote

from support import require

SBIN_PATH = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])
TOOLS = ["cupsd", "lpadmin", "lpstat", "lp", "cancel",
         "cupsaccept", "cupsreject", "cupsenable", "cupsdisable"]
SYSTEM_SERVER_BIN = "/usr/lib/cups"

CUPSD_CONF = """\
Listen 127.0.0.1:{port}
WebInterface No
Browsing No
DefaultAuthType None
LogLevel {loglevel}
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
ServerBin {root}/bin
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

# hold:/REASON[,REASON...][?MESSAGE]: reports the reasons (and the
# percent-encoded message) to the scheduler and waits until its job is
# cancelled, the scheduler stops it, or the scheduler is gone; then it takes
# the reasons back, unless the URI begins hold://keep/, as a backend that
# dies leaves them (the scheduler then keeps them, across jobs and restarts,
# until a backend takes them back: hold:/-REASON,... does, and ends its job at
# once). Run without arguments, as the scheduler lists its
# devices, it names itself.
HOLD_BACKEND = r"""#!/bin/sh
if [ $# -eq 0 ]; then
  echo 'direct hold "Unknown" "Holding backend"'
  exit 0
fi
LC_ALL=C
export LC_ALL
condition=${DEVICE_URI#hold:}
keep=
case $condition in
  //keep/*) keep=1; condition=${condition#//keep/} ;;
  *) condition=${condition#/} ;;
esac
reasons=${condition%%\?*}
case $reasons in
  -*) echo "STATE: $reasons" >&2; exit 0 ;;
  ?*) echo "STATE: +$reasons" >&2 ;;
esac
case $condition in
  *\?*)
    awk 'BEGIN {
      s = ARGV[1]; out = ""
      for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "%") {
          out = out sprintf("%c", index("0123456789abcdef", tolower(substr(s, i + 1, 1))) * 16 \
                                  + index("0123456789abcdef", tolower(substr(s, i + 2, 1))) - 17)
          i += 2
        } else {
          out = out c
        }
      }
      printf "INFO: %s\n", out
    }' "${condition#*\?}" >&2
    ;;
esac
# A signal ends the wait at once; without the scheduler (killed outright)
# the loop ends within a second, so no sleep outlives it.
finish() {
  kill $pid 2>/dev/null
  if [ -z "$keep" ] && [ -n "$reasons" ]; then
    echo "STATE: -$reasons" >&2
  fi
  exit 0
}
trap finish TERM INT HUP
scheduler=$PPID
while [ -e /proc/$scheduler ]; do
  sleep 1 &
  pid=$!
  wait $pid
done
"""

# What the scheduler runs before a backend when a job's document is
# compressed or has several files: here it only passes the bytes on.
GZIPTOANY = """#!/bin/sh
if [ -n "$6" ]; then exec cat "$6"; else exec cat; fi
"""

GET_JOBS = 0x000A
GET_PRINTER_ATTRIBUTES = 0x000B
CUPS_GET_PRINTERS = 0x4002


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
    require_root()


def require_root():
    """Skips the calling test when not run as root, except under CI: a
    private cupsd runs its backends as lp and lets only root administer it
    without a password."""
    if os.geteuid() != 0:
        why = "the scheduler tests run as root (a private cupsd runs its backends as lp)"
        if os.environ.get("CI"):
            raise AssertionError("CI must run the scheduler tests, but " + why)
        raise unittest.SkipTest(why)


def _scheduler_environ():
    """The environment for cupsd: the memory checks' preloaded sanitizer
    runtimes and their options are for the interpreter, not the scheduler."""
    return {name: value for name, value in os.environ.items()
            if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _started(pid):
    """The process's start time, which tells it from a later one of the same
    pid; None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return fields[19] if fields[0] != "Z" else None


def _descendants(pid):
    """(pid, start time) of every process under pid, as far as /proc shows."""
    parents = {}
    try:
        entries = os.listdir("/proc")
    except OSError:
        return []
    for entry in entries:
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except (OSError, IndexError):
                continue
            parents.setdefault(int(fields[1]), []).append((int(entry), fields[19]))
    found = []
    pending = [pid]
    while pending:
        for child in parents.get(pending.pop(), []):
            found.append(child)
            pending.append(child[0])
    return found


def wait_until(check, deadline, what):
    """Polls check() until it returns something true, which it returns; the
    machine may be loaded, so deadlines are generous and the polls cheap."""
    until = time.monotonic() + deadline
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > until:
            raise AssertionError("not within %g s: %s (last: %r)" % (deadline, what, value))
        time.sleep(0.05)


# IPP over a plain socket: only what the fixtures ask (one operation group
# out, attribute groups back), in the encoding of RFC 8010.

def _attribute(tag, name, values):
    out = b""
    for index, value in enumerate(values):
        data = value.encode("utf-8") if isinstance(value, str) else value
        key = name.encode("ascii") if index == 0 else b""
        out += struct.pack(">BH", tag, len(key)) + key + struct.pack(">H", len(data)) + data
    return out


def _decode(tag, data):
    if tag in (0x21, 0x23) and len(data) == 4:  # integer, enum
        return struct.unpack(">i", data)[0]
    if tag == 0x22 and len(data) == 1:  # boolean
        return data != b"\0"
    if 0x41 <= tag <= 0x49:  # text, name, keyword, uri, charset, language, mime type ...
        return data.decode("utf-8", "replace")
    if tag in (0x10, 0x12, 0x13):  # unsupported, unknown, no-value
        return None
    return data


def ipp(port, operation, path="/", uri=None, requested=(), timeout=10.0, user="root"):
    """Sends one IPP request to the scheduler on port and returns the groups
    of its answer after the operation group, each a dict of attribute name
    to list of values; raises on a status other than successful-ok*."""
    body = struct.pack(">BBHI", 2, 0, operation, 1) + b"\x01"
    body += _attribute(0x47, "attributes-charset", ["utf-8"])
    body += _attribute(0x48, "attributes-natural-language", ["en"])
    if uri is not None:
        body += _attribute(0x45, "printer-uri", [uri])
    body += _attribute(0x42, "requesting-user-name", [user])
    if requested:
        body += _attribute(0x44, "requested-attributes", list(requested))
    body += b"\x03"
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("POST", path, body, {"Content-Type": "application/ipp"})
        response = connection.getresponse()
        data = response.read()
    finally:
        connection.close()
    if response.status != 200:
        raise AssertionError("IPP request to %s answered HTTP %d" % (path, response.status))
    status = struct.unpack(">H", data[2:4])[0]
    if status >= 0x100:
        raise LookupError("IPP status 0x%04x from %s" % (status, path))
    groups = []
    group = None
    name = None
    offset = 8
    while offset < len(data):
        tag = data[offset]
        offset += 1
        if tag == 0x03:
            break
        if tag < 0x10:
            group = {}
            groups.append((tag, group))
            continue
        length = struct.unpack(">H", data[offset:offset + 2])[0]
        offset += 2
        if length:
            name = data[offset:offset + length].decode("ascii", "replace")
            group.setdefault(name, [])
        offset += length
        length = struct.unpack(">H", data[offset:offset + 2])[0]
        offset += 2
        group[name].append(_decode(tag, data[offset:offset + length]))
        offset += length
    return [group for tag, group in groups if tag != 0x01]


def printer_uri(port, queue):
    return "ipp://127.0.0.1:%d/printers/%s" % (port, quote(queue, safe=""))


class PrivateScheduler:
    def __init__(self, bus_address=None, access_log=False):
        require_root()
        self.root = tempfile.mkdtemp(prefix="cupsd-")
        os.chmod(self.root, 0o755)  # the scheduler's user must reach its files
        self.port = free_port()
        self.server = "127.0.0.1:%d" % self.port
        self.process = None
        self.held = {}
        user = ""
        if os.geteuid() == 0:
            # cupsd refuses to run its children as root
            user = "User lp\nGroup lp\nSystemGroup root"
        for name in ("spool", "cache", "tmp", "state", "log"):
            os.mkdir(os.path.join(self.root, name), 0o755)
            if user and name in ("spool", "cache", "tmp"):
                shutil.chown(os.path.join(self.root, name), "lp", "lp")
        self._server_bin()
        # CUPSD_LOGLEVEL=debug shows why a job or backend misbehaves.
        level = os.environ.get("CUPSD_LOGLEVEL", "warn")
        files = FILES_CONF.format(root=self.root, user=user)
        if bus_address:
            # The notifier gets its bus from here, not from cupsd.conf.
            files += "SetEnv DBUS_SYSTEM_BUS_ADDRESS %s\n" % bus_address
        conf = CUPSD_CONF.format(port=self.port, loglevel=level)
        if access_log:
            conf += "AccessLogLevel all\n"  # every request, for counting them
        self._write("cupsd.conf", conf)
        self._write("cups-files.conf", files)
        self.document = self._write("document.txt", "a page\n")

    def _write(self, name, text, mode=0o644):
        path = os.path.join(self.root, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, mode)
        return path

    def _server_bin(self):
        # The scheduler runs a backend only if it and its directory belong to
        # root (when it runs as root) and nobody else may write them: mkdtemp
        # gives us such directories, and copies keep the system's programs
        # under the same rules as the one of our own.
        for name in ("bin", "bin/backend", "bin/daemon", "bin/filter"):
            os.mkdir(os.path.join(self.root, name), 0o755)
        for name in ("backend", "daemon", "filter", "notifier", "monitor"):
            directory = os.path.join(SYSTEM_SERVER_BIN, name)
            if not os.path.isdir(directory):
                continue
            os.makedirs(os.path.join(self.root, "bin", name), 0o755, exist_ok=True)
            for entry in os.listdir(directory):
                target = os.path.join(self.root, "bin", name, entry)
                os.symlink(os.path.join(directory, entry), target)
        self._write("bin/backend/hold", HOLD_BACKEND, 0o755)
        # Debian's cups-daemon brings no socket backend; lpadmin accepts a
        # scheme only with one. Queues of that scheme are for asking their
        # device, not for printing.
        if not os.path.exists(os.path.join(self.root, "bin/backend/socket")):
            self._write("bin/backend/socket", HOLD_BACKEND, 0o755)
        if not os.path.exists(os.path.join(self.root, "bin/filter/gziptoany")):
            self._write("bin/filter/gziptoany", GZIPTOANY, 0o755)

    def start(self, deadline=20.0):
        log = open(os.path.join(self.root, "log", "cupsd.out"), "ab")
        with log:
            self.process = subprocess.Popen(
                [tool("cupsd"), "-f", "-c", os.path.join(self.root, "cupsd.conf"),
                 "-s", os.path.join(self.root, "cups-files.conf")],
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                env=_scheduler_environ())
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
            # The scheduler exits at once on SIGTERM but leaves a backend
            # that ignores its signal (the ipp backend, waiting for a printer
            # that never answers) running, each in a process group of its
            # own: whatever it started and still runs afterwards is killed.
            children = _descendants(self.process.pid)
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            for pid, started in children:
                if _started(pid) == started:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
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
        """Runs a CUPS tool (lpadmin, cupsreject, lp ...) against this
        scheduler and returns its output."""
        done = subprocess.run([tool(name), *args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=dict(self.environ(), LANG="C", LC_ALL="C"),
                              universal_newlines=True, timeout=30)
        if done.returncode != 0:
            raise AssertionError("%s %s failed: %s" % (name, " ".join(args), done.stdout))
        return done.stdout

    def add_queue(self, name, device_uri="file:///dev/null"):
        self.admin("lpadmin", "-p", name, "-E", "-v", device_uri, "-m", "raw")

    def uri(self, queue):
        """The queue's printer-uri, as a device URI for another scheduler's queue."""
        return printer_uri(self.port, queue)

    def printer(self, queue, *requested):
        """The queue's attributes as the scheduler reports them (all, or the
        requested ones): a dict of name to list of values."""
        groups = ipp(self.port, GET_PRINTER_ATTRIBUTES, "/printers/" + quote(queue, safe=""),
                     self.uri(queue), requested)
        return groups[0] if groups else {}

    def printers(self, *requested):
        """CUPS-Get-Printers: one dict per queue."""
        return ipp(self.port, CUPS_GET_PRINTERS, requested=requested)

    def state(self, queue):
        """(printer-state, printer-state-reasons, printer-state-message,
        queued-job-count) as the scheduler reports them; the state is 3 for
        idle, 4 for processing, 5 for stopped."""
        found = self.printer(queue, "printer-state", "printer-state-reasons",
                             "printer-state-message", "queued-job-count")
        return (found["printer-state"][0], found["printer-state-reasons"],
                found.get("printer-state-message", [""])[0], found["queued-job-count"][0])

    def submit(self, queue, *options):
        """Submits a small job with lp (options such as "-H", "hold"), returns its id."""
        out = self.admin("lp", "-d", queue, *options, self.document)
        match = re.search(r"request id is .*-(\d+) \(", out)
        if not match:
            raise AssertionError("lp said: %r" % out)
        return int(match.group(1))

    def hold_condition(self, queue, reasons, message=None, keep=False, deadline=60.0):
        """Creates queue with the hold backend and sends it a job, whose
        backend reports reasons (a list of keywords) and, if given, message;
        returns once the scheduler reports all the reasons. The condition
        lasts as long as the job, or with keep until clear_condition(queue)."""
        uri = "hold:%s/%s" % ("//keep" if keep else "", ",".join(reasons))
        if message is not None:
            uri += "?" + quote(message, safe="")
        self.add_queue(queue, uri)
        self.held[queue] = (list(reasons), keep)
        self.submit(queue)
        wait_until(lambda: set(reasons) <= set(self.state(queue)[1]), deadline,
                   "%s reports %s" % (queue, ", ".join(reasons)))

    def leave_condition(self, queue, reasons, deadline=60.0):
        """Leaves queue idle, without jobs, but with reasons, as a backend
        that failed leaves its queue."""
        self.hold_condition(queue, reasons, keep=True, deadline=deadline)
        self.admin("cancel", "-a", queue)
        wait_until(lambda: self.state(queue)[::3] == (3, 0), deadline,
                   "%s idle after its job" % queue)

    def clear_condition(self, queue, deadline=60.0):
        """Cancels the queue's jobs and returns once the scheduler reports the
        queue idle again, without the reasons of hold_condition."""
        reasons, keep = self.held.pop(queue, ([], False))
        self.admin("cancel", "-a", queue)
        if keep:
            # Only a backend takes them back. The scheduler drops some
            # itself as a job ends (offline-report); the others stay.
            wait_until(lambda: self.state(queue)[::3] == (3, 0), deadline,
                       "%s idle after its job" % queue)
            device = self.printer(queue, "device-uri")["device-uri"][0]
            self.admin("lpadmin", "-p", queue, "-v", "hold:/-" + ",".join(reasons))
            self.submit(queue)
            wait_until(lambda: self.state(queue)[3] == 0, deadline, "%s clears" % queue)
            self.admin("lpadmin", "-p", queue, "-v", device)

        def cleared():
            state = self.state(queue)
            return state[0] == 3 and not set(reasons) & set(state[1]) and state[3] == 0
        wait_until(cleared, deadline, "%s idle without %s" % (queue, ", ".join(reasons)))

    def queue_jobs(self, queue, count, held=False, deadline=60.0):
        """Leaves count jobs waiting on queue: with held, each job is held
        (lp -H hold) on an enabled queue; otherwise the queue is stopped
        (cupsdisable) first. Returns once queued-job-count says count."""
        if not held:
            self.admin("cupsdisable", queue)
        for _ in range(count):
            self.submit(queue, *(("-H", "hold") if held else ()))
        wait_until(lambda: self.state(queue)[3] == count, deadline,
                   "%d jobs queued on %s" % (count, queue))


def serve_as_printer(first, second, queue, device_queue):
    """Makes a queue on the scheduler second the printer of queue on the
    scheduler first: queue's device URI is device_queue's printer-uri, so the
    first scheduler's ipp backend asks the second over IPP."""
    first.add_queue(queue, second.uri(device_queue))


class SilentListener:
    """A server on a free loopback port that accepts connections and never
    reads or answers: a scheduler that hangs. Closes every connection on exit."""

    def __init__(self):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.server = "127.0.0.1:%d" % self.port
        self.accepted = []
        self._lock = threading.Lock()
        self._thread = threading.Thread(target=self._accept, daemon=True)

    def __enter__(self):
        self.socket.listen(16)
        self._thread.start()
        return self

    def _accept(self):
        while True:
            try:
                connection, _ = self.socket.accept()
            except OSError:
                return  # closed by __exit__
            with self._lock:
                self.accepted.append(connection)

    def __exit__(self, *exc):
        # shutdown wakes the accepting thread, which close alone may not
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.socket.close()
        self._thread.join(10)
        with self._lock:
            for connection in self.accepted:
                connection.close()
            self.accepted = []
        return False
