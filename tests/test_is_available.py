"""is_available() against stand-in platform and path collaborators."""

import unittest

from support import ModuleTestCase, Namespace, Recorder, dictless_module

TOOLS = ["/usr/bin/lp", "/usr/bin/lpoptions", "/usr/bin/lpstat"]


class PathStandIn:
    """os.path stand-in: answers exists() from a table, recording each call."""

    def __init__(self, answers):
        self.answers = answers
        self.asked = []

    def exists(self, command):
        self.asked.append(command)
        return self.answers.get(command, True)


class IsAvailableTest(ModuleTestCase):
    def use(self, system="Linux", answers=None):
        path = PathStandIn(answers or {})
        self.replace(platform=Namespace(system=lambda: system), path=path)
        return path

    def test_supported_platforms_with_all_tools(self):
        for system in ("Linux", "Darwin", type("Name", (str,), {})("Linux")):
            with self.subTest(system=system):
                path = self.use(system)
                first = self.module.is_available()
                self.assertEqual(first, (True, ""))
                self.assertIs(self.module.is_available(), first)
                self.assertEqual(path.asked, TOOLS * 2)

    def test_unsupported_platforms(self):
        for system, shown in [("Windows", "Windows"), ("linux", "linux"), ("DARWIN", "DARWIN"),
                              ("", ""), (None, "None"), (3, "3")]:
            with self.subTest(system=system):
                path = self.use(system)
                del self.module.path  # never consulted on an unsupported platform
                self.assertEqual(self.module.is_available(),
                                 (False, "Platform %s is not supported." % shown))

    def test_first_missing_tool_is_named_and_the_rest_untested(self):
        for missing, result in [("/usr/bin/lp", False), ("/usr/bin/lpoptions", 0),
                                ("/usr/bin/lpstat", ""), ("/usr/bin/lp", None)]:
            with self.subTest(missing=missing, result=result):
                path = self.use(answers={missing: result})
                self.assertEqual(self.module.is_available(),
                                 (False, "Command %s not found." % missing))
                self.assertEqual(path.asked, TOOLS[:TOOLS.index(missing) + 1])

    def test_truthy_answers_count_as_present(self):
        self.use(answers={"/usr/bin/lp": "yes", "/usr/bin/lpstat": 1})
        self.assertEqual(self.module.is_available(), (True, ""))

    def test_path_is_looked_up_for_every_tool(self):
        swaps = []

        class Swapping(PathStandIn):
            def exists(inner, command):
                swaps.append(command)
                # the next lookup must see this replacement
                self.module.path = PathStandIn({"/usr/bin/lpoptions": False})
                return True

        self.use()
        self.module.path = Swapping({})
        self.assertEqual(self.module.is_available(),
                         (False, "Command /usr/bin/lpoptions not found."))
        self.assertEqual(swaps, ["/usr/bin/lp"])

    def test_module_collaborators_are_read_afresh(self):
        # Modules' attributes may be remembered between calls; a change to a
        # module, or a module of another class, must show at once.
        import types

        platform, path = types.ModuleType("platform"), types.ModuleType("path")
        platform.system, path.exists = (lambda: "Linux"), (lambda command: True)
        self.replace(platform=platform, path=path)
        self.assertEqual(self.module.is_available(), (True, ""))
        path.exists = lambda command: command != "/usr/bin/lpstat"
        self.assertEqual(self.module.is_available(), (False, "Command /usr/bin/lpstat not found."))
        platform.system = lambda: "Plan9"
        self.assertEqual(self.module.is_available(), (False, "Platform Plan9 is not supported."))

        class Redirecting(types.ModuleType):
            def __getattribute__(self, name):
                return (lambda: "Linux") if name == "system" else super().__getattribute__(name)

        platform.__class__ = Redirecting
        self.assertEqual(self.module.is_available(), (False, "Command /usr/bin/lpstat not found."))
        del path.exists
        path.__getattr__ = lambda name: lambda command: True
        self.assertEqual(self.module.is_available(), (True, ""))

    def test_comparison_goes_through_the_platform_value(self):
        class Odd:
            def __init__(self, ne_darwin):
                self.ne_darwin, self.compared = ne_darwin, []

            def __ne__(self, other):
                self.compared.append(other)
                return self.ne_darwin if other == "Darwin" else 0

        odd = Odd(ne_darwin=[])  # a false value: counts as Darwin
        self.use(odd)
        self.assertEqual(self.module.is_available(), (True, ""))
        self.assertEqual(odd.compared, ["Darwin"])
        odd = Odd(ne_darwin=1)
        self.use(odd)
        self.assertEqual(self.module.is_available(), (True, ""))
        self.assertEqual(odd.compared, ["Darwin", "Linux"])

    def test_unexpected_errors_propagate_with_the_failing_line(self):
        boom = RuntimeError("boom")

        class Raising:
            def __ne__(self, other):
                raise boom

            def __bool__(self):
                raise boom

            def __format__(self, spec):
                raise boom

        class Unformattable:
            def __ne__(self, other):
                return True

            def __format__(self, spec):
                raise boom

        def raising_exists(command):
            raise boom

        cases = [
            (17, lambda: self.module.__dict__.pop("platform")),
            (17, lambda: self.replace(platform=Namespace())),
            (17, lambda: self.replace(platform=dictless_module())),
            (17, lambda: self.replace(platform=Namespace(system=Recorder(raises=boom)))),
            (20, lambda: self.use(Raising())),
            (20, lambda: self.use(type("T", (), {"__ne__": lambda s, o: Raising()})())),
            (21, lambda: self.use(Unformattable())),
            (30, lambda: (self.use(), self.module.__dict__.pop("path"))),
            (30, lambda: self.replace(path=Namespace(exists=raising_exists))),
            (30, lambda: self.replace(path=dictless_module())),
            (30, lambda: self.replace(path=Namespace(exists=lambda c: Raising()))),
        ]
        expected = {17: None, 20: boom, 21: boom, 30: None}
        for line, arrange in cases:
            with self.subTest(line=line):
                boom.with_traceback(None)
                self.use()
                arrange()
                error = self.assertRaisesAt(Exception, line, self.module.is_available)
                if expected[line] is not None:
                    self.assertIs(error, boom)

    def test_missing_globals_are_name_errors(self):
        for name in ("platform", "path"):
            with self.subTest(name=name):
                self.use()
                delattr(self.module, name)
                error = self.assertRaisesAt(NameError, {"platform": 17, "path": 30}[name],
                                            self.module.is_available)
                self.assertEqual(str(error), "name '%s' is not defined" % name)

    def test_falls_back_to_builtins(self):
        import builtins

        self.use()
        builtins.path = self.module.__dict__.pop("path")
        self.addCleanup(delattr, builtins, "path")
        self.assertEqual(self.module.is_available(), (True, ""))


if __name__ == "__main__":
    unittest.main()
