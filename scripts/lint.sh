#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over src/ with the compile commands of build/;
# exits non-zero when it reports anything.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-tidy >/dev/null || { echo "clang-tidy is not installed" >&2; exit 2; }
if [ ! -f build/compile_commands.json ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
fi
report=$(mktemp)
trap 'rm -f "$report"' EXIT
find src -name '*.cpp' -print0 | sort -z |
  xargs -0 -P "$(nproc)" -n 4 clang-tidy -p build --quiet >"$report" 2>/dev/null || true
if grep -qE "(warning|error):" "$report"; then
  grep -E -A3 "(warning|error):" "$report"
  echo "clang-tidy: $(grep -cE "(warning|error):" "$report") findings" >&2
  exit 1
fi
echo "clang-tidy: no findings"
