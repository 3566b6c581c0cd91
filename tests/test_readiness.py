"""Readiness against a private CUPS scheduler, a hung lpstat, and canned
lpstat output."""

import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

from private_scheduler import PrivateScheduler, require_scheduler, skip_under_memory_checks
from support import STAGE, Namespace, extension_path

from vellomar.printing.cups.__main__ import format_readiness
from vellomar.printing.cups.call import Timeouts
from vellomar.printing.cups.readiness import (BAD_DEFAULT, NONE_ACCEPTING, NONE_ENABLED,
                                              NO_DESTINATION, QUERY_FAILED,
                                              SCHEDULER_NOT_RUNNING, Destination,
                                              check_readiness, parse_destinations)


def kinds(readiness):
    return [problem.kind for problem in readiness.problems]


class SchedulerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        extension_path()
        require_scheduler()
        cls.cupsd = PrivateScheduler()
        cls.addClassCleanup(cls.cupsd.close)
        cls.cupsd.start()

    def setUp(self):
        # A user's language: lpstat answers in it unless the check makes it speak C.
        environ = mock.patch.dict(os.environ, self.cupsd.environ(), clear=True,
                                  LC_ALL="de_DE.UTF-8", LC_MESSAGES="de_DE.UTF-8")
        environ.start()
        self.addCleanup(environ.stop)

    def queue(self, name):
        self.cupsd.add_queue(name)
        self.addCleanup(self.cupsd.admin, "lpadmin", "-x", name)

    def test_queues_from_none_to_ready_and_back(self):
        readiness = check_readiness()
        self.assertEqual((readiness.scheduler.running, readiness.scheduler.server),
                         (True, self.cupsd.server))
        self.assertEqual((readiness.destinations, readiness.ready, kinds(readiness)),
                         ((), False, [NO_DESTINATION]))

        odd = "lab-2.ü_x+y@z"
        self.queue("office")
        self.queue(odd)
        self.cupsd.admin("lpadmin", "-d", "office")
        self.cupsd.admin("cupsdisable", "-r", "out of paper; call 'ops'", odd)
        readiness = check_readiness()
        self.assertEqual(readiness.destinations, (
            Destination(odd, False, False, True, "stopped", "out of paper; call 'ops'"),
            Destination("office", True, True, True, "idle", "")))
        self.assertEqual((readiness.ready, readiness.problems), (True, ()))
        with mock.patch.dict(os.environ, PRINTER="gone"):
            readiness = check_readiness()
        self.assertEqual((readiness.ready, kinds(readiness)), (False, [BAD_DEFAULT]))
        self.assertIn('PRINTER environment variable names non-existent destination "gone"',
                      readiness.problems[0].message)

        self.cupsd.admin("cupsreject", "office")
        readiness = check_readiness()
        self.assertEqual(kinds(readiness), [NONE_ACCEPTING, NONE_ENABLED])
        self.assertEqual(format_readiness(readiness.as_dict())[2:], [
            "Destinations:",
            "  %s           stopped  accepting  out of paper; call 'ops'" % odd,
            "  office         default  idle     rejecting  Rejecting Jobs",
            "",
            "Not ready to print.",
            "  no enabled destination accepts jobs: let one accept jobs: `cupsaccept office`",
            "  every destination that accepts jobs is stopped: start one: `cupsenable '%s'`"
            % odd])

    def test_the_command_and_a_stopped_scheduler(self):
        self.queue("desk")
        self.cupsd.admin("lpadmin", "-d", "desk")
        status, report = run_json()
        self.assertEqual((status, report["ready"], report["scheduler"]),
                         (0, True, {"ok": True, "running": True, "server": self.cupsd.server}))
        self.assertEqual(report["destinations"], [
            {"name": "desk", "default": True, "enabled": True, "accepting": True,
             "state": "idle", "message": ""}])

        # lpstat prints a reason's further lines unindented: they must not pass for queues.
        self.cupsd.admin("cupsreject", "-r", "toner low\nghost accepting requests since now",
                         "desk")
        self.addCleanup(self.cupsd.admin, "cupsaccept", "desk")
        status, report = run_json()
        self.assertEqual((status, [(d["name"], d["accepting"], d["message"])
                                   for d in report["destinations"]]),
                         (3, [("desk", False, "toner low ghost accepting requests since now")]))

        self.cupsd.stop()
        self.addCleanup(self.cupsd.start)
        readiness = check_readiness()
        self.assertEqual((readiness.scheduler.ok, readiness.scheduler.running,
                          readiness.destinations, kinds(readiness)),
                         (True, False, (), [SCHEDULER_NOT_RUNNING]))
        self.assertIn(self.cupsd.server, readiness.problems[0].advice)
        status, report = run_json()
        self.assertEqual((status, report["scheduler"]["running"]), (3, False))


def run_json():
    env = dict(os.environ, PYTHONPATH=STAGE)
    done = subprocess.run([sys.executable, "-m", "vellomar.printing.cups", "--json"], env=env,
                          cwd="/", stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    return done.returncode, json.loads(done.stdout)


HANGING_LPSTAT = """#!/bin/sh
case "$1" in
  -r) echo "scheduler is running" ;;
  -d) echo "system default destination: desk" ;;
  -e) echo "desk" ;;
  -a) echo "desk accepting requests since Mon Jan  5 10:00:00 2026" ;;
  *) exec sleep 60 ;;
esac
"""


class HungQueryTest(unittest.TestCase):
    def test_a_query_past_its_time_limit_fails_alone(self):
        extension_path()
        skip_under_memory_checks()
        from vellomar.printing.cups import setup
        bin_dir = tempfile.mkdtemp(prefix="fake-lpstat-")
        self.addCleanup(shutil.rmtree, bin_dir, True)
        with open(os.path.join(bin_dir, "lpstat"), "w") as f:
            f.write(HANGING_LPSTAT)
        os.chmod(os.path.join(bin_dir, "lpstat"), stat.S_IRWXU)
        environ = mock.patch.dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"])
        environ.start()
        self.addCleanup(environ.stop)
        quick = Namespace(is_available=setup.is_available,
                          setup=lambda: dict(setup.setup(), timeout=Timeouts(0.5, 10)))

        started = time.monotonic()
        readiness = check_readiness(quick)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual((readiness.scheduler.running, readiness.ready, kinds(readiness)),
                         (True, False, [QUERY_FAILED]))
        self.assertEqual(readiness.problems[0].message,
                         "lpstat -p failed: no answer within 0.5 s")
        # What the other queries said still counts; what -p would have said, not.
        self.assertEqual(readiness.destinations,
                         (Destination("desk", True, False, True, "stopped", ""),))


class ParserTest(unittest.TestCase):
    def test_unusual_names_messages_and_lines(self):
        printers = "\n".join([
            "\tdangling message",
            "printer büro now printing büro-12.  enabled since Tue Dec  8 21:44:19 2026",
            "printer caf\udce9 is idle.  enabled since Tue Dec  8 21:44:19 2026",
            "printer printer disabled since Tue Dec  8 21:44:19 2026 -",
            "\tPaused: \"jam\"\ttray 2",
            "  \x1b[31mred\x1b[0m",
            # A message's further lines, unindented, make no queue and change none.
            "printer ghost is idle.  enabled since now",
            "printer büro is idle.  enabled since now",
            "printer",
            "",
        ])
        accepting = "\n".join([
            "büro not accepting requests since Tue Dec  8 21:44:19 2026 -",
            "\tmaintenance",
            "ghost accepting requests since now",
            "büro accepting requests since now",
            "caf\udce9 accepting requests since Tue Dec  8 21:44:19 2026",
            "extra accepting requests since Tue Dec  8 21:44:19 2026",
            "gibberish",
        ])
        names = "büro\ncaf\udce9\nprinter\nextra\nbüro/duplex\n"
        self.assertEqual(parse_destinations(printers, accepting,
                                            "system default destination: büro/duplex\n", names), (
            Destination("büro", True, True, False, "printing", "maintenance ghost accepting "
                        "requests since now büro accepting requests since now"),
            Destination("caf\\xe9", False, True, True, "idle", ""),
            Destination("printer", False, False, False, "stopped",
                        'Paused: "jam" tray 2 \\x1b[31mred\\x1b[0m printer ghost is idle.  '
                        "enabled since now printer büro is idle.  enabled since now printer"),
            Destination("extra", False, False, True, "stopped", "gibberish")))
        self.assertEqual(parse_destinations("", "", "no system default destination\n"), ())


if __name__ == "__main__":
    unittest.main()
