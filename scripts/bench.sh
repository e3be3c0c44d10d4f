#!/usr/bin/env bash
# Times twinwarp end to end beside what a user might run instead, in one run,
# on two pairs of clips: 1080p H.264 (what the suite's figures have always
# used) and 3840 x 2160 HEVC 10-bit with an AAC sound track (what an action
# camera records). For each pair:
#
#   twinwarp, plain and equirectangular;
#   an ffmpeg filter graph doing the same job (crop, bilinear scale, v360 for
#   the equirectangular view, hstack, MPEG-4 at a comparable quality), once on
#   one thread and once with ffmpeg's default threads;
#   the floor: OpenCV decoding both clips and encoding twinwarp's own output
#   frames, with no other work; counted once as its timed loop alone and once
#   with the start-up and exit that any program on OpenCV pays (the time of
#   the same program loading its libraries and exiting at once);
#   the encoder alone: OpenCV's writer encoding twinwarp's own output frames
#   from memory, its timed loop alone.
#
# Then pairsetup --circle, beside the start-up that any program on OpenCV
# pays, on a 3840 x 2160 photo and on a 10-minute 3840 x 2160 H.264 video
# with a keyframe every second (as action cameras record), both of a disc
# of radius 1500 cut by the frame.
#
# Then pairsetup's whole configuration beside twinwarp's plain merge of the
# same pair: two 5-minute 1080p H.264 clips with AAC sound, each camera its
# own scene through the fisheye, started 1.5 s apart, with a shared clap.
#
# Each merge run is measured from outside by bench/thread_cpu: its wall time,
# its peak memory and the CPU time of each of its threads, from which the
# table of where the CPU goes and what more cores would give is made.
#
# Usage: scripts/bench.sh [frames] [rounds] [what]
#   (defaults: 90 frames, 3 rounds; what: all, merge, circle or setup)
#   TWINWARP_BASELINE=/path/to/twinwarp sets another build beside this one,
#   in the same interleaved rounds.
# The clips are made once with ffmpeg and kept in build/bench-data. Rounds
# are interleaved; each figure is the best round.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${build_packages[@]}" ffmpeg time

frames=${1:-90}
rounds=${2:-3}
what=${3:-all}
case $what in all | merge | circle | setup) ;; *) echo "usage: scripts/bench.sh [frames] [rounds] [all|merge|circle|setup]" >&2; exit 2 ;; esac

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target twinwarp codec_floor thread_cpu pairsetup

data=build/bench-data
mkdir -p "$data"
if [ "$what" = all ] || [ "$what" = merge ]; then
tone="sine=frequency=440:sample_rate=48000"
for cam in 1 2; do
    pattern=testsrc2
    [ "$cam" = 2 ] && pattern=mandelbrot
    # (Mandelbrot is drawn at 1080p and scaled: at 2160p it takes minutes.)
    uhd="$pattern=size=3840x2160:rate=30"
    [ "$cam" = 2 ] && uhd="$pattern=size=1920x1080:rate=30,scale=3840:2160"
    clip=$data/hd-cam$cam-$frames.mp4
    [ -s "$clip" ] || ffmpeg -v error -y -f lavfi -i "$pattern=size=1920x1080:rate=30" \
        -frames:v "$frames" -c:v libx264 -pix_fmt yuv420p "$clip"
    clip=$data/uhd-cam$cam-$frames.mp4
    [ -s "$clip" ] || ffmpeg -v error -y -f lavfi -i "$uhd" \
        -f lavfi -i "$tone" -frames:v "$frames" -c:v libx265 -preset ultrafast \
        -x265-params log-level=error -pix_fmt yuv420p10le -tag:v hvc1 -c:a aac -shortest "$clip"
done

# Per pair: its clips, its circle line and the same square as an ffmpeg
# crop (R scaled by 180 / 220, a square of twice that around the centre).
declare -A pair_circle pair_crop pair_title
pair_circle[hd]="X 960, Y 540, R 600"
pair_crop[hd]="980:980:470:50"
pair_title[hd]="1080p H.264"
pair_circle[uhd]="X 1920, Y 1080, R 1200"
pair_crop[uhd]="1962:1962:939:99"
pair_title[uhd]="2160p HEVC 10-bit with sound"
pairs=(hd uhd)

v360="v360=input=fisheye:output=equirect:ih_fov=91.673:iv_fov=91.673:h_fov=90:v_fov=90:interp=near:w=2000:h=2000"
# Sets cmd to the ffmpeg command for pair, threads (1 or default), mode
# (plain or equirect) and output.
ffmpeg_command() {
    local eye="crop=${pair_crop[$1]},scale=2000:2000:flags=bilinear" one=()
    [ "$3" = equirect ] && eye="$eye,$v360"
    [ "$2" = 1 ] && one=(-threads 1)
    cmd=(ffmpeg -v error -y)
    [ "$2" = 1 ] && cmd+=(-filter_threads 1 -filter_complex_threads 1)
    cmd+=("${one[@]}" -i "$data/$1-cam1-$frames.mp4" "${one[@]}" -i "$data/$1-cam2-$frames.mp4"
          -filter_complex "[0:v]$eye[a];[1:v]$eye[b];[a][b]hstack"
          -c:v mpeg4 -q:v 3 "${one[@]}" "$4")
}

declare -A best_time best_mem best_threads
names=(twinwarp_plain twinwarp_equirect ffmpeg1_plain ffmpeg1_equirect ffmpeg_plain ffmpeg_equirect
       floor encoder startup)
# Another build of twinwarp to set beside this one in the same rounds (the
# parent commit's, say): TWINWARP_BASELINE=/path/to/twinwarp.
baseline=${TWINWARP_BASELINE:-}
[ -n "$baseline" ] && names=(baseline_plain baseline_equirect "${names[@]}")

# One run's threads from thread_cpu's report, as
#   total reader1 reader2 writer pools busiest busiest_role
# in CPU seconds. twinwarp's writer is its main thread and each camera's
# reader the first thread named for it; the threads those start (OpenCV's
# pool, the decoders' and the encoder's) are the pools. Another program's
# threads are all counted as pools but for its main thread.
thread_summary() {
    awk '
        /^thread/ {
            cpu = $NF; name = $4; total += cpu; role = "pools"
            if ($3 == 1) role = name ~ /^twinwarp/ ? "writer" : "main"
            else if (name ~ /-cam1$/ && !one) { role = "reader1"; one = 1 }
            else if (name ~ /-cam2$/ && !two) { role = "reader2"; two = 1 }
            sum[role] += cpu
            if (cpu > busiest) { busiest = cpu; busiest_role = role }
        }
        END {
            printf "%.2f %.2f %.2f %.2f %.2f %.2f %s\n", total, sum["reader1"], sum["reader2"],
                   sum["writer"], sum["pools"], busiest, busiest_role
        }' "$1"
}

run_one() {  # pair name
    local out=$data/out-$1-$2.mp4 log=$data/time-$1-$2.txt seconds mem key=$1/$2
    local config=$data/$1.cfg cam1=$data/$1-cam1-$frames.mp4 cam2=$data/$1-cam2-$frames.mp4
    case $2 in
        twinwarp_plain) cmd=(build/twinwarp "$config" "$out") ;;
        twinwarp_equirect) cmd=(build/twinwarp "$config" "$out" 1) ;;
        baseline_plain) cmd=("$baseline" "$config" "$out") ;;
        baseline_equirect) cmd=("$baseline" "$config" "$out" 1) ;;
        ffmpeg1_plain) ffmpeg_command "$1" 1 plain "$out" ;;
        ffmpeg1_equirect) ffmpeg_command "$1" 1 equirect "$out" ;;
        ffmpeg_plain) ffmpeg_command "$1" default plain "$out" ;;
        ffmpeg_equirect) ffmpeg_command "$1" default equirect "$out" ;;
        floor) cmd=(build/bench/codec_floor "$cam1" "$cam2" "$data/out-$1-twinwarp_plain.mp4" "$out") ;;
        encoder) cmd=(build/bench/codec_floor - - "$data/out-$1-twinwarp_plain.mp4" "$out") ;;
        startup) cmd=(build/bench/codec_floor) ;;  # loads OpenCV, prints its usage, exits
    esac
    build/bench/thread_cpu "$log" "${cmd[@]}" >"$data/stdout-$1-$2.txt" 2>/dev/null ||
        [ "$2" = startup ]
    seconds=$(awk '/^wall/ {print $2}' "$log")
    mem=$(awk '/^peak_kb/ {print $2}' "$log")
    # The floor and the encoder count only their timed part, not the preload
    # of the frames.
    case $2 in floor | encoder) seconds=$(awk '{print $(NF-1)}' "$data/stdout-$1-$2.txt") ;; esac
    echo "$seconds" >"$data/last-$1-$2.txt"
    if [ -z "${best_time[$key]:-}" ] || awk "BEGIN{exit !($seconds < ${best_time[$key]})}"; then
        best_time[$key]=$seconds
        best_threads[$key]=$(thread_summary "$log")
    fi
    if [ -z "${best_mem[$key]:-}" ] || [ "$mem" -gt "${best_mem[$key]}" ]; then
        best_mem[$key]=$mem
    fi
}

for pair in "${pairs[@]}"; do
    printf 'camera 1\n%s\n%s\nstart 0\ncamera 2\n%s\n%s\nstart 0\n' \
        "$data/$pair-cam1-$frames.mp4" "${pair_circle[$pair]}" \
        "$data/$pair-cam2-$frames.mp4" "${pair_circle[$pair]}" >"$data/$pair.cfg"
done

for round in $(seq "$rounds"); do
    echo "round $round of $rounds"
    for pair in "${pairs[@]}"; do
        for name in "${names[@]}"; do
            run_one "$pair" "$name"
            printf '  %-4s %-18s %6.2f s\n' "$pair" "$name" "$(cat "$data/last-$pair-$name.txt")"
        done
    done
done

ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
for pair in "${pairs[@]}"; do
    t() { echo "${best_time[$pair/$1]}"; }
    echo
    echo "$frames frame pairs of ${pair_title[$pair]}, best of $rounds rounds ($(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
    printf '%-18s %8s %8s %12s\n' "" seconds "fps" "peak MB"
    for name in "${names[@]}"; do
        mem=${best_mem[$pair/$name]}
        case $name in floor | encoder) mem="-" ;; esac
        [ "$mem" != "-" ] && mem=$((mem / 1024))
        fps=$(awk "BEGIN{printf \"%.1f\", $frames / $(t "$name")}")
        [ "$name" = startup ] && fps="-"
        printf '%-18s %8.2f %8s %12s\n' "$name" "$(t "$name")" "$fps" "$mem"
    done
    floor_whole=$(awk "BEGIN{print $(t floor) + $(t startup)}")
    echo
    echo "twinwarp time / other time (below 1: twinwarp is faster)"
    printf '  plain vs encoder alone:              %s\n' "$(ratio "$(t twinwarp_plain)" "$(t encoder)")"
    printf '  equirect vs encoder alone:           %s\n' "$(ratio "$(t twinwarp_equirect)" "$(t encoder)")"
    printf '  plain vs floor, with start-up:       %s\n' "$(ratio "$(t twinwarp_plain)" "$floor_whole")"
    printf '  plain vs floor, timed loop alone:    %s\n' "$(ratio "$(t twinwarp_plain)" "$(t floor)")"
    printf '  plain vs ffmpeg, one thread:         %s\n' "$(ratio "$(t twinwarp_plain)" "$(t ffmpeg1_plain)")"
    printf '  equirect vs ffmpeg, one thread:      %s\n' "$(ratio "$(t twinwarp_equirect)" "$(t ffmpeg1_equirect)")"
    printf '  plain vs ffmpeg, default threads:    %s\n' "$(ratio "$(t twinwarp_plain)" "$(t ffmpeg_plain)")"
    printf '  equirect vs ffmpeg, default threads: %s\n' "$(ratio "$(t twinwarp_equirect)" "$(t ffmpeg_equirect)")"
    echo "twinwarp peak memory / ffmpeg's with default threads"
    printf '  plain:                               %s\n' "$(ratio "${best_mem[$pair/twinwarp_plain]}" "${best_mem[$pair/ffmpeg_plain]}")"
    printf '  equirect:                            %s\n' "$(ratio "${best_mem[$pair/twinwarp_equirect]}" "${best_mem[$pair/ffmpeg_equirect]}")"

    # Where the CPU goes, thread by thread, in the best round. On N cores a
    # run takes about max(all / N, busiest): the busiest thread is the
    # ceiling on how much more cores can give.
    echo
    echo "CPU seconds by thread (best round); predicted seconds on N cores: max(all / N, busiest)"
    printf '%-18s %6s %8s %8s %6s %6s %8s %6s %8s %7s %7s %7s %7s\n' "" all "reader 1" "reader 2" writer pools \
        busiest share ceiling "N=2" "N=4" "N=8" "N=16"
    thread_names=(twinwarp_plain twinwarp_equirect ffmpeg_plain ffmpeg_equirect)
    [ -n "$baseline" ] && thread_names=(baseline_plain baseline_equirect "${thread_names[@]}")
    for name in "${thread_names[@]}"; do
        read -r all r1 r2 writer pools busiest role <<<"${best_threads[$pair/$name]}"
        case $name in ffmpeg*) r1=- r2=- writer=- ;; baseline*) r1=- r2=- ;; esac
        predicted=()
        for n in 2 4 8 16; do
            predicted+=("$(awk "BEGIN{a = $all / $n; printf \"%.2f\", (a > $busiest ? a : $busiest)}")")
        done
        printf '%-18s %6.2f %8s %8s %6s %6.2f %8s %5.0f%% %7.2fx %7s %7s %7s %7s\n' "$name" "$all" "$r1" "$r2" \
            "$writer" "$pools" "$busiest ($role)" "$(awk "BEGIN{print 100 * $busiest / $all}")" \
            "$(awk "BEGIN{print $all / $busiest}")" "${predicted[@]}"
    done
    echo "twinwarp's predicted time / ffmpeg's (default threads), on N = 2, 4, 8, 16 cores"
    for mode in plain equirect; do
        line="  $mode:"
        for n in 2 4 8 16; do
            line+=" $(awk -v t="${best_threads[$pair/twinwarp_$mode]}" -v f="${best_threads[$pair/ffmpeg_$mode]}" -v n=$n '
                BEGIN { split(t, a, " "); split(f, b, " ")
                        x = a[1] / n; if (x < a[6]) x = a[6]; y = b[1] / n; if (y < b[6]) y = b[6]
                        printf "%.2f", x / y }')"
        done
        echo "$line"
    done
done
fi

[ "$what" = merge ] && exit 0

if [ "$what" = all ] || [ "$what" = circle ]; then

# pairsetup --circle on a 4K photo and a 10-minute 4K video. The video is ten
# seconds rendered once, with a keyframe every second, and copied 60 times.
circle_r=1500
mask=$data/disc-$circle_r.png
[ -s "$mask" ] || ffmpeg -v error -y -f lavfi \
    -i "color=black:size=$((8 * circle_r))x$((8 * circle_r)),format=gray,geq=lum='255*lte(hypot(X+0.5-W/2\\,Y+0.5-H/2)\\,W/2)'" \
    -vf "scale=$((2 * circle_r)):$((2 * circle_r)):flags=area" -frames:v 1 "$mask"
ten_seconds=$data/uhd-disc-10s.mp4
[ -s "$ten_seconds" ] || ffmpeg -v error -y -f lavfi -i "testsrc2=size=2048x1024:rate=30" \
    -loop 1 -i "$mask" -f lavfi -i "color=black:size=3840x2160:rate=30" \
    -filter_complex "[0]v360=input=e:output=fisheye:h_fov=190:v_fov=190:w=$((2 * circle_r)):h=$((2 * circle_r)),format=rgb24[f];[1]format=gray[m];[f][m]alphamerge[fa];[2][fa]overlay=x=$((1920 - circle_r)):y=$((1080 - circle_r)):shortest=1:format=rgb" \
    -frames:v 300 -c:v libx264 -preset ultrafast -crf 28 -g 30 -pix_fmt yuv420p "$ten_seconds"
photo=$data/uhd-disc.png
[ -s "$photo" ] || ffmpeg -v error -y -i "$ten_seconds" -frames:v 1 "$photo"
long_video=$data/uhd-disc-10min.mp4
if [ ! -s "$long_video" ]; then
    for _ in $(seq 60); do echo "file '$(basename "$ten_seconds")'"; done >"$data/uhd-disc-list.txt"
    ffmpeg -v error -y -f concat -safe 0 -i "$data/uhd-disc-list.txt" -c copy "$long_video"
fi

declare -A circle_best
circle_names=(startup photo video)
for round in $(seq "$rounds"); do
    echo "pairsetup round $round of $rounds"
    for name in "${circle_names[@]}"; do
        case $name in
            startup) cmd=(build/pairsetup/pairsetup --version) ;;
            photo) cmd=(build/pairsetup/pairsetup --circle "$photo") ;;
            video) cmd=(build/pairsetup/pairsetup --circle "$long_video") ;;
        esac
        /usr/bin/time -f "%e %M" -o "$data/time-circle-$name.txt" "${cmd[@]}" \
            >"$data/stdout-circle-$name.txt" 2>"$data/stderr-circle-$name.txt"
        read -r seconds mem < <(tail -n 1 "$data/time-circle-$name.txt")
        printf '  %-8s %6.2f s  %s\n' "$name" "$seconds" "$(cat "$data/stdout-circle-$name.txt")"
        if [ -z "${circle_best[$name]:-}" ] || awk "BEGIN{exit !($seconds < ${circle_best[$name]})}"; then
            circle_best[$name]=$seconds
        fi
    done
done
echo
echo "pairsetup --circle, best of $rounds rounds (the disc: centre 1919.5, 1079.5 in pixel indices, R 1500)"
printf '  start-up alone (--version):         %6.2f s\n' "${circle_best[startup]}"
printf '  3840 x 2160 photo:                  %6.2f s\n' "${circle_best[photo]}"
printf '  10-minute 3840 x 2160 video:        %6.2f s\n' "${circle_best[video]}"
fi

[ "$what" = circle ] && exit 0

# pairsetup's whole configuration against twinwarp's plain merge of the pair.
setup_frames=9000
[ -s "$data/disc-500.png" ] || ffmpeg -v error -y -f lavfi \
    -i "color=black:size=8000x8000,format=gray,geq=lum='255*lte(hypot(X+0.5-W/2\\,Y+0.5-H/2)\\,W/2)'" \
    -vf "scale=1000:1000:flags=area" -frames:v 1 "$data/disc-500.png"
for cam in 1 2; do
    clip=$data/setup-cam$cam.mp4
    [ -s "$clip" ] && continue
    scene=testsrc2
    [ "$cam" = 2 ] && scene=testsrc
    start=$(( cam == 1 ? 45 : 0 ))
    ffmpeg -v error -y -f lavfi -i "$scene=size=2048x1024:rate=30" -loop 1 -i "$data/disc-500.png" \
        -f lavfi -i "color=black:size=1920x1080:rate=30" \
        -f lavfi -i "anoisesrc=c=pink:seed=42:a=0.05:r=48000" \
        -f lavfi -i "aevalsrc=exprs='0.9*sin(2*PI*1500*t)*exp(-abs(t-20)*60)*gte(t\\,20)':s=48000" \
        -f lavfi -i "anoisesrc=c=white:seed=$cam:a=0.03:r=48000" \
        -filter_complex "[0]v360=input=e:output=fisheye:h_fov=190:v_fov=190:w=1000:h=1000,format=rgb24[f];[1]format=gray[m];[f][m]alphamerge[fa];[2][fa]overlay=x=460:y=40:shortest=1:format=rgb,trim=start_frame=$start,setpts=PTS-STARTPTS[v];[3][4][5]amix=inputs=3:normalize=0,atrim=start_sample=$((start * 1600)),asetpts=PTS-STARTPTS[a]" \
        -map "[v]" -map "[a]" -frames:v "$setup_frames" -c:v libx264 -preset ultrafast -crf 23 \
        -pix_fmt yuv420p -c:a aac "$clip"
done
printf 'camera 1\n%s\nX 959, Y 539, R 500\nstart 0\ncamera 2\n%s\nX 959, Y 539, R 500\nstart 45\n' \
    "$data/setup-cam1.mp4" "$data/setup-cam2.mp4" >"$data/setup.cfg"
declare -A setup_best setup_mem
for round in $(seq "$rounds"); do
    echo "setup round $round of $rounds"
    for name in pairsetup twinwarp_plain; do
        case $name in
            pairsetup) cmd=(build/pairsetup/pairsetup "$data/setup-cam1.mp4" "$data/setup-cam2.mp4"
                            -o "$data/setup-found.cfg") ;;
            twinwarp_plain) cmd=(build/twinwarp "$data/setup.cfg" "$data/setup-merged.mp4") ;;
        esac
        /usr/bin/time -f "%e %M" -o "$data/time-setup-$name.txt" "${cmd[@]}" \
            >/dev/null 2>"$data/stderr-setup-$name.txt"
        read -r seconds mem < <(tail -n 1 "$data/time-setup-$name.txt")
        printf '  %-15s %7.2f s %6d MB\n' "$name" "$seconds" "$((mem / 1024))"
        if [ -z "${setup_best[$name]:-}" ] || awk "BEGIN{exit !($seconds < ${setup_best[$name]})}"; then
            setup_best[$name]=$seconds
        fi
        if [ -z "${setup_mem[$name]:-}" ] || [ "$mem" -gt "${setup_mem[$name]}" ]; then
            setup_mem[$name]=$mem
        fi
    done
done
echo
echo "pairsetup's configuration of a 5-minute 1080p pair with sound, best of $rounds rounds"
cat "$data/setup-found.cfg"
printf '  pairsetup:                          %7.2f s, peak %d MB\n' "${setup_best[pairsetup]}" "$((setup_mem[pairsetup] / 1024))"
printf '  twinwarp, plain merge of the pair:  %7.2f s\n' "${setup_best[twinwarp_plain]}"
printf '  pairsetup / twinwarp:               %7.3f\n' "$(awk "BEGIN{print ${setup_best[pairsetup]} / ${setup_best[twinwarp_plain]}}")"
