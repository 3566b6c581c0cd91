"""The package as pip sees it: what the shared object needs at run time, the
build backend's reading of pyproject.toml, and its wheel installed beside
another distribution of the client."""

import base64
import csv
import datetime
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
from importlib.util import find_spec
from unittest import mock

from support import EXTENSION, PACKAGE, STAGE, extension_path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "backend"))
import vellomar_build as backend  # noqa: E402


# What each module may need at run time: the setup module nothing, not even
# libc; the IPP client libcups, libc and, where it was built with it,
# libdbus. Never libpython or libstdc++ (the sources build without
# exceptions and RTTI for that). A sanitized build
# brings its sanitizers' runtimes.
ALLOWED_NEEDED = {"setup": set(), "ipp": {"libcups.so.2", "libc.so.6", "libdbus-1.so.3"}}
SANITIZER_RUNTIME = re.compile(r"lib(a|ub|t|l|hwa)san\.so")


def built_modules():
    """(name, path) of each extension module built for this interpreter."""
    extension_path()
    suffix = EXTENSION[len("setup"):]
    return [(name, os.path.join(STAGE, PACKAGE, name + suffix)) for name in sorted(ALLOWED_NEEDED)
            if os.path.exists(os.path.join(STAGE, PACKAGE, name + suffix))]


class SharedObjectTest(unittest.TestCase):
    def test_each_module_needs_only_what_it_is_allowed(self):
        if not shutil.which("readelf"):
            self.skipTest("needs readelf (binutils)")
        for name, path in built_modules():
            with self.subTest(name):
                dynamic = subprocess.run(["readelf", "-d", path], stdout=subprocess.PIPE,
                                         universal_newlines=True, check=True).stdout
                self.assertIn("Dynamic section", dynamic)  # else no NEEDED proves nothing
                needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", dynamic)
                self.assertEqual([library for library in needed
                                  if library not in ALLOWED_NEEDED[name]
                                  and not SANITIZER_RUNTIME.match(library)], [])


class BackendTest(unittest.TestCase):
    def test_toml_subset_reads_as_tomllib_does(self):
        try:
            import tomllib
        except ImportError:
            tomllib = None  # 3.8-3.10, where the subset serves: the values below decide
        with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
            ours = f.read()
        if tomllib:
            self.assertEqual(backend._TomlSubset(ours).document(), tomllib.loads(ours))
        self.assertEqual(backend._TomlSubset(ours).document()["project"]["name"],
                         "vellomar-printing-cups")
        read = {
            "[more]  # comment\nliteral = 'C:\\x'\nescaped = \"t\\t\\u00e9\\\"\\U0001F600\"\n"
            "inline = {a = 1, b.c = true}\nempty = [ ]\n":
                {"more": {"literal": "C:\\x", "escaped": "t\t\u00e9\"\U0001F600",
                          "inline": {"a": 1, "b": {"c": True}}, "empty": []}},
            # Keys are names, even those spelt like values.
            "true = 1\nfalse.01 = 'x'\n": {"true": 1, "false": {"01": "x"}},
            # A section's dotted keys extend their own tables; a header may add
            # a subtable to them, or name a table so far only implied.
            "[a]\nb.c = 1\nb.d = 2\n[a.b.e]\n[f.g]\n[f]\n":
                {"a": {"b": {"c": 1, "d": 2, "e": {}}}, "f": {"g": {}}},
            # What other tools keep in pyproject.toml must read as tomllib
            # reads it on 3.8-3.10 too, or whether the tree builds depends on
            # the interpreter: arrays of tables, floats, dates, and
            # multi-line strings holding lines that look like headers.
            "[[tool.x.o]]\nmodule = ['a.*']\n[tool.x.o.sub]\nk = 0x1F\n"
            "[[tool.x.o]]\nmodule = 'b'\n[tool.x.o.sub]\nk = 0o17\n"
            "[tool.y]\nfail_under = 92.5\nfloats = [1e3, -2.5E-1, 1_0.0_1, -inf]\n"
            'text = """\n[project]\nname = "z\\\n   x"\n"""\n'
            "raw = '''\n[[w]]'''''\n"
            "when = 1979-05-27T07:32:00.1234567-07:00\nday = 1979-05-27\nat = 07:32:00\n":
                {"tool": {"x": {"o": [{"module": ["a.*"], "sub": {"k": 31}},
                                      {"module": "b", "sub": {"k": 15}}]},
                          "y": {"fail_under": 92.5, "floats": [1000.0, -0.25, 10.01, -float("inf")],
                                "text": '[project]\nname = "zx"\n', "raw": "[[w]]''",
                                "when": datetime.datetime(1979, 5, 27, 7, 32, 0, 123456, datetime
                                                          .timezone(-datetime.timedelta(hours=7))),
                                "day": datetime.date(1979, 5, 27), "at": datetime.time(7, 32)}}},
        }
        for text, expected in read.items():
            self.assertEqual(backend._TomlSubset(text).document(), expected, text)
            if tomllib:
                self.assertEqual(tomllib.loads(text), expected, text)
        invalid = ["[a]\nx = 1\n[a]\ny = 2\n", "[a]\nb.c = 1\n[a.b]\n", "[a.b]\n[a]\nb.c = 1\n",
                   "a.b = 1\n[a]\n", "a = {x = 1}\n[a.y]\n", "a = {x = 1}\na.y = 2\n",
                   "a = {x = {y = 1}, x.z = 2}\n", "a = 1\n[a.b]\n", "a = {x = 1,}\n",
                   'a = "x\\/y"\n', 'a = "\\ud800"\n', "a = 1\na = 2\n", "a = [1,\n",
                   "[[a]]\n[a]\n", "[a]\n[[a]]\n", "a = [{}]\n[[a]]\n", "[[a.b]]\n[a]\nb.c = 1\n",
                   "a = 1.\n", "a = 01\n", "a = 1979-02-30\n", 'a = """x""""""\n', "a = '''\n"]
        for text in invalid:
            with self.assertRaises(ValueError, msg=text):
                backend._TomlSubset(text).document()
            if tomllib:
                with self.assertRaises(tomllib.TOMLDecodeError, msg=text):
                    tomllib.loads(text)

    def test_metadata_and_settings_it_cannot_honour_are_refused(self):
        root = tempfile.mkdtemp(prefix="setup-meta-")
        self.addCleanup(shutil.rmtree, root, True)
        for name in ("README.md", "README.rst", "README.txt", "LICENSE"):
            with open(os.path.join(root, name), "w") as f:
                f.write("text\n")

        def metadata(**fields):
            return backend.core_metadata(dict({"name": "x", "version": "1.0"}, **fields), root)

        self.assertIn("Description-Content-Type: text/markdown\n", metadata(readme="README.md"))
        self.assertIn("Description-Content-Type: text/x-rst\n", metadata(readme="README.rst"))
        self.assertTrue(metadata(readme={"file": "README.txt", "content-type": "text/plain"})
                        .endswith("Description-Content-Type: text/plain\n\ntext\n"))
        self.assertIn("License: MIT\n", metadata(license={"text": "MIT"}))
        for fields in ({"readme": "README.txt"}, {"readme": {"file": "README.md"}},
                       {"license": {"file": "LICENSE"}}, {"license": "MIT"}):
            with self.assertRaises(ValueError, msg=fields):
                metadata(**fields)

        with open(os.path.join(root, "pyproject.toml"), "w") as f:
            f.write('[project]\nname = "x"\nversion = "1.0-rc1"\n')
        with self.assertRaisesRegex(ValueError, "1.0rc1"):
            backend.project(root)
        # pip runs the hook in the source tree, so a relative path would
        # put the build there; refused before anything is built.
        with self.assertRaisesRegex(ValueError, "absolute"):
            backend.build_wheel(root, {"build-dir": "build"})

    def test_settings_switch_on_and_off_and_refuse_anything_else(self):
        switch = backend._switch
        with mock.patch.dict(os.environ, {"SETUP_WITH_IPP": ""}):
            self.assertTrue(switch({}, "with-ipp", "SETUP_WITH_IPP"))
            for value, expected in (("off", False), ("OFF", False), ("0", False), ("on", True),
                                    ("Yes", True)):
                self.assertIs(switch({"with-ipp": value}, "with-ipp", "SETUP_WITH_IPP"), expected)
        with mock.patch.dict(os.environ, {"SETUP_WITH_IPP": "OFF"}):
            self.assertFalse(switch({}, "with-ipp", "SETUP_WITH_IPP"))
            # The command line wins over the environment.
            self.assertTrue(switch({"with-ipp": "on"}, "with-ipp", "SETUP_WITH_IPP"))
        for settings in ({"with-ipp": "maybe"}, {"with-ipp": ["on", "off"]}):
            with self.assertRaisesRegex(backend.BuildError, "expected on or off"):
                switch(settings, "with-ipp", "SETUP_WITH_IPP")
        # A misspelt setting would build something else without a word.
        with self.assertRaisesRegex(backend.BuildError, "with_ipp"):
            backend.build_wheel(tempfile.gettempdir(), {"with_ipp": "off"})

    def test_failed_builds_say_what_to_install(self):
        # A SystemExit, so that the frontend prints the message, not a
        # traceback of the backend.
        self.assertTrue(issubclass(backend.BuildError, SystemExit))
        with mock.patch.dict(os.environ, {"CMAKE": "/nonexistent/cmake"}):
            with self.assertRaises(backend.BuildError) as caught:
                backend.build_extension(tempfile.gettempdir(), ROOT)
        self.assertRegex(str(caught.exception), r"apt-get install cmake.*CMAKE=")
        self.assertIsNone(caught.exception.log)

        # CMake's own words, folded as it folds long lines.
        work = tempfile.mkdtemp(prefix="setup-failed-")
        self.addCleanup(shutil.rmtree, work, True)
        outputs = {
            "CMake Error at CMakeLists.txt:2 (project):\n  No CMAKE_CXX_COMPILER could be\n"
            "  found.\n": r"apt-get install g\+\+\).*CXX=",
            "  SETUP_PYTHON_38: /x/python3 unusable: no\n  headers in /x/include/python3.8\n":
                r"python%d\.%d-dev \(" % sys.version_info[:2],
            "CMake Error at CMakeLists.txt:30 (message):\n  libcups and its headers were not\n"
            "  found: install Debian's libcups2-dev\n": r"libcups2-dev.*with-ipp=off",
            "  CMake 3.20 or higher is required.  You are running version 3.13.4\n":
                r"CMake 3\.20 or newer",
            "src/a.cpp:1:1: error: 'x' does not name a type\n": r"build step failed",
        }
        log = os.path.join(work, "cmake.log")
        for output, advice in outputs.items():
            with open(log, "w") as f:
                f.write("-- earlier\n" * 40 + output)
            stderr = io.StringIO()
            with mock.patch("sys.stderr", stderr):
                error = backend._failed("build", log)
            self.assertRegex(str(error), advice)
            self.assertIn(log, str(error))
            self.assertEqual(error.log, log)
            # The tail of the output, which holds the cause, and not all of it.
            self.assertTrue(stderr.getvalue().endswith(output))
            self.assertLessEqual(stderr.getvalue().count("earlier"), backend._TAIL)

        # The compiler detection's message comes from CMake's own modules,
        # so a real configure: a CXX that names nothing.
        cmake = os.environ.get("SETUP_CMAKE") or shutil.which("cmake")
        if not cmake:
            self.skipTest("needs CMake")
        if os.environ.get("LD_PRELOAD"):
            # A memory checker's runtime would go into CMake too, and its
            # report at exit into the output whose tail is checked here.
            self.skipTest("under a memory checker")
        build = os.path.join(work, "build")
        stderr = io.StringIO()
        with mock.patch.dict(os.environ, {"CMAKE": cmake, "CXX": "/nonexistent/g++"}), \
                mock.patch("sys.stderr", stderr):
            with self.assertRaises(backend.BuildError) as caught:
                backend.build_extension(build, ROOT)
        self.assertRegex(str(caught.exception), r"g\+\+ \(apt-get install g\+\+\)")
        self.assertIn("/nonexistent/g++", stderr.getvalue())
        self.assertTrue(os.path.isfile(caught.exception.log))

    def test_archives_are_dated_by_source_date_epoch_alone(self):
        work = tempfile.mkdtemp(prefix="setup-dated-")
        self.addCleanup(shutil.rmtree, work, True)
        tree = os.path.join(work, "tree")
        os.makedirs(os.path.join(tree, "src"))
        with open(os.path.join(tree, "pyproject.toml"), "w") as f:
            f.write('[project]\nname = "x"\nversion = "1.0"\n'
                    '[tool.vellomar-build]\nsdist = ["pyproject.toml", "src"]\n')
        for name in ("b.cpp", "a.cpp"):
            with open(os.path.join(tree, "src", name), "w") as f:
                f.write("int %s;\n" % name[0])
        module = os.path.join(tree, "src", "a.cpp")
        table = {"name": "x", "version": "1.0"}
        old = os.getcwd()
        self.addCleanup(os.chdir, old)
        os.chdir(tree)  # where frontends run the hooks

        def archives(name, epoch):
            with mock.patch.dict(os.environ, {"SOURCE_DATE_EPOCH": epoch}):
                directory = os.path.join(work, name)
                os.makedirs(directory)
                wheel = backend.write_wheel(directory, table, [("x/a.py", module)], "py3-none-any")
                sdist = backend.build_sdist(directory)
            with open(os.path.join(directory, wheel), "rb") as f, \
                    open(os.path.join(directory, sdist), "rb") as g:
                return f.read(), g.read()

        first = archives("first", "1700000000")
        # Other file times, another moment: the same bytes.
        os.utime(module, (1, 1))
        self.assertEqual(archives("second", "1700000000"), first)
        with zipfile.ZipFile(io.BytesIO(first[0])) as wheel:
            self.assertEqual({info.date_time for info in wheel.infolist()},
                             {(2023, 11, 14, 22, 13, 20)})
        self.assertEqual(first[1][4:8], (1700000000).to_bytes(4, "little"))  # gzip's mtime
        with tarfile.open(fileobj=io.BytesIO(first[1])) as sdist:
            members = sdist.getmembers()
        self.assertEqual([member.name for member in members],
                         ["x-1.0/PKG-INFO", "x-1.0/pyproject.toml", "x-1.0/src/a.cpp",
                          "x-1.0/src/b.cpp"])
        self.assertEqual({(m.mtime, m.uid, m.gid, m.uname, m.gname) for m in members},
                         {(1700000000, 0, 0, "", "")})
        self.assertEqual({m.pax_headers.get("mtime") for m in members}, {None})
        # A zip holds nothing before 1980: earlier times, or none, give 1980.
        for epoch in ("", "0"):
            with zipfile.ZipFile(io.BytesIO(archives("at-" + (epoch or "unset"), epoch)[0])) as wheel:
                self.assertEqual({info.date_time for info in wheel.infolist()},
                                 {(1980, 1, 1, 0, 0, 0)}, epoch)
        with self.assertRaisesRegex(backend.BuildError, "SOURCE_DATE_EPOCH"):
            archives("bad", "yesterday")

    def test_sdist_of_a_checkout_carries_tracked_files_only(self):
        if not shutil.which("git"):
            self.skipTest("needs git")
        root = tempfile.mkdtemp(prefix="setup-sdist-")
        self.addCleanup(shutil.rmtree, root, True)
        os.makedirs(os.path.join(root, "src", "objects"))
        for name in ("pyproject.toml", "src/a.cpp", "src/objects/a.o", "other.txt"):
            with open(os.path.join(root, name), "w") as f:
                f.write('[tool.vellomar-build]\nsdist = ["pyproject.toml", "src"]\n')
        subprocess.run(["git", "init", "-q", root], check=True)
        subprocess.run(["git", "-C", root, "add", "pyproject.toml", "src/a.cpp", "other.txt"],
                       check=True)
        self.assertEqual(list(backend.sdist_files(root)), ["pyproject.toml", "src/a.cpp"])
        if os.geteuid() == 0:
            # A tree mounted into a container belongs to someone else: git
            # calls that dubious unless told otherwise.
            for directory, _, files in os.walk(root):
                for name in [directory] + [os.path.join(directory, f) for f in files]:
                    os.lchown(name, 54321, 54321)
            self.assertEqual(list(backend.sdist_files(root)), ["pyproject.toml", "src/a.cpp"])
        # Where git is missing, the files are all there is to go by; said so.
        stderr = io.StringIO()
        with mock.patch.dict(os.environ, {"PATH": root}), mock.patch("sys.stderr", stderr):
            self.assertEqual(list(backend.sdist_files(root)),
                             ["pyproject.toml", "src/a.cpp", "src/objects/a.o"])
        self.assertIn("git cannot list the tracked files", stderr.getvalue())
        # Unpacked from an sdist: no git, and every listed file is its own.
        shutil.rmtree(os.path.join(root, ".git"))
        self.assertEqual(list(backend.sdist_files(root)),
                         ["pyproject.toml", "src/a.cpp", "src/objects/a.o"])

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
        # The stage holds every interpreter's build, and a kept one also the
        # modules deleted from the tree since: neither may go in. Nor may a
        # module that git does not track, which CMake stages all the same:
        # the sdist leaves it out, so a wheel built from that would lack it.
        if not shutil.which("git"):
            self.skipTest("needs git")
        tree = os.path.join(work, "tree")
        shutil.copytree(os.path.join(ROOT, "vellomar"), os.path.join(tree, "vellomar"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy(os.path.join(ROOT, "pyproject.toml"), tree)
        subprocess.run(["git", "init", "-q", tree], check=True)
        subprocess.run(["git", "-C", tree, "add", "."], check=True)
        stage = os.path.join(work, "stage")
        shutil.copytree(STAGE, stage)
        for where, name in ((stage, "deleted.py"), (tree, "untracked.py"), (stage, "untracked.py")):
            with open(os.path.join(where, "vellomar", "printing", "cups", name), "w") as f:
                f.write("LEFT_OUT = True\n")
        ours = backend.write_wheel(work, table, list(backend.staged_files(stage, tree)),
                                   backend.wheel_tag(), ROOT)
        modules = set(subprocess.run(["git", "-C", tree, "ls-files", "vellomar"], check=True,
                                     stdout=subprocess.PIPE, universal_newlines=True).stdout.split())
        dist_info = backend.distribution_name(table) + ".dist-info/"
        with zipfile.ZipFile(os.path.join(work, ours)) as wheel:
            names = wheel.namelist()
            self.assertEqual(sorted(names), sorted(modules | {
                "vellomar/printing/cups/" + os.path.basename(path) for _, path in built_modules()
            } | {"vellomar/printing/cups/setup.pyi",
                "vellomar/printing/cups/py.typed", dist_info + "METADATA", dist_info + "WHEEL",
                dist_info + "RECORD"}))
            record = dist_info + "RECORD"
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
