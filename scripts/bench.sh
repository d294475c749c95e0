#!/usr/bin/env bash
# Measures KORVANE's speed and prints a table of results.
#
#   scripts/bench.sh               installs, builds (build/ and build-bench/), generates the test
#                                  movies and measures everything, best of 3 runs
#   scripts/bench.sh --no-build    measures the programs already built
#   scripts/bench.sh --quick       whole conversions only (no benchmark programs)
#   RUNS=5 scripts/bench.sh        best of 5 runs
#
# The movies (build-bench/media/) are 10 seconds at 25 frames per second, 640x480 and 320x240:
# a moving pan and zoom over a detailed fractal picture with film grain, H.264, with a 44100 Hz
# stereo AAC soundtrack. Pass 2 is measured alone (the palette of a first run is given with -p)
# from the moment the program announces it to its "Done.", read from the program's unbuffered
# output as it arrives. Peak memory is the largest resident set size of a whole conversion
# (GNU time). The "-play" runs happen in a pseudo-terminal of 160x50 characters (script).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

build=1
micro=1
for arg in "$@"; do
  case "$arg" in
    --no-build) build=0 ;;
    --quick) micro=0 ;;
    *)
      echo "usage: scripts/bench.sh [--no-build] [--quick]" >&2
      exit 2
      ;;
  esac
done
runs="${RUNS:-3}"

if [ "$build" = 1 ]; then
  "$root/scripts/build.sh"
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORVANE_BENCH=ON -DKORVANE_TESTS=OFF \
    >/dev/null
  cmake --build build-bench -j "$(nproc 2>/dev/null || echo 2)" \
    --target korvane input_bench audio_bench palette_bench video_bench mveinfo_bench
fi
korvane="${KORVANE_BIN:-$root/build/src/korvane}"
[ -x "$korvane" ] || korvane="$root/build-bench/src/korvane"
korvane="$(realpath "$korvane")"
for tool in ffmpeg perl script stdbuf /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (run scripts/install-deps.sh)" >&2; exit 1; }
done

media="$root/build-bench/media"
work="$(mktemp -d /tmp/korvane-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$media"

# A movie of SIZE (WxH) named NAME: a pan and zoom over a fractal rendered at twice the size,
# with temporal grain, and a chord with vibrato, beats and hiss.
make_movie() {
  local name="$1" w="${2%x*}" h="${2#*x}"
  [ -s "$media/$name" ] && return 0
  echo "Generating $media/$name"
  ffmpeg -v error -nostdin -y \
    -f lavfi -i "mandelbrot=size=$((2 * w))x$((2 * h)):rate=25:maxiter=200,noise=alls=12:allf=t,zoompan=z='1.2+0.3*sin(on/60)':x='iw/2-(iw/zoom/2)+$((w / 6))*sin(on/40)':y='ih/2-(ih/zoom/2)+$((h / 6))*cos(on/50)':d=1:s=${w}x${h}:fps=25" \
    -f lavfi -i "aevalsrc='0.25*sin(2*PI*220*t)+0.2*sin(2*PI*331*t*(1+0.002*sin(3*t)))+0.15*sin(2*PI*1760*t)*lt(mod(t\,0.5)\,0.1)+0.05*(random(0)-0.5)|0.25*sin(2*PI*277*t)+0.2*sin(2*PI*440*t)+0.05*(random(1)-0.5)':s=44100:d=10" \
    -t 10 -c:v libx264 -preset medium -crf 20 -pix_fmt yuv420p -c:a aac -b:a 160k -ac 2 \
    "$media/$name.tmp.mp4"
  mv "$media/$name.tmp.mp4" "$media/$name"
}
make_movie m640.mp4 640x480
make_movie m320.mp4 320x240
# The 640x480 movie again as Motion JPEG with PCM sound in AVI, the classic kind of source.
if [ ! -s "$media/m640-mjpeg.avi" ]; then
  ffmpeg -v error -nostdin -y -i "$media/m640.mp4" -c:v mjpeg -q:v 3 -c:a pcm_s16le \
    "$media/m640-mjpeg.tmp.avi"
  mv "$media/m640-mjpeg.tmp.avi" "$media/m640-mjpeg.avi"
fi

# Reads the program's output as it arrives and prints "FRAMES SECONDS BYTES BEFORE WHOLE": the
# frames of pass 2, the time from "Pass 2. Making MVE." to "Done.", the bytes of output seen, the
# time from the start to "Pass 2. Making MVE." (opening the movie and pass 1), and the time to
# the end of the output.
cat >"$work/events.pl" <<'EOF'
use strict; use Time::HiRes qw(time);
my $begin = time();
my ($buf, $tail, $start, $end, $frames, $bytes) = ('', '', 0, 0, 0, 0);
while (sysread(STDIN, $buf, 1 << 16)) {
  my $now = time(); $bytes += length($buf);
  my $text = $tail . $buf; $tail = substr($text, -64);
  $frames = $2 - $1 + 1 if $text =~ /Processing frames from (\d+) to (\d+)/;
  $start = $now if !$start && $text =~ /Pass 2\. Making MVE\./;
  $end = $now if $start && !$end && $text =~ /Done\./;
}
printf "%d %.4f %d %.4f %.4f\n", $frames, ($start && $end) ? $end - $start : -1, $bytes,
  $start ? $start - $begin : -1, time() - $begin;
EOF

# run LABEL ARGS...: one conversion; sets FRAMES, SECS, RSS_MB, OUT_BYTES and fails loudly.
run() {
  local label="$1"
  shift
  local result status
  set +e
  result="$(/usr/bin/time -f "%M %U %S" -o "$work/rss" stdbuf -o0 "$korvane" "$@" 2>"$work/stderr" |
    perl "$work/events.pl")"
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" != 0 ]; then
    echo "$label: korvane failed (status $status)" >&2
    cat "$work/stderr" >&2
    exit 1
  fi
  read -r FRAMES SECS OUT_BYTES BEFORE_SECS WHOLE_SECS <<<"$result"
  RSS_MB=$(awk 'END {printf "%.1f", $1 / 1024}' "$work/rss")
  CPU_SECS=$(awk 'END {printf "%.2f", $2 + $3}' "$work/rss")
}

# run_pty LABEL ARGS...: the same inside a pseudo-terminal of 160x50 characters.
run_pty() {
  local label="$1"
  shift
  local command="stty cols 160 rows 50; exec stdbuf -o0"
  for a in "$korvane" "$@"; do command+=" $(printf '%q' "$a")"; done
  local result status
  set +e
  result="$(script -qfec "$command" /dev/null </dev/null | perl "$work/events.pl")"
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" != 0 ]; then
    echo "$label: korvane failed in the pseudo-terminal (status $status)" >&2
    exit 1
  fi
  read -r FRAMES SECS OUT_BYTES BEFORE_SECS WHOLE_SECS <<<"$result"
  RSS_MB="" CPU_SECS=""
}

# pair RUNNER ARRAY_A ARRAY_B ROUNDS: runs A and B alternately ROUNDS times each (so that changing load
# touches both alike); sets A_SECS and B_SECS (the shortest pass 2 of each) and B_BYTES.
pair() {
  local runner="$1" rounds="$4"
  local -n args_a="$2" args_b="$3"
  A_SECS="" B_SECS=""
  for ((i = 0; i < rounds; ++i)); do
    "$runner" "$2" "${args_a[@]}"
    if [ -z "$A_SECS" ] || awk -v a="$SECS" -v b="$A_SECS" 'BEGIN{exit !(a < b)}'; then A_SECS="$SECS"; fi
    "$runner" "$3" "${args_b[@]}"
    if [ -z "$B_SECS" ] || awk -v a="$SECS" -v b="$B_SECS" 'BEGIN{exit !(a < b)}'; then B_SECS="$SECS"; fi
    B_BYTES="$OUT_BYTES"
  done
}

rows=()
row() { rows+=("$(printf '%-46s %14s  %s' "$1" "$2" "$3")"); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", a / b}'; }

echo "Machine: $(nproc) cores; load before: $(cut -d" " -f1-3 /proc/loadavg); best of $runs runs"
echo "(CPU: user + system seconds of the whole process, every thread, including opening the movie)"
cd "$work"
for size in 640 320; do
  movie="$media/m$size.mp4"
  dims=$([ "$size" = 640 ] && echo 640x480 || echo 320x240)
  # A whole conversion (both passes) gives the palette for the pass-2 runs and the memory figure.
  # -classic makes its own palette: its pass 2 is timed with it.
  run "$size full" "$movie" full.mve
  peak="$RSS_MB"
  cp full.pal "p$size.pal"
  palette_share=$(awk -v a="$BEFORE_SECS" -v b="$WHOLE_SECS" 'BEGIN{printf "%.1f", 100 * a / b}')
  palette_note="${BEFORE_SECS}s of ${WHOLE_SECS}s"
  run "$size full -classic" "$movie" full.mve -classic
  cp full.pal "c$size.pal"
  classic_share=$(awk -v a="$BEFORE_SECS" -v b="$WHOLE_SECS" 'BEGIN{printf "%.1f", 100 * a / b}')
  classic_note="${BEFORE_SECS}s of ${WHOLE_SECS}s"

  # Pass 2 alone for every method, in rounds (each round runs every method once), so that
  # a change of load touches all methods alike; the best round of each method counts.
  declare -A secs=() cpu=()
  for ((round = 0; round < runs; ++round)); do
    for method in default -hq -dither -old -ns -classic; do
      extra=()
      [ "$method" != default ] && extra=("$method")
      palette="p$size.pal"
      [ "$method" = -classic ] && palette="c$size.pal"
      run "$size $method" "$movie" out.mve -p "$palette" "${extra[@]}"
      if [ -z "${secs[$method]:-}" ] || awk -v a="$SECS" -v b="${secs[$method]}" 'BEGIN{exit !(a < b)}'; then
        secs[$method]="$SECS"
      fi
      if [ -z "${cpu[$method]:-}" ] || awk -v a="$CPU_SECS" -v b="${cpu[$method]}" 'BEGIN{exit !(a < b)}'; then
        cpu[$method]="$CPU_SECS"
      fi
      peak=$(awk -v a="$RSS_MB" -v b="$peak" 'BEGIN{print (a > b) ? a : b}')
    done
  done
  fps_of() { awk -v f="$FRAMES" -v s="${secs[$1]}" 'BEGIN{printf "%.0f", f / s}'; }
  [ "$size" = 640 ] && def640_secs="${secs[default]}"
  row "$dims default, pass 2" "$(fps_of default) fps" \
    "${secs[default]}s for $FRAMES frames; CPU ${cpu[default]}s"
  row "$dims -hq, pass 2" "$(fps_of -hq) fps" \
    "$(ratio "${secs[-hq]}" "${secs[default]}")x the default's time; CPU ${cpu[-hq]}s"
  row "$dims -dither, pass 2" "$(fps_of -dither) fps" "${secs[-dither]}s; CPU ${cpu[-dither]}s"
  row "$dims -old, pass 2" "$(fps_of -old) fps" "${secs[-old]}s; CPU ${cpu[-old]}s"
  row "$dims -classic, pass 2" "$(fps_of -classic) fps" \
    "the default takes $(ratio "${secs[default]}" "${secs[-classic]}")x its time; CPU ${cpu[-classic]}s"
  row "$dims palette pass's share of a whole conversion" "$palette_share %" \
    "$palette_note; -classic: $classic_share % ($classic_note)"
  share=$(awk -v a="${secs[default]}" -v b="${secs[-ns]}" 'BEGIN{printf "%.1f", 100 * (a - b) / a}')
  row "$dims sound's share of pass 2 (vs -ns)" "$share %" \
    "${secs[default]}s with sound, ${secs[-ns]}s with -ns"
  row "$dims peak memory (any method, both passes)" "$peak MB" ""
  unset secs cpu
done

# The old method with that source: how much its figure depends on the source's decoding.
old_best=""
for ((round = 0; round < runs; ++round)); do
  run "mjpeg -old" "$media/m640-mjpeg.avi" out.mve -p p640.pal -old
  if [ -z "$old_best" ] || awk -v a="$SECS" -v b="$old_best" 'BEGIN{exit !(a < b)}'; then old_best="$SECS"; fi
done
row "640x480 -old, pass 2, Motion JPEG source" \
  "$(awk -v f="$FRAMES" -v s="$old_best" 'BEGIN{printf "%.0f", f / s}') fps" "${old_best}s"


movie="$media/m320.mp4"
plain=("$movie" out.mve -p p320.pal)
playing=("$movie" out.mve -p p320.pal -play)
pair run_pty plain playing $((2 * runs))
slower=$(awk -v a="$B_SECS" -v b="$A_SECS" 'BEGIN{printf "%.1f", 100 * (a - b) / b}')
row "320x240 -play overhead (pseudo-terminal)" "$slower %" \
  "${B_SECS}s vs ${A_SECS}s, $((B_BYTES / 1024)) KiB drawn"

if [ "$micro" = 1 ]; then
  bench="$root/build-bench/bench"
  # min_real MICROBENCH NAME: the best real time of NAME in seconds (from CSV output).
  min_real() {
    awk -F, -v n="\"$2\"" '$1 == n {
        t = $3; u = $5; s = (u == "ns") ? 1e-9 : (u == "us") ? 1e-6 : (u == "ms") ? 1e-3 : 1;
        if (best == "" || t * s < best) best = t * s }
      END { printf "%.6f", best }' "$1"
  }
  reps=(--benchmark_repetitions="$runs" --benchmark_format=csv)
  "$bench/palette_bench" "${reps[@]}" >"$work/palette.csv" 2>/dev/null
  fps() { awk -v s="$1" 'BEGIN{printf "%.0f", 1 / s}'; }
  for arg in 0 1; do
    kind=$([ "$arg" = 0 ] && echo "default" || echo "-classic")
    row "palette ($kind): counting a 640x480 frame" "$(fps "$(min_real "$work/palette.csv" BM_CountFrame/$arg)") fps" ""
    row "palette ($kind): plain mapping (warm map)" "$(fps "$(min_real "$work/palette.csv" BM_MapFrameWarm/$arg)") fps" ""
    row "palette ($kind): dithered mapping" "$(fps "$(min_real "$work/palette.csv" BM_MapFrameDithered/$arg)") fps" ""
    build=$(awk -v s="$(min_real "$work/palette.csv" BM_BuildPalette/$arg)" 'BEGIN{printf "%.1f", 1000 * s}')
    row "palette ($kind): building the palette from a frame's counts" "$build ms" ""
    cold=$(awk -v s="$(min_real "$work/palette.csv" BM_ColdInverseMap/$arg)" 'BEGIN{printf "%.1f", 1000 * s}')
    row "palette ($kind): cold inverse map (256 colours)" "$cold ms" ""
  done

  "$bench/audio_bench" --benchmark_repetitions="$runs" --benchmark_filter=SoundPath \
    --benchmark_format=csv >"$work/audio.csv" 2>/dev/null
  sound=$(min_real "$work/audio.csv" "BM_SoundPath/aac:1/real_time")
  row "640x480 sound path (AAC) / default pass 2" \
    "$(awk -v a="$sound" -v b="$def640_secs" 'BEGIN{printf "%.2f %%", 100 * a / b}')" \
    "$(awk -v a="$sound" 'BEGIN{printf "%.1f ms per 10 s of sound", 1000 * a}')"

  "$bench/input_bench" --movie="$media/m640.mp4" --benchmark_repetitions="$runs" \
    >"$work/input.txt" 2>/dev/null
  row "640x480 reading / ffmpeg tool (1 thread each)" "$(awk '/^input_ratio/ {print $2}' "$work/input.txt")" \
    "$(grep '^Best MovieSource' "$work/input.txt" | sed 's/^Best //')"

  # mveinfo's exports on the 640x480 movie converted with the default method (250 frames), and
  # the sheet of a 10-minute movie made of its frame chunks repeated 60 times.
  "$korvane" "$media/m640.mp4" "$work/mveinfo640.mve" -p "$work/p640.pal" -ns >/dev/null
  "$bench/mveinfo_bench" --mve="$work/mveinfo640.mve" --benchmark_repetitions="$runs" \
    --benchmark_format=csv >"$work/mveinfo.csv" 2>/dev/null
  row "mveinfo --frames 640x480, no PNG encoding" \
    "$(fps "$(awk -v s="$(min_real "$work/mveinfo.csv" "BM_PlayFrames/min_time:3.000/real_time")" 'BEGIN{print s / 250}')") fps" ""
  row "mveinfo --frames 640x480, PNG encoding" \
    "$(fps "$(awk -v s="$(min_real "$work/mveinfo.csv" "BM_ExportFramesPng/min_time:5.000/real_time")" 'BEGIN{print s / 250}')") fps" ""
  row "mveinfo --sheet, 10-minute 640x480 movie" \
    "$(awk -v s="$(min_real "$work/mveinfo.csv" "BM_SheetTenMinutes/iterations:3/real_time")" 'BEGIN{printf "%.2f s", s}')" ""
fi

echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-46s %14s  %s\n' "Measurement" "Figure" "Detail"
printf '%s\n' "${rows[@]}"
