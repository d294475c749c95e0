#!/usr/bin/env bash
# Installs, builds and runs the whole test suite: a formatting check, the Release build (warnings
# are errors), an installation into a temporary prefix with its man pages and the Debian package,
# the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer, the multi-threaded
# tests under ThreadSanitizer, and a fuzzing run of each fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/install-deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)

echo "== Formatting (clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKORVANE_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== Installing into a temporary prefix: the programs, the man pages, the Debian package"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix"
ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=1 -f lavfi \
  -i sine=sample_rate=22050:duration=1 -c:v mjpeg -q:v 2 -c:a pcm_s16le -ac 1 "$prefix/movie.avi"
(cd "$prefix" && "$prefix/bin/korvane" movie.avi movie.mve >/dev/null)
"$prefix/bin/mveinfo" "$prefix/movie.mve" | grep -q "^Faults: none$"
"$prefix/bin/korvane" --version
for page in korvane mveinfo; do
  # Renders without a warning, with its sections.
  warnings="$(MANWIDTH=80 man --warnings=all -l "$prefix/share/man/man1/$page.1" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || { echo "$warnings"; exit 1; }
  MANWIDTH=80 man -l "$prefix/share/man/man1/$page.1" | grep -q "^EXIT STATUS"
done
(cd build && rm -f ./*.deb && cpack -G DEB >/dev/null)
dpkg-deb --info build/korvane_*.deb
dpkg-deb --contents build/korvane_*.deb

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE=ON \
  -DKORVANE_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer: the worker pool, the encoder at every thread count, the pipeline, mapping"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_TSAN=ON -DKORVANE_WERROR=ON \
  >/dev/null
cmake --build build-tsan -j "$jobs" --target video_tests driver_tests palette_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
  -R '^(WorkerPoolTest|FrameEncoderTest|FramePipeline|FrameQueue|ExactEncoder)\.|^InverseColorMap\.MappingFromManyThreads'

echo "== Fuzzing for 60 seconds each: the MVE inspector, the RIFF sound-header reader and the"
echo "   palette-file loader (clang, libFuzzer, sanitizers)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_FUZZ=ON -DKORVANE_SANITIZE=ON >/dev/null
cmake --build build-fuzz --target mveinfo_fuzz riff_audio_fuzz palette_file_fuzz -j "$jobs"
# Seeds: small movies, a sound file and palettes written by the korvane just built and by ffmpeg.
fuzz="$root/build-fuzz/fuzz-run"
rm -rf "$fuzz"
mkdir -p "$fuzz/make"
for target in mveinfo riff_audio palette_file; do mkdir -p "$fuzz/$target/seeds" "$fuzz/$target/corpus"; done
ffmpeg -v error -y -f lavfi -i testsrc=size=32x32:rate=5:duration=1 -f lavfi \
  -i sine=sample_rate=8000:duration=1 -c:v mjpeg -q:v 2 -c:a pcm_s16le -ac 1 "$fuzz/make/tiny.avi"
ffmpeg -v error -y -f lavfi -i sine=sample_rate=8000:duration=0.1 -c:a adpcm_ms "$fuzz/make/tiny.wav"
(cd "$fuzz/make" && "$root/build/src/korvane" tiny.avi sound.mve >/dev/null &&
  "$root/build/src/korvane" tiny.avi silent.mve -ns -old -act >/dev/null)
cp "$fuzz/make/"*.mve "$fuzz/mveinfo/seeds/"
cp "$fuzz/make/tiny.avi" "$fuzz/make/tiny.wav" "$fuzz/riff_audio/seeds/"
cp "$fuzz/make/sound.pal" "$fuzz/make/silent.act" "$fuzz/palette_file/seeds/"
# The longer ACT form: a colour count of 16 and no transparent colour.
cat "$fuzz/make/silent.act" <(printf '\000\020\377\377') >"$fuzz/palette_file/seeds/counted.act"
for target in mveinfo riff_audio palette_file; do
  echo "-- ${target}_fuzz"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$root/build-fuzz/tests/${target}_fuzz" -max_total_time=60 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$fuzz/$target/" "$fuzz/$target/corpus" "$fuzz/$target/seeds"
done
