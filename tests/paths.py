"""Every path through the three functions as one table: the arguments, the
collaborators to put in the module's namespace, and the outcome. The leak
hunt, the allocation-failure sweeps and the thread test all walk it.

Stand-ins keep no state and raise a new exception each time, so that
repeating a path allocates nothing that lives on."""

import collections
import subprocess

MISSING = object()  # a collaborator removed from the namespace

Path = collections.namedtuple("Path", "function label collaborators args kwargs raises")


def raising(error_type, *error_args):
    def stand_in(*args, **kwargs):
        raise error_type(*error_args)
    return stand_in


class Stub:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


class Comparing:
    """A platform value with its own comparison, truth and formatting."""

    def __init__(self, ne=None, truth=None, text=None):
        self.ne, self.truth, self.text = ne, truth, text

    def __ne__(self, other):
        return self.ne() if callable(self.ne) else self

    def __bool__(self):
        return self.truth() if callable(self.truth) else True

    def __format__(self, spec):
        return self.text() if callable(self.text) else "odd"


class Unprintable(OSError):
    def __str__(self):
        raise ValueError("no text")


def lines_then(error):
    yield "1\n2"
    raise error


SIX_LINES = "2.4.2\n2.4\ncups-2.4.2\n/usr/share/cups\n/usr/lib/cups\n/etc/cups\n"
OK = {
    "platform": Stub(system=lambda: "Linux"),
    "path": Stub(exists=lambda command: True),
    "environ": Stub(copy=lambda: {"PATH": "/usr/bin", "LANG": "de_DE.UTF-8"}),
    "call": lambda cmd, env: (SIX_LINES, ""),
    "Timeouts": lambda first, second: (first, second),
}


def path(function, label, raises=None, args=(), kwargs=None, **collaborators):
    return Path(function, label, dict(OK, **collaborators), args, kwargs or {}, raises)


PATHS = [
    path("is_available", "available"),
    path("is_available", "unsupported platform", platform=Stub(system=lambda: "Windows")),
    path("is_available", "missing tool", path=Stub(exists=lambda command: 0)),
    path("is_available", "no platform", NameError, platform=MISSING),
    path("is_available", "no path", NameError, path=MISSING),
    path("is_available", "system raises", RuntimeError,
         platform=Stub(system=raising(RuntimeError))),
    path("is_available", "comparison raises", RuntimeError,
         platform=Stub(system=lambda: Comparing(ne=raising(RuntimeError)))),
    path("is_available", "truth raises", RuntimeError,
         platform=Stub(system=lambda: Comparing(truth=raising(RuntimeError)))),
    path("is_available", "format raises", RuntimeError,
         platform=Stub(system=lambda: Comparing(ne=lambda: True, text=raising(RuntimeError)))),
    path("is_available", "exists raises", OSError, path=Stub(exists=raising(OSError))),
    path("is_available", "positional argument", TypeError, args=(1,)),
    path("is_available", "keyword argument", TypeError, kwargs={"x": 1}),

    path("get_version_info", "six lines"),
    path("get_version_info", "bytes from a generator",
         call=lambda cmd, env: (x for x in (b"2.4.2\n2.4", b""))),
    path("get_version_info", "tool missing", call=raising(FileNotFoundError, 2, "missing")),
    path("get_version_info", "OSError while unpacking",
         call=lambda cmd, env: lines_then(PermissionError(13, "denied"))),
    path("get_version_info", "OSError without text", call=raising(Unprintable), raises=ValueError),
    path("get_version_info", "time-out", subprocess.TimeoutExpired,
         call=raising(subprocess.TimeoutExpired, ["cups-config"], 3)),
    path("get_version_info", "no environ", NameError, environ=MISSING),
    path("get_version_info", "copy raises", OSError, environ=Stub(copy=raising(OSError))),
    path("get_version_info", "no call", NameError, call=MISSING),
    path("get_version_info", "three values", ValueError, call=lambda cmd, env: ("a", "b", "c")),
    path("get_version_info", "one value", ValueError, call=lambda cmd, env: ["a"]),
    path("get_version_info", "generator of three", ValueError,
         call=lambda cmd, env: (x for x in "abc")),
    path("get_version_info", "not iterable", TypeError, call=lambda cmd, env: 42),
    path("get_version_info", "output None", AttributeError, call=lambda cmd, env: (None, "")),
    path("get_version_info", "lines not iterable", TypeError,
         call=lambda cmd, env: (Stub(splitlines=lambda: 42), "")),
    path("get_version_info", "keyword argument", TypeError, args=(1,), kwargs={"x": 1}),

    path("setup", "settings", args=(1, "two"), kwargs={"three": 3}),
    path("setup", "no environ", NameError, environ=MISSING),
    path("setup", "copy raises", RuntimeError, environ=Stub(copy=raising(RuntimeError))),
    path("setup", "copy without item assignment", TypeError, environ=Stub(copy=lambda: ())),
    path("setup", "no Timeouts", NameError, Timeouts=MISSING),
    path("setup", "Timeouts raises", ValueError, Timeouts=raising(ValueError)),
    path("setup", "keyword that is not a str", TypeError, kwargs={1: 2}),
]


def install(module, collaborators):
    """Puts the collaborators into the module's namespace (removing MISSING
    ones) and returns a function that puts back what was there."""
    namespace = vars(module)
    saved = {name: namespace[name] for name in collaborators if name in namespace}

    def restore():
        for name in collaborators:
            namespace.pop(name, None)
        namespace.update(saved)

    for name, value in collaborators.items():
        if value is MISSING:
            namespace.pop(name, None)
        else:
            namespace[name] = value
    return restore


def run(module, p):
    """Calls the path's function once; returns its result, or the exception
    it raised when that is the one the path expects."""
    function = getattr(module, p.function)
    try:
        result = function(*p.args, **p.kwargs)
    except Exception as error:
        if p.raises is None or not isinstance(error, p.raises):
            raise
        return error
    if p.raises is not None:
        raise AssertionError("%s (%s) returned %r" % (p.function, p.label, result))
    if p.function == "get_version_info" and result[0]:
        list(result[1])
    return result
