"""What check_readiness(destination=...) costs at 5,000 queues, side by side
with its cost at 1 queue: two private schedulers, asked in alternating
rounds from one warm process, medians printed with their ratio (the goal: at
most 1.5). The 5,000 queues are written to printers.conf before their
scheduler starts, as lpadmin would take minutes. For contrast, the cost of
asking about every queue at 5,000 is printed too.

    PYTHONPATH=build/stage python3 bench/one_destination.py [--queues 5000] [--rounds 21]

It needs cupsd (Debian's cups-daemon). Only the private schedulers are
asked, through CUPS_SERVER; never the host's. The machine may be busy:
only the ratio of one run means much.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from private_scheduler import PrivateScheduler  # noqa: E402

from vellomar.printing.cups.readiness import check_readiness  # noqa: E402

GOAL = 1.5
QUEUE = """<Printer {name}>
PrinterId {number}
Info {name}
DeviceURI file:///dev/null
State Idle
StateTime 0
Type 4
Accepting Yes
Shared No
</Printer>
"""


def scheduler_with(queues):
    scheduler = PrivateScheduler()
    with open(os.path.join(scheduler.root, "printers.conf"), "w") as f:
        f.write("".join(QUEUE.format(name="q%04d" % i, number=i + 1) for i in range(queues)))
    started = time.monotonic()
    scheduler.start()
    return scheduler, time.monotonic() - started


def per_call(server, calls, **options):
    os.environ["CUPS_SERVER"] = server
    start = time.perf_counter()
    for _ in range(calls):
        readiness = check_readiness(**options)
    took = (time.perf_counter() - start) / calls
    return took, readiness


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--queues", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--calls", type=int, default=20, help="calls per round and side")
    args = parser.parse_args()
    for name in ("PRINTER", "LPDEST"):
        os.environ.pop(name, None)
    small, _ = scheduler_with(1)
    large, took = scheduler_with(args.queues)
    try:
        print("%d queues written and loaded in %.1f s" % (args.queues, took))
        one, many = [], []
        for _ in range(args.rounds):
            t, readiness = per_call(small.server, args.calls, destination="q0000")
            assert readiness.ready and len(readiness.destinations) == 1, readiness
            one.append(t)
            t, readiness = per_call(large.server, args.calls, destination="q0000")
            assert readiness.ready and len(readiness.destinations) == 1, readiness
            many.append(t)
        every, readiness = per_call(large.server, 3)
        assert len(readiness.destinations) == args.queues, len(readiness.destinations)
        ratio = statistics.median(many) / statistics.median(one)
        print("check_readiness(destination='q0000'), median of %d rounds of %d calls:"
              % (args.rounds, args.calls))
        print("  at 1 queue:      %8.3f ms" % (statistics.median(one) * 1e3))
        print("  at %d queues: %8.3f ms   ratio %.2f  (%s the goal of at most %g)"
              % (args.queues, statistics.median(many) * 1e3, ratio,
                 "meets" if ratio <= GOAL else "MISSES", GOAL))
        print("check_readiness() of every queue at %d queues: %.1f ms" % (args.queues,
                                                                       every * 1e3))
    finally:
        small.close()
        large.close()


if __name__ == "__main__":
    main()
