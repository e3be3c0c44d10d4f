#!/usr/bin/env bash
# Builds twinwarp, lensrim and pairsetup, renders synthetic footage of a
# two-camera fisheye rig (with sound: a clap at the moment of a flash, the
# cameras started 5 frames apart), fits the first camera's image circle with
# lensrim in a real window (on a private Xvfb display), prepares the pair
# configuration with pairsetup and checks it against the known one, merges
# the footage in both modes and writes stills of the results:
#
#   demo/sample/   the two camera clips, a still of each and pair.cfg
#   demo/out/      side_by_side.mp4, equirect.mp4 and a PNG frame of each;
#                  pairsetup's pair-found.cfg and its preview check.png
#   docs/          demo-side-by-side.png, demo-equirect.png, demo-cam1.png,
#                  lensrim-window.png, demo-preview.png (scaled down for
#                  the README)
#
# Safe to run again: the footage is rendered only when it is missing or older
# than the tool that renders it; the fit, the merged videos and the stills
# are remade.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# xvfb, xdotool, imagemagick: lensrim's window is driven and photographed.
ensure_packages "${build_packages[@]}" ffmpeg xvfb xdotool imagemagick

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target twinwarp lensrim pairsetup make_sample_footage

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

# Sound for both clips, as the cameras' microphones would record it: the
# room's hum and a clap at synced frame 60 (2 s), the moment of the flash
# that both cameras see, with a hiss of each microphone's own; camera 1 at
# 48 kHz, camera 2 at 44.1 kHz. The sound is cut from one recording at each
# camera's start (camera 2 started 5 frames earlier), and the clips' video
# is copied as it is.
has_sound() {
    [ -n "$(ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 "$1")" ]
}
for camera in 1 2; do
    clip=$sample/cam$camera.mp4
    has_sound "$clip" && continue
    lead_in=$(( camera == 1 ? 0 : 5 ))
    rate=$(( camera == 1 ? 48000 : 44100 ))
    ffmpeg -v error -y -i "$clip" \
        -f lavfi -i "anoisesrc=c=pink:seed=42:a=0.05:r=48000" \
        -f lavfi -i "aevalsrc=exprs='0.9*sin(2*PI*1500*t)*exp(-abs(t-3)*60)*gte(t\\,3)':s=48000" \
        -f lavfi -i "anoisesrc=c=white:seed=$camera:a=0.03:r=48000" \
        -filter_complex "[1][2][3]amix=inputs=3:normalize=0,atrim=start_sample=$(( (30 - lead_in) * 1600 )),asetpts=PTS-STARTPTS,aresample=$rate[a]" \
        -map 0:v -map "[a]" -c:v copy -c:a aac -shortest "$sample/cam$camera-sound.mp4"
    mv "$sample/cam$camera-sound.mp4" "$clip"
done

# ---------------------------------------------------------------------------
# Fitting camera 1's image circle with lensrim, as an operator would: on a
# private Xvfb display, the keys that take the circle from where lensrim
# starts it to pair.cfg's circle are typed into its window, the window is
# photographed, and "q" must make lensrim print pair.cfg's line exactly.

# lensrim takes at most one key per pass of its loop and OpenCV's Qt window
# keeps only the latest press, so the presses are spaced out: 20 ms apart
# was enough with both cores overloaded, and this leaves a margin.
key_delay_ms=40
# The toolbar and status bar of OpenCV's Qt window, in rows: a window this
# much taller than the photo shows the photo at its own size.
window_chrome_rows=80
# The circle is one photo pixel wide; when the screenshot is scaled down for
# the README, a block of pixels with any of the circle's pure red in it
# stays pure red so that the circle stays unbroken.
circle_red='#FF0000'

fit_dir=$(mktemp -d)
xvfb_pid=
lensrim_pid=

stop_fit() {
    local pid
    for pid in "$lensrim_pid" "$xvfb_pid"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    lensrim_pid=
    xvfb_pid=
}
trap 'stop_fit; rm -rf "$fit_dir"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fit_fail() {
    echo "lensrim fit of camera 1 failed: $*" >&2
    if [ -s "$fit_dir/lensrim.err" ]; then
        echo "lensrim's standard error:" >&2
        sed 's/^/  /' "$fit_dir/lensrim.err" >&2
    fi
    exit 1
}

circle_re='^X (-?[0-9]+), Y (-?[0-9]+), R ([0-9]+)$'
fit_line=$(sed -n 3p "$sample/pair.cfg")
[[ $fit_line =~ $circle_re ]] || fit_fail "line 3 of $sample/pair.cfg is not a circle: \"$fit_line\""
fit_x=${BASH_REMATCH[1]}
fit_y=${BASH_REMATCH[2]}
fit_r=${BASH_REMATCH[3]}

photo_size=$(identify -format '%w %h' "$sample/cam1.png")
read -r photo_w photo_h <<<"$photo_size"
# Where lensrim starts the circle: centred, a third of the shorter side.
start_x=$((photo_w / 2))
start_y=$((photo_h / 2))
start_r=$(((photo_w < photo_h ? photo_w : photo_h) / 3))

# One key name per pixel of difference: the radius first, then the centre.
keys=()
add_keys() {
    local i
    for ((i = 0; i < $2; i++)); do keys+=("$1"); done
}
if ((fit_r > start_r)); then add_keys plus $((fit_r - start_r)); else add_keys minus $((start_r - fit_r)); fi
if ((fit_x > start_x)); then add_keys 6 $((fit_x - start_x)); else add_keys 4 $((start_x - fit_x)); fi
if ((fit_y > start_y)); then add_keys 2 $((fit_y - start_y)); else add_keys 8 $((start_y - fit_y)); fi

# Xvfb picks a free display itself and writes its number once it accepts
# connections.
Xvfb -displayfd 3 -screen 0 "${photo_w}x$((photo_h + 2 * window_chrome_rows))x24" -nolisten tcp -noreset \
    3>"$fit_dir/display" >"$fit_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
display_number=
for _ in $(seq 300); do
    read -r display_number <"$fit_dir/display" && [ -n "$display_number" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fit_fail "Xvfb did not start: $(cat "$fit_dir/xvfb.log")"
    sleep 0.1
done
[ -n "$display_number" ] || fit_fail "Xvfb reported no display"

# Programs on that display only; XDG_RUNTIME_DIR spares Qt's complaint
# about a missing one. xdotool's chatter without a window manager goes to
# a log.
mkdir -m 700 "$fit_dir/runtime"
on_display=(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "DISPLAY=:$display_number"
    "XDG_RUNTIME_DIR=$fit_dir/runtime")
xdo() { "${on_display[@]}" xdotool "$@" 2>>"$fit_dir/x.log"; }
screenshot() { "${on_display[@]}" import -silent -window "$window" "$1" 2>>"$fit_dir/x.log"; }
# Bounding box (WxH+X+Y) of the circle's pixels in a screenshot.
circle_box() {
    convert "$1" -alpha off -fill black +opaque "$circle_red" -format '%@' info:
}
circle_pixels() {
    convert "$1" -alpha off -fill black +opaque "$circle_red" -fill white -opaque "$circle_red" \
        -format '%[fx:round(mean*w*h)]' info:
}

"${on_display[@]}" build/lensrim "$sample/cam1.png" >"$fit_dir/lensrim.out" 2>"$fit_dir/lensrim.err" &
lensrim_pid=$!

# lensrim's window with the photo and its circle on screen: from then on its
# loop takes keys. The keys go to the window at the small size it opens
# with, as every pass of the loop redraws the picture and a small one keeps
# the passes short; the screenshot is taken at the photo's own size.
window=
shown=
for _ in $(seq 300); do
    kill -0 "$lensrim_pid" 2>/dev/null || fit_fail "lensrim ended before its window showed"
    if [ -z "$window" ]; then
        window=$(xdo search --onlyvisible --name '^lensrim$' | head -n 1) || true
    fi
    if [ -n "$window" ] && screenshot "$fit_dir/shot.png" &&
        red=$(circle_pixels "$fit_dir/shot.png") && ((red >= 20)); then
        shown=1
        break
    fi
    sleep 0.1
done
[ -n "$window" ] || fit_fail "no window titled lensrim"
[ -n "$shown" ] || fit_fail "lensrim's window shows no red circle"

fit_start=$SECONDS
if ((${#keys[@]} > 0)); then
    xdo key --window "$window" --delay "$key_delay_ms" "${keys[@]}" || fit_fail "xdotool key failed"
fi

xdo windowsize "$window" "$photo_w" $((photo_h + window_chrome_rows)) ||
    fit_fail "xdotool windowsize failed"

# The fitted circle as lensrim draws it: one photo pixel wide, so at the
# photo's own size its box is 2R+1 pixels across (less where it leaves the
# photo) and starts at column X-R.
box_left=$((fit_x - fit_r > 0 ? fit_x - fit_r : 0))
box_right=$((fit_x + fit_r < photo_w - 1 ? fit_x + fit_r : photo_w - 1))
box_top=$((fit_y - fit_r > 0 ? fit_y - fit_r : 0))
box_bottom=$((fit_y + fit_r < photo_h - 1 ? fit_y + fit_r : photo_h - 1))
box_re="^$((box_right - box_left + 1))x$((box_bottom - box_top + 1))\\+${box_left}\\+[0-9]+$"
box=
box_shown=
for _ in $(seq 100); do
    if screenshot "$fit_dir/shot.png" && box=$(circle_box "$fit_dir/shot.png") && [[ $box =~ $box_re ]]; then
        box_shown=1
        break
    fi
    sleep 0.1
done

# "q" on its own, once the last key has been taken. The window goes at once,
# so xdotool's release of "q" may find none: lensrim's output tells.
sleep "$(printf '%d.%03d' $((key_delay_ms / 1000)) $((key_delay_ms % 1000)))"
xdo key --window "$window" q || true
for _ in $(seq 100); do
    kill -0 "$lensrim_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$lensrim_pid" 2>/dev/null && fit_fail "lensrim did not end after \"q\""
lensrim_status=0
wait "$lensrim_pid" || lensrim_status=$?
lensrim_pid=
[ "$lensrim_status" -eq 0 ] || fit_fail "lensrim ended with status $lensrim_status"
printf '%s\n' "$fit_line" | cmp -s - "$fit_dir/lensrim.out" ||
    fit_fail "lensrim printed \"$(cat "$fit_dir/lensrim.out")\", not line 3 of $sample/pair.cfg: \"$fit_line\""
[ -n "$box_shown" ] ||
    fit_fail "lensrim's circle lies at $box on the screen, not where $fit_line would be at the photo's size"
stop_fit

# The README's picture: the whole window at half size.
convert "$fit_dir/shot.png" -alpha off \
    \( -clone 0 -filter Box -resize 50% \) \
    \( -clone 1 -fill "$circle_red" -colorize 100 \) \
    \( -clone 0 -fill black +opaque "$circle_red" -fill white -opaque "$circle_red" \
    -filter Box -resize 50% -threshold 10% \) \
    -delete 0 -composite -strip docs/lensrim-window.png
echo "lensrim fitted camera 1: $fit_line (${#keys[@]} keys in $((SECONDS - fit_start)) s)"

# pairsetup prepares the whole configuration by itself, with a preview to
# check it, and must find the very values of pair.cfg: both circles, and
# the start frames from the sound.
build/pairsetup/pairsetup "$sample/cam1.mp4" "$sample/cam2.mp4" -o "$out/pair-found.cfg" \
    --preview "$out/check.png" 2>"$out/pairsetup.err" || {
    cat "$out/pairsetup.err" >&2
    echo "pairsetup could not set up the demo's pair" >&2
    exit 1
}
sed 's/^/  /' "$out/pairsetup.err"
for line in 2 3 4 6 7 8; do
    known=$(sed -n "${line}p" "$sample/pair.cfg")
    found=$(sed -n "${line}p" "$out/pair-found.cfg")
    [ "$found" = "$known" ] || {
        echo "pairsetup's line $line is \"$found\", not pair.cfg's \"$known\"" >&2
        exit 1
    }
done
echo "pairsetup found pair.cfg's circles and start frames: $out/pair-found.cfg, preview $out/check.png"

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
small_png "$out/check.png" docs/demo-preview.png 960

echo
echo "camera footage and pair configuration: $sample/"
echo "merged videos: $out/side_by_side.mp4, $out/equirect.mp4"
echo "frame $still_frame of each: $out/side_by_side.png, $out/equirect.png"
echo "pairsetup's configuration and preview: $out/pair-found.cfg, $out/check.png"
echo "README pictures: docs/demo-side-by-side.png, docs/demo-equirect.png, docs/demo-cam1.png,"
echo "  docs/lensrim-window.png, docs/demo-preview.png"
