#!/usr/bin/env bash
# Builds of one tree are reproducible: with one SOURCE_DATE_EPOCH, two wheels
# that pip builds for one interpreter (each in its own temporary build tree)
# are the same bytes, and so is a third built from the sdist, unpacked
# elsewhere; two sdists are the same bytes too.
#   scripts/check-reproducible.sh [PYTHON]
# Without an argument: the newest pyenv 3.8, the reference target, else python3.
# SOURCE_DATE_EPOCH defaults to the time of the last commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/check-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

fail() { echo "check-reproducible: $*" >&2; exit 1; }

python=${1:-}
if [ -z "$python" ]; then
  pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  python=$(ls -d "$pyenv_root"/versions/3.8.*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
  python=${python:-python3}
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -c safe.directory="$(cd "$root" && pwd -P)" -C "$root" log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH

sdist() {  # directory
  (cd "$root" && "$python" -c 'import sys; sys.path[:0] = ["backend"]; import vellomar_build
print(vellomar_build.build_sdist(sys.argv[1]))' "$1") >/dev/null
}

wheel() {  # directory source
  "$python" -m pip wheel --no-index --no-deps --disable-pip-version-check -w "$1" "$2" \
    >"$1.log" 2>&1 || { cat "$1.log"; fail "pip wheel of $2 failed"; }
}

same() {  # what file...
  local what=$1 first=$2 other
  shift 2
  for other in "$@"; do
    cmp "$first" "$other" || fail "$what differ: $first $other"
  done
  echo "$what: $(sha256sum "$first" | cut -d' ' -f1) $(basename "$first") (x$(($# + 1)))"
}

sdist "$work/sdist-1"
sdist "$work/sdist-2"
same "sdists" "$work"/sdist-1/*.tar.gz "$work"/sdist-2/*.tar.gz

wheel "$work/wheel-1" "$root"
wheel "$work/wheel-2" "$root"
mkdir "$work/unpacked"
tar -xzf "$work"/sdist-1/*.tar.gz -C "$work/unpacked"
wheel "$work/wheel-3" "$work"/unpacked/*/
same "wheels ($python, from the tree twice and from the sdist)" \
  "$work"/wheel-1/*.whl "$work"/wheel-2/*.whl "$work"/wheel-3/*.whl
