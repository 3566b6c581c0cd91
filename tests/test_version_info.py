"""get_version_info() against stand-in environ and call collaborators."""

import builtins
import subprocess
import sys
import unittest

from support import ModuleTestCase, Namespace, Recorder, module_entries, raised

OPTIONS = ["version", "api-version", "build", "datadir", "serverbin", "serverroot"]
LINES = ["2.4.2", "2.4", "cups-2.4.2", "/usr/share/cups", "/usr/lib/cups", "/etc/cups"]


class GetVersionInfoTest(ModuleTestCase):
    def use(self, result=None, raises=None):
        self.env = {"PATH": "/usr/bin"}
        self.call = Recorder(result, raises)
        self.replace(environ=Namespace(copy=lambda: self.env), call=self.call)

    def test_pairs_options_with_output_lines(self):
        for out, expected in [
            ("\n".join(LINES) + "\n", list(zip(OPTIONS, LINES))),
            ("\r\n".join(LINES + ["extra"]), list(zip(OPTIONS, LINES))),
            ("a\nb", [("version", "a"), ("api-version", "b")]),
            ("", []),
            (b"2.4.2\n2.4\n", [("version", b"2.4.2"), ("api-version", b"2.4")]),
        ]:
            with self.subTest(out=out):
                self.use((out, "ignored"))
                ok, pairs = self.module.get_version_info()
                self.assertIs(ok, True)
                self.assertIs(type(pairs), zip)
                self.assertEqual(list(pairs), expected)
                self.assertEqual(list(pairs), [])
                (cmd, env), = [args for args, kwargs in self.call.calls]
                self.assertEqual(cmd, ["cups-config"] + ["--" + o for o in OPTIONS])
                self.assertIs(env, self.env)
                self.assertEqual(self.env, {"PATH": "/usr/bin"})
                self.assertEqual(self.call.calls[0][1], {})

    def test_any_iterable_of_exactly_two_is_accepted(self):
        for result in (["a\nb", ""], iter(("a\nb", "")), (x for x in ("a\nb", None))):
            with self.subTest(result=type(result).__name__):
                self.use(result)
                self.assertEqual(dict(self.module.get_version_info()[1]),
                                 {"version": "a", "api-version": "b"})

    def test_os_errors_of_the_tool_become_a_failure_pair(self):
        def failing_iteration():
            yield "out"
            raise PermissionError(13, "Permission denied")

        for raises, result, message in [
            (FileNotFoundError(2, "No such file or directory", "cups-config"), None,
             "[Errno 2] No such file or directory: 'cups-config'"),
            (OSError(), None, ""),
            (None, failing_iteration(), "[Errno 13] Permission denied"),
        ]:
            with self.subTest(message=message):
                self.use(result, raises)
                self.assertEqual(self.module.get_version_info(),
                                 (False, "Unable to collect cups info: " + message))
                self.assertIsNone(sys.exc_info()[1])

    def test_the_callers_handled_exception_survives(self):
        seen = []

        class Failure(OSError):
            def __str__(self):
                seen.append(sys.exc_info()[1])
                return "seen"

        failure = Failure()
        self.use(raises=failure)
        try:
            raise KeyError("outer")
        except KeyError as outer:
            self.assertEqual(self.module.get_version_info(),
                             (False, "Unable to collect cups info: seen"))
            self.assertIs(sys.exc_info()[1], outer)
        self.assertEqual(seen, [failure])

        # Inside a generator the clause works on the generator's own
        # exception state, which must come out as it went in.
        def generator():
            yield self.module.get_version_info()
            yield sys.exc_info()[1]

        self.use(raises=FileNotFoundError(2, "no cups-config"))
        running = generator()
        try:
            raise KeyError("outer")
        except KeyError:
            self.assertIs(next(running)[0], False)
        self.assertIsNone(next(running))

    def test_unexpected_errors_propagate_with_the_failing_line(self):
        class Unprintable(OSError):
            def __str__(self):
                raise ValueError("no text")

        class Lines:
            def splitlines(self):
                return 42

        timeout = subprocess.TimeoutExpired(["cups-config"], 10)
        cases = [
            # (environ copy, call result, call raises, expected error, message, line)
            (OSError("copy"), None, None, OSError, "copy", 53),
            (None, None, timeout, subprocess.TimeoutExpired, None, 56),
            (None, None, KeyboardInterrupt(), KeyboardInterrupt, None, 56),
            (None, ("a", "b", "c"), None, ValueError,
             "too many values to unpack (expected 2)", 56),
            (None, ["a", "b", "c"], None, ValueError,
             "too many values to unpack (expected 2)", 56),
            (None, iter("abc"), None, ValueError, "too many values to unpack (expected 2)", 56),
            (None, ("a",), None, ValueError, "need more than 1 value to unpack", 56),
            (None, (), None, ValueError, "need more than 0 values to unpack", 56),
            (None, iter("a"), None, ValueError, "need more than 1 value to unpack", 56),
            (None, 42, None, TypeError, None, 56),
            (None, None, Unprintable(), ValueError, "no text", 58),
            (None, (None, ""), None, AttributeError, None, 61),
            (None, (Lines(), ""), None, TypeError, None, 61),
        ]
        for copy_raises, result, raises, error, message, line in cases:
            with self.subTest(result=result, raises=raises, line=line):
                self.use(result, raises)
                if copy_raises is not None:
                    self.module.environ = Namespace(copy=Recorder(raises=copy_raises))
                caught = self.assertRaisesAt(error, line, self.module.get_version_info)
                if message is not None:
                    self.assertEqual(str(caught), message)

    def test_missing_collaborators_are_name_errors(self):
        for missing, line in (("environ", 53), ("call", 56)):
            with self.subTest(missing=missing):
                self.use(("", ""))
                delattr(self.module, missing)
                error = self.assertRaisesAt(NameError, line, self.module.get_version_info)
                self.assertEqual(str(error), "name '%s' is not defined" % missing)
                self.assertEqual(self.call.calls, [])

    def test_zip_and_os_error_are_the_ones_captured_at_import(self):
        self.use(raises=OSError("gone"))
        self.replace(OSError=KeyError, zip=None)
        original_zip = builtins.zip
        builtins.zip = None
        self.addCleanup(setattr, builtins, "zip", original_zip)
        self.assertEqual(self.module.get_version_info(),
                         (False, "Unable to collect cups info: gone"))
        self.use(("1\n2", ""))
        self.assertEqual(list(self.module.get_version_info()[1]),
                         [("version", "1"), ("api-version", "2")])


if __name__ == "__main__":
    unittest.main()
