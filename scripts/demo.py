"""The run target's demonstration, for a host where no CUPS scheduler runs:
a private scheduler and a virtual IPP Everywhere printer on loopback (the
tests' lab), then readiness, a page printed through print_file, and the job
followed until the page is at the printer. Everything it starts is stopped.

Run with the staging tree on PYTHONPATH:  python3 scripts/demo.py
Exit status: 0 when shown, or when it is not needed or cannot be given here
(it says why); 1 when the page did not come out."""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from vellomar.printing.cups import (SCHEDULER_NOT_RUNNING, TOOLS_MISSING,  # noqa: E402
                                    check_readiness, print_file)


def why_not() -> str:
    from lab.printer import ippeveprinter
    from private_scheduler import tool
    missing = [name for name, found in (("cupsd (cups-daemon)", tool("cupsd")),
                                        ("lpadmin (cups-client)", tool("lpadmin")),
                                        ("ippeveprinter (cups-ipp-utils)", ippeveprinter()),
                                        ("cc (gcc)", shutil.which("cc") or shutil.which("gcc")))
               if not found]
    if missing:
        return "it needs " + ", ".join(missing)
    if os.geteuid() != 0:
        return "it runs as root (a private scheduler runs its backends as the lp user)"
    return ""


def main() -> int:
    kinds = {p.kind for p in check_readiness(check_printers=False).problems}
    if not kinds & {SCHEDULER_NOT_RUNNING, TOOLS_MISSING}:
        print("demonstration: not needed, a CUPS scheduler answers here")
        return 0
    reason = why_not()
    if reason:
        print("demonstration: not given here:", reason)
        return 0
    from lab.printer import VirtualPrinter
    from private_scheduler import PrivateScheduler
    print("\ndemonstration: no CUPS scheduler runs here, so one of our own is started on "
          "loopback, with a virtual IPP Everywhere printer")
    printer = VirtualPrinter(name="demo printer")
    scheduler = PrivateScheduler()
    try:
        printer.start()
        scheduler.start()
        scheduler.add_queue("demo", printer.uri)
        scheduler.admin("lpadmin", "-d", "demo")
        os.environ["CUPS_SERVER"] = scheduler.server
        for name in ("PRINTER", "LPDEST"):
            os.environ.pop(name, None)
        print("$ CUPS_SERVER=%s python3 -m vellomar.printing.cups" % scheduler.server)
        sys.stdout.flush()
        subprocess.run([sys.executable, "-m", "vellomar.printing.cups"], check=False)
        job = print_file(b"Hello from vellomar\n", title="demonstration",
                         document_format="text/plain")
        print("print_file: job %d on %s" % (job.id, job.destination))
        seen = None
        until = time.monotonic() + 30
        status = job.status()
        while time.monotonic() < until:
            shown = (status.state, tuple((h.at, h.state) for h in status.hops))
            if shown != seen:
                print("  job %s (%s)" % (status.state, ", ".join(
                    "%s: %s" % pair for pair in shown[1])))
                seen = shown
            if status.final:
                break
            time.sleep(0.2)
            status = job.status()
        came_out = printer.wait_for_pages(1, 10)
        print("the page %s at the printer" % ("came out" if came_out else "did NOT come out"))
        return 0 if came_out and status.state == "completed" else 1
    finally:
        scheduler.close()
        printer.close()
        print("demonstration: scheduler and printer stopped")


if __name__ == "__main__":
    sys.exit(main())
