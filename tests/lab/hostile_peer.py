"""A loopback HTTP/IPP peer that misbehaves in one chosen way, as a CUPS
scheduler or as a printer, in a process of its own:

    python3 hostile_peer.py ROLE MODE [--device URI] [--printers N]
                            [--target PORT] COUNTS

ROLE is "scheduler" (it answers CUPS-Get-Printers with N printers whose
device is URI, and CUPS-Get-Default) or "printer" (Get-Printer-Attributes:
idle). It prints its port on its first line, then serves until killed, and
keeps COUNTS (a JSON file) up to date: connections accepted and requests
read. MODES lists the ways it answers."""

import json
import os
import random
import socket
import struct
import sys
import threading
import time

MODES = {
    "ok": "a whole, valid answer",
    "redirect": "HTTP 3xx (--status) with a Location at --target",
    "status": "an HTTP status (--status) with an empty body",
    "silent": "reads the request and never answers",
    "close-then-silent": "one valid answer with Connection: close, then never answers again",
    "close-then-drip": "one valid answer with Connection: close, then drips bytes forever",
    "drip": "a valid answer, a byte every 50 ms",
    "garbage": "bytes that are not HTTP",
    "garbage-ipp": "HTTP 200 with bytes that are not IPP",
    "truncated": "HTTP 200 whose IPP body stops halfway",
    "wrong-syntax": "printer-state as text, printer-state-reasons as octetString",
    "repeated": "printer-state twice in one printer group",
    "continue-flood": "HTTP 100 Continue without end",
    "continue-drip": "HTTP 100 Continue without end, a byte every 20 ms",
    "switching": "HTTP 101 Switching Protocols, then silence",
    "reset": "closes each connection as soon as it is accepted",
    "late": "a valid answer after a random delay of up to --delay ms",
    "endless": "HTTP 200 with an IPP answer whose printers never end",
}

lock = threading.Lock()
counts = {"connections": 0, "requests": 0}


def publish(path):
    with lock:
        with open(path + ".tmp", "w") as f:
            f.write(json.dumps(counts))
        os.replace(path + ".tmp", path)


# ---- IPP (RFC 8010) ------------------------------------------------------

def attribute(tag, name, *values):
    out = b""
    for index, value in enumerate(values):
        data = value.encode() if isinstance(value, str) else value
        key = name.encode() if index == 0 else b""
        out += struct.pack(">BH", tag, len(key)) + key + struct.pack(">H", len(data)) + data
    return out


def integer(value):
    return struct.pack(">i", value)


def response(request_id, status, groups):
    body = struct.pack(">BBHI", 2, 0, status, request_id) + b"\x01"
    body += attribute(0x47, "attributes-charset", "utf-8")
    body += attribute(0x48, "attributes-natural-language", "en")
    for tag, content in groups:
        body += bytes([tag]) + content
    return body + b"\x03"


def printer_group(mode, name="hq", device=None):
    state = attribute(0x23, "printer-state", integer(3))
    reasons = attribute(0x44, "printer-state-reasons", "none")
    if mode == "wrong-syntax":
        state = attribute(0x41, "printer-state", "idle")
        reasons = attribute(0x30, "printer-state-reasons", b"none")
    elif mode == "repeated":
        state += attribute(0x23, "printer-state", integer(5))
    group = attribute(0x42, "printer-name", name) + state + reasons
    group += attribute(0x41, "printer-state-message", "")
    group += attribute(0x22, "printer-is-accepting-jobs", b"\x01")
    group += attribute(0x21, "queued-job-count", integer(0))
    group += attribute(0x23, "printer-type", integer(0))
    if device is not None:
        group += attribute(0x45, "device-uri", device)
    return group


def answer_for(request, options):
    operation, request_id = struct.unpack(">HI", request[2:8]) if len(request) >= 8 else (0, 1)
    if options["role"] == "scheduler":
        if operation == 0x4001:  # CUPS-Get-Default
            return response(request_id, 0, [(0x04, attribute(0x42, "printer-name", "hq000"))])
        # "{host}" in --device spreads the printers over --spread loopback
        # addresses, from 127.0.0.2 on: that many peers. "{n}" is the
        # printer's number, which gives each queue a device of its own.
        # Templates apart by "|" go to the printers in turn.
        templates = options["device"].split("|") if options["device"] else None
        groups = [(0x04, printer_group(options["mode"], "hq%03d" % i, templates[
            i % len(templates)].replace("{host}", "127.0.0.%d" % (2 + i % options["spread"]))
            .replace("{n}", str(i)) if templates else None)) for i in range(options["printers"])]
        return response(request_id, 0, groups)
    return response(request_id, 0, [(0x04, printer_group(options["mode"]))])


# ---- HTTP ------------------------------------------------------------------

def read_request(connection):
    """The request's body, or None when the client went away."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = 0
    chunked = False
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
        elif name.strip().lower() == b"transfer-encoding" and b"chunked" in value.lower():
            chunked = True
    if chunked:
        while not body.endswith(b"0\r\n\r\n"):
            chunk = connection.recv(65536)
            if not chunk:
                return None
            body += chunk
        decoded = b""
        rest = body
        while True:
            size_line, _, rest = rest.partition(b"\r\n")
            size = int(size_line.split(b";")[0], 16)
            if size == 0:
                break
            decoded += rest[:size]
            rest = rest[size + 2:]
        return decoded
    while len(body) < length:
        chunk = connection.recv(65536)
        if not chunk:
            return None
        body += chunk
    return body


def http_answer(body, close=False, status="200 OK"):
    head = "HTTP/1.1 %s\r\nContent-Type: application/ipp\r\nContent-Length: %d\r\n" % (
        status, len(body))
    if close:
        head += "Connection: close\r\n"
    return head.encode() + b"\r\n" + body


def drip(connection, data, every):
    for byte in data:
        connection.sendall(bytes([byte]))
        time.sleep(every)


def forever(connection, every=None):
    """Holds the connection until the client closes it, dripping a byte
    every `every` seconds if given."""
    connection.settimeout(every or 1.0)
    while True:
        try:
            if not connection.recv(65536):
                return
        except socket.timeout:
            if every:
                connection.sendall(b"x")


def serve(connection, number, options):
    mode = options["mode"]
    with lock:
        counts["connections"] += 1
    publish(options["counts"])
    if mode == "reset":
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return
    if mode in ("close-then-silent", "close-then-drip") and number > 0:
        forever(connection, 0.2 if mode == "close-then-drip" else None)
        return
    while True:
        request = read_request(connection)
        if request is None:
            return
        with lock:
            counts["requests"] += 1
        publish(options["counts"])
        body = answer_for(request, options)
        if mode == "redirect":
            connection.sendall(("HTTP/1.1 %d Moved\r\nLocation: http://127.0.0.1:%d/\r\n"
                                "Content-Length: 0\r\n\r\n" % (options["status"],
                                                               options["target"])).encode())
        elif mode == "status":
            connection.sendall(("HTTP/1.1 %d Refused\r\nContent-Length: 0\r\n\r\n"
                                % options["status"]).encode())
        elif mode == "silent":
            forever(connection)
            return
        elif mode in ("close-then-silent", "close-then-drip"):
            connection.sendall(http_answer(body, close=True))
            return
        elif mode == "endless":
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\n"
                               b"Content-Length: 999999999999\r\n\r\n" + body[:-1])
            more = b"".join(b"\x04" + printer_group("ok", "x%d" % i) for i in range(200))
            while True:
                connection.sendall(more)
        elif mode == "late":
            time.sleep(random.uniform(0, options["delay"] / 1000.0))
            connection.sendall(http_answer(body))
        elif mode == "drip":
            drip(connection, http_answer(body), 0.05)
        elif mode == "garbage":
            connection.sendall(bytes(random.randrange(256) for _ in range(4096)))
            return
        elif mode == "garbage-ipp":
            connection.sendall(http_answer(bytes(random.randrange(256) for _ in range(600))))
        elif mode == "truncated":
            whole = http_answer(body)
            connection.sendall(whole[:len(whole) - len(body) // 2])
            return
        elif mode == "continue-drip":
            while True:
                drip(connection, b"HTTP/1.1 100 Continue\r\n\r\n", 0.02)
        elif mode == "continue-flood":
            while True:
                connection.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        elif mode == "switching":
            connection.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: TLS/1.2\r\n\r\n")
            forever(connection)
            return
        else:  # ok, wrong-syntax, repeated
            connection.sendall(http_answer(body))


def handle(connection, number, options):
    try:
        serve(connection, number, options)
    except OSError:
        pass
    finally:
        connection.close()


def end_with_parent():
    """Ends this process with the one that started it, whatever way that
    one ends."""
    parent = os.getppid()

    def orphaned():
        while os.getppid() == parent:
            time.sleep(0.2)
        os._exit(0)
    threading.Thread(target=orphaned, daemon=True).start()


def main(argv):
    options = {"role": argv[0], "mode": argv[1], "counts": argv[-1], "device": None,
               "printers": 1, "target": 9, "status": 301, "spread": 1, "addresses": 0, "delay": 0}
    rest = argv[2:-1]
    while rest:
        key, value = rest[0].lstrip("-"), rest[1]
        options[key] = value if key == "device" else int(value)
        rest = rest[2:]
    if options["role"] not in ("scheduler", "printer") or options["mode"] not in MODES:
        sys.exit(__doc__)
    end_with_parent()
    # With --addresses N, it listens on 127.0.0.2 ... 127.0.0.N+1 too, on
    # the same port: N peers for a client that counts them apart.
    listeners = [socket.socket()]
    listeners[0].setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listeners[0].bind(("127.0.0.1", 0))
    port = listeners[0].getsockname()[1]
    for i in range(options["addresses"]):
        extra = socket.socket()
        extra.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        extra.bind(("127.0.0.%d" % (2 + i), port))
        listeners.append(extra)
    for listener in listeners:
        listener.listen(1024)
    publish(options["counts"])
    print(port, flush=True)
    number = [0]
    number_lock = threading.Lock()

    def accept(listener):
        while True:
            connection, _ = listener.accept()
            with number_lock:
                mine = number[0]
                number[0] += 1
            threading.Thread(target=handle, args=(connection, mine, options), daemon=True).start()
    for listener in listeners[1:]:
        threading.Thread(target=accept, args=(listener,), daemon=True).start()
    accept(listeners[0])


class PeerProcess:
    """Starts a peer script (its arguments, then the path of its COUNTS
    file) and stops it: `port`, `server`, `counts()`."""

    def __init__(self, script, args):
        import subprocess
        import tempfile
        self.counts_path = tempfile.mktemp(prefix="peer-counts-")
        # Under the memory checks the peer must not run under valgrind or
        # with the sanitizers' runtime, which are for the client.
        python = sys.executable
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}
        if os.environ.get("PYTHONMALLOC") == "malloc" and os.path.exists("/usr/bin/python3"):
            python = "/usr/bin/python3"
        self.process = subprocess.Popen([python, script] + list(args) + [self.counts_path],
                                        env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, universal_newlines=True)
        line = self.process.stdout.readline()
        self.process.stdout.close()
        if not line:
            self.process.wait()
            raise RuntimeError("the peer %s did not start (status %s)"
                               % (os.path.basename(script), self.process.returncode))
        self.port = int(line)
        self.server = "127.0.0.1:%d" % self.port

    def counts(self):
        with open(self.counts_path) as f:
            return json.load(f)

    def close(self):
        self.process.kill()
        self.process.wait()
        for path in (self.counts_path, self.counts_path + ".tmp"):
            try:
                os.unlink(path)
            except OSError:
                pass


class HostilePeer(PeerProcess):
    """This script as a peer."""

    def __init__(self, role, mode, **options):
        args = [role, mode]
        for key, value in options.items():
            args += ["--" + key, str(value)]
        super().__init__(os.path.abspath(__file__), args)


if __name__ == "__main__":
    main(sys.argv[1:])
