#!/usr/bin/env bash
# Builds the tools and runs the whole test suite. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# ffmpeg: the end-to-end tests inspect videos; xvfb, xdotool, imagemagick:
# lensrim is driven in a real window and photographed.
ensure_packages "${build_packages[@]}" ffmpeg xvfb xdotool imagemagick

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j2
