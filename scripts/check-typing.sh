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
     -m vellomar.printing.cups.__main__ -m vellomar.printing.cups.jobs \
     -m vellomar.printing.cups.watch
mypy --strict --python-executable "$python" --no-incremental "$root/tests/typed_usage.py"
# The README's example, as written.
example="$build/readme_example.py"
python3 - "$root/README.md" "$example" <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
open(sys.argv[2], "w", encoding="utf-8").write(
    re.search(r"^```python\n(.*?)^```$", text, re.MULTILINE | re.DOTALL).group(1))
PY
mypy --strict --python-executable "$python" --no-incremental "$example"
# Each misuse must be refused: the lazy names are typed, not Any.
misuses=$(mypy --strict --python-executable "$python" --no-incremental \
               "$root/tests/typed_misuse.py" 2>&1 | grep -c ': error:' || true)
if [ "$misuses" -ne 3 ]; then
  echo "check-typing: mypy refused $misuses of the 3 misuses in tests/typed_misuse.py" >&2
  exit 1
fi
