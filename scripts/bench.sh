#!/usr/bin/env bash
# Times twinwarp end to end beside what a user might run instead, in one run:
#
#   twinwarp, plain and equirectangular;
#   an ffmpeg filter graph doing the same job (crop, bilinear scale, v360 for
#   the equirectangular view, hstack, MPEG-4 at a comparable quality), once on
#   one thread and once with ffmpeg's default threads;
#   the floor: OpenCV decoding both clips and encoding twinwarp's own output
#   frames, with no other work; counted once as its timed loop alone and once
#   with the start-up and exit that any program on OpenCV pays (the time of
#   the same program loading its libraries and exiting at once).
#
# Usage: scripts/bench.sh [frames] [rounds]   (defaults: 90 frames, 3 rounds)
# The 1080p H.264 test clips are made once with ffmpeg and kept in
# build/bench-data. Rounds are interleaved; each figure is the best round.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${build_packages[@]}" ffmpeg time

frames=${1:-90}
rounds=${2:-3}

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target twinwarp codec_floor

data=build/bench-data
mkdir -p "$data"
cam1=$data/cam1-$frames.mp4
cam2=$data/cam2-$frames.mp4
[ -s "$cam1" ] || ffmpeg -v error -y -f lavfi -i "testsrc2=size=1920x1080:rate=30" \
    -frames:v "$frames" -c:v libx264 -pix_fmt yuv420p "$cam1"
[ -s "$cam2" ] || ffmpeg -v error -y -f lavfi -i "mandelbrot=size=1920x1080:rate=30" \
    -frames:v "$frames" -c:v libx264 -pix_fmt yuv420p "$cam2"

config=$data/pair.cfg
printf 'camera 1\n%s\nX 960, Y 540, R 600\nstart 0\ncamera 2\n%s\nX 960, Y 540, R 600\nstart 0\n' \
    "$cam1" "$cam2" >"$config"

# The same job as an ffmpeg graph: R 600 scales to 490, so the square is
# 980 x 980 from column 470, row 50.
square="crop=980:980:470:50,scale=2000:2000:flags=bilinear"
v360="v360=input=fisheye:output=equirect:ih_fov=91.673:iv_fov=91.673:h_fov=90:v_fov=90:interp=near:w=2000:h=2000"
# Sets cmd to the ffmpeg command for threads (1 or default), mode (plain or
# equirect) and output.
ffmpeg_command() {
    local eye=$square one=()
    [ "$2" = equirect ] && eye="$square,$v360"
    [ "$1" = 1 ] && one=(-threads 1)
    cmd=(ffmpeg -v error -y)
    [ "$1" = 1 ] && cmd+=(-filter_threads 1 -filter_complex_threads 1)
    cmd+=("${one[@]}" -i "$cam1" "${one[@]}" -i "$cam2"
          -filter_complex "[0:v]$eye[a];[1:v]$eye[b];[a][b]hstack"
          -c:v mpeg4 -q:v 3 "${one[@]}" "$3")
}

declare -A best_time best_mem
names=(twinwarp_plain twinwarp_equirect ffmpeg1_plain ffmpeg1_equirect ffmpeg_plain ffmpeg_equirect floor startup)

run_one() {  # name
    local out=$data/out-$1.mp4 log=$data/time-$1.txt seconds mem
    case $1 in
        twinwarp_plain) cmd=(build/twinwarp "$config" "$out") ;;
        twinwarp_equirect) cmd=(build/twinwarp "$config" "$out" 1) ;;
        ffmpeg1_plain) ffmpeg_command 1 plain "$out" ;;
        ffmpeg1_equirect) ffmpeg_command 1 equirect "$out" ;;
        ffmpeg_plain) ffmpeg_command default plain "$out" ;;
        ffmpeg_equirect) ffmpeg_command default equirect "$out" ;;
        floor) cmd=(build/bench/codec_floor "$cam1" "$cam2" "$data/out-twinwarp_plain.mp4" "$out") ;;
        startup) cmd=(build/bench/codec_floor) ;;  # loads OpenCV, prints its usage, exits
    esac
    /usr/bin/time -f "%e %M" -o "$log" "${cmd[@]}" >"$data/stdout-$1.txt" 2>/dev/null || [ "$1" = startup ]
    read -r seconds mem < <(tail -n 1 "$log")  # after time's note of a non-zero status
    # The floor counts only its timed part, not the preload of the frames.
    [ "$1" = floor ] && seconds=$(awk '{print $(NF-1)}' "$data/stdout-$1.txt")
    echo "$seconds" >"$data/last-$1.txt"
    if [ -z "${best_time[$1]:-}" ] || awk "BEGIN{exit !($seconds < ${best_time[$1]})}"; then
        best_time[$1]=$seconds
    fi
    if [ -z "${best_mem[$1]:-}" ] || [ "$mem" -gt "${best_mem[$1]}" ]; then
        best_mem[$1]=$mem
    fi
}

for round in $(seq "$rounds"); do
    echo "round $round of $rounds"
    for name in "${names[@]}"; do
        run_one "$name"
        printf '  %-18s %6.2f s\n' "$name" "$(cat "$data/last-$name.txt")"
    done
done

ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
echo
echo "$frames frame pairs of 1080p H.264, best of $rounds rounds ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
printf '%-18s %8s %8s %12s\n' "" seconds "fps" "peak MB"
for name in "${names[@]}"; do
    mem=${best_mem[$name]}
    [ "$name" = floor ] && mem="-"
    [ "$mem" != "-" ] && mem=$((mem / 1024))
    fps=$(awk "BEGIN{printf \"%.1f\", $frames / ${best_time[$name]}}")
    [ "$name" = startup ] && fps="-"
    printf '%-18s %8.2f %8s %12s\n' "$name" "${best_time[$name]}" "$fps" "$mem"
done
floor_whole=$(awk "BEGIN{print ${best_time[floor]} + ${best_time[startup]}}")
echo
echo "twinwarp time / other time (below 1: twinwarp is faster)"
printf '  plain vs floor, with start-up:       %s\n' "$(ratio "${best_time[twinwarp_plain]}" "$floor_whole")"
printf '  plain vs floor, timed loop alone:    %s\n' "$(ratio "${best_time[twinwarp_plain]}" "${best_time[floor]}")"
printf '  plain vs ffmpeg, one thread:         %s\n' "$(ratio "${best_time[twinwarp_plain]}" "${best_time[ffmpeg1_plain]}")"
printf '  equirect vs ffmpeg, one thread:      %s\n' "$(ratio "${best_time[twinwarp_equirect]}" "${best_time[ffmpeg1_equirect]}")"
printf '  plain vs ffmpeg, default threads:    %s\n' "$(ratio "${best_time[twinwarp_plain]}" "${best_time[ffmpeg_plain]}")"
printf '  equirect vs ffmpeg, default threads: %s\n' "$(ratio "${best_time[twinwarp_equirect]}" "${best_time[ffmpeg_equirect]}")"
