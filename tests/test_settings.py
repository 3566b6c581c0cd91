"""setup(): the settings for running CUPS tools as child processes."""

import os
import unittest

from support import ModuleTestCase, Namespace, Recorder, dictless_module


class RecordingMapping(dict):
    def __init__(self, *args, refuse=None):
        super().__init__(*args)
        self.assigned, self.refuse = [], refuse

    def __setitem__(self, key, value):
        if key == self.refuse:
            raise PermissionError(key)
        self.assigned.append((key, value))
        super().__setitem__(key, value)


class SetupTest(ModuleTestCase):
    def setUp(self):
        super().setUp()
        saved = dict(os.environ)
        self.addCleanup(lambda: (os.environ.clear(), os.environ.update(saved)))

    def test_environment_copy_with_forced_variables(self):
        os.environ.update(LANG="de_DE.UTF-8", SOFTWARE="printer", KEEP="kept")
        before = dict(os.environ)
        first, second = self.module.setup(1, x=2), self.module.setup()
        self.assertEqual(list(first), ["env", "timeout"])
        self.assertEqual(first["env"], dict(before, LANG="C", SOFTWARE=""))
        self.assertEqual(dict(os.environ), before)
        self.assertIsNot(first["env"], second["env"])
        self.assertEqual(repr(first["timeout"]), "Timeouts(query=3, job=10)")
        first["env"]["KEEP"] = "changed"
        self.assertEqual((second["env"]["KEEP"], os.environ["KEEP"]), ("kept", "kept"))

    def test_absent_variables_are_added_last_and_the_snapshot_is_fresh(self):
        os.environ.pop("LANG", None)
        os.environ.pop("SOFTWARE", None)
        env = self.module.setup()["env"]
        self.assertEqual(list(env)[-2:], ["SOFTWARE", "LANG"])
        self.assertNotIn("LANG", os.environ)
        os.environ["ADDED"] = "1"
        self.assertNotIn("ADDED", env)
        self.assertEqual(self.module.setup()["env"]["ADDED"], "1")

    def test_collaborators_are_used_as_given(self):
        mapping = RecordingMapping({"LANG": "x"})
        timeouts = Recorder(result=object())
        self.replace(environ=Namespace(copy=lambda: mapping), Timeouts=timeouts)
        result = self.module.setup()
        self.assertIs(result["env"], mapping)
        self.assertIs(result["timeout"], timeouts.result)
        self.assertEqual(mapping.assigned, [("SOFTWARE", ""), ("LANG", "C")])
        self.assertEqual(timeouts.calls, [((3, 10), {})])

    def test_failures_propagate_with_the_failing_line(self):
        boom = RuntimeError("boom")
        cases = [
            (74, NameError, lambda: self.module.__dict__.pop("environ")),
            (74, NameError, lambda: (self.module.__dict__.pop("environ"),
                                     self.module.__dict__.pop("Timeouts"))),
            (74, AttributeError, lambda: self.replace(environ=Namespace())),
            (74, AttributeError, lambda: self.replace(environ=dictless_module())),
            (75, TypeError, lambda: self.replace(environ=Namespace(copy=lambda: ()))),
            (76, PermissionError,
             lambda: self.replace(environ=Namespace(copy=lambda: RecordingMapping(refuse="LANG")))),
            (80, NameError, lambda: self.module.__dict__.pop("Timeouts")),
            (80, boom, lambda: self.replace(Timeouts=Recorder(raises=boom))),
        ]
        for line, error, arrange in cases:
            with self.subTest(line=line, error=error), self.fresh():
                arrange()
                caught = self.assertRaisesAt(error, line, self.module.setup)
                if error is NameError:
                    self.assertEqual(str(caught), "name '%s' is not defined"
                                     % ("environ" if line == 74 else "Timeouts"))


if __name__ == "__main__":
    unittest.main()
