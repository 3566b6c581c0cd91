"""The diagnostic command, its stubs, and the package installed into a fresh
virtual environment."""

import ast
import errno
import inspect
import io
import json
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

from support import STAGE, ModuleTestCase, Namespace, extension_path
from test_real_tools import require_tools

import vellomar.printing.cups as package
from vellomar.printing.cups import __main__ as diagnostic, __version__


def run_command(python, *args, path=None):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if path:
        env["PYTHONPATH"] = path
    return subprocess.run([python, "-m", "vellomar.printing.cups", *args], env=env, cwd="/",
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)


class DiagnosticTest(ModuleTestCase):
    def run_main(self, *args):
        out = io.StringIO()
        return diagnostic.main(list(args), out), out.getvalue()

    def test_on_a_host_with_the_tools(self):
        require_tools()
        done = run_command(sys.executable, path=STAGE)
        report = json.loads(run_command(sys.executable, "--json", path=STAGE).stdout)
        # Usable; ready only where a scheduler with a usable queue answers.
        self.assertEqual(done.returncode, 0 if report["ready"] else 3, done.stderr)
        self.assertIn("CUPS printing: usable\n", done.stdout)
        self.assertRegex(done.stdout, r"\n  serverroot   /\S+\n")
        self.assertIn('  LANG              "C"\n', done.stdout)
        self.assertEqual(sorted(report["cups_config"]["values"]),
                         sorted(["version", "api-version", "build", "datadir", "serverbin",
                                 "serverroot"]))
        self.assertEqual(report["settings"]["timeout"], {"query": 3, "job": 10})
        self.assertEqual(run_command(sys.executable, "--bogus", path=STAGE).returncode, 2)

    def test_without_the_tools_and_with_failing_probes(self):
        self.replace(path=Namespace(exists=lambda p: False),
                     environ=Namespace(copy=lambda: {"PATH": "/nonexistent"}))
        with mock.patch.object(diagnostic, "TOOLS", (("/nonexistent/lp", "cups-client"),
                                                     ("/nonexistent/lpstat", "cups-client"),
                                                     ("no-such-cups-config", "libcups2-dev"))):
            status, text = self.run_main()
        self.assertEqual(status, 1)
        self.assertIn("CUPS printing: not usable: Command /usr/bin/lp not found.\n"
                      "Missing: /nonexistent/lp, /nonexistent/lpstat (Debian package cups-client)\n"
                      "Missing: no-such-cups-config (Debian package libcups2-dev)\n"
                      "Install with: apt-get install cups-client libcups2-dev\n", text)
        self.assertIn("cups-config: Unable to collect cups info: [Errno 2] No such file or "
                      "directory: 'cups-config'\n", text)
        del self.module.platform, self.module.environ
        status, text = self.run_main("--json")
        report = json.loads(text)
        self.assertEqual(status, 1)
        self.assertEqual(report["available"]["reason"], "NameError: name 'platform' is not defined")
        self.assertEqual(report["settings"], {"ok": False,
                                              "error": "NameError: name 'environ' is not defined"})
        self.assertNotIn("Traceback", text)
        self.assertEqual((report["schema"], report["version"], report["available"]["ok"]),
                         (3, __version__, False))

        # Bytes that are not UTF-8, which call keeps as surrogates, reach a
        # strict UTF-8 stream as escapes.
        undecodable = Namespace(is_available=lambda: (False, "no lp\udcff"),
                                get_version_info=lambda: (True, [("version", "2.4\udcff")]),
                                setup=lambda: {"env": {}, "timeout": None})
        strict = io.TextIOWrapper(io.BytesIO(), encoding="utf-8", errors="strict")
        with mock.patch.object(package, "setup", undecodable):
            status = diagnostic.main([], strict)
        strict.flush()
        text = strict.buffer.getvalue().decode("utf-8")
        self.assertEqual(status, 1)
        for line in ("CUPS printing: not usable: no lp\\xff", "  version  2.4\\xff"):
            self.assertIn(line + "\n", text)

    def test_a_module_that_cannot_load_keeps_the_report_whole(self):
        source_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        for path, advice in [(source_root, "Build the module"),
                             (source_root + os.pathsep + STAGE, "A build for it is in " + STAGE)]:
            with self.subTest(path=path):
                done = run_command(sys.executable, path=path)
                self.assertEqual((done.returncode, done.stdout), (4, ""))
                self.assertIn("cannot load the setup module: ImportError", done.stderr)
                self.assertIn(advice, done.stderr)
        broken = json.loads(run_command(sys.executable, "--json", path=source_root).stdout)
        working = json.loads(run_command(sys.executable, "--json", path=STAGE).stdout)
        self.assertEqual(list(broken), list(working))
        for name, section in broken.items():
            if isinstance(section, dict):
                self.assertIn("ok", working[name], name)
                if name != "tools":
                    self.assertIs(section["ok"], False, name)
        done = run_command(sys.executable, "--version", path=source_root)
        self.assertEqual(done.stdout, "python -m vellomar.printing.cups %s\n" % __version__)

    def test_stubs_describe_the_runtime_signatures(self):
        with open(os.path.join(STAGE, "vellomar", "printing", "cups", "setup.pyi")) as f:
            stub = ast.parse(f.read())
        functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
        self.assertEqual(sorted(functions), ["get_version_info", "is_available", "setup"])
        for name, node in functions.items():
            runtime = inspect.signature(getattr(self.module, name))
            stubbed = ([a.arg for a in node.args.args], node.args.vararg and node.args.vararg.arg,
                       node.args.kwarg and node.args.kwarg.arg)
            expected = ([], *(next((p.name for p in runtime.parameters.values()
                                    if p.kind == kind), None)
                              for kind in (inspect.Parameter.VAR_POSITIONAL,
                                           inspect.Parameter.VAR_KEYWORD)))
            self.assertEqual(stubbed, expected, name)


class UnwritableReportTest(unittest.TestCase):
    """The diagnostic whose report has nowhere to go ends with status 5 and
    one line on stderr, not a traceback nor Python's warning at exit."""

    def run_into(self, sink, args, path):
        env = dict(os.environ, PYTHONPATH=path)
        command = [sys.executable, "-m", "vellomar.printing.cups", *args]
        if sink == "closed":  # Python then has None for sys.stdout
            command = ["/bin/sh", "-c", 'exec "$@" >&-', "sh"] + command
            stdout = subprocess.DEVNULL
        elif sink == "full":
            stdout = os.open("/dev/full", os.O_WRONLY)
        else:  # a reader gone before the first byte: a broken pipe, every time
            reader, stdout = os.pipe()
            os.close(reader)
        try:
            return subprocess.run(command, env=env, cwd="/", stdout=stdout,
                                  stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
        finally:
            if isinstance(stdout, int) and stdout >= 0:
                os.close(stdout)

    def test_closed_stdout_full_disk_and_broken_pipe(self):
        extension_path()
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full on this host")
        source_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        cases = [(sink, args, STAGE) for sink, _ in SINKS
                 for args in ([], ["--json"], ["--version"])]
        cases.append(("full", ["--json"], source_root))  # the report of a module not loaded
        for sink, args, path in cases:
            with self.subTest(sink=sink, args=args, path=path):
                done = self.run_into(sink, args, path)
                self.assertEqual(done.returncode, 5, done.stderr)
                self.assertNotIn("Traceback", done.stderr)
                self.assertNotIn("Exception ignored", done.stderr)
                lines = done.stderr.splitlines()
                if path == STAGE:
                    self.assertEqual(len(lines), 1, done.stderr)
                self.assertRegex(lines[-1], r"^python -m vellomar\.printing\.cups: the report "
                                            r"could not be written: \w+: \[Errno %d\] "
                                 % dict(SINKS)[sink])


SINKS = [("closed", errno.EBADF), ("full", errno.ENOSPC), ("pipe", errno.EPIPE)]


class InstallTest(unittest.TestCase):
    def test_installed_into_a_virtual_environment(self):
        build, cmake = os.environ.get("SETUP_BUILD_DIR"), os.environ.get("SETUP_CMAKE")
        if not build or not cmake:
            self.skipTest("needs SETUP_BUILD_DIR and SETUP_CMAKE (set by ctest)")
        with tempfile.TemporaryDirectory() as venv:
            subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True)
            component = "python%d%d%s" % (sys.version_info[0], sys.version_info[1], sys.abiflags)
            subprocess.run([cmake, "--install", build, "--component", component,
                            "--prefix", venv], check=True, stdout=subprocess.DEVNULL)
            python = os.path.join(venv, "bin", "python")
            done = run_command(python, "--json")
            report = json.loads(done.stdout)
            self.assertEqual(done.returncode, 0 if report["ready"] else
                             3 if report["available"]["usable"] else 1, done.stderr)
            self.assertEqual(set(report), {"schema", "version", "asked_for", "module", "available",
                                           "cups_config", "settings", "tools", "scheduler",
                                           "destinations", "ready", "problems", "warnings"})
            self.assertIs(report["module"]["ok"], True)
            where = subprocess.run([python, "-c", "import vellomar.printing.cups.setup as m, "
                                    "os; print(os.path.dirname(m.__file__))"], cwd="/",
                                   stdout=subprocess.PIPE, universal_newlines=True,
                                   env={"PATH": os.environ.get("PATH", "")}).stdout.strip()
            self.assertTrue(where.startswith(os.path.realpath(venv)) or where.startswith(venv),
                            where)
            for name in ("py.typed", "setup.pyi", "call.py", "readiness.py", "__main__.py"):
                self.assertTrue(os.path.exists(os.path.join(where, name)), name)


if __name__ == "__main__":
    unittest.main()
