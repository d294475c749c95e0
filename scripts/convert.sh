#!/usr/bin/env bash
# Installs, builds and converts a movie to MVE.
#   scripts/convert.sh                      converts a generated 10-second sample movie with sound
#   scripts/convert.sh MOVIE [OPTIONS...]   converts MOVIE with the given korvane options
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"

if [ $# -eq 0 ]; then
  mkdir -p "$root/samples"
  sample="$root/samples/sample.avi"
  if [ ! -f "$sample" ]; then
    echo "Generating a sample movie: $sample"
    ffmpeg -v error -y \
      -f lavfi -i "testsrc2=size=320x240:rate=15:duration=10" \
      -f lavfi -i "sine=frequency=440:sample_rate=22050:duration=10" \
      -c:v mjpeg -q:v 3 -c:a pcm_s16le -ac 1 "$sample"
  fi
  cd "$root/samples"
  exec "$root/build/src/korvane" sample.avi sample.mve
fi

exec "$root/build/src/korvane" "$@"
