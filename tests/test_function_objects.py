"""What callers can see of the three function objects: introspection,
attributes, binding, pickling and the calling rules."""

import copy
import inspect
import pickle
import traceback
import unittest
import weakref

from support import SOURCE_PATH, ModuleTestCase, make_tree, raised, run_child

CODE = {
    "is_available": (("plat", "commands", "command"), 3, 15, "()"),
    "get_version_info": (("opts", "cmd", "env", "out", "_err", "err", "msg", "opt"), 3, 41, "()"),
    "setup": (("args", "kwargs", "env"), 15, 67, "(*args, **kwargs)"),
}


class IntrospectionTest(ModuleTestCase):
    def test_each_function_looks_like_a_python_function(self):
        for name, (varnames, flags, line, signature) in CODE.items():
            with self.subTest(name):
                f = getattr(self.module, name)
                code = f.__code__
                self.assertEqual(
                    (f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__defaults__,
                     f.__kwdefaults__, f.__closure__, f.__annotations__, f.__dict__),
                    (name, name, "setup", None, None, None, None, {}, {}))
                self.assertIs(f.__globals__, vars(self.module))
                self.assertEqual(
                    (code.co_argcount, code.co_kwonlyargcount, code.co_nlocals, code.co_varnames,
                     code.co_flags, code.co_firstlineno, code.co_filename, code.co_name,
                     code.co_stacksize, code.co_consts, code.co_names, code.co_freevars,
                     code.co_cellvars),
                    (0, 0, len(varnames), varnames, flags, line, SOURCE_PATH, name, 0, (), (),
                     (), ()))
                self.assertEqual(str(inspect.signature(f)), signature)
                # running the code object fails cleanly instead of crashing,
                # and its frame can be shown in a traceback
                error = raised(exec, code)
                self.assertIsInstance(error, RuntimeError)
                self.assertIn("RuntimeError", "".join(traceback.format_exception(
                    type(error), error, error.__traceback__)))

    def test_attributes_can_be_set_and_weakly_referenced(self):
        f = self.module.get_version_info
        # annotations and __dict__ are made on first access, then kept
        self.assertIs(f.__annotations__, f.__annotations__)
        f.marker = 1
        self.assertEqual(f.__dict__, {"marker": 1})
        del f.marker
        f.__doc__ = "documented"
        self.addCleanup(setattr, f, "__doc__", None)
        self.assertEqual(f.__doc__, "documented")
        with self.assertRaises(TypeError):
            f.__name__ = 1
        with self.assertRaises(AttributeError):
            f.__globals__ = {}
        ref = weakref.ref(f)
        self.assertIs(ref(), f)

    def test_the_type_makes_no_working_function_of_its_own(self):
        # Before 3.10 the type's attributes can be reassigned, __new__ too;
        # what that makes is refused wherever it would need its fields.
        got = run_child(self, '''
            import pickle
            from vellomar.printing.cups import setup as m
            T = type(m.setup)
            def outcome(use):
                try:
                    return "returned %r" % (use(),)
                except TypeError as error:
                    return "TypeError"
            refused = [outcome(T), outcome(lambda: object.__new__(T))]
            try:
                T.__new__ = lambda cls: object.__new__(cls)
            except TypeError:
                report(refused=refused, stray=None)
            else:
                stray = T()
                report(refused=refused, stray=[outcome(stray), outcome(stray.__reduce__),
                                               outcome(lambda: pickle.dumps(stray)),
                                               repr(stray).startswith("<setup.function object")])
        ''', make_tree(self))
        self.assertEqual(got["refused"], ["TypeError"] * 2)
        if got["stray"] is not None:
            self.assertEqual(got["stray"], ["TypeError"] * 3 + [True])

    def test_binds_as_a_method_and_pickles_by_reference(self):
        class Holder:
            probe = self.module.setup

        holder = Holder()
        self.assertIs(holder.probe.__self__, holder)
        self.assertIs(holder.probe.__func__, self.module.setup)
        self.assertIs(Holder.probe, self.module.setup)
        self.assertEqual(set(holder.probe()), {"env", "timeout"})
        for f in (self.module.is_available, self.module.setup):
            self.assertIs(pickle.loads(pickle.dumps(f)), f)
            self.assertIs(copy.deepcopy(f), f)


class CallingRulesTest(ModuleTestCase):
    def assertRefused(self, call, message):
        error = raised(call)
        self.assertIsInstance(error, TypeError)
        self.assertEqual(str(error), message)
        # refused before the body started: no entry of the module's
        files = [entry.filename for entry in traceback.extract_tb(error.__traceback__)]
        self.assertNotIn(SOURCE_PATH, files)

    def test_no_argument_functions_refuse_arguments(self):
        for name in ("is_available", "get_version_info"):
            f = getattr(self.module, name)
            for args, kwargs, message in [
                ((1,), {}, "%s() takes no arguments (1 given)"),
                ((1, 2, 3), {}, "%s() takes no arguments (3 given)"),
                ((), {"x": 1}, "%s() takes no keyword arguments"),
                ((1,), {"x": 1}, "%s() takes no keyword arguments"),
                ((), {1: 2}, "%s() takes no keyword arguments"),
            ]:
                with self.subTest(name=name, args=args, kwargs=kwargs):
                    self.assertRefused(lambda: f(*args, **kwargs), message % name)

    def test_empty_keywords_are_accepted(self):
        self.replace(platform=None)
        with self.assertRaises(AttributeError):
            self.module.is_available(**{})

    def test_setup_accepts_anything_but_non_str_keyword_names(self):
        class Name(str):
            pass

        self.assertEqual(list(self.module.setup(1, None, a=[], **{Name("b"): 2})),
                         ["env", "timeout"])
        # refused before any collaborator is looked up
        del self.module.environ, self.module.Timeouts
        for kwargs in ({1: 2}, {"a": 1, b"b": 2}):
            with self.subTest(kwargs=kwargs):
                self.assertRefused(lambda: self.module.setup(**kwargs),
                                   "setup() keywords must be strings")


if __name__ == "__main__":
    unittest.main()
