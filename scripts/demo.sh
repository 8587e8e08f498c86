#!/usr/bin/env bash
# Builds tarsel, writes a synthetic flight of about a minute (three numbered files, with a
# damaged block in the second) and converts the whole sequence in demo/, with the session
# history, the flight track and the AESA timing analysis.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
rm -rf demo
mkdir -p demo
cd demo
echo "== writing a sample flight: 1500 batches of 40 ms in three files"
../build/tarsel-synth --batches 1500 --split-batches 500 --video-every 20 \
  --fault truncated-block:at=700 --quiet
ls -l
echo
echo "== converting the sequence from its first file (messages in tarsel.log)"
../build/tarsel _19-05-17-10-30-00_1.rec /concatenate /postprocess /gps /examine=1 2>tarsel.log
grep -v "Changed:" tarsel.log | tail -n 40
echo
echo "== written:"
ls -l ./*-cv.out ./*.txt ./*.gpx
echo
echo "== the flight track, first rows:"
head -n 4 track-*.txt
