"""Reference and memory-block leaks, hunted as CPython's regression runner
does with -R: repeat an operation in batches and call it a leak only when
every batch grew, which tells a leak from a one-off cache fill."""

import gc
import os
import sys
import unittest

import paths
from support import ModuleTestCase, make_tree, run_child

WARMUP, BATCHES, CALLS = 2, 4, 30
# Deltas are stored as these very objects, as regrtest does, so recording
# one neither makes nor frees an object between readings.
POOL = {value: value for value in range(-1000, 1000)}


def pooled(delta):
    return POOL.setdefault(delta, delta)


def batch_deltas(operation, calls=CALLS):
    """Growth of the total reference count and of the allocated blocks over
    each batch of calls, after a warm-up that fills caches."""
    for _ in range(WARMUP * calls):
        operation()
    refs, blocks = [0] * BATCHES, [0] * BATCHES
    refs_before = blocks_before = 0
    # Two readings first bring the readings' own ints to their steady number.
    for batch in range(-2, BATCHES):
        for _ in range(calls if batch >= 0 else 0):
            operation()
        sys._clear_type_cache()  # refilled lazily; regrtest clears it too
        gc.collect()
        blocks_after, refs_after = sys.getallocatedblocks(), sys.gettotalrefcount()
        if batch >= 0:
            refs[batch] = pooled(refs_after - refs_before)
            blocks[batch] = pooled(blocks_after - blocks_before)
        refs_before, blocks_before = refs_after, blocks_after
    return refs, blocks


@unittest.skipUnless(hasattr(sys, "gettotalrefcount"),
                     "needs a debug build of CPython (sys.gettotalrefcount)")
class LeakTest(ModuleTestCase):
    def assertNoLeak(self, what, refs, blocks):
        # regrtest's rule: a leak grows in every batch, a cache fill does not
        self.assertFalse(all(d >= 1 for d in refs) or all(d >= 1 for d in blocks),
                         "%s grew in every batch: references %s, blocks %s" % (what, refs, blocks))

    def test_built_with_reference_debugging(self):
        # Compiled against release headers, the module's own increments and
        # decrements bypass the total, and every path seems to leak.
        with open(self.module.__file__, "rb") as f:
            self.assertIn(b"_Py_NegativeRefcount", f.read(),
                          "%s was compiled without Py_REF_DEBUG (Py_DEBUG unset), so the "
                          "leak counts cannot be trusted" % self.module.__file__)

    def test_no_path_leaks(self):
        for p in paths.PATHS:
            with self.subTest(function=p.function, path=p.label):
                restore = paths.install(self.module, p.collaborators)
                try:
                    refs, blocks = batch_deltas(lambda: paths.run(self.module, p))
                finally:
                    restore()
                self.assertNoLeak("%s (%s), %d calls a batch," % (p.function, p.label, CALLS),
                                  refs, blocks)

    def test_failed_import_repeated(self):
        # The sibling lacks Timeouts: initialisation gets as far as it can
        # and fails, and each attempt runs all of it again.
        got = run_child(self, FAILED_IMPORT % os.path.dirname(os.path.abspath(__file__)),
                        make_tree(self, "def call(cmd, env):\n    return '', ''\n"))
        self.assertNoLeak("a failed import, 10 attempts a batch,", got["refs"], got["blocks"])


FAILED_IMPORT = '''
    import os, platform
    sys.path.insert(0, %r)
    from test_leaks import batch_deltas
    import vellomar.printing.cups.call

    def attempt():
        try:
            import vellomar.printing.cups.setup
            raise AssertionError("the import succeeded")
        except ImportError:
            pass
        sys.modules.pop("vellomar.printing.cups.setup", None)
        sys.modules.pop("setup", None)

    refs, blocks = batch_deltas(attempt, 10)
    report(refs=refs, blocks=blocks)
'''


class ReimportLeakTest(unittest.TestCase):
    """On every interpreter: tracemalloc sees the blocks of any allocator."""

    def test_reimport_leaves_nothing_behind(self):
        # The re-import hands back the held module. A block left per cycle
        # would add 400; the import system's own caches account for a few
        # dozen while they warm up.
        got = run_child(self, REIMPORT, make_tree(self))
        self.assertLess(sum(got["blocks"]), 200,
                        "400 re-imports, 100 a batch, left blocks behind: %s" % got["blocks"])


REIMPORT = '''
    import gc, importlib, tracemalloc
    name = "vellomar.printing.cups.setup"

    def blocks():
        gc.collect()  # garbage that a collection would free is no leak
        return len(tracemalloc.take_snapshot().traces)

    def cycle():
        del sys.modules[name]
        importlib.import_module(name)

    importlib.import_module(name)
    tracemalloc.start()
    for _ in range(300):
        cycle()
    deltas, before = [], blocks()
    for _ in range(4):
        for _ in range(100):
            cycle()
        after = blocks()
        deltas.append(after - before)
        before = after
    report(blocks=deltas)
'''
