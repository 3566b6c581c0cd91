#!/usr/bin/env bash
# Instructions per call of each function, for the extension and its peers,
# counted by callgrind: repeatable where timings are not. N and 5N calls are
# counted and the difference divided by 4N, which cancels the start-up.
#   bench/count-instructions.sh [PYTHON] [N] [VARIANTS] [COLLABORATORS]
# COLLABORATORS: stand-ins (default) or real (os.environ, platform, os.path,
# a stand-in call). PYTHONPATH must reach the build (default: build/stage
# beside this script).
set -euo pipefail
python=${1:-python3}
n=${2:-2000}
variants=${3:-module cython python}
collaborators=${4:-stand-ins}
here=$(cd "$(dirname "$0")" && pwd)
export PYTHONPATH=${PYTHONPATH:-$here/../build/stage}
# str hashes are salted per process, which moves dict probes and so the counts
export PYTHONHASHSEED=${PYTHONHASHSEED:-0}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

count() {  # function variant calls
  valgrind --tool=callgrind --callgrind-out-file="$work/out" \
    "$python" "$here/bench.py" --run "$1" "$2" "$3" --with "$collaborators" >/dev/null 2>"$work/log" || {
      cat "$work/log" >&2; return 1; }
  sed -n 's/^summary: //p' "$work/out"
}

printf "%-17s" "per call ($collaborators)"
for variant in $variants; do printf " %10s" "$variant"; done
echo
for function in is_available get_version_info setup; do
  printf "%-17s" "$function"
  for variant in $variants; do
    if few=$(count "$function" "$variant" "$n" 2>/dev/null) &&
       many=$(count "$function" "$variant" $((5 * n)) 2>/dev/null); then
      printf " %10d" $(( (many - few) / (4 * n) ))
    else
      printf " %10s" "-"
    fi
  done
  echo
done
