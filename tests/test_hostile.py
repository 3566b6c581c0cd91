"""The three functions against randomised collaborators that return odd types
and raise from every hook they have. SETUP_HOSTILE_SEED replays a run."""

import os
import random
import re

from paths import MISSING, install
from support import SOURCE_PATH, ModuleTestCase, module_entries

SEED = int(os.environ.get("SETUP_HOSTILE_SEED") or random.randrange(2 ** 32))
CALLS = 6000
COMMANDS = ["/usr/bin/lp", "/usr/bin/lpoptions", "/usr/bin/lpstat"]
OPTIONS = ["version", "api-version", "build", "datadir", "serverbin", "serverroot"]
USES = {"is_available": ("platform", "path"), "get_version_info": ("environ", "call"),
        "setup": ("environ", "Timeouts")}
LINES = {"is_available": range(15, 41), "get_version_info": range(41, 67), "setup": range(67, 99)}
UNPACK = r"too many values to unpack \(expected 2\)|need more than (0 values|1 value) to unpack"


class Hostile:
    """One call's randomness and record. Picking a `bad` value lets the
    interpreter raise its own TypeError or AttributeError."""

    def __init__(self, rng):
        self.rng, self.raised, self.exists, self.lines, self.odd = rng, [], [], [], False
        self.env = self.timeout = self.text = self.plat = None

    def keep(self, name, value):
        setattr(self, name, value)
        return value

    def pick(self, good, bad=()):
        odd = bool(bad) and self.rng.random() < 0.08
        self.odd |= odd
        return self.rng.choice(bad if odd else good)

    def act(self, good, bad=()):
        if self.rng.random() < 0.05:
            error = self.rng.choice([RuntimeError, KeyError, ValueError, TypeError, AttributeError,
                                     GeneratorExit, OSError, HostileOSError, HostileOSError])(self)
            self.raised.append(error)
            raise error
        return self.pick(good, bad)


class HostileOSError(OSError):
    def __str__(self):
        return self.args[0].keep("text", self.args[0].act(["denied", ""], [42]))


class Odd:
    """A module, platform name, truth value, output or iterator."""

    def __init__(self, h, items=(), **attributes):
        self.h, self.items, self.attributes = h, list(items), attributes

    def __getattr__(self, name):
        if name not in self.attributes:
            raise AttributeError(name)
        return self.h.act([self.attributes[name]], [42])

    def __bool__(self):
        return self.h.act([True, False], [1])

    def __ne__(self, other):
        return self.h.act([True, False, NotImplemented, Odd(self.h)])

    def __format__(self, spec):
        return self.h.keep("shown", self.h.act(["Plan 9", "", "Linux"], [7]))

    def __iter__(self):
        return self.h.act([self], [42])

    def __next__(self):
        self.h.act([None])
        if not self.items:
            raise StopIteration
        return self.items.pop(0)

    def splitlines(self):
        self.h.lines = self.h.rng.choice([["2.4.2", "2.4"], [b"x", None, "y"] * 3, []])
        return self.h.act([list(self.h.lines), Odd(self.h, self.h.lines)], [42])


class Pair(tuple):  # (h, item...): not exactly a tuple, so unpacked by iteration
    def __iter__(self):
        return self[0].act([Odd(self[0], self[1:])], [42])


class Env(dict):
    def __init__(self, h):
        self.h = h

    def __setitem__(self, key, value):
        self.h.act([None])
        dict.__setitem__(self, key, value)


def collaborators(h, names):
    def call(cmd, env):
        out = h.pick(["a\nb", "1\n2\n3\n4\n5\n6\n7\n", b"x\r\ny", "", Odd(h), Odd(h)], [None, 5])
        h.lines = out.splitlines() if isinstance(out, (str, bytes)) else []
        pairs = [Pair([h] + items) for items in ([out, ""], [out], [], [out, "", ""], [out, ""])]
        return h.act([(out, ""), [out, None], (out,), [out, "", ""]] + pairs, [42])

    made = {"platform": Odd(h, system=lambda: h.keep("plat", h.act(
                ["Linux", "Darwin", "Windows", None, Odd(h), Odd(h)]))), "call": call,
            "path": Odd(h, exists=lambda command: h.exists.append(command)
                        or h.act([True, False, 1, 0, None, Odd(h)])),
            "environ": Odd(h, copy=lambda: h.keep("env", h.act([{"LANG": "de"}, Env(h)], [()]))),
            "Timeouts": lambda *args: h.keep("timeout", h.act([object(), None]))}
    chosen = {name: h.pick([MISSING] + [made[name]] * 9, [42, Odd(h)]) for name in names}
    h.missing = [name for name in names if chosen[name] is MISSING]
    return chosen


def result_problem(name, h, result):
    if name == "setup" and type(result) is dict and list(result) == ["env", "timeout"]:
        env = result["env"]
        if env is h.env and result["timeout"] is h.timeout and env == dict(SOFTWARE="", LANG="C"):
            return None
    ok, value = result if type(result) is tuple and len(result) == 2 else (None, None)
    if name == "is_available" and type(value) is str and h.exists == COMMANDS[:len(h.exists)]:
        if (ok, value, h.exists) == (True, "", COMMANDS) or ok is False and value == (
                "Command %s not found." % h.exists[-1] if h.exists
                else "Platform %s is not supported." % (
                    h.shown if isinstance(h.plat, Odd) else h.plat)):
            return None
    if name == "get_version_info" and ok is False and type(value) is str:
        error = ([error for error in h.raised if isinstance(error, OSError)] or [None])[-1]
        if value == "Unable to collect cups info: %s" % (
                h.text if isinstance(error, HostileOSError) else error):
            return None
    if name == "get_version_info" and ok is True and type(value) is zip:
        try:
            items = list(value)
        except BaseException as error:  # from the lines' own iterator, after the call
            return None if h.raised and error is h.raised[-1] else "zip raised %r" % error
        return None if items == list(zip(OPTIONS, h.lines)) else "zip gave %r" % items
    return "returned %r (stand-ins raised %r)" % (result, h.raised)


def error_problem(name, h, error):
    entries = module_entries(error)
    if [entry[:2] for entry in entries] != [("setup." + name, SOURCE_PATH)] \
            or entries[0][2] not in LINES[name]:
        return "module traceback entries %r" % entries
    if any(error is raised for raised in h.raised):
        return None if error is h.raised[-1] else "an earlier exception escaped"
    text = str(error) if type(error) in (NameError, ValueError, TypeError, AttributeError) else ""
    if type(error) is NameError and text in ["name '%s' is not defined" % n for n in h.missing] \
            or type(error) is ValueError and re.fullmatch(UNPACK, text) \
            or type(error) in (TypeError, AttributeError) and h.odd:
        return None
    return "raised %s %r (stand-ins raised %r)" % (type(error).__name__, text, h.raised)


class HostileCollaboratorsTest(ModuleTestCase):
    def test_results_are_well_formed_or_the_raised_exception_escapes(self):
        rng = random.Random(SEED)
        for name in ("is_available", "get_version_info", "setup"):
            function, args = getattr(self.module, name), (1,) if name == "setup" else ()
            with self.subTest(name, seed=SEED):
                for i in range(CALLS):
                    h = Hostile(rng)
                    install(self.module, collaborators(h, USES[name]))
                    try:
                        result = function(*args)
                    except BaseException as error:
                        problem = error_problem(name, h, error)
                    else:
                        problem = result_problem(name, h, result)
                    if problem:
                        self.fail("SETUP_HOSTILE_SEED=%d, call %d: %s" % (SEED, i, problem))
