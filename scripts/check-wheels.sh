#!/usr/bin/env bash
# The route a Python developer takes, with no package index: for each
# interpreter, pip builds one wheel from this tree, the wheel installs into a
# fresh virtual environment, the diagnostic runs from / with it, and pip
# uninstalls it, leaving no file of the package behind. Then the same from
# an sdist that Debian's python3-build makes, on Debian's python3.
#   scripts/check-wheels.sh [PYTHON...]
# Without arguments: every interpreter a configure finds, and /usr/bin/python3.
# SETUP_WITH_IPP=OFF in the environment reaches the backend: the wheels are
# then built, and checked, without the IPP client module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/check-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
# A user's shell sets neither: the uninstall must also take the bytecode that
# running the package writes, and nothing may reach the package but the venv.
unset PYTHONDONTWRITEBYTECODE PYTHONPATH
cd /

fail() { echo "check-wheels: $*" >&2; exit 1; }

case "${SETUP_WITH_IPP:-on}" in
  [Oo][Ff][Ff]|0|[Nn][Oo]|[Ff][Aa][Ll][Ss][Ee]) modules=(setup) ;;
  *) modules=(setup ipp) ;;
esac

# readelf -d's NEEDED entries of a shared object, one a line; fails the check
# when readelf is missing or fails, rather than finding nothing.
needed() {  # label so
  local dynamic
  dynamic=$(readelf -d "$2") || fail "$1: readelf -d $2 failed (binutils)"
  grep -q 'Dynamic section' <<<"$dynamic" || fail "$1: readelf shows no dynamic section of $2"
  sed -n 's/.*(NEEDED).*Shared library: \[\(.*\)\]/\1/p' <<<"$dynamic"
}

round_trip() {  # label python source
  local label=$1 python=$2 source=$3 out="$work/$1"
  mkdir -p "$out/wheels"
  "$python" -m pip wheel --no-index --no-deps --disable-pip-version-check -w "$out/wheels" \
    "$source" >"$out/pip-wheel.log" 2>&1 || { cat "$out/pip-wheel.log"; fail "$label: pip wheel failed"; }
  local wheels=("$out"/wheels/*.whl) version
  [ ${#wheels[@]} -eq 1 ] || fail "$label: not one wheel: ${wheels[*]}"
  version=$("$python" -c 'import sys; print("%d%d%s" % (sys.version_info[:2] + (sys.abiflags,)))')
  case "${wheels[0]}" in
    *"-cp${version%d}-cp${version}-"*.whl) ;;
    *) fail "$label: ${wheels[0]} is not tagged for this interpreter (cp$version)" ;;
  esac
  # Exactly the package's files in the source, this interpreter's build and
  # the metadata: nothing missing (stubs, marker), nothing extra. In a
  # checkout, the source is what git tracks, as in the sdist: a module left
  # untracked must not go into one wheel and miss from the sdist's.
  local listed expected
  listed=$("$python" -c 'import sys, zipfile
print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "${wheels[0]}" | LC_ALL=C sort)
  expected=$( (cd "$source"
               if [ -e .git ]; then
                 git -c safe.directory="$(pwd -P)" ls-files vellomar | grep -E '\.pyi?$|/py\.typed$'
               else
                 find vellomar -name __pycache__ -prune -o -type f \
                   \( -name '*.py' -o -name '*.pyi' -o -name py.typed \) -print
               fi
               "$python" -c 'import sys, sysconfig
for module in sys.argv[1:]:
    print("vellomar/printing/cups/" + module + sysconfig.get_config_var("EXT_SUFFIX"))' "${modules[@]}"
               dist_info=$(basename "${wheels[0]}" | cut -d- -f1,2).dist-info
               printf '%s\n' "$dist_info/METADATA" "$dist_info/WHEEL" "$dist_info/RECORD") \
             | LC_ALL=C sort)
  for stub in vellomar/printing/cups/setup.pyi vellomar/printing/cups/py.typed; do
    grep -qx "$stub" <<<"$expected" || fail "$label: $source has no $stub"
  done
  [ "$listed" = "$expected" ] || fail "$label: the wheel's files (>) differ from the package's (<):
$(diff <(echo "$expected") <(echo "$listed"))"

  "$python" -m venv "$out/venv"
  local venv="$out/venv/bin/python"
  "$venv" -m pip install --no-index --disable-pip-version-check -q "${wheels[0]}"
  "$venv" -m pip check >/dev/null
  local shown version_file
  shown=$("$venv" -m pip show vellomar-printing-cups)
  version_file=$("$venv" -c 'import vellomar.printing.cups as p; print(p.__version__)')
  grep -qx "Version: $version_file" <<<"$shown" \
    || fail "$label: pip show disagrees with the package's __version__ $version_file"
  # What each module may need at run time: the setup module nothing at all
  # (not even libc), the IPP client libcups, libc and (built with it) libdbus;
  # never libpython or libstdc++ (the sources build without exceptions and
  # RTTI for that).
  local module so listed extra
  for module in "${modules[@]}"; do
    so=$("$venv" -c 'import importlib, sys
print(importlib.import_module("vellomar.printing.cups." + sys.argv[1]).__file__)' "$module") \
      || fail "$label: the $module module does not import"
    case "$so" in "$out/venv/"*) ;; *) fail "$label: imported $so, not the venv's" ;; esac
    listed=$(needed "$label" "$so")
    case $module in
      ipp) extra=$(grep -vx -e libcups.so.2 -e libc.so.6 -e libdbus-1.so.3 <<<"$listed") || true ;;
      *) extra=$listed ;;
    esac
    [ -z "$extra" ] || fail "$label: $(basename "$so") needs" $extra
  done

  # 0 usable; 3 usable but not ready (no scheduler runs here).
  local status=0
  "$venv" -m vellomar.printing.cups --json >"$out/report.json" || status=$?
  case $status in 0|3) ;; *) cat "$out/report.json"; fail "$label: diagnostic exit status $status" ;; esac
  "$venv" -c 'import json, sys
with open(sys.argv[1]) as f:
    report = json.load(f)["cups_config"]
assert report["ok"] and report["values"].get("version"), report' "$out/report.json" \
    || fail "$label: no cups-config values in the report"

  "$venv" -m pip uninstall -y -q vellomar-printing-cups
  local left
  left=$(find "$out/venv" -path '*/vellomar/*' -type f)
  [ -z "$left" ] || fail "$label: pip uninstall left $left"
  echo "$label: $(basename "${wheels[0]}") installed, diagnostic exit $status, uninstalled clean"
}

if [ $# -eq 0 ]; then
  cmake -S "$root" -B "$work/configure" -DBUILD_TESTING=OFF >/dev/null
  mapfile -t pythons <"$work/configure/interpreters.txt"
  set -- "${pythons[@]}" /usr/bin/python3
fi
for python in "$@"; do
  round_trip "$(basename "$(dirname "$(dirname "$python")")")-$(basename "$python")" "$python" "$root"
done

# The sdist carries what builds the wheel again, and nothing of a build tree.
/usr/bin/python3 -m build --sdist --outdir "$work/sdist" "$root" >"$work/build.log" 2>&1 \
  || { cat "$work/build.log"; fail "sdist: python3 -m build failed"; }
sdists=("$work"/sdist/*.tar.gz)
[ ${#sdists[@]} -eq 1 ] || fail "sdist: not one tarball: ${sdists[*]}"
tar -xzf "${sdists[0]}" -C "$work/sdist"
unpacked="${sdists[0]%.tar.gz}"
[ -f "$unpacked/PKG-INFO" ] || fail "sdist: no PKG-INFO"
# Only tracked files: no build tree, object or scratch file of the checkout.
members=$(tar -tzf "${sdists[0]}" | sed 's,^[^/]*/,,' | grep -vx -e '' -e PKG-INFO | LC_ALL=C sort)
untracked=$(LC_ALL=C comm -23 <(echo "$members") \
  <(git -c safe.directory="$(cd "$root" && pwd -P)" -C "$root" ls-files | LC_ALL=C sort))
[ -z "$untracked" ] || fail "sdist: carries files git does not track: $untracked"
for needed in pyproject.toml backend/ src/ vellomar/; do
  grep -q "^$needed" <<<"$members" || fail "sdist: has no $needed"
done
round_trip sdist /usr/bin/python3 "$unpacked"
