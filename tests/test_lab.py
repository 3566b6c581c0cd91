"""Readiness against real printers: each situation is stood up with a private
scheduler, ippeveprinter as the printer, a second scheduler as print server,
a delaying proxy or a silent listener; its verdict is then checked against
what a job sent with lp does: the page comes out at the printer, or not.
Where the verdict gives a command, the test runs it and the page must then
come out.

The run fills the table of docs/readiness.md (scripts/make-lab-table.py
sets LAB_TABLE to the file to write it to)."""

import json
import os
import re
import shlex
import shutil
import subprocess
import time
import unittest
from unittest import mock

from lab.delay_proxy import DelayProxy
from lab.printer import VirtualPrinter, ippeveprinter
from private_scheduler import (GET_JOBS, PrivateScheduler, SilentListener, ipp,
                               require_scheduler, tool)
from support import extension_path, require
from test_readiness import stand_in

from vellomar.printing.cups.readiness import check_readiness

QUERY_LIMIT = 2.0
JOB_LIMIT = 8.0
STUCK = 4.0  # a page that has not come out after this is stuck
RESULTS = []


def setUpModule():
    if not os.environ.get("SETUP_LAB"):
        # Real jobs take time: ctest runs them once, in its lab test.
        raise unittest.SkipTest("the lab runs in ctest's lab test (SETUP_LAB=1)")
    extension_path()
    require_scheduler()
    require([] if ippeveprinter() else ["ippeveprinter"], "no IPP Everywhere printer",
            "Debian's cups-ipp-utils", "lab tests")
    require([] if shutil.which("cc") or shutil.which("gcc") else ["cc"],
            "no C compiler for the printer's DNS-SD stub", "Debian's gcc", "lab tests")


def tearDownModule():
    target = os.environ.get("LAB_TABLE")
    if target and RESULTS:
        with open(target, "w") as f:
            json.dump(RESULTS, f, indent=1)


def destination(readiness, name):
    return next(d for d in readiness.destinations if d.name == name)


def verdict(readiness, name):
    found = destination(readiness, name)
    warned = [w for w in readiness.warnings if w.destination in (name, None)]
    return ("ready" if readiness.ready and found.ready else "not ready") + \
        (" + warning" if warned and readiness.ready else "")


def command_of(advice):
    """The first command that the advice gives, as argv."""
    found = re.search(r"`([^`]+)`", advice)
    if found is None:
        raise AssertionError("no command in %r" % advice)
    return shlex.split(found.group(1))


class LabTestCase(unittest.TestCase):
    def setUp(self):
        self.cupsd = PrivateScheduler()
        self.addCleanup(self.cupsd.close)
        self.cupsd.start()
        environ = mock.patch.dict(os.environ, self.cupsd.environ(), clear=True)
        environ.start()
        self.addCleanup(environ.stop)

    def printer(self, **options):
        printer = VirtualPrinter(**options)
        self.addCleanup(printer.close)
        return printer.start()

    def print_server(self, printer, queue="office"):
        server = PrivateScheduler()
        self.addCleanup(server.close)
        server.start()
        server.add_queue(queue, printer.uri)
        return server

    def queue(self, name, uri, default=True):
        self.cupsd.add_queue(name, uri)
        if default:
            self.cupsd.admin("lpadmin", "-d", name)

    def check(self, **limits):
        return check_readiness(setup_module=stand_in(limits.get("query", QUERY_LIMIT),
                                        limits.get("job", JOB_LIMIT)))

    def run_advice(self, advice, scheduler=None):
        argv = command_of(advice)
        (scheduler or self.cupsd).admin(argv[0], *argv[1:])
        return "`%s`" % " ".join(argv)

    def record(self, situation, readiness, name, fate):
        RESULTS.append({"situation": situation, "verdict": verdict(readiness, name),
                        "job": fate})

    def expect_page(self, printer, count, situation, readiness, name, after=""):
        self.assertTrue(printer.wait_for_pages(count, 60), "the page did not come out")
        self.record(situation, readiness, name,
                    "came out" + (" after %s" % after if after else ""))

    def expect_no_page(self, printer, count):
        time.sleep(STUCK)
        self.assertLess(len(printer.pages()), count, "a page came out")


class PrinterTest(LabTestCase):
    """A queue whose device is an IPP Everywhere printer."""

    def test_an_idle_printer_and_device_uris_with_the_backends_options(self):
        printer = self.printer()
        for count, (name, query) in enumerate(
                [("plain", ""), ("options", "?waitjob=false&snmp=false&contimeout=30"),
                 ("unknown-option", "?foo=bar")], 1):
            self.queue(name, printer.uri + query)
            readiness = self.check()
            self.assertTrue(readiness.ready, readiness.problems)
            self.cupsd.submit(name)
            self.expect_page(printer, count, "a printer%s" % (
                " whose device URI carries `%s`" % query if query else ", idle"),
                readiness, name)

    def test_a_printer_that_speaks_ipp_1_1_alone(self):
        printer = self.printer(version="1.1")
        self.queue("old", printer.uri)
        readiness = self.check()
        self.assertTrue(readiness.ready, readiness.problems)
        self.cupsd.submit("old")
        self.expect_page(printer, 1, "a printer that speaks IPP/1.1 alone", readiness, "old")

    def test_out_of_paper(self):
        printer = self.printer()
        self.queue("tray", printer.uri)
        for count, (empty, full, situation) in enumerate(
                [((0, None), (250, None), "a printer out of paper"),
                 ((250, 0), (250, 100), "a printer with paper in its default tray, its "
                                        "by-pass tray empty")], 1):
            printer.main_tray(*empty)
            readiness = self.check()
            self.assertFalse(readiness.ready)
            problem = readiness.problems[0]
            self.assertEqual((problem.kind, problem.advice),
                             ("printer-condition", "load paper into tray"))
            self.cupsd.submit("tray")
            self.expect_no_page(printer, count)
            self.assertFalse(self.check().ready, "a stalled job made it ready")
            printer.main_tray(*full)
            self.expect_page(printer, count, situation, readiness, "tray", "paper was loaded")

    def test_switched_off_slow_and_silent(self):
        printer = self.printer()
        proxy = DelayProxy(printer.port, 3.0)
        self.addCleanup(proxy.close)
        self.queue("slow", "ipp://127.0.0.1:%d/ipp/print" % proxy.port)
        started = time.monotonic()
        readiness = self.check()
        self.assertGreater(time.monotonic() - started, 3.0)
        self.assertTrue(readiness.ready, readiness.problems)
        self.cupsd.submit("slow")
        self.expect_page(printer, 1, "a printer that answers after 3 s (waking up)",
                         readiness, "slow")

        with SilentListener() as silent:
            self.queue("silent", "ipp://%s/ipp/print" % silent.server)
            readiness = self.check()
            self.assertFalse(readiness.ready)
            self.assertIn("accepted a connection but did not answer within %g s" % JOB_LIMIT,
                          destination(readiness, "silent").printer.message)
            self.record("a printer that takes the connection and never answers", readiness,
                        "silent", "none can: nothing prints there")
        self.cupsd.admin("lpadmin", "-x", "silent")

        port = printer.port
        printer.stop()
        self.queue("off", "ipp://127.0.0.1:%d/ipp/print" % port)
        started = time.monotonic()
        readiness = self.check()
        self.assertLess(time.monotonic() - started, QUERY_LIMIT)
        self.assertFalse(readiness.ready)
        self.cupsd.submit("off")
        self.expect_no_page(printer, 2)
        self.record("a printer switched off (its port refuses)", readiness, "off",
                    "did not come out in %g s" % STUCK)


    def test_known_misses_a_refused_document_and_the_wedge_after_it(self):
        # Readiness cannot know a job's document: a raw queue passes on a
        # format that this printer refuses, and the local job completes.
        printer = self.printer(formats="image/pwg-raster")
        self.queue("raster", printer.uri)
        readiness = self.check()
        self.assertTrue(readiness.ready, readiness.problems)
        self.cupsd.submit("raster")
        self.expect_no_page(printer, 1)
        self.record("known miss: the printer refuses the document's format", readiness,
                    "raster", "did not come out: the local job completed")
        # ippeveprinter then keeps the refused job, reports idle, none and
        # accepting, and prints nothing more.
        readiness = self.check()
        self.assertTrue(readiness.ready, readiness.problems)
        raster = os.path.join(self.cupsd.root, "page.pwg")
        with open(raster, "wb") as f:
            f.write(b"RaS2" + bytes(1800))
        self.cupsd.admin("lp", "-d", "raster", "-o", "document-format=image/pwg-raster", raster)
        self.expect_no_page(printer, 1)
        self.record("known miss: a printer wedged after refusing a document (idle, none, "
                    "accepting)", readiness, "raster", "did not come out in %g s" % STUCK)

    def test_relayed_offline_with_a_job_waiting(self):
        # A usb or dnssd device, which cannot be asked from here, that is off:
        # the backend relays offline-report while the job waits for it.
        self.cupsd.hold_condition("usb", ["offline-report"])
        readiness = self.check()
        self.assertFalse(readiness.ready)
        self.assertEqual([(r.keyword, r.severity) for r in destination(readiness, "usb").reasons
                          if r.keyword == "offline-report"], [("offline-report", "blocking")])
        self.record("a printer that cannot be asked (usb) is off, with a job waiting "
                    "(offline-report)", readiness, "usb", "did not come out")


class PrintServerTest(LabTestCase):
    """A queue whose device is a queue of another CUPS scheduler, which
    prints on an IPP Everywhere printer."""

    def test_jobs_at_the_print_server(self):
        printer = self.printer(print_seconds=3)
        server = self.print_server(printer)
        self.queue("desk", server.uri("office"))
        self.cupsd.submit("desk")
        # While the first job prints at the print server, the queue reports
        # cups-remote-*; the next job prints after it.
        deadline = time.monotonic() + 20
        while not any(r.startswith("cups-remote-") for r in self.cupsd.state("desk")[1]):
            self.assertLess(time.monotonic(), deadline, "no cups-remote-* reason was seen")
            time.sleep(0.1)
        readiness = self.check()
        self.assertTrue(readiness.ready, readiness.problems)
        self.cupsd.submit("desk")
        self.expect_page(printer, 2, "a job printing at the print server (cups-remote-*)",
                         readiness, "desk")

    def test_stopped_and_refusing_at_the_print_server(self):
        printer = self.printer()
        server = self.print_server(printer)
        self.queue("desk", server.uri("office"))
        for count, (stop, situation) in enumerate(
                [(("cupsdisable", "office"), "the print server's queue is paused"),
                 (("cupsreject", "office"), "the print server's queue refuses jobs")], 1):
            server.admin(*stop)
            readiness = self.check()
            self.assertFalse(readiness.ready)
            self.assertEqual(len(readiness.problems), 1, readiness.problems)
            self.cupsd.submit("desk")
            self.expect_no_page(printer, count)
            step = self.run_advice(readiness.problems[0].advice, server)
            self.expect_page(printer, count, situation, readiness, "desk", step)

    def test_known_miss_two_print_servers_deep(self):
        # Only the next hop is asked: the first print server answers idle
        # while its own printer, a queue of a second one, is paused.
        printer = self.printer()
        far = self.print_server(printer)
        near = self.print_server(printer, "relay")
        near.admin("lpadmin", "-p", "relay", "-v", far.uri("office"))
        far.admin("cupsdisable", "office")
        self.queue("desk", near.uri("relay"))
        readiness = self.check()
        self.assertTrue(readiness.ready, readiness.problems)
        self.cupsd.submit("desk")
        self.expect_no_page(printer, 1)
        self.record("known miss: a print server whose printer is a paused queue of a second "
                    "print server", readiness, "desk", "did not come out in %g s" % STUCK)

    def test_holding_new_jobs(self):
        printer = self.printer()
        self.queue("hold", printer.uri)
        self.cupsd.admin("cupsdisable", "--hold", "hold")
        readiness = self.check()
        self.assertEqual(verdict(readiness, "hold"), "ready + warning")
        self.cupsd.submit("hold")
        self.expect_page(printer, 1, "a queue holding new jobs (`cupsdisable --hold`)",
                         readiness, "hold")

    def test_held_for_release(self):
        printer = self.printer()
        server = self.print_server(printer)
        server.admin("lpadmin", "-p", "office", "-o", "job-hold-until-default=indefinite")
        self.queue("desk", server.uri("office"))
        readiness = self.check()
        self.assertEqual(verdict(readiness, "desk"), "ready + warning")
        self.assertEqual([w.kind for w in readiness.warnings], ["held-for-release"])
        self.cupsd.submit("desk")
        self.expect_no_page(printer, 1)
        jobs = ipp(server.port, GET_JOBS, uri=server.uri("office"), requested=["job-id"])
        advice = readiness.warnings[0].advice.replace("JOB", "office-%d" % jobs[0]["job-id"][0])
        step = self.run_advice(advice[advice.index("and `"):], server)
        self.expect_page(printer, 1, "the print server holds jobs for release", readiness,
                         "desk", step)


class QueueTest(LabTestCase):
    """What the local scheduler decides: classes and the default."""

    def test_a_class_whose_printers_are_stopped(self):
        printer = self.printer()
        for member in ("m1", "m2"):
            self.queue(member, printer.uri, default=False)
            self.cupsd.admin("lpadmin", "-p", member, "-c", "team")
            self.cupsd.admin("cupsdisable", member)
        self.cupsd.admin("cupsenable", "team")
        self.cupsd.admin("cupsaccept", "team")
        self.cupsd.admin("lpadmin", "-d", "team")
        readiness = self.check()
        self.assertFalse(readiness.ready)
        advice = [p.advice for p in readiness.problems if p.destination == "team"]
        self.assertIn("`cupsenable m1`; `cupsenable m2`", advice[0])
        self.cupsd.submit("team")
        self.expect_no_page(printer, 1)
        step = self.run_advice(advice[0])
        self.expect_page(printer, 1, "a class whose printers are all stopped", readiness,
                         "team", step)

    def test_no_default(self):
        printer = self.printer()
        self.queue("only", printer.uri, default=False)
        readiness = self.check()
        self.assertEqual(verdict(readiness, "only"), "ready + warning")
        self.assertEqual([w.kind for w in readiness.warnings], ["no-default"])
        lp = subprocess.run([tool("lp"), self.cupsd.document], env=dict(os.environ, LANG="C"),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertNotEqual(lp.returncode, 0)
        step = self.run_advice(readiness.warnings[0].advice)
        self.cupsd.admin("lp", self.cupsd.document)
        self.expect_page(printer, 1, "no default destination", readiness, "only",
                         "%s (`lp FILE` fails before)" % step)
