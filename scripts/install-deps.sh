#!/usr/bin/env bash
# Installs everything KORVANE needs to build and test on a Debian machine.
# Does nothing when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  ffmpeg
  libgtest-dev googletest libbenchmark-dev
  time
  man-db groff-base dpkg-dev
  clang libclang-rt-14-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
