#!/usr/bin/env bash
# Proves that a change keeps every output byte: converts a set of generated movies with the
# korvane built from a reference commit and with the one in build/, by every method and thread
# count, and compares the movies, the palette files and what the program printed (its timing
# lines left out).
#
#   scripts/compare-output.sh [REF]     REF: a commit (default: main's first parent, HEAD~1)
#   NEW_OPTS="-classic" scripts/compare-output.sh REF
#                                       adds options to the new program's runs only, to show
#                                       that an option reproduces the reference's default
#   REF_OPTS="-classic" ...             adds options to the reference's runs only
#   QUICK=1 ...                         the small movies only (no 640x480 ones)
#   NEW_BIN=path/to/korvane ...         another new program than build/src/korvane
#
# The reference is built once into build-ref/REF (a detached worktree in build-ref/src-REF).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
ref="$(git rev-parse --short "${1:-HEAD~1}")"
new_opts=(${NEW_OPTS:-})
ref_opts=(${REF_OPTS:-})
jobs=$(nproc 2>/dev/null || echo 2)

refsrc="$root/build-ref/src-$ref"
refbin="$root/build-ref/$ref"
if [ ! -x "$refbin/src/korvane" ]; then
  rm -rf "$refsrc"
  git worktree prune
  git worktree add --detach "$refsrc" "$ref" >/dev/null
  cmake -S "$refsrc" -B "$refbin" -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=OFF >/dev/null
  cmake --build "$refbin" -j "$jobs" --target korvane >/dev/null
fi
newbin="$(realpath "${NEW_BIN:-build/src/korvane}")"
[ -x "$newbin" ] || { echo "$newbin is missing: run scripts/build.sh" >&2; exit 1; }

media="$root/build-ref/media"
mkdir -p "$media"
gen() {  # NAME FFMPEG-ARGS...
  local name="$1"; shift
  [ -s "$media/$name" ] || ffmpeg -v error -nostdin -y "$@" "$media/$name.tmp.${name##*.}" &&
    { [ -s "$media/$name" ] || mv "$media/$name.tmp.${name##*.}" "$media/$name"; }
}
# Small movies of the kinds the tests use: a test pattern with a tone, moving noise (split frames
# with the old method), a smooth gradient with stereo sound, an 8-bit GIF.
gen pattern.avi -f lavfi -i testsrc=size=160x120:rate=15:duration=3 \
  -f lavfi -i sine=frequency=440:sample_rate=22050:duration=3 -c:v mjpeg -q:v 3 -c:a pcm_s16le
gen noise.avi -f lavfi -i "nullsrc=size=320x240:rate=10:duration=2,geq=random(1)*255:128:128" \
  -c:v mjpeg -q:v 2 -an
gen fractal.mkv -f lavfi -i "mandelbrot=size=256x192:rate=20,trim=duration=3" \
  -f lavfi -i "aevalsrc=0.3*sin(2*PI*330*t)|0.3*sin(2*PI*220*t):s=44100:d=3" \
  -c:v libx264 -crf 18 -pix_fmt yuv420p -c:a aac -ac 2
gen palette.gif -f lavfi -i "testsrc=size=96x64:rate=10:duration=2"
movies=(pattern.avi noise.avi fractal.mkv palette.gif)
if [ -z "${QUICK:-}" ]; then
  # The benchmark's movie: a pan and zoom over a fractal with grain, stereo AAC.
  gen bench640.mp4 -f lavfi -i "mandelbrot=size=1280x960:rate=25:maxiter=200,noise=alls=12:allf=t,zoompan=z='1.2+0.3*sin(on/60)':x='iw/2-(iw/zoom/2)+106*sin(on/40)':y='ih/2-(ih/zoom/2)+80*cos(on/50)':d=1:s=640x480:fps=25" \
    -f lavfi -i "aevalsrc=0.25*sin(2*PI*220*t)|0.25*sin(2*PI*277*t):s=44100:d=4" \
    -t 4 -c:v libx264 -preset fast -crf 20 -pix_fmt yuv420p -c:a aac -ac 2
  movies+=(bench640.mp4)
fi

runs=(
  "" "-threads 1" "-threads 2" "-threads 4" "-hq" "-hq -threads 1" "-dither" "-hq -dither -threads 3"
  "-old" "-old -dither" "-old -loc" "-rate 60" "-size 1" "-start 5 -len 20" "-ns -act" "-old -ns"
)
work="$(mktemp -d /tmp/korvane-compare-XXXXXX)"
trap 'rm -rf "$work"' EXIT
same=0
differ=0
for movie in "${movies[@]}"; do
  for opts in "${runs[@]}"; do
    for side in ref new; do
      dir="$work/$side"
      rm -rf "$dir" && mkdir -p "$dir"
      if [ "$side" = ref ]; then bin="$refbin/src/korvane"; extra=("${ref_opts[@]}"); else bin="$newbin"; extra=("${new_opts[@]}"); fi
      # shellcheck disable=SC2086
      (cd "$dir" && "$bin" "$media/$movie" out.mve $opts "${extra[@]}" </dev/null |
        grep -v "time:" >stdout.txt) || true
    done
    label="$movie ${opts:-(default)}"
    if diff -r "$work/ref" "$work/new" >/dev/null; then
      same=$((same + 1))
      echo "same    $label ($(stat -c %s "$work/new/out.mve" 2>/dev/null || echo 0) bytes)"
    else
      differ=$((differ + 1))
      echo "DIFFERS $label"
      diff -r "$work/ref" "$work/new" | head -5 || true
    fi
  done
done
echo "$same identical, $differ different (reference $ref, options added: ${NEW_OPTS:-none})"
[ "$differ" = 0 ]
