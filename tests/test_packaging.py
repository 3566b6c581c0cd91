"""The package as pip sees it: what the shared object needs at run time, the
build backend's reading of pyproject.toml, and its wheel installed beside
another distribution of the client."""

import base64
import csv
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from importlib.util import find_spec

from support import EXTENSION, STAGE, extension_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "backend"))
import vellomar_build as backend  # noqa: E402


class SharedObjectTest(unittest.TestCase):
    def test_needs_neither_libpython_nor_libstdcxx(self):
        if not shutil.which("readelf"):
            self.skipTest("needs readelf (binutils)")
        dynamic = subprocess.run(["readelf", "-d", extension_path()], stdout=subprocess.PIPE,
                                 universal_newlines=True, check=True).stdout
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic)
        self.assertIn("Dynamic section", dynamic)  # libc may be all it needs, or nothing at all
        self.assertEqual([name for name in needed if name.startswith(("libpython", "libstdc++"))],
                         [])


class BackendTest(unittest.TestCase):
    def test_toml_subset_reads_as_tomllib_does(self):
        try:
            import tomllib
        except ImportError:
            self.skipTest("tomllib, the reference, arrived in 3.11")
        with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
            text = f.read() + ("\n[more]  # comment\nliteral = 'C:\\x'\nescaped = \"t\\t\\u00e9\\\"\"\n"
                               "inline = {a = 1, b.c = true}\nempty = [ ]\n")
        self.assertEqual(backend._TomlSubset(text).document(), tomllib.loads(text))
        for unsupported in ("a = 1.5\n", "[[a]]\n", 'a = """x"""\n', "a = 1\na = 2\n", "a = [1,\n"):
            with self.assertRaises(ValueError, msg=unsupported):
                backend._TomlSubset(unsupported).document()

    def test_wheel_installs_beside_another_distribution_and_uninstalls_cleanly(self):
        extension_path()
        if not find_spec("pip"):
            self.skipTest("needs pip for this interpreter")
        if os.environ.get("LD_PRELOAD"):
            # How both memory checkers attach: pip under them takes minutes
            # and exercises nothing of the module's own code.
            self.skipTest("under a memory checker")
        work = tempfile.mkdtemp(prefix="setup-wheel-")
        self.addCleanup(shutil.rmtree, work, True)
        table = backend.project(ROOT)
        ours = backend.write_wheel(work, table, list(backend.staged_files(STAGE)),
                                   backend.wheel_tag(), ROOT)
        with zipfile.ZipFile(os.path.join(work, ours)) as wheel:
            names = wheel.namelist()
            # The stage holds every interpreter's build: only this one's may go in.
            self.assertEqual([n for n in names if n.endswith(".so")],
                             ["vellomar/printing/cups/" + EXTENSION])
            record = next(n for n in names if n.endswith(".dist-info/RECORD"))
            rows = list(csv.reader(io.StringIO(wheel.read(record).decode())))
            self.assertEqual(sorted(row[0] for row in rows), sorted(names))
            for name, digest, size in rows:
                if name != record:
                    data = wheel.read(name)
                    expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
                    self.assertEqual((digest, int(size)), ("sha256=" + expected.decode(), len(data)))

        # Another distribution of the client, sharing the namespace levels.
        other = os.path.join(work, "other.py")
        with open(other, "w") as f:
            f.write("NAME = 'other'\n")
        backend.write_wheel(work, {"name": "vellomar-printing-other", "version": "1.0"},
                            [("vellomar/printing/other/__init__.py", other)], "py3-none-any")

        venv = os.path.join(work, "venv")
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True, env=env)
        python = os.path.join(venv, "bin", "python")

        def run(*command):
            done = subprocess.run(command, cwd="/", env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, universal_newlines=True)
            self.assertEqual(done.returncode, 0, done.stdout)
            return done.stdout

        pip = (sys.executable, "-m", "pip", "--python", python, "--disable-pip-version-check")
        run(*pip, "install", "--no-index", "--no-deps", os.path.join(work, ours),
            os.path.join(work, "vellomar_printing_other-1.0-py3-none-any.whl"))
        where = run(python, "-c", "import vellomar.printing.cups.setup as s, "
                    "vellomar.printing.other as o; print(s.__file__, o.NAME)").split()
        self.assertTrue(where[0].startswith(venv), where)
        self.assertEqual(where[1], "other")

        run(*pip, "uninstall", "-y", "vellomar-printing-cups")
        left = sorted(os.path.relpath(os.path.join(d, f), venv) for d, _, files in os.walk(venv)
                      for f in files if os.sep + "vellomar" + os.sep in os.path.join(d, f))
        self.assertTrue(left)
        self.assertEqual([path for path in left if "/vellomar/printing/other/" not in path], [])
        self.assertEqual(run(python, "-c", "import vellomar.printing.other as o; print(o.NAME)"),
                         "other\n")


if __name__ == "__main__":
    unittest.main()
