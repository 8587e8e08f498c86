#!/usr/bin/env bash
# Builds the .deb from the build folder, unpacks it into a scratch root and runs what it installed:
#   deb_test.sh BUILD-DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log") || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/package/*.deb)
dpkg-deb --field "$deb" Package Version Depends
dpkg-deb -x "$deb" "$work/root"
root=$work/root/usr
for program in tarsel tarseldfe tarseldsp; do
  [ "$("$root/bin/$program" --version)" = "tarsel $version" ] || { echo "$program --version"; exit 1; }
done
[ "$("$root/bin/tarsel-records" --version)" = "tarsel-records $version" ]
# The program links neither SDL2 nor FFmpeg: it opens the video plugin from ../lib/tarsel/ when a
# run shows the display, and the capture is written through it.
[ -s "$root/lib/tarsel/tarsel-video.so" ] || { echo "missing lib/tarsel/tarsel-video.so"; exit 1; }
if ldd "$root/bin/tarsel" | grep -E "libSDL|libav"; then echo "tarsel links SDL2 or FFmpeg"; exit 1; fi
mkdir "$work/run"
(cd "$work/run" && "$build/tarsel-synth" --batches 4 --video-every 2 --flows F-HDR,VIDEO --quiet &&
  env -u TARSEL_VIDEO_PLUGIN SDL_VIDEODRIVER=dummy "$root/bin/tarsel" _19-05-17-10-30-00_1.rec \
    /videoshow /videosave >/dev/null 2>"$work/video.txt") || { cat "$work/video.txt"; exit 1; }
grep -q "Video saved: vcapture_" "$work/video.txt" || { cat "$work/video.txt"; exit 1; }
if grep "video plugin" "$work/video.txt"; then exit 1; fi
"$root/bin/tarsel-records" --help | grep -q "recover"
# The man pages render without warnings and name every qualifier and command.
for page in tarsel tarsel-records; do
  file=$root/share/man/man1/$page.1
  [ -f "$file" ] || file=$file.gz
  warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  MANWIDTH=80 man -l "$file" >"$work/$page.txt"
done
for name in nosignal concatenate firmwareheader posbug postprocess hsynch onlysw onlydsp stop \
    outfile dryrun json log format max rows cols zero fromstby analyze fixdate examine videoout \
    videoshow videosave videoframe gps fixhr sar videosubtitle bstart; do
  grep -q "/$name" "$work/tarsel.txt" || { echo "tarsel(1) misses /$name"; exit 1; }
done
for command in info list extract check recover; do
  grep -q "^       $command" "$work/tarsel-records.txt" || { echo "tarsel-records(1) misses $command"; exit 1; }
done
for file in share/bash-completion/completions/tarsel share/bash-completion/completions/tarsel-records \
    share/doc/tarsel/README.md share/doc/tarsel/LICENSE share/doc/tarsel/destination-format.md \
    share/doc/tarsel/run-report.md share/doc/tarsel/run-report.schema.json share/doc/tarsel/tarsel_records.py; do
  [ -s "$root/$file" ] || { echo "missing $file"; exit 1; }
done
bash -n "$root/share/bash-completion/completions/tarsel"
echo "installed:"
dpkg-deb -c "$deb" | awk '{print $6, $7, $8}'
