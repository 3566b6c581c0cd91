#!/usr/bin/env bash
# Checks the package's types with Debian's mypy against a build for Debian's
# own Python 3.11: stubtest compares setup.pyi and ipp.pyi with the compiled modules, and
# mypy --strict checks the package's Python modules and a user's script.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-typing"
python=/usr/bin/python3.11

cmake -S "$root" -B "$build" -DSETUP_PYTHON_VERSIONS=3.11 -DSETUP_PYTHON_311="$python" \
      -DSETUP_DEBUG_PYTHON= -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target package_311 >/dev/null
cd "$build"  # not the source tree, whose package has no built module
export PYTHONPATH="$build/stage"
stubtest --allowlist "$root/tests/stubtest-allowlist.txt" vellomar.printing.cups.setup \
  vellomar.printing.cups.ipp
mypy --strict --python-executable "$python" --no-incremental \
     -m vellomar.printing.cups -m vellomar.printing.cups.call -m vellomar.printing.cups.readiness \
     -m vellomar.printing.cups.__main__
mypy --strict --python-executable "$python" --no-incremental "$root/tests/typed_usage.py"
