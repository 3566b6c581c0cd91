"""Lets `python -m unittest` in the repository's root run the suite, as ctest
does, against the build in build/ for the interpreter that runs it."""

import os
import sys

_here = os.path.dirname(os.path.abspath(__file__))
_build = os.environ.get("SETUP_BUILD_DIR") or os.path.join(os.path.dirname(_here), "build")
# The tests import their helpers as top-level modules, as under ctest.
if _here not in sys.path:
    sys.path.insert(0, _here)
if not os.environ.get("SETUP_STAGE"):
    os.environ.setdefault("SETUP_BUILD_DIR", _build)
    os.environ["SETUP_STAGE"] = os.path.join(_build, "stage")
    os.environ["SETUP_MISMATCH_STAGE"] = os.path.join(_build, "stage-mismatch")
    # The staged package, with its builds, before the source package of the
    # current directory, which has none; and, as under ctest, the build tree
    # as working directory, which children started with -c put first on
    # their sys.path.
    sys.path.insert(0, os.environ["SETUP_STAGE"])
    if os.path.isdir(_build):
        os.chdir(_build)
