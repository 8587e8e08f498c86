#!/usr/bin/env bash
# Builds tarsel, makes a sample flight of about a minute and converts it in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
rm -rf demo
mkdir -p demo
cd demo
if [ -x ../build/tarsel-synth ]; then
  echo "== writing a sample flight"
  ../build/tarsel-synth --demo
  first=$(ls _*_*.rec | sort -t_ -k3 -n | head -n 1)
  echo "== converting $first and the files after it"
  ../build/tarsel "$first" /concatenate
  echo "== written:"
  ls -l
else
  ../build/tarsel //?
fi
