"""The README's example, run as a user runs it: its first Python block in a
fresh interpreter against the staged package and a private scheduler."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from lab.printer import VirtualPrinter, ippeveprinter
from private_scheduler import PrivateScheduler, require_scheduler
from support import STAGE, extension_path, require

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def readme_example():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    found = re.search(r"^```python\n(.*?)^```$", text, re.MULTILINE | re.DOTALL)
    if not found:
        raise AssertionError("README.md has no ```python block")
    return found.group(1)


class ReadmeExampleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        extension_path()
        require_scheduler()
        require([] if ippeveprinter() else ["ippeveprinter"], "no IPP Everywhere printer",
                "Debian's cups-ipp-utils", "the README's example")
        cls.home = tempfile.mkdtemp(prefix="readme-")
        cls.printer = VirtualPrinter()
        cls.scheduler = PrivateScheduler()
        try:
            cls.printer.start()
            cls.scheduler.start()
        except BaseException:
            cls.scheduler.close()
            cls.printer.close()
            raise
        cls.script = os.path.join(cls.home, "example.py")
        with open(cls.script, "w", encoding="utf-8") as f:
            f.write(readme_example())

    @classmethod
    def tearDownClass(cls):
        cls.scheduler.close()
        cls.printer.close()
        shutil.rmtree(cls.home, ignore_errors=True)

    def run_example(self):
        # A home and a CUPS configuration directory of its own: no lpoptions
        # of the host's user or of /etc/cups may name a default destination.
        env = dict(self.scheduler.environ(), PYTHONPATH=STAGE, HOME=self.home,
                   CUPS_SERVERROOT=self.home, PYTHONDONTWRITEBYTECODE="1")
        env.pop("PYTHONUNBUFFERED", None)
        done = subprocess.run([sys.executable, self.script], env=env, cwd=self.home,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
        return done.returncode, done.stdout, done.stderr

    def assertPrinted(self, queue, result, pages):
        status, out, err = result
        self.assertEqual(status, 0, "out:\n%s\nerr:\n%s\nscheduler:\n%s"
                         % (out, err, self.scheduler.logs()))
        self.assertIn("ready to print\n", out)
        self.assertRegex(out, r"(?m)^job \d+ on %s\nprinted$" % re.escape(queue))
        self.assertTrue(self.printer.wait_for_pages(pages, 30), "the page did not come out")

    def test_default_destination_then_named_then_not_ready(self):
        # In one method: each step changes the one scheduler's queues.
        self.scheduler.add_queue("first", self.printer.uri)
        # No default yet: the example names the ready destination itself.
        self.assertPrinted("first", self.run_example(), 1)

        self.scheduler.add_queue("office", self.printer.uri)
        self.scheduler.admin("lpadmin", "-d", "office")
        self.assertPrinted("office", self.run_example(), 2)

        # A default that rejects jobs: the example stops before lp.
        self.scheduler.admin("cupsreject", "office")
        status, out, err = self.run_example()
        self.assertEqual(status, 3, "out:\n%s\nerr:\n%s" % (out, err))
        self.assertRegex(out, r"(?m)^not ready: .*office.* -- .*cupsaccept office")
        self.assertNotRegex(out, r"(?m)^job \d+")


if __name__ == "__main__":
    unittest.main()
