#!/usr/bin/env bash
# Configures and builds into build/ (release build with debug information). In CI (CI=true)
# compiler warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
werror=()
[ "${CI:-}" = true ] && werror=(-DTARSEL_WERROR=ON)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${werror[@]}" >/dev/null
cmake --build build -j"$(nproc)"
