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
                                              SCHEDULER_NOT_RUNNING, UNDETERMINED,
                                              Destination, check_readiness,
                                              parse_destinations)


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
        # lp without -d would hold its job at a stopped default, whatever office can do.
        with mock.patch.dict(os.environ, PRINTER=odd):
            readiness = check_readiness()
        self.assertEqual((readiness.ready, kinds(readiness)), (False, [BAD_DEFAULT]))
        self.assertTrue(readiness.problems[0].advice.startswith("`cupsenable '%s'`, or" % odd))

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

        # A message that fakes the lines of a queue listed after it, in both listings.
        self.queue("alpha")
        self.queue("zeta")
        self.cupsd.admin("cupsdisable", "zeta")
        self.cupsd.admin("cupsreject", "zeta")
        fake = "jam\nprinter zeta is idle.  enabled since now\nzeta accepting requests since now"
        self.cupsd.admin("cupsreject", "-r", fake, "alpha")
        self.cupsd.admin("cupsdisable", "-r", fake, "alpha")
        readiness = check_readiness()
        self.assertEqual([(d.name, d.enabled, d.accepting, d.state, d.message)
                          for d in readiness.destinations if d.name in ("alpha", "zeta")], [
            ("alpha", False, False, "stopped", " ".join(fake.splitlines())),
            ("zeta", False, False, "stopped", "Rejecting Jobs")])
        self.assertEqual((readiness.ready, kinds(readiness)),
                         (False, [NONE_ACCEPTING, NONE_ENABLED]))

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


# alpha's reason fakes the lines of every queue after it: asking about
# each alone settles desk, the others' queries hang, and a,b cannot be asked
# about alone (lpstat -a a,b means a and b). Without its -e, the listing
# could be made up ("no-names").
HANGING_LPSTAT = """#!/bin/sh
since="since Mon Jan  5 10:00:00 2026"
queues() { i=10; while [ $i -lt 50 ]; do echo "q$i $1"; i=$((i+1)); done; }
case "$LPSTAT_MODE $*" in
  *" -r") echo "scheduler is running" ;;
  *" -d") echo "system default destination: desk" ;;
  "no-names -e") exit 1 ;;
  *" -e") printf 'alpha\\na,b\\ndesk\\n'; queues | cut -d' ' -f1 ;;
  "no-names -p") printf 'printer alpha disabled %s -\\n\\tjam\\n' "$since"
                 echo "printer ghost is idle.  enabled since now" ;;
  "no-names -a") printf 'alpha not accepting requests %s -\\n\\tjam\\n' "$since"
                 echo "ghost accepting requests since now" ;;
  " -a") printf 'alpha not accepting requests %s -\\n\\tjam\\ndesk not accepting requests since now\\n' \\
          "$since"
      echo "a,b accepting requests since now"; queues "accepting requests since now"
      echo "desk accepting requests $since"; echo "a,b not accepting requests $since -"
      queues "accepting requests $since" ;;
  " -a desk") echo "desk accepting requests $since" ;;
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
                          setup=lambda: dict(setup.setup(), timeout=Timeouts(1, 10)))

        # One limit for the listing, one for all 41 hung queries about one
        # destination: not one per 16 of them.
        started = time.monotonic()
        readiness = check_readiness(quick)
        self.assertLess(time.monotonic() - started, 3)
        self.assertEqual((readiness.scheduler.running, readiness.ready), (True, False))
        self.assertEqual([(problem.kind, problem.message) for problem in readiness.problems], [
            (QUERY_FAILED, "lpstat -p failed: no answer within 1 s"),
            (QUERY_FAILED, "asking about each destination alone (lpstat -p NAME, -a NAME) "
                           "failed for alpha, q10, q11, q12, q13 and 36 more: "
                           "no answer within 1 s"),
            (UNDETERMINED, "cannot tell the state of a,b: a state message imitates its lines, "
                           "and lpstat takes a name with a comma for a list of names")])
        # What the other queries said still counts; what -p would have said, not.
        self.assertEqual(readiness.destinations[:3], (
            Destination("alpha", False, False, False, "stopped", ""),
            Destination("desk", True, False, True, "stopped", ""),
            Destination("a,b", False, False, False, "stopped", "")))
        self.assertEqual({d.accepting for d in readiness.destinations[3:]}, {False})
        self.assertEqual(len(readiness.destinations), 43)

        with mock.patch.dict(os.environ, LPSTAT_MODE="no-names"):
            readiness = check_readiness(quick)
        self.assertEqual([(d.name, d.enabled, d.accepting) for d in readiness.destinations],
                         [("alpha", False, False), ("ghost", True, True)])
        self.assertEqual((readiness.ready, kinds(readiness)), (False, [QUERY_FAILED]))
        self.assertIn("lpstat -e failed", readiness.problems[0].message)


SINCE = "since Tue Dec  8 21:44:19 2026"


class ParserTest(unittest.TestCase):
    def test_unusual_names_messages_and_lines(self):
        printers = "\n".join([
            "\tdangling message",
            "printer büro now printing büro-12.  enabled " + SINCE,
            "\tjam",
            # A message's further lines, unindented, make no queue and change none ...
            "printer büro is idle.  enabled since now",
            "printer büro/duplex now printing büro-12.  enabled " + SINCE,
            "\tjam",
            "printer büro is idle.  enabled since now",
            "printer caf\udce9 is idle.  enabled " + SINCE,
            "printer printer disabled " + SINCE + " -",
            "\tPaused: \"jam\"\ttray 2",
            "  \x1b[31mred\x1b[0m",
            "printer ghost is idle.  enabled since now",
            # ... nor pass for a queue listed after it.
            "printer zeta is idle.  enabled since now",
            "printer",
            "printer zeta disabled " + SINCE + " -",
            "\tRejecting Jobs",
            "",
        ])
        accepting = "\n".join([
            "büro not accepting requests " + SINCE + " -",
            "\tmaintenance",
            "ghost accepting requests since now",
            "büro accepting requests since now",
            "-dash not accepting requests " + SINCE + " -",
            "\tjam",
            "a,b accepting requests since now",
            "a,b not accepting requests " + SINCE + " -",
            "\tRejecting Jobs",
            "caf\udce9 accepting requests " + SINCE,
            "extra accepting requests " + SINCE,
            "gibberish",
        ])
        # What lpstat -p NAME or -a NAME prints; None: the query failed.
        answers = {
            ("-p", "büro"): "printer büro now printing büro-12.  enabled %s\n\tjam\n"
                            "printer büro is idle.  enabled since now\n" % SINCE,
            ("-p", "printer"): "\n".join(printers.splitlines()[8:14]),
            ("-p", "zeta"): "printer zeta disabled %s -\n\tRejecting Jobs\n" % SINCE,
            ("-a", "büro"): None,
            ("-a-dash",): "\n".join(accepting.splitlines()[4:7]),
            # Never ("-a", "a,b"): lpstat would take it for a and b.
        }
        asked = []

        def ask(queries):
            asked.append(list(queries))
            return [answers[query] for query in queries]

        names = "büro\ncaf\udce9\nprinter\nextra\nbüro/duplex\nzeta\n-dash\na,b\n"
        jam = "jam printer büro is idle.  enabled since now"
        self.assertEqual(parse_destinations(printers, accepting,
                                            "system default destination: büro/duplex\n", names,
                                            ask), (
            Destination("büro", True, True, False, "printing", jam),
            Destination("büro/duplex", False, True, False, "printing", jam),
            Destination("caf\\xe9", False, True, True, "idle", ""),
            Destination("printer", False, False, False, "stopped",
                        'Paused: "jam" tray 2 \\x1b[31mred\\x1b[0m printer ghost is idle.  '
                        "enabled since now printer zeta is idle.  enabled since now printer"),
            Destination("zeta", False, False, False, "stopped", "Rejecting Jobs"),
            Destination("-dash", False, False, False, "stopped",
                        "jam a,b accepting requests since now"),
            Destination("a,b", False, False, False, "stopped", ""),
            Destination("extra", False, False, True, "stopped", "gibberish")))
        # Asked once, for all of them together, and for each only what was unclear.
        self.assertEqual(asked, [sorted(answers)])

        # Nothing to ask: no first line shows up twice.
        asked.clear()
        self.assertEqual(parse_destinations(
            "printer a disabled %s -\n\tjam\nprinter b is idle.  enabled %s\n" % (SINCE, SINCE),
            "a accepting requests %s\nb accepting requests %s\n" % (SINCE, SINCE), "",
            "a\nb\n", ask), (Destination("a", False, False, True, "stopped", "jam"),
                              Destination("b", False, True, True, "idle", "")))
        self.assertEqual(parse_destinations("", "", "no system default destination\n", None, ask),
                         ())
        self.assertEqual(asked, [])


if __name__ == "__main__":
    unittest.main()
