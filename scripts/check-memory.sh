#!/usr/bin/env bash
# Runs the unittest suite on one interpreter (3.8 by default) with the module
# under a memory checker:
#   scripts/check-memory.sh sanitize   AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/check-memory.sh valgrind   valgrind memcheck, child interpreters included
# Fails on any report that involves the module's own code.
set -euo pipefail
mode=${1:?usage: check-memory.sh sanitize|valgrind [python-version]}
version=${2:-3.8}
tag=${version//./}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-$mode"
logs="$build/logs"

extra=()
[ "$mode" = sanitize ] && extra=(-DSETUP_SANITIZE=address,undefined)
cmake -S "$root" -B "$build" -DSETUP_PYTHON_VERSIONS="$version" -DSETUP_DEBUG_PYTHON= \
      -DBUILD_TESTING=OFF "${extra[@]}" >/dev/null
cmake --build "$build" -j2 --target "package_$tag" "setup_mismatch_$tag" >/dev/null
python=$(sed -n "s|^-- Python $version ($tag): \(\S*\) .*|\1|p" <(cmake -S "$root" -B "$build" 2>&1))
rm -rf "$logs" && mkdir -p "$logs"
cd "$build"  # not the source tree, whose package has no built module

export SETUP_STAGE="$build/stage" SETUP_MISMATCH_STAGE="$build/stage-mismatch"
export PYTHONPATH="$build/stage" PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1
suite=("$python" -m unittest discover -s "$root/tests" -t "$root/tests")
ours='src/(module|function|probes|state|ipp_module|ipp_core|ipp_pool|ipp_connection|ipp_questions|ipp_jobs|ipp_module_jobs|ipp_notifications|ipp_module_watch)\.cpp|src/[a-z_]+\.hpp|(setup|ipp)\.cpython-'

case "$mode" in
sanitize)
  preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
  # The interpreter frees little at exit by design, so leak reports would be
  # noise; every other report stops the process and lands in the log.
  LD_PRELOAD="$preload" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:log_path=$logs/asan" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan" \
    "${suite[@]}"
  reports=$(cat "$logs"/* 2>/dev/null | grep -cE '^(==[0-9]+==ERROR|.*runtime error:)' || true)
  echo "sanitizers: $reports report(s)"
  if [ "$reports" != 0 ]; then cat "$logs"/*; exit 1; fi
  ;;
valgrind)
  valgrind --tool=memcheck --trace-children=yes --num-callers=40 \
    --trace-children-skip='/bin/*,/usr/bin/*,/usr/sbin/*,*/cmake' --log-file="$logs/memcheck.%p" \
    "${suite[@]}"
  # Child interpreters started without PYTHONMALLOC=malloc report pymalloc's
  # deliberate reads of unowned memory; only reports that reach our code count.
  ours_count=$(awk -v RS='\n==[0-9]+== \n' -v pat="$ours" \
    '/(Invalid (read|write)|uninitialised|Invalid free|Mismatched)/ && $0 ~ pat {n++} END {print n+0}' \
    "$logs"/memcheck.*)
  summary=$(grep -h "ERROR SUMMARY" "$logs"/memcheck.* | awk '{s+=$4} END {print s+0}')
  echo "valgrind: $(ls "$logs" | wc -l) process(es), $summary error(s) in all, $ours_count in the module's code"
  if [ "$ours_count" != 0 ]; then
    grep -l -E "$ours" "$logs"/memcheck.* | head -3 | xargs cat
    exit 1
  fi
  ;;
*) echo "unknown mode $mode" >&2; exit 2 ;;
esac
