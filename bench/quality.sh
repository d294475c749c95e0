#!/usr/bin/env bash
# Measures KORVANE's picture quality and prints a Markdown table (also written to
# build-bench/quality.md).
#
#   bench/quality.sh            every movie at 100, 150, 300 and 600 KB/s
#   bench/quality.sh --quick    the game-like and film-like movies at 100 and 300 KB/s
#   KORVANE_BIN=path/to/korvane bench/quality.sh    another program than build/src/korvane
#
# Generated source movies (build-bench/quality-media/, kept between runs; 320x240, stored
# losslessly as FFV1 RGB in Matroska) are converted by the default method, -hq, -classic and -old
# (no rate control: one row per movie), and by FFmpeg's cinepak encoder at the rate of each
# default run (the setting that comes closest without exceeding it; when cinepak cannot go that
# low, its lowest rate tried). For every run the table shows the KB/s written (1 KB = 1024
# bytes: the file's size over the movie's duration; for cinepak the bytes of its video stream,
# without the AVI container) and the PSNR of FFmpeg's decode against the source: 10 log10(255^2
# / MSE), the mean squared error over every pixel, the R, G and B components and every frame.
# -old splits large frames into pieces, which FFmpeg shows as frames of their own: its runs are
# measured on the frames a game's player shows, as mveinfo --frames exports them.
# Every run of the default method and -hq is also checked against the rate limits: the file
# within the rate over the movie's duration, and the heaviest second of frames (as mveinfo finds
# it) within 1.5 times the rate; the benchmark fails when one is broken.
# Cinepak's measurements are kept in the media folder and used again while the source and
# FFmpeg stay the same. A program without -classic gets "n/a" there. This is a benchmark, never
# part of the test suite.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *)
      echo "usage: bench/quality.sh [--quick]" >&2
      exit 2
      ;;
  esac
done

for tool in ffmpeg ffprobe python3; do
  command -v "$tool" >/dev/null || {
    echo "Error: $tool is missing (run scripts/install-deps.sh)" >&2
    exit 1
  }
done
korvane="${KORVANE_BIN:-$root/build/src/korvane}"
if [ ! -x "$korvane" ]; then
  echo "Error: no korvane program at $korvane: build it first" >&2
  echo "  (cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build --target korvane)," >&2
  echo "  or name another with KORVANE_BIN=..." >&2
  exit 1
fi
korvane="$(realpath "$korvane")"
# mveinfo beside the program, or the tree's own.
mveinfo="$(dirname "$korvane")/mveinfo"
[ -x "$mveinfo" ] || mveinfo="$root/build/src/mveinfo"
[ -x "$mveinfo" ] || {
  echo "Error: no mveinfo program beside $korvane or in build/src: build it first" >&2
  exit 1
}
mveinfo="$(realpath "$mveinfo")"
ffmpeg -hide_banner -encoders 2>/dev/null | grep ' cinepak ' >/dev/null || {
  echo "Error: this FFmpeg has no cinepak encoder" >&2
  exit 1
}

helper=(python3 "$root/bench/quality_helper.py")
media="$root/build-bench/quality-media"
mkdir -p "$media"
work="$(mktemp -d /tmp/korvane-quality-XXXXXX)"
trap 'rm -rf "$work"' EXIT
started=$(date +%s)

# Movie NAME, frame rate and seconds. A change to a movie's making needs a new version suffix
# in its file name (see source_of), so that an older file is not used.
if [ "$quick" = 1 ]; then
  movies=("game 15 6" "film 25 4")
  rates=(100 300)
else
  movies=("game 15 6" "film 25 4" "fade 25 4" "stars 15 6" "noise 25 2")
  rates=(100 150 300 600)
fi
size=320x240

source_of() { echo "$media/$1-v1.mkv"; }

# oneline TEXT: TEXT without its line breaks (filter graphs are written over several lines).
oneline() { printf '%s' "${1//$'\n'/}"; }

# generate NAME FPS SECONDS: makes the source movie unless it exists.
generate() {
  local name="$1" fps="$2" secs="$3" out
  out="$(source_of "$name")"
  [ -s "$out" ] && return 0
  echo "Generating $out"
  local tmp="$out.tmp.mkv" store=(-c:v ffv1 -pix_fmt bgr0)
  case "$name" in
    game)
      # Flat colours: a banded sky, ground and platforms, and sprites of a few colours moving
      # at different speeds (walking, bouncing, flying diagonally, a fast shot, a slow cloud).
      local r="r=$fps"
      ffmpeg -v error -nostdin -y -filter_complex "$(oneline "
color=c=0x2a4a8a:s=$size:$r,format=bgr0,
drawbox=x=0:y=0:w=320:h=40:c=0x1c3570:t=fill,drawbox=x=0:y=40:w=320:h=40:c=0x24427e:t=fill,
drawbox=x=0:y=120:w=320:h=40:c=0x3a5c9c:t=fill,drawbox=x=0:y=160:w=320:h=40:c=0x4a6cac:t=fill,
drawbox=x=0:y=200:w=320:h=40:c=0x3c7a2a:t=fill,drawbox=x=0:y=200:w=320:h=4:c=0x2a5a1a:t=fill,
drawbox=x=40:y=150:w=80:h=12:c=0x8a5a2a:t=fill,drawbox=x=200:y=112:w=96:h=12:c=0x8a5a2a:t=fill[bg];
color=c=0xf0f4f8:s=80x20:$r,format=bgra[cloud];
color=c=0xd02020:s=32x32:$r,format=bgra,drawbox=x=0:y=0:w=32:h=32:c=0xf0d020:t=4,
drawbox=x=9:y=9:w=4:h=6:c=white:t=fill,drawbox=x=19:y=9:w=4:h=6:c=white:t=fill[hero];
color=c=0x20a040:s=24x40:$r,format=bgra,drawbox=x=0:y=0:w=24:h=40:c=black:t=2,
drawbox=x=6:y=8:w=12:h=4:c=0xffe060:t=fill[frog];
color=c=white:s=8x8:$r,format=bgra[shot];
color=c=0xf08020:s=48x24:$r,format=bgra,drawbox=x=4:y=4:w=40:h=16:c=0x803010:t=2[ship];
[bg][cloud]overlay=x='mod(t*20\,400)-80':y=24:format=rgb[a];
[a][hero]overlay=x='mod(t*70\,352)-32':y=168:format=rgb[b];
[b][frog]overlay=x='40+120*(1+sin(t*1.3))':y='72+40*abs(sin(t*3))':format=rgb[c];
[c][ship]overlay=x='mod(300-t*50\,368)-48':y='16+t*22':format=rgb[d];
[d][shot]overlay=x='mod(t*220\,330)-8':y=100:format=rgb,format=bgr0[out]")" \
        -map "[out]" -t "$secs" "${store[@]}" "$tmp"
      ;;
    film)
      # A pan and zoom over a detailed fractal rendered at twice the size, with temporal grain.
      ffmpeg -v error -nostdin -y -f lavfi -i "$(oneline "mandelbrot=size=640x480:rate=$fps:maxiter=200,
noise=alls=12:allf=t,zoompan=z='1.2+0.3*sin(on/60)':x='iw/2-(iw/zoom/2)+53*sin(on/40)':
y='ih/2-(ih/zoom/2)+40*cos(on/50)':d=1:s=$size:fps=$fps,format=bgr0")" \
        -t "$secs" "${store[@]}" "$tmp"
      ;;
    fade)
      # A still, detailed and colourful picture fading to black (black in the middle 0.6 s)
      # and back.
      local level="clip((abs(T-$secs/2)-0.3)/($secs/2-0.6)\,0\,1)"
      ffmpeg -v error -nostdin -y -f lavfi -i "$(oneline "mandelbrot=size=$size:rate=$fps:maxiter=300:
start_x=-0.7436438870:start_y=0.1318259042:start_scale=0.01:end_scale=0.01:
outer=normalized_iteration_count,format=gbrp,
geq=r='r(X\,Y)*$level':g='g(X\,Y)*$level':b='b(X\,Y)*$level',format=bgr0")" \
        -t "$secs" "${store[@]}" "$tmp"
      ;;
    stars)
      # White stars flying outwards over a dark textured plane seen in perspective that moves
      # towards the viewer (depth d = 4000 / (Y - 96) below a horizon at Y = 100).
      local plane="if(lte(Y\,100)\,6+Y/10\,st(0\,4000/(Y-96)+400*T)+st(1\,(X-160)*4000/(Y-96)/100)
-ld(0)-ld(1)+(10+170*(0.5+0.2*sin(ld(1)*0.15)*sin(ld(0)*0.1)
+0.2*sin(0.07*ld(1)+0.05*ld(0)+2*sin(ld(0)*0.02))+0.1*sin(ld(1)*0.6)*sin(ld(0)*0.5)))
*min(1\,(Y-96)/144))"
      "${helper[@]}" stars 320 240 $((fps * secs)) |
        ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt gray -s "$size" -r "$fps" -i - \
          -filter_complex "$(oneline "nullsrc=s=$size:r=$fps,format=gray,geq=lum='$(oneline "$plane")',format=gbrp,
lutrgb=r='val*0.55':g='val*0.75':b='val*0.45+10'[ground];[0:v]format=gbrp[stars];
[ground][stars]blend=all_mode=lighten,format=bgr0")" \
          -frames:v $((fps * secs)) "${store[@]}" "$tmp"
      ;;
    noise)
      # Grey with strong uniform colour noise, new in every frame.
      ffmpeg -v error -nostdin -y -f lavfi \
        -i "color=c=0x808080:s=$size:r=$fps,format=gbrp,noise=alls=100:allf=t+u" \
        -t "$secs" "${store[@]}" "$tmp"
      ;;
  esac
  mv "$tmp" "$out"
}

frames_of() {
  ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1"
}

# convert MOVIE FPS FRAMES METHOD RATE: converts with KORVANE and adds a line
# "MOVIE METHOD RATE BYTES_PER_SECOND PSNR" to the results.
convert() {
  local movie="$1" fps="$2" frames="$3" method="$4" rate="$5" src args=() status
  src="$(source_of "$movie")"
  [ "$method" != default ] && args+=("$method")
  [ "$rate" != - ] && args+=(-rate "$rate")
  rm -f "$work/out.mve"
  set +e
  (cd "$work" && "$korvane" "$src" "$work/out.mve" -ns "${args[@]}" >"$work/korvane.log" 2>&1)
  status=$?
  set -e
  if [ "$status" != 0 ] || [ ! -s "$work/out.mve" ]; then
    echo "Error: korvane failed on $movie with ${args[*]} (status $status):" >&2
    cat "$work/korvane.log" >&2
    exit 1
  fi
  local bytes per_second psnr
  bytes=$(stat -c %s "$work/out.mve")
  per_second=$(awk -v b="$bytes" -v f="$frames" -v r="$fps" 'BEGIN{printf "%.1f", b * r / f}')
  if [ "$method" = -old ]; then
    # The old method splits large frames into pieces, and FFmpeg shows every piece as a frame:
    # these runs are measured on the frames a game's player shows, as mveinfo exports them.
    rm -rf "$work/frames"
    mkdir "$work/frames"
    "$mveinfo" --frames "$work/frames" "$work/out.mve" >/dev/null || {
      echo "Error: mveinfo could not export $movie with ${args[*]}" >&2
      exit 1
    }
    psnr=$("${helper[@]}" psnr "$src" "$work/frames" "$fps" "$frames")
  else
    psnr=$("${helper[@]}" psnr "$src" "$work/out.mve" "$fps" "$frames")
  fi
  echo "$movie $method $rate $per_second $psnr" >>"$work/results"
  local limits=""
  if [ "$rate" != - ] && [ "$method" != -classic ]; then
    # The rate limits: the whole file within the rate over the movie's duration, and the
    # heaviest second of frames (as mveinfo finds it) within 1.5 times the rate.
    local peak
    peak=$("$mveinfo" "$work/out.mve" | sed -n 's/^Bytes per second: .* average, \([0-9.]*\) peak.*/\1/p')
    if [ -z "$peak" ]; then
      echo "Error: mveinfo gave no peak rate for $movie with ${args[*]}" >&2
      exit 1
    fi
    limits=$(awk -v b="$bytes" -v f="$frames" -v r="$fps" -v p="$peak" -v k="$rate" 'BEGIN{
      ok = b <= k * 1024 * f / r && p <= 1.5 * k * 1024
      printf "peak %.1f KB/s, limits %s", p / 1024, ok ? "held" : "BROKEN"}')
    case "$limits" in *BROKEN) echo "$movie $method $rate" >>"$work/broken" ;; esac
  fi
  printf '  %-6s %-8s %-4s %8.1f KB/s %7.2f dB  %s\n' "$movie" "$method" "$rate" \
    "$(awk -v b="$per_second" 'BEGIN{print b / 1024}')" "$psnr" "$limits"
}

for m in "${movies[@]}"; do
  read -r name fps secs <<<"$m"
  generate "$name" "$fps" "$secs"
done

# -classic is being added: a program that does not know it (usage error) gets "n/a".
first_source="$(source_of "${movies[0]%% *}")"
set +e
(cd "$work" && "$korvane" "$first_source" "$work/probe.mve" -classic -test >"$work/probe.log" 2>&1)
status=$?
set -e
case "$status" in
  0) classic=1 ;;
  2) classic=0 ;;
  *)
    echo "Error: korvane failed to test its options (status $status):" >&2
    cat "$work/probe.log" >&2
    exit 1
    ;;
esac

if [ -z "${KORVANE_BIN:-}" ]; then
  echo "KORVANE: $korvane (the tree is at commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown))"
else
  echo "KORVANE: $korvane"
fi
ffmpeg -version | sed -n 1p
echo "Machine: $(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$work/results"
: >"$work/jobs"
: >"$work/broken"
for m in "${movies[@]}"; do
  read -r name fps secs <<<"$m"
  frames=$(frames_of "$(source_of "$name")")
  targets=()
  for rate in "${rates[@]}"; do
    convert "$name" "$fps" "$frames" default "$rate"
    targets+=("$rate=$(awk '{v = $4} END {print v}' "$work/results")")
    convert "$name" "$fps" "$frames" -hq "$rate"
    if [ "$classic" = 1 ]; then
      convert "$name" "$fps" "$frames" -classic "$rate"
    else
      echo "$name -classic $rate n/a n/a" >>"$work/results"
    fi
  done
  convert "$name" "$fps" "$frames" -old -
  echo "$name $(source_of "$name") $fps $frames ${targets[*]}" >>"$work/jobs"
done

echo "FFmpeg cinepak at the default's rates (measurements kept in $media)"
"${helper[@]}" cinepak "$work/jobs" "$work/results" "$media"

table="$("${helper[@]}" table "$work/results" "$(IFS=,; echo "${rates[*]}")")"
echo "$table" >"$root/build-bench/quality.md"
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg); run time $(($(date +%s) - started)) s"
echo
echo "$table"
echo
if [ -s "$work/broken" ]; then
  echo "Rate limits broken (the file over the rate, or a second of frames over 1.5 times it):"
  sed 's/^/  /' "$work/broken"
  exit 1
fi
echo "Rate limits held in every run of the default method and -hq: every file within the rate"
echo "over the movie's duration, every second of frames within 1.5 times the rate."
