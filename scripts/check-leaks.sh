#!/usr/bin/env bash
# LeakSanitizer over the IPP client: the ipp module built with
# AddressSanitizer, asked again and again by a child interpreter of its own
# (the scheduler answering at random delays around the deadline, as peers
# do), RUNS times. Counts the leak reports that reach the module or libcups;
# the interpreter's own, which it frees by design only at exit, do not count.
#   scripts/check-leaks.sh [RUNS] [python-version]
set -euo pipefail
runs=${1:-20}
version=${2:-3.11}
tag=${version//./}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-leaks"
logs="$build/logs"
cmake -S "$root" -B "$build" -DSETUP_PYTHON_VERSIONS="$version" -DSETUP_DEBUG_PYTHON= \
      -DBUILD_TESTING=OFF -DSETUP_SANITIZE=address >/dev/null
cmake --build "$build" -j2 --target "package_$tag" >/dev/null
python=$(sed -n "s|^-- Python $version ($tag): \(\S*\) .*|\1|p" <(cmake -S "$root" -B "$build" 2>&1))
rm -rf "$logs" && mkdir -p "$logs"
cd "$build"

child='
import os, sys
sys.path.insert(0, sys.argv[1])
from lab.hostile_peer import HostilePeer
from vellomar.printing.cups import ipp
late = HostilePeer("scheduler", "late", delay=120, printers=5)
printer = HostilePeer("printer", "late", delay=120)
devices = HostilePeer("scheduler", "late", delay=120, printers=5,
                      device="ipp://127.0.0.1:%d/" % printer.port)
for server in (late.server, devices.server):
    os.environ["CUPS_SERVER"] = server
    for _ in range(40):
        try:
            ipp.query_scheduler(0.06)
        except OSError:
            pass
import time
while ipp._pool()["workers"] or ipp._pool()["orphans"]:
    time.sleep(0.05)
for peer in (late, printer, devices):
    peer.close()
'
preload="$(g++ -print-file-name=libasan.so)"
failed=0
for run in $(seq "$runs"); do
  # A leak report makes the interpreter exit 23; any other failure is one.
  status=0
  PYTHONPATH="$build/stage" PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=1:exitcode=23:log_path=$logs/run$run" \
    "$python" -c "$child" "$root/tests" || status=$?
  if [ "$status" != 0 ] && [ "$status" != 23 ]; then
    echo "run $run failed with status $status"
    failed=$((failed + 1))
  fi
done
[ "$failed" = 0 ] || exit 1
ours=$( (cat "$logs"/run* 2>/dev/null || true) | awk -v RS='\n\n' '/(Direct|Indirect) leak/ && /(ipp\.cpython|libcups)/ {n++} END {print n+0}')
echo "LeakSanitizer: $runs run(s), $ours leak report(s) that reach the IPP client or libcups"
if [ "$ours" != 0 ]; then
  cat "$logs"/run* | awk -v RS='\n\n' '/(Direct|Indirect) leak/ && /(ipp\.cpython|libcups)/' | head -80
  exit 1
fi
