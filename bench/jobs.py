"""What printing through the package costs, side by side in one run,
against a private scheduler on loopback (run as root: the scheduler runs
its backends as lp):

- 100 small jobs submitted with print_file(), with python3-cups' printFile
  under Debian's /usr/bin/python3, and with 100 `lp` processes; each side's
  loop timed in a warm worker process of its own, the sides alternating
  over the rounds; ratios of the medians;
- one 200 MiB document with print_file() and with `lp`: throughput, and
  print_file's peak RSS growth over its interpreter's baseline for a
  2 MiB and a 200 MiB document.

    PYTHONPATH=build/stage python3 bench/jobs.py [--quick] [--python PATH]
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

QUEUE = "bench"


def worker(side, count, path):
    """Submits count jobs of path after one warm-up; prints the loop's
    seconds and the peak RSS growth in KiB."""
    if side == "ours":
        from vellomar.printing.cups import ipp, print_file  # loaded before the baseline
        assert ipp

        def submit():
            print_file(path, QUEUE, document_format="application/octet-stream")
    elif side == "printfile":
        import cups
        connection = cups.Connection()

        def submit():
            connection.printFile(QUEUE, path, "bench", {})
    else:
        lp = shutil.which("lp")

        def submit():
            subprocess.run([lp, "-d", QUEUE, path], stdout=subprocess.DEVNULL, check=True)
    if count > 1:
        submit()
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    started = time.perf_counter()
    for _ in range(count):
        submit()
    took = time.perf_counter() - started
    print(took, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)


def run_worker(python, side, count, path, env):
    out = subprocess.run([python, os.path.abspath(__file__), "--worker", side, str(count), path],
                         env=env, stdout=subprocess.PIPE, check=True,
                         universal_newlines=True).stdout.split()
    return float(out[0]), int(out[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds, 20 jobs")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--peer-python", default="/usr/bin/python3")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker[0], int(args.worker[1]), args.worker[2])
        return 0

    from private_scheduler import PrivateScheduler
    rounds, count, big_rounds = (3, 20, 1) if args.quick else (7, 100, 3)
    have_peer = subprocess.run([args.peer_python, "-c", "import cups"],
                               stderr=subprocess.DEVNULL).returncode == 0
    scheduler = PrivateScheduler()
    work = tempfile.mkdtemp(prefix="bench-jobs-")
    try:
        scheduler.start()
        # The scheduler spools each document and its device discards it:
        # what is measured is the submission.
        scheduler.add_queue(QUEUE, "file:///dev/null")
        env = dict(scheduler.environ(), LANG="C")
        small = os.path.join(work, "small.txt")
        with open(small, "w") as f:
            f.write("a page\n")
        sides = ["ours", "lp"] + (["printfile"] if have_peer else [])
        times = {side: [] for side in sides}
        for _ in range(rounds):
            for side in sides:
                python = args.peer_python if side == "printfile" else args.python
                times[side].append(run_worker(python, side, count, small, env)[0])
        median = {side: statistics.median(values) for side, values in times.items()}
        print("%d small jobs, median of %d rounds (s): " % (count, rounds) + ", ".join(
            "%s %.3f" % (side, median[side]) for side in sides))
        if have_peer:
            print("  print_file / printFile  %.2f" % (median["ours"] / median["printfile"]))
            print("  lp / printFile          %.2f" % (median["lp"] / median["printfile"]))
        else:
            print("  (no python3-cups for %s: printFile not measured)" % args.peer_python)
        print("  print_file / lp         %.2f" % (median["ours"] / median["lp"]))

        big = os.path.join(work, "big.bin")
        middle = os.path.join(work, "middle.bin")
        for path, size in ((big, 200 << 20), (middle, 2 << 20)):
            with open(path, "wb") as f:
                f.truncate(size)
        ours, lp, growth = [], [], {}
        for _ in range(big_rounds):
            took, grew = run_worker(args.python, "ours", 1, big, env)
            ours.append(took)
            growth["200 MiB"] = grew
            lp.append(run_worker(args.python, "lp", 1, big, env)[0])
            scheduler.admin("cancel", "-a", "-x", QUEUE)
        growth["2 MiB"] = run_worker(args.python, "ours", 1, middle, env)[1]
        print("one 200 MiB document, median of %d (MiB/s): print_file %.0f, lp %.0f, "
              "ratio %.2f" % (big_rounds, 200 / statistics.median(ours),
                              200 / statistics.median(lp),
                              statistics.median(lp) / statistics.median(ours)))
        print("  print_file's peak RSS growth: %.1f MiB for 2 MiB, %.1f MiB for 200 MiB, "
              "difference %.1f MiB" % (growth["2 MiB"] / 1024, growth["200 MiB"] / 1024,
                                       (growth["200 MiB"] - growth["2 MiB"]) / 1024))
    finally:
        scheduler.close()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
