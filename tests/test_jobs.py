"""print_file and Job against real printers (the lab's parts), each judged
by whether the page comes out at the printer."""

import errno
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from lab.printer import VirtualPrinter
from support import STAGE
from test_lab import LabTestCase, setUpModule  # noqa: F401  (the lab's requirements)

from vellomar.printing.cups import ipp
from vellomar.printing.cups.jobs import (DocumentUnreadable, Job, NoSuchDestination,
                                         NotAcceptingJobs, SchedulerNotRunning,
                                         UnsupportedFormat, UnsupportedOption, print_file)

WAIT = 30.0


class JobsTest(LabTestCase):
    def setUp(self):
        super().setUp()
        self.home = tempfile.mkdtemp(prefix="jobs-home-")
        os.environ["HOME"] = self.home
        os.environ["CUPS_SERVERROOT"] = self.home  # no lpoptions of the host's

    def job_attribute(self, job, name):
        answer = ipp.request(0x0009, [("printer-uri", "uri", "ipp://localhost/printers/" +
                                       job.destination.split("/")[0]),
                                      ("job-id", "integer", job.id)])
        return next(g for tag, g in answer[1] if tag == 2).get(name)

    def test_printed_to_the_default_and_to_an_instance_with_its_options(self):
        printer = self.printer()
        self.queue("office", printer.uri)
        self.queue("other", printer.uri, default=False)
        os.makedirs(os.path.join(self.home, ".cups"))
        with open(os.path.join(self.home, ".cups", "lpoptions"), "w") as f:
            f.write("Dest other/draft copies=2 job-priority=10\n")
        path = os.path.join(self.home, "page.txt")
        with open(path, "w") as f:
            f.write("a page\n")
        job = print_file(path)
        self.assertEqual(job.destination, "office")
        self.assertEqual(job.wait(WAIT).state, "completed")
        self.assertTrue(printer.wait_for_pages(1, WAIT))
        job = print_file(b"a page\n", "other/draft", options="job-priority=20",
                         document_format="text/plain")
        # The instance's options, under the ones given.
        self.assertEqual(self.job_attribute(job, "copies"), [2])
        self.assertEqual(self.job_attribute(job, "job-priority"), [20])
        self.assertEqual(Job("other/draft", job.id).wait(WAIT).state, "completed")
        self.assertTrue(printer.wait_for_pages(2, WAIT))

    def test_held_then_released_and_cancelled(self):
        printer = self.printer()
        self.queue("office", printer.uri)
        held = print_file(b"a page\n", options={"job-hold-until": "indefinite"})
        cancelled = print_file(b"a page\n", options={"job-hold-until": "indefinite"})
        status = held.wait(1.0)
        self.assertEqual((status.state, status.stalled),
                         ("held", "held for release at the scheduler"))
        cancelled.cancel()
        self.assertEqual(cancelled.status().state, "canceled")
        self.cupsd.admin("lp", "-i", "office-%d" % held.id, "-H", "resume")
        self.assertEqual(held.wait(WAIT).state, "completed")
        self.assertTrue(printer.wait_for_pages(1, WAIT))
        self.expect_no_page(printer, 2)

    def test_formats_refused_by_the_scheduler_and_by_the_printer(self):
        printer = self.printer(formats="application/pdf")
        self.queue("pdf", printer.uri)
        with self.assertRaises(UnsupportedFormat) as caught:
            print_file(b"x", document_format="image/x-nothing")
        self.assertIn("application/octet-stream", caught.exception.formats)
        job = print_file(b"a page\n", document_format="text/plain")
        status = job.wait(WAIT)
        # The scheduler calls it completed; the printer never took the document.
        self.assertEqual(status.hops[0].state, "completed")
        self.assertEqual(status.state, "aborted")
        self.assertIn("the printer refused the document", status.message)
        self.expect_no_page(printer, 1)

    def test_through_a_print_server_that_holds_jobs_for_release(self):
        printer = self.printer()
        server = self.print_server(printer)
        self.queue("office", server.uri("office"))
        job = print_file(b"a page\n")
        self.assertEqual(job.wait(WAIT).state, "completed")
        self.assertTrue(printer.wait_for_pages(1, WAIT))
        server.admin("lpadmin", "-p", "office", "-o", "job-hold-until-default=indefinite")
        # Two jobs of one name: each is told apart at the print server.
        first, second = print_file(b"a page\n"), print_file(b"a page\n")
        held = {}
        until = time.monotonic() + WAIT
        while len(held) < 2 and time.monotonic() < until:
            for job in (first, second):
                status = job.status()
                if status.state == "held":
                    held[job] = status
            time.sleep(0.2)
        for status in held.values():
            self.assertEqual(status.stalled, "held for release at the print server")
        self.assertEqual(len({s.hops[-1].job_id for s in held.values()}), 2)
        self.expect_no_page(printer, 2)
        server.admin("lp", "-i", "office-%d" % held[second].hops[-1].job_id, "-H", "resume")
        self.assertEqual(second.wait(WAIT).state, "completed")
        self.assertTrue(printer.wait_for_pages(2, WAIT))
        self.assertEqual(first.status().state, "held")

    def test_out_of_paper_stalls_with_its_reason_then_completes(self):
        printer = self.printer()
        self.queue("tray", printer.uri)
        printer.main_tray(0)
        job = print_file(b"a page\n")
        until = time.monotonic() + WAIT
        status = job.status()
        while "media-" not in status.stalled and time.monotonic() < until:
            time.sleep(0.2)
            status = job.status()
        self.assertIn("the printer reports media-", status.stalled)
        self.assertFalse(status.final)
        self.expect_no_page(printer, 1)
        printer.main_tray(250)
        self.assertEqual(job.wait(WAIT).state, "completed")
        self.assertTrue(printer.wait_for_pages(1, WAIT))

    def test_errors_that_say_what_to_do(self):
        printer = self.printer()
        self.queue("office", printer.uri)
        with self.assertRaises(NoSuchDestination):
            print_file(b"x", "nowhere")
        with self.assertRaises(UnsupportedOption) as caught:
            print_file(b"x", options="copies=0")
        self.assertIn("copies", caught.exception.options)
        with self.assertRaises(DocumentUnreadable) as caught:
            print_file(os.path.join(self.home, "missing.txt"))
        self.assertEqual(caught.exception.errno, errno.ENOENT)
        self.cupsd.admin("cupsreject", "office")
        with self.assertRaises(NotAcceptingJobs) as caught:
            print_file(b"x")
        self.assertIn("cupsaccept office", str(caught.exception))
        self.cupsd.stop()
        with self.assertRaises(SchedulerNotRunning):
            print_file(b"x", "office")
        self.assertEqual(printer.pages(), [])

    def test_eight_threads_print_at_once(self):
        printer = self.printer()
        self.queue("office", printer.uri)
        jobs, errors = [], []

        def one(n):
            try:
                jobs.append(print_file(b"page %d\n" % n, title="t%d" % n))
            except Exception as error:  # reported below
                errors.append(error)
        threads = [threading.Thread(target=one, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])
        self.assertEqual(len({job.id for job in jobs}), 8)
        self.assertTrue(printer.wait_for_pages(8, 60))
        self.assertEqual({job.wait(WAIT).state for job in jobs}, {"completed"})


STREAM = """
import resource, sys
from vellomar.printing.cups.jobs import print_file

class Zeros:
    def __init__(self, size): self.left = size
    def readinto(self, buffer):
        n = min(len(buffer), self.left); buffer[:n] = bytes(n); self.left -= n
        if sys.argv[2] == "slow" and self.left < {size} - (1 << 20):
            print("sending", flush=True); import time; time.sleep(0.05)
        return n

base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
job = print_file(Zeros({size}), sys.argv[1], document_format="application/octet-stream",
                 options={{"job-hold-until": "indefinite"}})
print("job", job.id, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
"""


class StreamTest(LabTestCase):
    def run_stream(self, size, mode):
        script = STREAM.format(size=size)
        env = dict(os.environ, PYTHONPATH=STAGE)
        return subprocess.Popen([sys.executable, "-c", script, "office", mode], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                universal_newlines=True)

    def jobs_left(self):
        out = self.cupsd.admin("lpstat", "-o", "office")
        return [line for line in out.splitlines() if line.strip()]

    def test_a_200_mib_stream_in_little_memory(self):
        self.cupsd.add_queue("office")
        done = self.run_stream(200 << 20, "fast")
        out, err = done.communicate(timeout=300)
        self.assertEqual(done.returncode, 0, err)
        growth = int(out.split()[2])
        self.assertLess(growth, 64, "peak RSS grew %d MiB while streaming 200 MiB" % growth)
        job = Job("office", int(out.split()[1]))
        size = self.cupsd.admin("lpstat", "-W", "not-completed", "-o", "office")
        self.assertIn("office-%d" % job.id, size)
        job.cancel()

    def test_a_document_that_stops_giving_data_ends_in_time(self):
        self.cupsd.add_queue("office")
        fifo = os.path.join(self.cupsd.root, "fifo")
        os.mkfifo(fifo)
        # A writer that gives a line, then nothing while it holds the FIFO.
        end = os.open(fifo, os.O_RDWR)
        writer = subprocess.Popen(["sh", "-c", "echo start; exec sleep 30"], stdout=end)
        os.close(end)
        self.addCleanup(writer.wait)
        self.addCleanup(writer.kill)
        started = time.monotonic()
        with self.assertRaises(DocumentUnreadable) as caught:
            print_file(fifo, "office", idle_timeout=1.0)
        self.assertLess(time.monotonic() - started, 3.0)
        self.assertEqual(caught.exception.errno, errno.ETIMEDOUT)
        self.assertEqual(self.jobs_left(), [])

    def test_ctrl_c_while_sending_leaves_no_job(self):
        self.cupsd.add_queue("office")
        sending = self.run_stream(1 << 40, "slow")
        self.assertEqual(sending.stdout.readline(), "sending\n")
        sending.send_signal(signal.SIGINT)
        _, err = sending.communicate(timeout=30)
        self.assertIn("KeyboardInterrupt", err)
        self.assertEqual(self.jobs_left(), [])


if __name__ == "__main__":
    unittest.main()
