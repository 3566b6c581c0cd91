"""The commands that the README and docs give, run as written in a copy of
the tree (ctest's `commands` test, SETUP_COMMANDS=1): the run command, the
one-interpreter route, docs/building.md's one-interpreter test run, and the
benchmarks (quick). The README's test command is CI's own run."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def commands(document):
    """The shell commands of a markdown file: its indented lines that start
    with a command of ours, with their continuation lines joined."""
    with open(os.path.join(ROOT, document), encoding="utf-8") as f:
        text = f.read().replace("\\\n", " ")
    return [re.sub(r"\s+", " ", line).strip() for line in re.findall(r"(?m)^    (\S.*)$", text)
            if re.match(r"(scripts/|cmake |PYTHONPATH=)", line)]


def setUpModule():
    if not os.environ.get("SETUP_COMMANDS"):
        raise unittest.SkipTest("the commands run in ctest's commands test (SETUP_COMMANDS=1)")
    if not os.path.isdir(os.path.join(ROOT, "docs")) or not shutil.which("git"):
        raise unittest.SkipTest("the commands are tried in a git checkout, which has the docs")


class CommandsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tree = tempfile.mkdtemp(prefix="commands-")
        listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others",
                                 "--exclude-standard"], cwd=ROOT, stdout=subprocess.PIPE,
                                check=True).stdout.decode().split("\0")
        for name in filter(None, listed):
            source = os.path.join(ROOT, name)
            if os.path.isfile(source):
                os.makedirs(os.path.dirname(os.path.join(cls.tree, name)), exist_ok=True)
                shutil.copy2(source, os.path.join(cls.tree, name))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)

    def shell(self, command, timeout=1200):
        # A user's environment: nothing of ctest's or of the suite's.
        env = {name: os.environ[name] for name in ("PATH", "HOME", "LANG", "CI")
               if name in os.environ}
        done = subprocess.run(["bash", "-c", "set -o pipefail; " + command], cwd=self.tree,
                              env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, universal_newlines=True,
                              timeout=timeout)
        self.assertEqual(done.returncode, 0, "%s\n%s" % (command, done.stdout[-4000:]))
        return done.stdout

    def test_the_readme_and_building_commands(self):
        readme = commands("README.md")
        run = next(c for c in readme if c.startswith("scripts/install-needs.sh run"))
        out = self.shell(run)
        self.assertRegex(out, r"Exit status [013] ")
        self.assertRegex(out, r"demonstration: (not needed|not given here|scheduler and "
                              r"printer stopped)")
        if "demonstration: scheduler and printer stopped" in out:
            self.assertIn("the page came out at the printer", out)

        one = next(c for c in readme if "-DSETUP_PYTHON_VERSIONS=" in c)
        out = self.shell(one)
        self.assertRegex(out, r"Exit status [013] ")
        # The run target built for its one interpreter alone.
        self.assertEqual(len(re.findall(r"Built target setup_\d+d?\b", out)), 1, out)

        (test_one,) = [c for c in commands("docs/building.md") if "ctest" in c]
        out = self.shell(test_one)
        self.assertRegex(out, r"100% tests passed, 0 tests failed out of 1\b")

        if os.geteuid() != 0:
            self.skipTest("the benchmarks run as root (their private schedulers run "
                          "backends as lp)")
        for bench in commands("docs/benchmarks.md"):
            if not bench.startswith("PYTHONPATH="):
                continue
            # Against the one-interpreter build, quick.
            bench = re.sub(r"PYTHONPATH=\S+", "PYTHONPATH=build-311/stage", bench)
            bench = re.sub(r" \[.*\]", "", bench)
            quick = {"readiness.py": " --quick --sizes 1,20", "one_destination.py":
                     " --queues 200 --rounds 3", "jobs.py": " --quick", "watch.py": " --quick"}
            bench += next(extra for name, extra in quick.items() if name in bench)
            out = self.shell(bench, timeout=600)
            self.assertRegex(out, r"\d\.\d\d")  # a ratio was printed


if __name__ == "__main__":
    unittest.main()
