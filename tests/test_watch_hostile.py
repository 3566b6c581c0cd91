"""A watch against a scheduler whose notifications misbehave
(tests/lab/notification_server.py): endless events, a sequence number that
jumps to its end, garbage and drips. It must not spin, grow or outlive its
time bounds."""

import os
import threading
import time
import tracemalloc

from lab.hostile_peer import PeerProcess
from test_hostile_peers import SCALE, HostileTestCase
from test_readiness import stand_in

HERE = os.path.dirname(os.path.abspath(__file__))
RUN = 2.0 * SCALE  # how long each watch runs
POLL = 0.1


def notification_server(mode):
    return PeerProcess(os.path.join(HERE, "lab", "notification_server.py"), [mode])


class HostileNotificationsTest(HostileTestCase):
    def setUp(self):
        super().setUp()
        from vellomar.printing.cups import watch
        self.watch = watch
        # No bus: the watch asks for its events.
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=/nonexistent/bus"

    def run_watch(self, mode, during=None, seconds=RUN):
        """Runs a watch against the server in mode on a thread of its own
        for seconds, or, with during, while during(server) runs."""
        server = notification_server(mode)
        self.addCleanup(server.close)
        os.environ["CUPS_SERVER"] = server.server
        watch = self.watch.watch_readiness(check_printers=False, poll_interval=POLL,
                                           printer_interval=1.0,
                                           setup_module=stand_in(1.0 * SCALE))
        first = next(watch)
        answers = []

        def iterate():
            for readiness in watch:
                answers.append(readiness)
        thread = threading.Thread(target=iterate, daemon=True)
        thread.start()
        if during is None:
            time.sleep(seconds)
        else:
            during(server)
        closed = time.monotonic()
        watch.close()
        thread.join(10 * SCALE)
        self.assertFalse(thread.is_alive(), "the watch outlived its close by 10 s")
        return first, answers, server.counts(), time.monotonic() - closed

    def test_nothing_changes_however_the_notifications_misbehave(self):
        for mode in ("endless", "jump", "garbage", "drip"):
            with self.subTest(mode=mode):
                first, answers, counts, closing = self.run_watch(mode)
                self.assertTrue(first.ready, first.problems)
                self.assertEqual(answers, [], "nothing changed at the scheduler")
                # At most one Get-Notifications per interval, and the
                # scheduler asked again at most once a second.
                self.assertLessEqual(counts.get("Get-Notifications", 0), RUN / POLL + 3)
                self.assertLessEqual(counts.get("CUPS-Get-Printers", 0), RUN + 3)
                # Every subscription made was cancelled.
                self.assertEqual(counts.get("Create", 0), counts.get("Cancel", 0))
                # A Get-Notifications waits at most 5 s and the interval.
                self.assertLess(closing, 5 + POLL + 1 * SCALE)

    def test_memory_stays_flat_over_ten_thousand_events(self):
        warm, more = 2000, 10000
        memory = []

        def events(server, count):
            until = time.monotonic() + 60 * SCALE
            while server.counts()["events"] < count and time.monotonic() < until:
                time.sleep(0.05)
            return server.counts()["events"]

        def settled():
            # An answer of 500 events is held while it is read: the least of
            # a few samples is what stays.
            samples = []
            for _ in range(8):
                samples.append(tracemalloc.get_traced_memory()[0])
                time.sleep(0.03)
            return min(samples)

        def during(server):
            tracemalloc.start()
            try:
                events(server, warm)
                memory.append(settled())
                memory.append(events(server, warm + more))
                memory.append(settled())
            finally:
                tracemalloc.stop()
        self.run_watch("endless", during=during)
        before, reached, after = memory
        self.assertGreaterEqual(reached, warm + more)
        self.assertLess(after - before, 64 * 1024)
