#!/usr/bin/env bash
# Builds twinwarp, renders synthetic footage of a two-camera fisheye rig,
# merges it in both modes and writes stills of the results:
#
#   demo/sample/   the two camera clips, a still of each and pair.cfg
#   demo/out/      side_by_side.mp4, equirect.mp4 and a PNG frame of each
#   docs/          demo-side-by-side.png, demo-equirect.png, demo-cam1.png
#                  (scaled down for the README)
#
# Safe to run again: the footage is rendered only when it is missing or older
# than the tool that renders it; the merged videos and stills are remade.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

ensure_packages "${build_packages[@]}" ffmpeg

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target twinwarp make_sample_footage

sample=demo/sample
out=demo/out
still_frame=30    # the output frame shown in the stills
readme_width=1200

footage_current() {
    local f
    for f in cam1.mp4 cam2.mp4 cam1.png cam2.png pair.cfg; do
        [ "$sample/$f" -nt build/tools/make_sample_footage ] || return 1
    done
}

if footage_current; then
    echo "footage in $sample is up to date"
else
    build/tools/make_sample_footage "$sample"
fi

mkdir -p "$out" docs
build/twinwarp "$sample/pair.cfg" "$out/side_by_side.mp4"
build/twinwarp "$sample/pair.cfg" "$out/equirect.mp4" 1

# One frame of a video as a PNG.
frame_png() {
    ffmpeg -v error -y -i "$1" -vf "select=eq(n\\,$still_frame)" -frames:v 1 "$2"
}

# A copy of an image scaled to the given width, reduced to 256 colours: the
# pictures are flat colours and lines, and stay small enough for the README.
small_png() {
    ffmpeg -v error -y -i "$1" \
        -vf "scale=$3:-2:flags=area,split[a][b];[a]palettegen=stats_mode=full[p];[b][p]paletteuse=dither=none" \
        "$2"
}

frame_png "$out/side_by_side.mp4" "$out/side_by_side.png"
frame_png "$out/equirect.mp4" "$out/equirect.png"
small_png "$out/side_by_side.png" docs/demo-side-by-side.png "$readme_width"
small_png "$out/equirect.png" docs/demo-equirect.png "$readme_width"
small_png "$sample/cam1.png" docs/demo-cam1.png 960

echo
echo "camera footage and pair configuration: $sample/"
echo "merged videos: $out/side_by_side.mp4, $out/equirect.mp4"
echo "frame $still_frame of each: $out/side_by_side.png, $out/equirect.png"
echo "README pictures: docs/demo-side-by-side.png, docs/demo-equirect.png, docs/demo-cam1.png"
