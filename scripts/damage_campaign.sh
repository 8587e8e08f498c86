#!/usr/bin/env bash
# Damage campaign: writes damaged synthetic recordings with tarsel-synth (bit flips at several
# rates, truncated, missing and duplicated blocks, cut ends, stray bytes, a second source, headers
# without "HDR0", damaged S-Block ends, split into files that blocks straddle) and converts each
# with a sanitizer build of tarsel: /concatenate /gps /examine=7 and a post-process level, with and
# without /hfw. A run passes when it ends in time with status 0 or 1 and printed no sanitizer
# report. Failing cases are kept with the recording, the commands and what tarsel printed.
# What a damaged run loses of the cycles the damage did not touch: scripts/loss_campaign.py.
#
#   cmake -S . -B build-fuzz-asan -DTARSEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
#   cmake --build build-fuzz-asan --target tarsel tarsel-synth -j2
#   scripts/damage_campaign.sh [-b build-dir] [-s first-seed] [-n seeds] [-m most-batches]
#                              [-t timeout-seconds] [-k keep-dir]
#
# Not part of CI: a few hundred runs take a while under the sanitizers.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz-asan
firstSeed=1
seeds=10
limit=60
mostBatches=10
keep=""
while getopts "b:s:n:m:t:k:h" option; do
  case $option in
    b) build=$OPTARG ;;
    s) firstSeed=$OPTARG ;;
    n) seeds=$OPTARG ;;
    m) mostBatches=$OPTARG ;;
    t) limit=$OPTARG ;;
    k) keep=$OPTARG ;;
    *) sed -n '2,15p' "$0"; exit 2 ;;
  esac
done
synth=$build/tarsel-synth
tarsel=$build/tarsel
for program in "$synth" "$tarsel"; do
  [ -x "$program" ] || { echo "missing $program (build the sanitizer tree first)" >&2; exit 2; }
done
work=$(mktemp -d /tmp/tarsel-damage-XXXXXX)
[ -n "$keep" ] || keep=$work/failures
mkdir -p "$keep"
# Leaks at exit are not damage handling; halt on the first report so it shows in stderr.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

flows=(F-HDR SWHDR SOFT SOFTDFE CTRLINK EXTLINK AESA DET EXP PC DISP DISPHEADER TIMER F-SUM)
sblocks=(D1553 CDPSTS AESATX AESARX DSPHDRIN)
runs=0
failures=0

pick() { local -n list=$1; echo "${list[RANDOM % ${#list[@]}]}"; }

# The faults of one case, chosen from the seed; each line of the case list is one recording.
faultsFor() {
  local kind=$1 at=$((RANDOM % 3)) flow
  flow=$(pick flows)
  case $kind in
    flips-*) echo "--fault bit-flips:rate=${kind#flips-}" ;;
    truncated) echo "--fault truncated-block:at=$at,flow=$flow,block=$((RANDOM % 4)),bytes=$((1 + RANDOM % 271))" ;;
    missing) echo "--fault missing-block:at=$at,flow=$flow,block=$((RANDOM % 4))" ;;
    duplicated) echo "--fault duplicated-block:at=$at,flow=$flow,block=$((RANDOM % 4))" ;;
    cut-end) echo "--fault cut-end:bytes=$((1 + RANDOM % 271))" ;;
    stray) echo "--fault stray-bytes:bytes=$((1 + RANDOM % 600))" ;;
    second) echo "--fault second-source:at=$at,flow=$flow,source=$(pick sources)" ;;
    no-hdr0) echo "--fault no-hdr0:at=$at" ;;
    sblock-end) echo "--fault sblock-end:at=$at,sblock=$(pick sblocks)" ;;
    unknown) echo "--fault unknown-address:at=$at,address=$((RANDOM * 65536)),count=$((1 + RANDOM % 3))" ;;
    hole) echo "--fault batch-hole:at=$at,count=$((1 + RANDOM % 5))" ;;
    data-bytes) ;;  # written after the recording: see damageData
    mixed)
      echo "--fault truncated-block:at=$at,flow=$flow,bytes=$((1 + RANDOM % 271))" \
        "--fault sblock-end:at=$(((at + 1) % 3)),sblock=$(pick sblocks)" \
        "--fault duplicated-block:at=$at,flow=$(pick flows)" \
        "--fault bit-flips:rate=1e-5" ;;
  esac
}
sources=(0x56 0x53 0x33 0x41 0x01)
kinds=(flips-1e-6 flips-1e-5 flips-1e-4 flips-1e-3 flips-1e-2 truncated missing duplicated
       cut-end stray second no-hdr0 sblock-end unknown hole mixed data-bytes)
extras=("/postprocess" "/postprocess" "/postprocess=21" "/postprocess=5 /zero=4 /hsynch"
        "/postprocess /zero=-1" "/postprocess=21 /zero=0")
modes=(rws/mprf gm/lprf:1,sar/agr_long sar/agr_long:2,rws/mprf vs/hprf:1,gmti/lprfnc)

# Overwrites random bytes of block data (never a block header, which would end the scan early),
# so the decoders see damaged lengths, names and values; files are `split` bytes long each.
damageData() {
  local dir=$1 split=$2 count=$((1 + RANDOM % 64)) total=0 file size k g index
  for file in "$dir"/*.rec; do total=$((total + $(stat -c %s "$file"))); done
  for ((k = 0; k < count; k++)); do
    g=$(((RANDOM * 32768 + RANDOM) % total))
    [ $((g % 272)) -lt 16 ] && g=$((g + 16))
    [ $g -lt $total ] || continue
    index=$((g / split + 1))
    file=$(ls "$dir"/*_"$index".rec)
    printf "\\$(printf %03o $((RANDOM % 256)))" |
      dd of="$file" bs=1 seek=$((g % split)) conv=notrunc status=none
  done
}

# Keeps a failing case: the recording, the command and what it printed.
keepCase() {
  local name=$1 dir=$2 why=$3
  failures=$((failures + 1))
  mkdir -p "$keep/$name"
  cp "$dir"/* "$keep/$name/" 2>/dev/null
  echo "$why" >"$keep/$name/why"
  echo "FAIL $name: $why"
}

convert() {
  local name=$1 dir=$2 first=$3; shift 3
  local status
  (cd "$dir" && timeout -k 5 "$limit" "$tarsel" "$first" /concatenate /gps /examine=7 "$@" \
      >stdout.txt 2>stderr.txt)
  status=$?
  runs=$((runs + 1))
  if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    keepCase "$name" "$dir" "hang (over ${limit}s): tarsel $first $*"
  elif [ $status -ne 0 ] && [ $status -ne 1 ]; then
    keepCase "$name" "$dir" "exit status $status: tarsel $first $*"
  elif grep -qE "AddressSanitizer|LeakSanitizer|runtime error:|UndefinedBehaviorSanitizer" \
      "$dir/stderr.txt"; then
    keepCase "$name" "$dir" "sanitizer report: tarsel $first $*"
  fi
}

for ((seed = firstSeed; seed < firstSeed + seeds; seed++)); do
  RANDOM=$seed
  for kind in "${kinds[@]}"; do
    dir=$work/case
    rm -rf "$dir" && mkdir -p "$dir"
    batches=$((3 + RANDOM % (mostBatches - 2)))
    shape=(--no-bulky)
    case $((RANDOM % 4)) in
      0) shape=(--rows $((1 + RANDOM % 4)) --cols $((16 * (1 + RANDOM % 4))) --video-every 0) ;;
      1) shape=(--rows $((1 + RANDOM % 32)) --cols $((16 * (1 + RANDOM % 16))) --video-every $((1 + RANDOM % 3))) ;;
    esac
    split=$((2000 + RANDOM * 4 % 120000))
    # shellcheck disable=SC2046
    arguments=(--seed "$seed" --batches "$batches" "${shape[@]}" --split-bytes "$split"
               --modes "$(pick modes)" $(faultsFor "$kind"))
    [ $((RANDOM % 4)) -eq 0 ] && arguments+=(--antenna-delay 1 --standby 1:2)
    if ! "$synth" -o "$dir" --quiet "${arguments[@]}" 2>"$dir/synth.txt"; then
      # A fault the scenario has no place for is not a tarsel failure.
      grep -q "was not placed" "$dir/synth.txt" || echo "synth refused: ${arguments[*]}" >&2
      continue
    fi
    echo "tarsel-synth ${arguments[*]}" >"$dir/synth-command.txt"
    [ "$kind" = data-bytes ] && damageData "$dir" "$split"
    first=$(cd "$dir" && ls -- *_1.rec)
    # Signal checks need a post-process level of 5 or more; /zero and /hsynch add their checks.
    extra=($(pick extras))
    convert "seed$seed-$kind-hfw" "$dir" "$first" /hfw "${extra[@]}"
    convert "seed$seed-$kind" "$dir" "$first" "${extra[@]}"
  done
  echo "seed $seed: $runs runs, $failures failures"
done
kept=""
[ $failures -eq 0 ] || kept=" (kept in $keep)"
echo "damage campaign: $runs runs, $failures failures$kept"
rm -rf "$work/case"
[ $failures -eq 0 ]
