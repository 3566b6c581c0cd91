"""Reference and memory-block leaks. Calls are hunted as CPython's regression
runner does with -R: repeat an operation in batches and call it a leak only
when every batch grew, which tells a leak from a one-off cache fill.
Re-imports fill the import system's caches for thousands of cycles, so
there the trend over many batches decides."""

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


def slope(readings, per):
    """Least-squares growth per operation of readings taken every `per`
    operations: one burst of a cache filling moves it far less than a leak,
    which adds at least one unit every time."""
    n = len(readings)
    mean_x, mean_y = (n - 1) / 2, sum(readings) / n
    spread = sum((x - mean_x) ** 2 for x in range(n))
    return sum((x - mean_x) * (y - mean_y) for x, y in enumerate(readings)) / spread / per


REIMPORT_WARMUP, REIMPORT_BATCHES, REIMPORT_CYCLES = 1000, 20, 100


class ReimportLeakTest(unittest.TestCase):
    """On every interpreter: tracemalloc sees the blocks of any allocator, and
    the held module's own reference count shows a reference kept per import.
    The import system's caches keep filling for a few thousand re-imports,
    by up to a few hundred blocks in bursts whose size and timing depend on
    the hash seed, so growth is judged by its trend over thousands."""

    def test_reimport_leaves_nothing_behind(self):
        got = run_child(self, REIMPORT % (REIMPORT_WARMUP, REIMPORT_BATCHES, REIMPORT_CYCLES),
                        make_tree(self))
        # The re-import hands back the held module: a reference kept per
        # cycle shows in its count exactly, whatever else the import did.
        module_refs = got["module_refs"]
        self.assertEqual(module_refs[-1], module_refs[0],
                         "the module's reference count over %d re-imports: %s"
                         % (REIMPORT_BATCHES * REIMPORT_CYCLES, module_refs))
        # Noise stays below 0.06 blocks per cycle over hundreds of seeds; a
        # leak is one or more per cycle.
        for what in ("blocks", "total_refs"):
            if got[what] is None:
                continue  # the total needs a debug build
            growth = slope(got[what], REIMPORT_CYCLES)
            self.assertLess(growth, 0.5, "%s grew by %.3f per re-import over %d batches of %d: "
                            "%s" % (what, growth, REIMPORT_BATCHES, REIMPORT_CYCLES, got[what]))


REIMPORT = '''
    import gc, importlib, tracemalloc
    name = "vellomar.printing.cups.setup"
    warmup, batches, cycles = %d, %d, %d

    def cycle():
        del sys.modules[name]
        importlib.import_module(name)

    module = importlib.import_module(name)
    tracemalloc.start()
    for _ in range(warmup):
        cycle()
    blocks, total_refs, module_refs = [], [], []
    for batch in range(batches + 1):
        for _ in range(cycles if batch else 0):
            cycle()
        gc.collect()  # garbage that a collection would free is no leak
        blocks.append(len(tracemalloc.take_snapshot().traces))
        if hasattr(sys, "gettotalrefcount"):
            sys._clear_type_cache()
            total_refs.append(sys.gettotalrefcount())
        module_refs.append(sys.getrefcount(module))
    report(blocks=blocks, total_refs=total_refs or None, module_refs=module_refs)
'''
