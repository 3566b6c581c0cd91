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

    def run_watch(self, mode, measure=False, seconds=RUN):
        server = notification_server(mode)
        self.addCleanup(server.close)
        os.environ["CUPS_SERVER"] = server.server
        watch = self.watch.watch_readiness(check_printers=False, poll_interval=POLL,
                                           printer_interval=1.0,
                                           setup_module=stand_in(1.0 * SCALE))
        first = next(watch)
        answers = []
        memory = []

        def iterate():
            for readiness in watch:
                answers.append(readiness)
        thread = threading.Thread(target=iterate, daemon=True)
        if measure:
            tracemalloc.start()
        thread.start()
        time.sleep(seconds / 2)
        if measure:
            memory.append((tracemalloc.get_traced_memory()[0], server.counts()["events"]))
        time.sleep(seconds / 2)
        if measure:
            memory.append((tracemalloc.get_traced_memory()[0], server.counts()["events"]))
            tracemalloc.stop()
        closed = time.monotonic()
        watch.close()
        thread.join(10 * SCALE)
        self.assertFalse(thread.is_alive(), "the watch outlived its close by 10 s")
        return first, answers, server.counts(), time.monotonic() - closed, memory

    def test_nothing_changes_however_the_notifications_misbehave(self):
        for mode in ("endless", "jump", "garbage", "drip"):
            with self.subTest(mode=mode):
                first, answers, counts, closing, _ = self.run_watch(mode)
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
        _, _, counts, _, memory = self.run_watch("endless", measure=True, seconds=2 * RUN)
        self.assertGreaterEqual(counts["events"], 10000 if SCALE == 1 else 1000)
        (half_memory, half_events), (end_memory, end_events) = memory
        self.assertGreater(end_events, half_events)
        self.assertLess(end_memory - half_memory, 256 * 1024)
