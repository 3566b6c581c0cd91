#!/usr/bin/env bash
# Installs the Debian packages a command of the README needs, and nothing
# that is already there: `run` (build, the diagnostic and its demonstration),
# `test` (the test suite as well) or `ci` (with the extra checks). It says
# what it installs. Where there is no apt-get it only names what is needed.
set -euo pipefail

build=(cmake g++ pkg-config python3-dev libcups2-dev libdbus-1-dev)
# The diagnostic asks the host's CUPS; where none runs, its demonstration
# starts a private scheduler (cups-daemon), a virtual printer
# (cups-ipp-utils) and prints with the CUPS tools' help (cups-client).
run=("${build[@]}" cups-client cups-daemon cups-ipp-utils)
test=("${run[@]}" libgtest-dev dbus-daemon)
ci=("${test[@]}" python3.11-dev python3.11-dbg valgrind clang-tidy cppcheck mypy
    python3-pip python3-venv python3-build)

case "${1:-}" in
  run) wanted=("${run[@]}") ;;
  test) wanted=("${test[@]}") ;;
  ci) wanted=("${ci[@]}") ;;
  *) echo "usage: $0 run|test|ci" >&2; exit 2 ;;
esac

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  echo "install-needs: no apt-get here; this needs: ${wanted[*]} (or your system's equivalents)"
  exit 0
fi
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-needs: every package needed is installed"
  exit 0
fi
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-needs: missing ${missing[*]}; as root, run: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "install-needs: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" \
  >/dev/null
echo "install-needs: installed ${missing[*]}"
