#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the module's sources,
# against the reference interpreter's headers. Fails on any finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-analysis"
cmake -S "$root" -B "$build" -DSETUP_PYTHON_VERSIONS=3.8 -DSETUP_DEBUG_PYTHON= \
      -DBUILD_TESTING=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
include=$(sed -n 's|.*-isystem \(\S*python3\.8\S*\).*|\1|p' "$build/compile_commands.json" | head -1)

status=0
for source in "$root"/src/*.cpp; do
  clang-tidy -p "$build" --quiet "$source" 2>/dev/null || status=1
done
echo "clang-tidy: $([ $status = 0 ] && echo clean || echo findings above)"

# The interpreter's headers are read so that its macros expand as compiled,
# but findings inside them are not ours.
cppcheck --enable=warning,style,performance,portability --std=c++17 --language=c++ \
         --inline-suppr --error-exitcode=1 --quiet -I "$root/src" -I "$include" \
         --suppress='*:*/include/python3.8/*' --suppress=missingIncludeSystem --suppress=toomanyconfigs \
         "$root/src" || status=1
echo "cppcheck: $([ $status = 0 ] && echo clean || echo findings above)"
exit $status
