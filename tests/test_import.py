"""Import-time behaviour, each case in a fresh interpreter against a
throwaway package tree."""

import sys
import unittest

from support import MISMATCH_STAGE, SOURCE_PATH, STUB_CALL, make_tree, run_child

NAMES = ["Timeouts", "__builtins__", "__doc__", "__file__", "__loader__", "__name__",
         "__package__", "__test__", "call", "environ", "get_version_info", "is_available",
         "path", "platform", "setup"]

# A sibling that lacks Timeouts and keeps a handle on the module being
# initialised, to inspect it after the import has failed.
CALL_WITHOUT_TIMEOUTS = '''
import sys
abandoned = sys.modules["vellomar.printing.cups.setup"]
def call(cmd, env):
    return "", ""
'''


class FirstImportTest(unittest.TestCase):
    def test_binds_its_names_and_registers_the_plain_name(self):
        got = run_child(self, '''
            import builtins, os, platform
            from vellomar.printing.cups import setup as m
            from vellomar.printing.cups import call
            report(names=sorted(n for n in vars(m) if n != "__spec__"),
                   plain=sys.modules["setup"] is m, name=m.__name__, package=m.__package__,
                   doc=m.__doc__, file=m.__file__ == m.__spec__.origin,
                   builtins=m.__builtins__ is builtins, test=m.__test__,
                   collaborators=[m.platform is platform, m.path is os.path,
                                  m.environ is os.environ, m.call is call.call,
                                  m.Timeouts is call.Timeouts])
        ''', make_tree(self))
        self.assertEqual(got, dict(names=NAMES, plain=True, name="vellomar.printing.cups.setup",
                                   package="vellomar.printing.cups", doc=None, file=True,
                                   builtins=True, test={}, collaborators=[True] * 5))

    def test_an_existing_plain_entry_is_left_alone(self):
        got = run_child(self, '''
            sys.modules["setup"] = sentinel = object()
            from vellomar.printing.cups import setup as m
            report(kept=sys.modules["setup"] is sentinel, works=m.setup()["env"] is not None)
        ''', make_tree(self))
        self.assertEqual(got, dict(kept=True, works=True))

    def test_import_bypasses_a_replaced_import_function(self):
        got = run_child(self, '''
            import builtins, importlib
            original, asked = builtins.__import__, []
            def recording(name, globals=None, *args):
                asked.append((name, (globals or {}).get("__name__")))
                return original(name, globals, *args)
            builtins.__import__ = recording
            m = importlib.import_module("vellomar.printing.cups.setup")
            report(bound=callable(m.call), asked_by_setup=[
                name for name, importer in asked if importer == m.__name__])
        ''', make_tree(self))
        self.assertEqual(got, dict(bound=True, asked_by_setup=[]))


class ReimportTest(unittest.TestCase):
    def test_reimport_and_reload_return_the_held_module_untouched(self):
        got = run_child(self, '''
            import importlib, importlib.util
            from vellomar.printing.cups import setup as m
            m.call = m.kept = sentinel = object()
            del sys.modules["vellomar.printing.cups.setup"], sys.modules["setup"]
            again = importlib.import_module("vellomar.printing.cups.setup")
            reloaded = importlib.reload(again)
            spec = importlib.util.spec_from_file_location("alias.setup", m.__file__)
            other = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(other)
            report(same=[again is m, reloaded is m, other is m],
                   kept=[m.call is sentinel, m.kept is sentinel],
                   plain="setup" in sys.modules)
        ''', make_tree(self))
        self.assertEqual(got, dict(same=[True] * 3, kept=[True] * 2, plain=False))


class FailedImportTest(unittest.TestCase):
    def test_missing_name_fails_then_a_retry_runs_every_step_again(self):
        got = run_child(self, '''
            import pickle
            try:
                import vellomar.printing.cups.setup
            except ImportError as e:
                first = dict(error=[type(e).__name__, str(e)], entry=last_entry(e))
            sibling = sys.modules["vellomar.printing.cups.call"]
            old = sibling.abandoned
            first["abandoned"] = sorted(n for n in ("platform", "path", "environ", "call",
                                                    "Timeouts", "is_available",
                                                    "get_version_info", "setup", "__test__")
                                        if n in vars(old))
            first["plain_after_failure"] = "setup" in sys.modules
            sibling.Timeouts = lambda *a: a
            from vellomar.printing.cups import setup as m
            f = m.is_available
            report(first=first, new_object=m is not old, plain=sys.modules["setup"] is m,
                   pickled=pickle.loads(pickle.dumps(f)) is f, works=m.setup()["timeout"])
        ''', make_tree(self, CALL_WITHOUT_TIMEOUTS))
        self.assertEqual(got["first"], dict(
            error=["ImportError", "cannot import name Timeouts"],
            entry=["init setup", SOURCE_PATH, 4],
            abandoned=["call", "environ", "path", "platform"],
            plain_after_failure=False))
        self.assertEqual({k: got[k] for k in ("new_object", "plain", "pickled", "works")},
                         dict(new_object=True, plain=True, pickled=True, works=[3, 10]))

    def test_import_system_errors_carry_the_init_entry(self):
        cases = [
            # no sibling module at all
            ("vellomar.printing.cups.setup", None, "ModuleNotFoundError", 4),
            # loaded top-level: the relative import has no package to resolve against
            ("setup", STUB_CALL, "ImportError", 4),
        ]
        for name, call_source, error, line in cases:
            with self.subTest(name=name, sibling=call_source is not None):
                root = make_tree(self, call_source)
                path = root if name != "setup" else root + "/vellomar/printing/cups"
                got = run_child(self, '''
                    import importlib
                    try:
                        importlib.import_module(%r)
                    except ImportError as e:
                        report(error=type(e).__name__, entry=last_entry(e),
                               plain=sys.modules.get("setup"))
                ''' % name, path)
                self.assertEqual(got, dict(error=error, entry=["init setup", SOURCE_PATH, line],
                                           plain=None))


class SecondInterpreterTest(unittest.TestCase):
    def test_another_interpreter_cannot_load_it(self):
        got = run_child(self, r'''
            import os, tempfile
            try:
                import _interpreters as interpreters
                create = lambda: interpreters.create("legacy")
            except ImportError:
                import _xxsubinterpreters as interpreters
                create = (lambda: interpreters.create(isolated=False)) \
                    if sys.version_info >= (3, 12) else interpreters.create
            import vellomar.printing.cups.setup
            out = tempfile.mktemp()
            interp = create()
            interpreters.run_string(interp, "\n".join([
                "try:",
                "    import vellomar.printing.cups.setup",
                "    result = 'imported'",
                "except ImportError as e:",
                "    result = str(e)",
                "with open(%r, 'w') as f:" % out,
                "    f.write(result)"]))
            interpreters.destroy(interp)
            with open(out) as f:
                report(result=f.read())
            os.unlink(out)
        ''', make_tree(self))
        self.assertEqual(got["result"], "Interpreter change detected - this module can only "
                                        "be loaded into one interpreter per process.")


class VersionCheckTest(unittest.TestCase):
    def test_mismatch_warns_and_fails_when_warnings_are_errors(self):
        running = "%d.%d" % sys.version_info[:2]
        message = ("compiletime version 3.1 of module 'setup' does not match runtime "
                   "version %s" % running)
        got = run_child(self, '''
            import warnings
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                try:
                    import vellomar.printing.cups.setup
                except RuntimeWarning as e:
                    failed = [str(e), [entry.name for entry in traceback.extract_tb(e.__traceback__)]]
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                from vellomar.printing.cups import setup as m
            report(failed=failed,
                   warned=[[w.category.__name__, str(w.message)] for w in caught],
                   works=m.is_available()[0] in (True, False))
        ''', make_tree(self, stage=MISMATCH_STAGE))
        self.assertEqual(got["failed"][0], message)
        self.assertNotIn("init setup", got["failed"][1])
        self.assertEqual(got["warned"], [["RuntimeWarning", message]])
        self.assertTrue(got["works"])

    def test_an_import_from_the_warning_hook_gets_the_same_module(self):
        got = run_child(self, '''
            import importlib, warnings
            name, inner = "vellomar.printing.cups.setup", []
            def reimport(*args, **kwargs):
                if not inner:
                    del sys.modules[name]
                    inner.append(importlib.import_module(name))
            warnings.showwarning = reimport
            warnings.simplefilter("always")
            import vellomar.printing.cups.setup as outer
            del sys.modules[name]
            again = importlib.import_module(name)
            report(same=[inner[0] is outer, again is outer], works=outer.setup()["timeout"].args)
        ''', make_tree(self, stage=MISMATCH_STAGE))
        self.assertEqual(got, dict(same=[True, True], works=[3, 10]))


if __name__ == "__main__":
    unittest.main()
