"""watch_readiness() against a real scheduler (on a private D-Bus system bus,
or asked for its events), ippeveprinter and the diagnostic's --watch: each
change is seen, soon, without the scheduler asked for every queue while
nothing changes; a verdict that a change brings is checked against whether
the page then comes out."""

import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from unittest import mock

from lab.bus import PrivateBus, dbus_daemon
from lab.printer import VirtualPrinter
from private_scheduler import PrivateScheduler
from support import STAGE, require
from test_lab import QUERY_LIMIT, STUCK, setUpModule as lab_requirements
from test_readiness import stand_in

from vellomar.printing.cups import ipp, watch
from vellomar.printing.cups.watch import watch_readiness, watch_readiness_async

SOON = 2.0  # a change seen over the bus, with room for a loaded host
POLL = 0.5


def setUpModule():
    lab_requirements()
    require([] if dbus_daemon() else ["dbus-daemon"], "no D-Bus daemon for a private bus",
            "Debian's dbus-daemon", "watch tests")
    require([] if hasattr(ipp, "BusListener") else ["libdbus"],
            "the IPP client was built without libdbus", "Debian's libdbus-1-dev", "watch tests")


def queue(readiness, name):
    return next((d for d in readiness.destinations if d.name == name), None)


class Follower:
    """Iterates a watch on a thread of its own; until() waits for an answer
    that satisfies a condition."""

    def __init__(self, test, watch_):
        self.watch = watch_
        self.answers = []
        self.condition = threading.Condition()
        self.error = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        test.addCleanup(self.close)

    def _run(self):
        try:
            for readiness in self.watch:
                with self.condition:
                    self.answers.append((time.monotonic(), readiness))
                    self.condition.notify_all()
        except BaseException as error:
            self.error = error

    def until(self, check, within, what):
        deadline = time.monotonic() + within
        with self.condition:
            while True:
                for at, readiness in self.answers:
                    if check(readiness):
                        self.answers.clear()
                        return at, readiness
                left = deadline - time.monotonic()
                if left <= 0 or self.error is not None:
                    raise AssertionError("not seen within %g s: %s (error: %r)"
                                         % (within, what, self.error))
                self.condition.wait(left)

    def close(self):
        self.watch.close()
        self.thread.join(10)
        assert not self.thread.is_alive(), "the watch outlived its close by 10 s"


class WatchTestCase(unittest.TestCase):
    bus_reaches_scheduler = True
    we_listen_on_bus = False

    def setUp(self):
        self.bus = PrivateBus().start()
        self.addCleanup(self.bus.close)
        self.cupsd = PrivateScheduler(
            bus_address=self.bus.address if self.bus_reaches_scheduler else None,
            access_log=True)
        self.addCleanup(self.cupsd.close)
        self.cupsd.start()
        environ = mock.patch.dict(os.environ, self.cupsd.environ(), clear=True)
        environ.start()
        self.addCleanup(environ.stop)
        os.environ["HOME"] = tempfile.mkdtemp(prefix="watch-home-")
        self.addCleanup(shutil.rmtree, os.environ["HOME"], True)
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = (
            self.bus.address if self.bus_reaches_scheduler or self.we_listen_on_bus
            else "unix:path=/nonexistent/bus")
        self.cupsd.add_queue("q1")
        self.cupsd.admin("lpadmin", "-d", "q1")

    def watch(self, **options):
        options.setdefault("setup_module", stand_in(QUERY_LIMIT))
        options.setdefault("poll_interval", POLL)
        return watch_readiness(**options)

    def requests(self):
        """The operations the scheduler was asked for, as its access log has them."""
        with open(os.path.join(self.cupsd.root, "log", "access_log")) as f:
            return [line.split()[-2] for line in f if "POST" in line]

    def count_soon(self, operation, count):
        """Whether the access log shows count of operation, within a second
        (the scheduler logs a request after answering it)."""
        until = time.monotonic() + 1
        while self.requests().count(operation) != count and time.monotonic() < until:
            time.sleep(0.02)
        return self.requests().count(operation) == count


class BusWatchTest(WatchTestCase):
    def test_changes_seen_at_once_and_nothing_asked_while_nothing_changes(self):
        follower = Follower(self, self.watch(check_printers=False))
        _, first = follower.until(lambda r: True, SOON, "the first answer")
        self.assertTrue(first.ready, first.problems)
        subscription = follower.watch._subscription
        steps = [
            (lambda: self.cupsd.admin("cupsdisable", "q1"),
             lambda r: queue(r, "q1").state == "stopped" and not r.ready, "cupsdisable"),
            (lambda: self.cupsd.admin("lp", "-d", "q1", self.cupsd.document),
             lambda r: queue(r, "q1").queued_jobs == 1, "a job queued"),
            (lambda: self.cupsd.admin("cupsenable", "q1"),
             lambda r: queue(r, "q1").queued_jobs == 0 and r.ready, "cupsenable, the job done"),
            (lambda: self.cupsd.add_queue("q2"),
             lambda r: queue(r, "q2") is not None, "a queue added"),
            (lambda: self.cupsd.admin("lpadmin", "-x", "q2"),
             lambda r: queue(r, "q2") is None, "a queue deleted"),
        ]
        for act, check, what in steps:
            started = time.monotonic()
            act()
            at, _ = follower.until(check, SOON, what)
            self.assertLess(at - started, SOON, what)
        self.assertEqual(subscription.method, "dbus")
        # Idle: the scheduler is not asked for its queues.
        before = len(self.requests())
        time.sleep(3)
        self.assertNotIn("CUPS-Get-Printers", self.requests()[before:])
        follower.close()
        self.assertTrue(self.count_soon("Cancel-Subscription", 1))

    def test_a_restarted_scheduler_and_an_expired_lease(self):
        with mock.patch.object(watch, "_LEASE", 3), self.watch(check_printers=False) as w:
            self.assertTrue(next(w).ready)
            # Nobody renews while nobody iterates: the lease runs out.
            time.sleep(5)
            self.cupsd.admin("cupsdisable", "q1")
            started = time.monotonic()
            self.assertFalse(next(w).ready)
            self.assertLess(time.monotonic() - started, SOON)
            self.assertTrue(self.count_soon("Create-Printer-Subscriptions", 2))
            self.cupsd.stop()
            down = next(w)
            self.assertFalse(down.scheduler.ok)
            self.cupsd.start()
            # Asked again within the first pauses (1 s, 2 s) of its retries.
            self.assertTrue(next(w).scheduler.ok)
            self.cupsd.admin("cupsenable", "q1")
            started = time.monotonic()
            self.assertTrue(next(w).ready)
            self.assertLess(time.monotonic() - started, SOON)

    def test_out_of_paper_then_loaded_judged_by_the_page(self):
        printer = VirtualPrinter()
        self.addCleanup(printer.close)
        printer.start()
        self.cupsd.add_queue("office", printer.uri)
        self.cupsd.admin("lpadmin", "-d", "office")
        interval = 1.0
        follower = Follower(self, self.watch(printer_interval=interval,
                                             destination="office"))
        follower.until(lambda r: r.ready, SOON + interval, "ready with paper")
        printer.main_tray(0)
        follower.until(lambda r: not r.ready, interval + SOON, "out of paper")
        self.cupsd.submit("office")
        time.sleep(STUCK)
        self.assertEqual(printer.pages(), [], "a page came out without paper")
        printer.main_tray(250)
        follower.until(lambda r: r.ready, interval + SOON, "paper loaded")
        self.assertTrue(printer.wait_for_pages(1, 60), "the page did not come out")

    def test_a_print_server_tells_its_own_changes_judged_by_the_page(self):
        printer = VirtualPrinter()
        self.addCleanup(printer.close)
        printer.start()
        server = PrivateScheduler(access_log=True)
        self.addCleanup(server.close)
        server.start()
        server.add_queue("office", printer.uri)
        self.cupsd.add_queue("remote", server.uri("office"))
        self.cupsd.admin("lpadmin", "-d", "remote")
        # The printer interval is long: only the print server's own
        # subscription can tell of its change in time.
        follower = Follower(self, self.watch(printer_interval=600))
        follower.until(lambda r: r.ready, SOON, "ready")
        server.admin("cupsdisable", "office")
        follower.until(lambda r: not r.ready, POLL + SOON, "stopped at the print server")
        self.cupsd.submit("remote")
        time.sleep(STUCK)
        self.assertEqual(printer.pages(), [], "a page came out of a stopped print server")
        server.admin("cupsenable", "office")
        follower.until(lambda r: r.ready, POLL + SOON, "started at the print server")
        self.assertTrue(printer.wait_for_pages(1, 60), "the page did not come out")

    def test_asyncio_never_blocks_the_loop_and_a_timeout_keeps_the_watch(self):
        async def scenario():
            gaps = []

            async def ticker():
                last = time.monotonic()
                while True:
                    await asyncio.sleep(0.01)
                    gaps.append(time.monotonic() - last)
                    last = time.monotonic()
            ticking = asyncio.ensure_future(ticker())
            async with watch_readiness_async(check_printers=False, poll_interval=POLL,
                                             setup_module=stand_in(QUERY_LIMIT)) as w:
                self.assertTrue((await w.__anext__()).ready)
                threading.Timer(0.5, self.cupsd.admin, ("cupsdisable", "q1")).start()
                seen = await asyncio.wait_for(w.__anext__(), SOON + 0.5)
                self.assertFalse(seen.ready)
                # A wait that times out leaves the watch to the next one.
                with self.assertRaises(asyncio.TimeoutError):
                    await asyncio.wait_for(w.__anext__(), 0.3)
                self.assertFalse(w.closed)
                self.cupsd.admin("cupsenable", "q1")
                self.assertTrue((await asyncio.wait_for(w.__anext__(), SOON)).ready)
            ticking.cancel()
            self.assertLess(max(gaps), 0.25, "the event loop was blocked")
        asyncio.run(scenario())


class PolledWatchTest(WatchTestCase):
    """A scheduler whose notifier cannot reach this process's bus."""

    bus_reaches_scheduler = False

    def test_two_watches_share_one_subscription(self):
        first = Follower(self, self.watch(check_printers=False))
        second = Follower(self, self.watch(destination="q1", check_printers=False))
        for follower in (first, second):
            follower.until(lambda r: r.ready, SOON, "the first answer")
        self.cupsd.admin("cupsdisable", "q1")
        for follower in (first, second):
            follower.until(lambda r: not r.ready, POLL + SOON, "cupsdisable, polled")
        self.assertEqual(first.watch._subscription, second.watch._subscription)
        self.assertEqual(first.watch._subscription.method, "ippget")
        self.assertEqual(self.requests().count("Create-Printer-Subscriptions"), 1)
        first.close()
        self.assertFalse(self.count_soon("Cancel-Subscription", 1))
        second.close()
        self.assertTrue(self.count_soon("Cancel-Subscription", 1))

    def test_the_diagnostic_watches_until_ctrl_c(self):
        env = dict(os.environ, PYTHONPATH=STAGE)
        for args in ([], ["--json"]):
            process = subprocess.Popen(
                [sys.executable, "-m", "vellomar.printing.cups", "--watch",
                 "--no-printer-check"] + args, env=env, cwd="/", stdout=subprocess.PIPE,
                universal_newlines=True)
            self.addCleanup(process.kill)
            lines = []
            reader = threading.Thread(target=lambda: lines.extend(process.stdout), daemon=True)
            reader.start()
            time.sleep(2)
            self.cupsd.admin("cupsdisable", "q1")
            time.sleep(2)
            process.send_signal(signal.SIGINT)
            self.assertEqual(process.wait(10), 0)
            reader.join(5)
            process.stdout.close()
            self.cupsd.admin("cupsenable", "q1")
            if args:
                objects = [json.loads(line) for line in lines]
                self.assertTrue(objects[0]["ready"])
                self.assertFalse(objects[-1]["ready"])
                self.assertIn({"destination": "q1", "what": "state idle -> stopped"},
                              objects[-1]["changes"])
            else:
                changed = [line for line in lines if " q1: " in line]
                self.assertEqual(len(changed), 1, lines)
                self.assertIn("state idle -> stopped", changed[0])
                self.assertIn("not ready: `cupsenable q1`", changed[0])
        # Ctrl-C ended each cleanly: its subscription was cancelled.
        self.assertTrue(self.count_soon("Cancel-Subscription", 2))


class NotifierElsewhereTest(WatchTestCase):
    """This process has a bus, but the scheduler's notifier sends to another."""

    bus_reaches_scheduler = False
    we_listen_on_bus = True

    def test_changes_found_by_asking_and_a_killed_scheduler_said(self):
        follower = Follower(self, self.watch(check_printers=False, printer_interval=1.0))
        follower.until(lambda r: r.ready, SOON, "the first answer")
        time.sleep(1)  # subscribed, and asked once more since
        self.cupsd.admin("cupsdisable", "q1")
        # The scheduler is asked for its events every 10 s on the bus path.
        follower.until(lambda r: not r.ready, watch._BUS_CHECK + SOON, "cupsdisable, unsignalled")
        self.assertEqual(follower.watch._subscription.method, "ippget")
        self.cupsd.process.kill()
        _, down = follower.until(lambda r: not r.scheduler.ok, 1.0 + SOON, "the scheduler killed")
        self.assertFalse(down.ready)

    def test_a_bus_that_never_answers(self):
        os.kill(self.bus.pid, signal.SIGSTOP)
        self.addCleanup(os.kill, self.bus.pid, signal.SIGCONT)
        with self.watch(check_printers=False) as w:
            started = time.monotonic()
            self.assertTrue(next(w).ready)
            self.assertLess(time.monotonic() - started, 2 + SOON)  # the bus's 2 s, then asking
            self.cupsd.admin("cupsdisable", "q1")
            self.assertFalse(next(w).ready)
            self.assertLess(time.monotonic() - started, 2 + POLL + 2 * SOON)
