"""Calls from several threads while another keeps swapping and deleting the
collaborators, so that the ones a call is using may be freed under it."""

import os
import random
import re
import sys
import threading
import time

from paths import MISSING, OK, PATHS, Stub
from support import SOURCE_PATH, ModuleTestCase, module_entries

OPTIONS = ["version", "api-version", "build", "datadir", "serverbin", "serverroot"]
MESSAGES = {"is_available": r"Platform .* is not supported\.|Command /usr/bin/lp(options|stat)? "
                            r"not found\.", "get_version_info": r"Unable to collect cups info: .*"}
EXPECTED = tuple({p.raises for p in PATHS if p.raises})
CALLS = 100  # per function, at the least


def problem(name, call):
    try:
        result = call()
    except EXPECTED as error:
        entries = [entry[:2] for entry in module_entries(error)]
        return None if entries == [("setup." + name, SOURCE_PATH)] else (error, entries)
    if name == "setup":
        env = result["env"] if type(result) is dict and list(result) == ["env", "timeout"] else {}
        return None if (env.get("SOFTWARE"), env.get("LANG")) == ("", "C") else result
    ok, value = result if type(result) is tuple and len(result) == 2 else (None, None)
    if ok is True and type(value) is zip and name == "get_version_info":
        options = [option for option, line in value]
        return None if options == OPTIONS[:len(options)] else options
    if (ok, value) == (True, "") and name == "is_available" or ok is False \
            and type(value) is str and re.fullmatch(MESSAGES[name], value, re.S):
        return None
    return result


class ThreadsTest(ModuleTestCase):
    def test_calls_race_with_collaborator_swaps(self):
        namespace, environ, problems = vars(self.module), dict(os.environ), []
        real = {name: namespace[name] for name in OK if name != "call"}  # not the real tool
        # nor before the first swap: what the host has installed plays no part
        namespace["call"] = OK["call"]
        counts = dict.fromkeys(("is_available", "get_version_info", "setup"), 0)
        self.addCleanup(sys.setswitchinterval, sys.getswitchinterval())
        sys.setswitchinterval(1e-6)
        # Two seconds of racing, longer where calls are slow (under valgrind)
        # until each function has run often enough.
        start = time.monotonic()

        def racing():
            elapsed = time.monotonic() - start
            return elapsed < 2 or min(counts.values()) < CALLS and elapsed < 120

        def swap(rng):
            collaborators = rng.choice([OK, real, rng.choice(PATHS).collaborators])
            for name in rng.sample(sorted(collaborators), rng.randint(1, len(collaborators))):
                value = collaborators[name] if rng.random() > 0.1 else MISSING
                if value is MISSING:
                    namespace.pop(name, None)
                else:  # a new stub each time, so that the one it replaces is freed
                    namespace[name] = Stub(**vars(value)) if isinstance(value, Stub) else value

        def work(rng):
            name = rng.choice(sorted(counts))
            wrong = problem(name, getattr(self.module, name))
            problems.extend([(name, wrong)] if wrong is not None else [])
            counts[name] += 1

        def loop(body):
            rng = random.Random()
            try:
                while racing():
                    body(rng)
            except BaseException as error:  # a thread's own failure must reach the test too
                problems.append((body.__name__, error))

        threads = [threading.Thread(target=loop, args=(body,)) for body in [swap] + [work] * 4]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(problems[:5], [])
        self.assertGreaterEqual(min(counts.values()), CALLS, counts)
        self.assertEqual(dict(os.environ), environ)
