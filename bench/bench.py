"""Per-call cost, first-import cost and end-to-end cost of the setup extension,
measured side by side with a pure-Python equivalent (bench/pure_setup.py), the
same source compiled by Cython (Debian's cython3, where it supports the
interpreter), and the bare cost of what each function calls.

    PYTHONPATH=build/stage python3.X bench/bench.py [--quick] [--json]

Without PYTHONPATH, build/stage beside this directory is used. The machine
may be busy: only the ratios of one run, measured interleaved, mean much.
This is a measurement, not a test; it checks nothing.

    bench.py --run FUNCTION {module,python,cython,floor,empty} N [--with real]

makes N calls with the stand-ins (or the real collaborators, but a stand-in
call) installed and nothing else, for running under a profiler (valgrind
--tool=callgrind: compare N with 5N).
"""

import argparse
import gc
import importlib.util
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from itertools import repeat
from types import FunctionType, ModuleType

HERE = os.path.dirname(os.path.abspath(__file__))
STAGE = os.path.join(os.path.dirname(HERE), "build", "stage")
FUNCTIONS = ("is_available", "get_version_info", "setup")
COMMANDS = ("/usr/bin/lp", "/usr/bin/lpoptions", "/usr/bin/lpstat")
OPTS = ("version", "api-version", "build", "datadir", "serverbin", "serverroot")
CMD = ["cups-config"] + ["--" + o for o in OPTS]

# The tree under measurement stays free of bytecode caches.
sys.dont_write_bytecode = True


def import_package():
    try:
        from vellomar.printing.cups import call, setup
    except ImportError:
        for name in [m for m in sys.modules if m == "vellomar" or m.startswith("vellomar.")]:
            del sys.modules[name]
        sys.path.insert(0, STAGE)
        from vellomar.printing.cups import call, setup
    return setup, call


def load_pure(label):
    """A module of its own per set of collaborators: the interpreter tunes
    code to what it meets, so neither set runs code tuned to the other."""
    spec = importlib.util.spec_from_file_location(
        "vellomar.printing.cups._pure_setup_" + label, os.path.join(HERE, "pure_setup.py"))
    pure = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = pure
    spec.loader.exec_module(pure)  # its `from .call import ...` finds the staged sibling
    return pure


SETUP, CALL = import_package()


def load_cython():
    """pure_setup.py compiled by Cython as vellomar.printing.cups.cython_setup,
    built with the flags of the extension's own build (-O2 -g -DNDEBUG); its
    relative import finds the staged sibling. Returns (module, None) or
    (None, why there is none)."""
    cython = shutil.which("cython3") or shutil.which("cython")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if cython is None or compiler is None:
        return None, "needs cython3 (Debian's cython3) and a C compiler"
    work = tempfile.mkdtemp(prefix="setup-bench-cython-")
    try:
        package = os.path.join(work, "vellomar", "printing", "cups")
        os.makedirs(package)
        # Cython takes the module's full name from the __init__ files around
        # it; at run time only the shared object itself is loaded.
        for directory in ("vellomar", os.path.join("vellomar", "printing"), package):
            open(os.path.join(work, directory, "__init__.py"), "w").close()
        source = os.path.join(package, "cython_setup.py")
        shutil.copy(os.path.join(HERE, "pure_setup.py"), source)
        library = os.path.join(work, "cython_setup" + sysconfig.get_config_var("EXT_SUFFIX"))
        steps = [[cython, "-3", source, "-o", os.path.join(work, "cython_setup.c")],
                 [compiler, "-O2", "-g", "-DNDEBUG", "-fPIC", "-shared",
                  "-I" + sysconfig.get_paths()["include"], os.path.join(work, "cython_setup.c"),
                  "-o", library]]
        for step in steps:
            done = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  universal_newlines=True)
            if done.returncode != 0:
                version = subprocess.run([cython, "--version"], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, universal_newlines=True)
                errors = [line for line in done.stdout.splitlines() if "error:" in line]
                return None, "%s does not build for Python %s (%s)" % (
                    version.stdout.strip(), platform.python_version(),
                    (errors or [done.stdout.strip()])[0].strip()[:120])
        spec = importlib.util.spec_from_file_location("vellomar.printing.cups.cython_setup",
                                                      library)
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module
        spec.loader.exec_module(module)
        return module, None
    finally:
        shutil.rmtree(work, ignore_errors=True)  # a loaded shared object stays mapped

# Stand-ins of the same kinds as the real collaborators (modules, an object
# with a copy method, plain callables), doing nothing but answer.
SMALL_ENV = {"HOME": "/home/user", "LANG": "en_US.UTF-8", "PATH": "/usr/bin:/bin"}
TOOL_RESULT = ("2.4.2\n2.4\ncups-2.4.2\n/usr/share/cups\n/usr/lib/cups\n/etc/cups\n", "")
TIMEOUTS = object()


def stand_in_module(name, **functions):
    module = ModuleType(name)
    vars(module).update(functions)
    return module


class StandInEnviron:
    def copy(self):
        return dict(SMALL_ENV)


def stand_in_call(cmd, env):
    return TOOL_RESULT


def stand_in_timeouts(query, job):
    return TIMEOUTS


STAND_INS = {
    "platform": stand_in_module("platform", system=lambda: "Linux"),
    "path": stand_in_module("posixpath", exists=lambda path: True),
    "environ": StandInEnviron(),
    "call": stand_in_call,
    "Timeouts": stand_in_timeouts,
}
# What a caller really has; the tool run itself is measured end to end instead.
REAL = {"platform": platform, "path": os.path, "environ": os.environ, "call": stand_in_call,
        "Timeouts": CALL.Timeouts}
END_TO_END = dict(REAL, call=CALL.call)
COLLABORATORS = {"stand-ins": STAND_INS, "real": REAL}
PURE = {label: load_pure(label.replace("-", "_")) for label in COLLABORATORS}
for label, collaborators in COLLABORATORS.items():
    vars(PURE[label]).update(collaborators)
CYTHON, NO_CYTHON = load_cython()
VARIANTS = ("module", "python", "cython", "floor") if CYTHON else ("module", "python", "floor")


def install(collaborators):
    """The extension and the Cython peer are one module per process each:
    their namespaces are swapped."""
    vars(SETUP).update(collaborators)
    if CYTHON is not None:
        vars(CYTHON).update(collaborators)


def fresh(function):
    """function with a code object of its own: from 3.11 the interpreter tunes
    code in place to the calls it meets, and a loop shared by two variants
    would carry one's tuning into the other's batches."""
    return FunctionType(function.__code__.replace(), function.__globals__, function.__name__,
                        function.__defaults__, function.__closure__)


# ------------------------------------------------------------ per-call loops

def loop_empty(n):
    for _ in repeat(None, n):
        pass


def loop_calls(n, function):
    for _ in repeat(None, n):
        function()


# The floors make the functions' collaborator calls, in the same order and
# number, with every callable bound and every argument made beforehand and
# held in locals: the cheapest way Python has to make those calls. What a
# function costs above its floor is its own work, including being called.
def floor_is_available(n, c):
    system, exists = c["platform"].system, c["path"].exists
    lp, lpoptions, lpstat = COMMANDS
    for _ in repeat(None, n):
        system()
        exists(lp)
        exists(lpoptions)
        exists(lpstat)


def floor_get_version_info(n, c):
    copy, call, cmd = c["environ"].copy, c["call"], CMD
    for _ in repeat(None, n):
        call(cmd, copy())


def floor_setup(n, c):
    copy, timeouts = c["environ"].copy, c["Timeouts"]
    for _ in repeat(None, n):
        copy()
        timeouts(3, 10)


FLOORS = {"is_available": floor_is_available, "get_version_info": floor_get_version_info,
          "setup": floor_setup}


def runner(function, variant, label):
    if variant == "empty":
        return fresh(loop_empty)
    if variant == "floor":
        floor = fresh(FLOORS[function])
        return lambda n: floor(n, COLLABORATORS[label])
    if variant == "cython" and CYTHON is None:
        raise SystemExit("no Cython peer: " + NO_CYTHON)
    owner = {"module": SETUP, "cython": CYTHON}.get(variant, PURE[label])
    target = getattr(owner, function)
    loop = fresh(loop_calls)
    return lambda n: loop(n, target)


def timed(case, n):
    install(case["collaborators"])
    case["run"](20)  # refills the extension's lookup caches after the swap
    start = time.perf_counter_ns()
    case["run"](n)
    return time.perf_counter_ns() - start


def per_call(repeats, batch_ns):
    cases = [{"key": ("", "empty", "stand-ins"), "collaborators": STAND_INS,
              "run": runner("", "empty", "stand-ins")}]
    for label, collaborators in COLLABORATORS.items():
        for function in FUNCTIONS:
            for variant in VARIANTS:
                cases.append({"key": (function, variant, label), "collaborators": collaborators,
                              "run": runner(function, variant, label)})
    for case in cases:
        n = 100
        while True:
            elapsed = timed(case, n)
            if elapsed * 10 >= batch_ns:
                break
            n *= 10
        case["n"] = max(1, int(n * batch_ns / max(elapsed, 1)))
        case["ns"] = []
    # Interleaved, starting at a different case each round, so that a busy
    # spell on the machine lands on every variant alike.
    for r in range(repeats):
        k = r % len(cases)
        for case in cases[k:] + cases[:k]:
            case["ns"].append(timed(case, case["n"]) / case["n"])
    best = {case["key"]: min(case["ns"]) for case in cases}
    loop = best.pop(("", "empty", "stand-ins"))
    return loop, {key: value - loop for key, value in best.items()}


# ------------------------------------------------------------- first import

IMPORT_CHILD = """
import sys, time
sys.path.insert(0, sys.argv[1])
if sys.argv[2] == "preloaded":
    import os, platform, vellomar.printing.cups.call
start = time.perf_counter()
import vellomar.printing.cups.setup
print(time.perf_counter() - start)
"""


def make_tree(root, setup_file, target_name):
    package = os.path.join(root, "vellomar", "printing", "cups")
    os.makedirs(package)
    # vellomar and vellomar.printing are namespace packages, as installed
    shutil.copy(sys.modules["vellomar.printing.cups"].__file__, package)
    shutil.copy(CALL.__file__, package)
    shutil.copy(setup_file, os.path.join(package, target_name))
    return root


def first_import(runs):
    """Timed inside the child around the import statement alone, so the
    interpreter's own start, which is the same for both and dwarfs a small
    import, adds no noise."""
    work = tempfile.mkdtemp(prefix="setup-bench-")
    try:
        trees = {
            "module": make_tree(os.path.join(work, "module"), SETUP.__file__,
                                os.path.basename(SETUP.__file__)),
            "python": make_tree(os.path.join(work, "python"), os.path.join(HERE, "pure_setup.py"),
                                "setup.py"),
        }
        results = {}
        for kind in ("cold", "preloaded"):
            times = {variant: [] for variant in trees}
            for r in range(runs + 1):
                for variant, tree in trees.items():
                    done = subprocess.run([sys.executable, "-I", "-c", IMPORT_CHILD, tree, kind],
                                          stdout=subprocess.PIPE, check=True)
                    if r:  # the first run writes the trees' bytecode caches
                        times[variant].append(float(done.stdout) * 1e3)
            results[kind] = times
        return results
    finally:
        shutil.rmtree(work, ignore_errors=True)


# --------------------------------------------------------------- end to end

def spawn_floor(path, env):
    read_end, write_end = os.pipe()
    try:
        pid = os.posix_spawn(path, CMD, env, file_actions=[(os.POSIX_SPAWN_DUP2, write_end, 1)])
    finally:
        os.close(write_end)
    while os.read(read_end, 65536):
        pass
    os.close(read_end)
    os.waitpid(pid, 0)


def module_end_to_end():
    ok, pairs = SETUP.get_version_info()
    if not ok:
        raise RuntimeError(pairs)
    list(pairs)


def end_to_end(runs):
    install(END_TO_END)
    path, env = shutil.which(CMD[0]), dict(os.environ)
    if path is None:
        return None
    variants = {"module": module_end_to_end, "floor": lambda: spawn_floor(path, env)}
    times = {variant: [] for variant in variants}
    for r in range(runs + 1):
        for variant, run in variants.items():
            start = time.perf_counter()
            run()
            if r:
                times[variant].append((time.perf_counter() - start) * 1e3)
    return times


# ------------------------------------------------------------------ report

def ratio(a, b):
    return a / b if b > 0 else float("nan")


def summary(times):
    return {"min": min(times), "median": statistics.median(times), "runs": len(times)}


def results(loop, calls, imports, e2e, repeats):
    per_call_rows = {}
    for label in COLLABORATORS:
        for function in FUNCTIONS:
            m, p, f = (calls[(function, v, label)] for v in ("module", "python", "floor"))
            c = calls.get((function, "cython", label))
            per_call_rows.setdefault(label, {})[function] = {
                "module": m, "python": p, "cython": c, "floor": f, "module_overhead": m - f,
                "python_overhead": p - f, "overhead_ratio": ratio(m - f, p - f),
                "module_over_floor": ratio(m, f),
                "module_over_cython": None if c is None else ratio(m, c)}
    import_rows = {}
    for kind, times in imports.items():
        m, p = summary(times["module"]), summary(times["python"])
        import_rows[kind] = {"module": m, "python": p,
                             "module_over_python": ratio(m["min"], p["min"])}
    e2e_rows = None
    if e2e is not None:
        m, f = summary(e2e["module"]), summary(e2e["floor"])
        e2e_rows = {"module": m, "floor": f, "ratio_min": ratio(m["min"], f["min"]),
                    "ratio_median": ratio(m["median"], f["median"])}
    return {"python": platform.python_version(), "executable": sys.executable,
            "cython": NO_CYTHON or "compiled", "repeats": repeats, "empty_loop_ns": loop, "per_call_ns": per_call_rows,
            "first_import_ms": import_rows, "end_to_end_ms": e2e_rows}


def print_table(r):
    print("setup extension benchmark on CPython %s (%s)" % (r["python"], r["executable"]))
    print("\nns per call, min of %d interleaved batches; the empty loop (%.1f ns) taken off"
          % (r["repeats"], r["empty_loop_ns"]))
    print("overhead = ns above the floor; ratio = module overhead / python overhead")
    print("cython: the same Python source compiled by Cython; mod/cy = module / cython (%s)"
          % r["cython"])
    line = "%-17s %-10s %8s %8s %8s %8s %9s %9s %7s %9s %7s"
    print(line % ("function", "with", "module", "python", "cython", "floor", "mod-flr", "py-flr",
                  "ratio", "mod/flr", "mod/cy"))
    for label, rows in r["per_call_ns"].items():
        for function, row in rows.items():
            cython = "-" if row["cython"] is None else "%.1f" % row["cython"]
            versus = "-" if row["cython"] is None else "%.2f" % row["module_over_cython"]
            print("%-17s %-10s %8.1f %8.1f %8s %8.1f %9.1f %9.1f %7.2f %9.2f %7s"
                  % (function, label, row["module"], row["python"], cython, row["floor"],
                     row["module_overhead"], row["python_overhead"], row["overhead_ratio"],
                     row["module_over_floor"], versus))
    print("(with real collaborators the floor dwarfs the overheads: their differences are small"
          " differences\nof large numbers; module/flr is what a caller pays)")

    imports = r["first_import_ms"]
    print("\nfirst import of vellomar.printing.cups.setup in a fresh process, ms timed in the"
          " child, min / median of %d" % imports["cold"]["module"]["runs"])
    print("%-42s %15s %15s %9s" % ("", "module", "python", "mod/py"))
    for kind, text in (("cold", "cold (platform, call, subprocess... too)"),
                       ("preloaded", "its dependencies already imported")):
        m, p = imports[kind]["module"], imports[kind]["python"]
        print("%-42s %7.2f / %5.2f %7.2f / %5.2f %9.2f" % (
            text, m["min"], m["median"], p["min"], p["median"],
            imports[kind]["module_over_python"]))

    e2e = r["end_to_end_ms"]
    if e2e is None:
        print("\nend to end: no cups-config on PATH, skipped")
        return
    print("\nend to end, ms over %d interleaved runs: get_version_info() with the real call and"
          " cups-config,\nagainst one posix_spawn + read to EOF + waitpid of the same command line"
          % e2e["module"]["runs"])
    print("%-14s %8s %8s" % ("", "min", "median"))
    for variant in ("module", "floor"):
        print("%-14s %8.2f %8.2f" % (variant, e2e[variant]["min"], e2e[variant]["median"]))
    print("%-14s %8.2f %8.2f" % ("module/floor", e2e["ratio_min"], e2e["ratio_median"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    parser.add_argument("--json", action="store_true", help="print JSON instead of the table")
    parser.add_argument("--run", nargs=3, metavar=("FUNCTION", "VARIANT", "N"),
                        help="only make N calls (for a profiler)")
    parser.add_argument("--with", dest="label", choices=list(COLLABORATORS),
                        default="stand-ins", help="the collaborators of --run")
    args = parser.parse_args()
    if args.run:
        function, variant, n = args.run
        install(COLLABORATORS[args.label])
        gc.disable()
        runner(function, variant, args.label)(int(n))
        return
    repeats, batch_ms, runs = (5, 2, 5) if args.quick else (21, 10, 21)
    gc.disable()  # as timeit does: a collection would land on whichever batch is unlucky
    loop, calls = per_call(repeats, batch_ms * 1_000_000)
    gc.enable()
    imports = first_import(runs)
    e2e = end_to_end(runs)
    r = results(loop, calls, imports, e2e, repeats)
    if args.json:
        print(json.dumps(r, indent=2))
    else:
        print_table(r)


if __name__ == "__main__":
    main()
