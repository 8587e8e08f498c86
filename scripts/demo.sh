#!/usr/bin/env bash
# Builds tarsel and converts a sample recording in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
mkdir -p demo
cd demo
../build/tarsel //? || true
echo
echo "== the built-in layout (//v//v shows the Cfg: and Flow: lines)"
../build/tarsel nosuchfile.rec //v//v || true
