"""Helpers shared by the tests: where the builds are, throwaway package trees,
child interpreters, and stand-ins for the module's collaborators."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import types
import unittest

STAGE = os.environ.get("SETUP_STAGE", "")
MISMATCH_STAGE = os.environ.get("SETUP_MISMATCH_STAGE", "")
PACKAGE = os.path.join("vellomar", "printing", "cups")
EXTENSION = "setup" + sysconfig.get_config_var("EXT_SUFFIX")
SOURCE_PATH = "vellomar/printing/cups/setup.py"

STUB_CALL = '''
def call(cmd, env):
    return "", ""

class Timeouts:
    def __init__(self, first, second):
        self.args = (first, second)
'''


def extension_path(stage=None):
    path = os.path.join(stage or STAGE, PACKAGE, EXTENSION)
    if not os.path.exists(path):
        raise unittest.SkipTest("no build for this interpreter at %s" % path)
    return path


def make_tree(test, call_source=STUB_CALL, stage=None):
    """A package tree in a temporary directory with the built extension and a
    sibling `call` module of the given source (none when None)."""
    root = tempfile.mkdtemp(prefix="setup-test-")
    test.addCleanup(shutil.rmtree, root, True)
    package = os.path.join(root, PACKAGE)
    os.makedirs(package)
    # vellomar and vellomar.printing are namespace packages, as installed
    open(os.path.join(package, "__init__.py"), "w").close()
    shutil.copy(extension_path(stage), package)
    if call_source is not None:
        with open(os.path.join(package, "call.py"), "w") as f:
            f.write(textwrap.dedent(call_source))
    return root


def run_child(test, code, path, args=()):
    """Runs code in a fresh interpreter with path first on sys.path; the code
    calls report(**values), whose values come back as a dict."""
    prelude = textwrap.dedent('''
        import json, sys, traceback
        def last_entry(exc):
            entry = traceback.extract_tb(exc.__traceback__)[-1]
            return [entry.name, entry.filename, entry.lineno]
        def report(**values):
            print("REPORT " + json.dumps(values))
    ''')
    env = dict(os.environ, PYTHONPATH=path, PYTHONDONTWRITEBYTECODE="1")
    done = subprocess.run([sys.executable, *args, "-c", prelude + textwrap.dedent(code)],
                          env=env, cwd=path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    reports = [line[7:] for line in done.stdout.splitlines() if line.startswith("REPORT ")]
    if done.returncode != 0 or len(reports) != 1:
        test.fail("child failed (status %d):\n%s\n%s" % (done.returncode, done.stdout, done.stderr))
    return json.loads(reports[0])


def module_entries(exc):
    """The traceback entries that the module added to exc: it adds them
    between its caller's frame and the frames of whatever raised."""
    # Read from the frames themselves: traceback.extract_tb() goes through
    # linecache, whose checkcache() races with itself in other threads on
    # 3.8 (KeyError of a file name).
    found, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_PATH:
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


class Recorder:
    """A callable that records its calls and returns (or raises) what it was
    given."""

    def __init__(self, result=None, raises=None):
        self.calls = []
        self.result = result
        self.raises = raises

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.result


def require(missing, what, packages, tests):
    """Skips the calling test when something it needs is missing, except
    under CI (CI set), which must run it: there the absence fails it."""
    if not missing:
        return
    why = "%s (missing: %s; %s bring them)" % (what, ", ".join(missing), packages)
    if os.environ.get("CI"):
        raise AssertionError("CI must run the %s, but %s" % (tests, why))
    raise unittest.SkipTest(why)


def dictless_module():
    """A module object whose __init__ never ran: before 3.11 it has no dict."""
    return types.ModuleType.__new__(types.ModuleType)


class Namespace:
    """An object with the given attributes, to stand in for a module."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)


class ModuleTestCase(unittest.TestCase):
    """Imports the built module in this process and restores its namespace
    after each test, so tests may replace its collaborators freely."""

    @classmethod
    def setUpClass(cls):
        extension_path()
        from vellomar.printing.cups import setup
        cls.module = setup

    def setUp(self):
        self.addCleanup(self._restore, dict(vars(self.module)))

    def _restore(self, saved):
        namespace = vars(self.module)
        namespace.clear()
        namespace.update(saved)

    @contextlib.contextmanager
    def fresh(self):
        """The module's namespace as it was, once the block ends."""
        saved = dict(vars(self.module))
        try:
            yield
        finally:
            self._restore(saved)

    def replace(self, **collaborators):
        for name, value in collaborators.items():
            setattr(self.module, name, value)

    def assertRaisesAt(self, exception, line, function, *args, **kwargs):
        """function(*args, **kwargs) raises exception (a class or the very
        instance) with the module's traceback entry for line last."""
        error = raised(function, *args, **kwargs)
        if isinstance(exception, type):
            self.assertIsInstance(error, exception)
        else:
            self.assertIs(error, exception)
        self.assertEqual(module_entries(error), [("setup." + function.__name__, SOURCE_PATH, line)])
        return error


def raised(function, *args, **kwargs):
    """The exception that function(*args, **kwargs) raises, traceback intact
    (assertRaises strips it on recent versions)."""
    try:
        function(*args, **kwargs)
    except BaseException as error:
        return error
    raise AssertionError("%s did not raise" % function.__name__)
