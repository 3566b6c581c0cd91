"""What being told of changes costs and gains, side by side in one run,
against a private scheduler on loopback and a private D-Bus system bus (run
as root: the scheduler runs its backends as lp). Three observers, each a
process of its own, see the same changes at the same time:

- "bus": watch_readiness() told over the scheduler's D-Bus notifier;
- "asking": watch_readiness() whose bus cannot be reached, so it asks for
  events on its default interval (1 s);
- "loop": check_readiness() called once a second, as a program without a
  watch would.

It prints the median latency from a change (cupsdisable or cupsenable has
returned) to the new answer in each observer, over 50 changes at random
moments, and each observer's CPU time over 60 s in which nothing changes,
with the ratios to the loop's.

    PYTHONPATH=build/stage python3 bench/watch.py [--quick]
"""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))


def observe(side):
    """Prints "seen MONOTONIC READY" for each new verdict about q1, and
    "cpu SECONDS" at each SIGUSR1."""
    signal.signal(signal.SIGUSR1, lambda *_: print("cpu %.6f" % time.process_time(),
                                                  flush=True))
    from vellomar.printing.cups import check_readiness, watch_readiness
    print("started", flush=True)
    if side == "loop":
        last = None
        while True:
            ready = check_readiness(check_printers=False).ready
            if ready != last:
                print("seen %.6f %d" % (time.monotonic(), ready), flush=True)
                last = ready
            time.sleep(1.0)
    with watch_readiness(check_printers=False) as watch:
        last = None
        for readiness in watch:
            if readiness.ready != last:
                print("seen %.6f %d" % (time.monotonic(), readiness.ready), flush=True)
                last = readiness.ready


class Observer:
    def __init__(self, side, env):
        self.side = side
        self.lines = []
        self.condition = threading.Condition()
        self.process = subprocess.Popen([sys.executable, os.path.abspath(__file__),
                                         "--observe", side], env=env, stdout=subprocess.PIPE,
                                        universal_newlines=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.condition:
                self.lines.append(line.split())
                self.condition.notify_all()

    def wait_for(self, kind, value=None, after=0, within=10.0):
        """The first line of that kind (and value) from index after on:
        (index, words)."""
        until = time.monotonic() + within
        with self.condition:
            while True:
                for index in range(after, len(self.lines)):
                    words = self.lines[index]
                    if words[0] == kind and (value is None or words[2] == value):
                        return index, words
                left = until - time.monotonic()
                if left <= 0:
                    raise RuntimeError("%s: no %s %s within %g s" % (self.side, kind, value,
                                                                     within))
                self.condition.wait(left)

    def cpu(self):
        mark = len(self.lines)
        self.process.send_signal(signal.SIGUSR1)
        return float(self.wait_for("cpu", after=mark)[1][1])

    def close(self):
        self.process.kill()
        self.process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="10 changes and 10 s idle")
    parser.add_argument("--observe")
    args = parser.parse_args()
    if args.observe:
        return observe(args.observe)
    from lab.bus import PrivateBus
    from private_scheduler import PrivateScheduler
    changes, idle = (10, 10.0) if args.quick else (50, 60.0)
    bus = PrivateBus().start()
    cupsd = PrivateScheduler(bus_address=bus.address)
    observers = []
    try:
        cupsd.start()
        cupsd.add_queue("q1")
        cupsd.admin("lpadmin", "-d", "q1")
        env = dict(cupsd.environ(), DBUS_SYSTEM_BUS_ADDRESS=bus.address)
        observers = [Observer("bus", env),
                     Observer("asking", dict(env, DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")),
                     Observer("loop", env)]
        marks = {}
        for observer in observers:
            marks[observer.side] = observer.wait_for("seen", "1")[0] + 1
        time.sleep(2)  # the watches' subscriptions made and asked once more
        latencies = {observer.side: [] for observer in observers}
        ready = True
        for _ in range(changes):
            time.sleep(random.uniform(0.2, 1.2))  # at a random moment of each interval
            ready = not ready
            cupsd.admin("cupsenable" if ready else "cupsdisable", "q1")
            changed = time.monotonic()
            for observer in observers:
                index, words = observer.wait_for("seen", str(int(ready)),
                                                 after=marks[observer.side])
                marks[observer.side] = index + 1
                latencies[observer.side].append(float(words[1]) - changed)
        if not ready:
            cupsd.admin("cupsenable", "q1")
            for observer in observers:
                observer.wait_for("seen", "1", after=marks[observer.side])
        time.sleep(2)
        before = {observer.side: observer.cpu() for observer in observers}
        time.sleep(idle)
        spent = {observer.side: observer.cpu() - before[observer.side]
                 for observer in observers}
        loop_latency = statistics.median(latencies["loop"])
        print("latency from a change to the new answer, median of %d changes:" % changes)
        for side in ("bus", "asking", "loop"):
            median = statistics.median(latencies[side])
            print("  %-7s %6.3f s   %.2f x the 1 s loop's" % (side, median,
                                                            median / loop_latency))
        print("CPU time over %g s with no change (of one core):" % idle)
        for side in ("bus", "asking", "loop"):
            print("  %-7s %6.3f s = %.3f%%   %.2f x the 1 s loop's" % (
                side, spent[side], 100 * spent[side] / idle, spent[side] / spent["loop"]))
    finally:
        for observer in observers:
            observer.close()
        cupsd.close()
        bus.close()


if __name__ == "__main__":
    main()
