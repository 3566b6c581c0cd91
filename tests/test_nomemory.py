"""Allocation-failure sweeps: for every N an operation reaches, its Nth
allocation fails, and it must end in its usual result or in an exception other
than SystemError. Each runs in a child, so that a crash is caught and located."""

import json
import os
import subprocess
import sys
import unittest

from support import STAGE, extension_path

SWEPT = {"is_available": ["available", "unsupported platform", "exists raises"],
         "setup": ["settings", "Timeouts raises"],
         "get_version_info": ["six lines", "tool missing", "OSError while unpacking",
                              "three values"]}

CHILD = '''
import gc, json, os, platform, sys, _testcapi
sys.path.insert(0, %r)
import paths

def attempt(n, operation):
    gc.collect()  # empties the free lists, so that the operation allocates
    _testcapi.set_nomemory(n, n + 1)
    try:
        outcome = operation()
    except BaseException as error:
        outcome = error
    try:  # the failure not met yet lies within the next n + 1 allocations
        for _ in range(n + 1):
            object()
        reached = True
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    return outcome, reached

def shape(outcome):
    if isinstance(outcome, tuple):
        return ["zip" if isinstance(item, zip) else item for item in outcome]
    return type(outcome).__name__ if isinstance(outcome, BaseException) else outcome

def fault(outcome, expected):
    error = outcome
    while isinstance(error, BaseException):
        # paths.run raises AssertionError when a raising path returns
        if isinstance(error, (SystemError, AssertionError)):
            return repr(error)
        error = error.__cause__ or error.__context__
    if not isinstance(outcome, BaseException) and shape(outcome) != expected:
        return "returned %%r, not %%r" %% (shape(outcome), expected)

def sweep(operation, expected, start=0, retry=None):
    faults = []
    for n in range(start, 10000):
        print("AT", n, flush=True)
        outcome, reached = attempt(n, operation)
        problem = fault(outcome, expected)
        if problem:
            faults.append([n, problem])
        if not reached or retry and not retry(outcome):
            break
    print("REPORT " + json.dumps(dict(last=n, reached=reached, faults=faults)))
'''

IMPORT = '''
import _imp, importlib.util, vellomar.printing.cups.call
spec = importlib.util.find_spec("vellomar.printing.cups.setup")

# The import system's own two steps, without importlib's module locks,
# which CPython leaves held when a failure hits their release.
def load():
    _imp.exec_dynamic(_imp.create_dynamic(spec))

def retry(outcome):
    if isinstance(outcome, BaseException):
        sys.modules.pop("setup", None)
        return True
    # Held for good now: it must work, and the sweep goes on in a new process.
    sys.modules["setup"].setup(), sys.modules["setup"].is_available()

sweep(load, None, int(sys.argv[1]), retry)
'''

FUNCTION = '''
from vellomar.printing.cups import setup as module
[p] = [p for p in paths.PATHS if (p.function, p.label) == tuple(sys.argv[1:])]
paths.install(module, p.collaborators)
operation = lambda: paths.run(module, p)
operation()
sweep(operation, shape(operation()))
'''


class NoMemoryTest(unittest.TestCase):
    def sweep(self, code, *args):
        extension_path()
        done = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c",
             CHILD % os.path.dirname(os.path.abspath(__file__)) + code, *args],
            env=dict(os.environ, PYTHONPATH=STAGE), stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, universal_newlines=True, timeout=300)
        lines = done.stdout.splitlines() or [""]
        if done.returncode != 0 or not lines[-1].startswith("REPORT "):
            at = [line.split()[1] for line in lines if line.startswith("AT ")] or ["none"]
            self.fail("%s: the child died (status %d) with allocation N=%s failing:\n%s" % (
                " ".join(args), done.returncode, at[-1], done.stderr[-3000:]))
        return json.loads(lines[-1][7:])

    def check(self, name, covered, faults):
        sys.stderr.write("[%s: %d failure points] " % (name, covered))
        if faults:
            self.fail("%s, with the Nth allocation failing:\n%s" % (
                name, "\n".join("N=%d: %s" % tuple(fault) for fault in faults[:10])))
        return covered

    @unittest.skipIf(sys.version_info >= (3, 13), "CPython 3.13.0 itself corrupts a dict whose "
                     "setdefault() fails to grow, as readying the module's type does")
    def test_first_import(self):
        start, faults = 0, []
        for _ in range(200):
            got = self.sweep(IMPORT, str(start))
            faults += got["faults"]
            if not got["reached"]:
                break
            start = got["last"] + 1
        else:
            self.fail("the import kept succeeding with failures injected up to N=%d" % start)
        self.assertGreater(self.check("first import", got["last"], faults), 0)

    @unittest.skipIf(sys.version_info >= (3, 11), "from 3.11 on CPython itself fails these sweeps: "
                     "a raising Python function called from C returns NULL without an exception "
                     "(SystemError; an abort on 3.11d), and 3.12+ crash unpacking a generator")
    def test_functions(self):
        covered = 0  # a path may allocate nothing, but not every one of them
        for function, labels in SWEPT.items():
            for label in labels:
                with self.subTest(function=function, path=label):
                    got = self.sweep(FUNCTION, function, label)
                    covered += self.check("%s (%s)" % (function, label), got["last"],
                                          got["faults"])
        self.assertGreater(covered, 0)
