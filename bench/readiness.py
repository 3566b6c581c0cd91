"""What a readiness answer costs, side by side with the least libcups can do
for the same answer (bench/floor.c: a new connection, one CUPS-Get-Printers
for the attributes readiness looks at, the default destination, close),
against a private scheduler with 1, 20 and 200 queues.

    python3 bench/readiness.py [--quick] [--sizes 1,20,200] [--python PATH]

PYTHONPATH names the staging tree to measure (build/stage beside this
directory without it); --python the interpreter that runs the package
(this one by default). It needs cupsd, lpadmin, cups-config and a C
compiler. The scheduler is reached only through CUPS_SERVER, in an
environment without PRINTER and LPDEST: never the host's.

Two comparisons, each measured in alternating rounds of both sides, medians
printed with their ratio:

- per call: check_readiness(check_printers=False), warm, in one process,
  against the floor program's per-answer time in its own loop (process start
  excluded on both sides);
- whole process: python -m vellomar.printing.cups --no-printer-check against
  python -c pass, cups-config with the options setup() asks for, and the
  floor program answering once, run in sequence (the sum of the three).

The goal for both is at most 1.5 times the floor at every size. This is a
measurement, not a test: it reports the ratios and checks only that both
sides saw the queues it made. The machine may be busy: only the ratios of
one run mean much.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from typing import IO, Any, Dict, List, NoReturn, Optional, Sequence, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
GOAL = 1.5
CUPS_CONFIG = ["cups-config", "--version", "--api-version", "--build", "--datadir",
               "--serverbin", "--serverroot"]
WARM_CALLS = 5
FLOOR_WARM_ANSWERS = 3
ROUND_SECONDS = 0.1  # the work in one round of a per-call comparison, per side


# ------------------------------------------------------------------ worker
# Runs under --python with the staging tree on its path: it keeps one
# process warm and makes N calls per request read from standard input.

def worker(peer: bool) -> int:
    if peer:
        # The binding people use, as they use it: one connection kept open,
        # the printers' attributes and the default asked on it.
        import cups  # type: ignore[import]
        connection = cups.Connection()

        def ask() -> Any:
            return connection.getPrinters(), connection.getDefault()

        for _ in range(WARM_CALLS):
            printers, default = ask()
        print(json.dumps({"destinations": len(printers), "default": default, "ready": True,
                          "problems": []}), flush=True)
    else:
        from vellomar.printing.cups.readiness import check_readiness

        def ask() -> Any:
            return check_readiness(check_printers=False)

        for _ in range(WARM_CALLS):
            first = ask()
        defaults = [d.name for d in first.destinations if d.default]
        print(json.dumps({"destinations": len(first.destinations),
                          "default": defaults[0] if defaults else None, "ready": first.ready,
                          "problems": [p.message for p in first.problems]}), flush=True)
    perf_counter = time.perf_counter
    for line in sys.stdin:
        n = int(line)
        start = perf_counter()
        for _ in range(n):
            ask()
        elapsed = perf_counter() - start
        print(json.dumps({"seconds": elapsed}), flush=True)
    return 0


# ------------------------------------------------------------------ driver

def fail(message: str) -> NoReturn:
    sys.exit("readiness benchmark: " + message)


def build_floor(work: str) -> str:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        fail("needs a C compiler (cc)")
    flags = ["-lcups"]
    if shutil.which("cups-config"):
        done = subprocess.run(["cups-config", "--cflags", "--libs"], stdout=subprocess.PIPE,
                              universal_newlines=True)
        if done.returncode == 0 and done.stdout.split():
            flags = done.stdout.split()
    program = os.path.join(work, "floor")
    done = subprocess.run([compiler, "-O2", "-o", program, os.path.join(HERE, "floor.c")] + flags,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    if done.returncode != 0:
        fail("floor.c does not build (Debian's libcups2-dev?):\n" + done.stdout)
    return program


def run_floor(program: str, n: int, warm: int, env: Dict[str, str]) -> Tuple[int, str, float]:
    """Runs the floor program; returns (printers, default, seconds of its timed loop)."""
    done = subprocess.run([program, str(n), str(warm)], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
    if done.returncode != 0:
        fail("the floor program failed: " + done.stderr.strip())
    fields = done.stdout.split()
    return int(fields[1]), fields[3], float(fields[5])


class Worker:
    def __init__(self, python: str, env: Dict[str, str], peer: bool = False) -> None:
        self.process = subprocess.Popen(
            [python, os.path.abspath(__file__), "--peer-worker" if peer else "--worker"],
            env=env, cwd=tempfile.gettempdir(),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True)
        self.first = self._read()

    def _read(self) -> Dict[str, object]:
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            self.process.wait()
            fail("the readiness worker exited with status %s" % self.process.returncode)
        answer: Dict[str, object] = json.loads(line)
        return answer

    def calls(self, n: int) -> float:
        stdin: Optional[IO[str]] = self.process.stdin
        assert stdin is not None
        stdin.write("%d\n" % n)
        stdin.flush()
        seconds = self._read()["seconds"]
        assert isinstance(seconds, float)
        return seconds

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        self.process.wait(30)


def wall(command: Sequence[str], env: Dict[str, str]) -> Tuple[float, int]:
    # Away from the source tree, which `python -m` would import first.
    start = time.perf_counter()
    done = subprocess.run(list(command), env=env, cwd=tempfile.gettempdir(),
                          stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    return time.perf_counter() - start, done.returncode


def make_queues(scheduler: Any, have: int, want: int) -> None:
    for i in range(have, want):
        scheduler.add_queue("q%03d" % i)
    if have == 0 and want > 0:
        scheduler.admin("lpadmin", "-d", "q000")


def per_call(program: str, env: Dict[str, str], python_env: Dict[str, str], python: str,
             peer_python: Optional[str], size: int,
             rounds: int) -> Tuple[float, float, Optional[float], int]:
    """Median seconds per answer: (floor, readiness, python3-cups or None,
    answers per round)."""
    printers, default, _ = run_floor(program, 1, 0, env)
    if printers != size or default != "q000":
        fail("the floor program saw %d printers and default %s, not %d and q000"
             % (printers, default, size))
    readiness = Worker(python, python_env)
    peer = Worker(peer_python, env, peer=True) if peer_python else None
    try:
        first = readiness.first
        if first["destinations"] != size or first["default"] != "q000" or not first["ready"]:
            fail("check_readiness saw %s destinations, default %s (ready: %s, problems: %s),"
                 " not %d ready with default q000" % (first["destinations"], first["default"],
                                                      first["ready"], first["problems"], size))
        if peer is not None and (peer.first["destinations"], peer.first["default"]) != (
                size, "q000"):
            fail("python3-cups saw %s printers and default %s" % (peer.first["destinations"],
                                                                 peer.first["default"]))
        # As many answers per round as take about ROUND_SECONDS on the slowest side.
        probes = [readiness.calls(3) / 3, run_floor(program, 3, 1, env)[2] / 3]
        if peer is not None:
            probes.append(peer.calls(3) / 3)
        n = max(3, min(500, int(ROUND_SECONDS / max(probes))))
        floors: List[float] = []
        ours: List[float] = []
        peers: List[float] = []
        sides = [0, 1, 2] if peer is not None else [0, 1]
        for r in range(rounds):
            # Rotating which side goes first spreads drift in the machine's
            # load over all of them.
            for side in sides[r % len(sides):] + sides[:r % len(sides)]:
                if side == 0:
                    floors.append(run_floor(program, n, FLOOR_WARM_ANSWERS, env)[2] / n)
                elif side == 1:
                    ours.append(readiness.calls(n) / n)
                else:
                    assert peer is not None
                    peers.append(peer.calls(n) / n)
    finally:
        readiness.close()
        if peer is not None:
            peer.close()
    return (statistics.median(floors), statistics.median(ours),
            statistics.median(peers) if peers else None, n)


def whole_process(program: str, env: Dict[str, str], python: str,
                  rounds: int) -> Tuple[Dict[str, float], float]:
    """Median wall seconds of the floor's parts and of the diagnostic."""
    parts = {"python": [python, "-c", "pass"], "cups-config": CUPS_CONFIG,
             "floor": [program, "1"]}
    diagnostic = [python, "-m", "vellomar.printing.cups", "--no-printer-check"]
    status = wall(diagnostic, env)[1]  # also leaves the bytecode caches written
    if status not in (0, 3):
        fail("%s exited with status %d" % (" ".join(diagnostic), status))
    times: Dict[str, List[float]] = {name: [] for name in list(parts) + ["sum", "diagnostic"]}
    for r in range(rounds):
        def floor_side() -> None:
            total = 0.0
            for name, command in parts.items():
                seconds, code = wall(command, env)
                if code != 0:
                    fail("%s exited with status %d" % (" ".join(command), code))
                times[name].append(seconds)
                total += seconds
            times["sum"].append(total)

        def our_side() -> None:
            times["diagnostic"].append(wall(diagnostic, env)[0])

        for side in ((floor_side, our_side) if r % 2 == 0 else (our_side, floor_side)):
            side()
    medians = {name: statistics.median(values) for name, values in times.items()}
    return medians, medians["diagnostic"]


def verdict(ratio: float) -> str:
    return "ok" if ratio <= GOAL else "over"


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--sizes", default="1,20,200",
                        help="numbers of queues, comma-separated (default 1,20,200)")
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter that runs the package (default: this one)")
    parser.add_argument("--peer-python", default="/usr/bin/python3",
                        help="interpreter with python3-cups, measured beside (default "
                             "/usr/bin/python3; none to leave it out)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--peer-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker or args.peer_worker:
        return worker(args.peer_worker)
    try:
        sizes = sorted({int(size) for size in args.sizes.split(",")})
    except ValueError:
        parser.error("--sizes takes numbers separated by commas")
    if not sizes or sizes[0] < 1:
        parser.error("--sizes takes numbers of at least 1")
    python = shutil.which(args.python) or args.python
    peer_python: Optional[str] = None
    if args.peer_python != "none":
        found = shutil.which(args.peer_python)
        if found and subprocess.run([found, "-c", "import cups"], stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL).returncode == 0:
            peer_python = found
        else:
            print("(no python3-cups under %s: its column is left out; Debian's python3-cups "
                  "brings it)" % args.peer_python)
    rounds, process_rounds = (5, 5) if args.quick else (21, 15)

    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from private_scheduler import PrivateScheduler, tool  # type: ignore[import]
    missing = [name for name in ("cupsd", "lpadmin") if not tool(name)]
    if missing or not shutil.which("cups-config"):
        fail("needs Debian's cups-daemon, cups-client and libcups2-dev (missing: %s)"
             % ", ".join(missing + ([] if shutil.which("cups-config") else ["cups-config"])))

    stage = os.pathsep.join(os.path.abspath(path) for path in (
        os.environ.get("PYTHONPATH") or os.path.join(ROOT, "build", "stage")).split(os.pathsep))
    work = tempfile.mkdtemp(prefix="readiness-bench-")
    scheduler = PrivateScheduler()
    try:
        program = build_floor(work)
        scheduler.start()
        env = scheduler.environ()  # CUPS_SERVER set, PRINTER and LPDEST gone
        # As a user's environment is: bytecode is cached (the first run of the
        # diagnostic writes it), where PYTHONDONTWRITEBYTECODE would have every
        # run compile the package again.
        python_env = {name: value for name, value in env.items()
                      if name != "PYTHONDONTWRITEBYTECODE"}
        python_env["PYTHONPATH"] = stage
        version = subprocess.run([python, "-c", "import sys; print(sys.version.split()[0])"],
                                 stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()
        print("Python %s (%s), PYTHONPATH=%s, scheduler %s, goal: at most %gx the floor"
              % (version, python, stage, scheduler.server, GOAL))
        calls: List[Tuple[int, float, float, Optional[float], int]] = []
        processes: List[Tuple[int, Dict[str, float], float]] = []
        have = 0
        for size in sizes:
            start = time.monotonic()
            make_queues(scheduler, have, size)
            print("%d queues (added %d in %.1f s)" % (size, size - have,
                                                      time.monotonic() - start), flush=True)
            have = size
            floor, ours, peer, n = per_call(program, env, python_env, python, peer_python,
                                            size, rounds)
            calls.append((size, floor, ours, peer, n))
            processes.append((size,) + whole_process(program, python_env, python,
                                                     process_rounds))

        print("\nPer call, warm, in-process (median of %d rounds, alternating):" % rounds)
        print("%7s %10s %13s %7s %16s %9s  %s" % (
            "queues", "floor ms", "readiness ms", "ratio", "python3-cups ms", "ratio",
            "answers/round"))
        for size, floor, ours, peer, n in calls:
            ratio = ours / floor
            print("%7d %10.3f %13.3f %7.2f %16s %9s  %d  %s" % (
                size, floor * 1e3, ours * 1e3, ratio,
                "%.3f" % (peer * 1e3) if peer else "-", "%.2f" % (ours / peer) if peer else "-",
                n, verdict(ratio) + ("" if not peer else ", %s python3-cups" % (
                    "at most" if ours <= peer else "over"))))
        if peer_python:
            print("(python3-cups under %s: getPrinters() and getDefault() on one kept "
                  "connection; the ratio is readiness to it)" % peer_python)

        print("\nWhole process (median wall time of %d rounds, alternating):" % process_rounds)
        print("%7s %10s %12s %9s %9s %14s %7s" % ("queues", "python ms", "cups-config", "floor1 ms",
                                                 "sum ms", "diagnostic ms", "ratio"))
        for size, parts, diagnostic in processes:
            ratio = diagnostic / parts["sum"]
            print("%7d %10.1f %12.1f %9.1f %9.1f %14.1f %7.2f  %s"
                  % (size, parts["python"] * 1e3, parts["cups-config"] * 1e3,
                     parts["floor"] * 1e3, parts["sum"] * 1e3, diagnostic * 1e3, ratio,
                     verdict(ratio)))
        print("\n(sum: python -c pass + cups-config + floor 1, run in sequence;"
              " diagnostic: python -m vellomar.printing.cups --no-printer-check)")
    finally:
        scheduler.close()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
