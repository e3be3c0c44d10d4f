#!/usr/bin/env bash
# The README's "After the merge" recipes, taken from the README itself (the
# sh block after each "<!-- recipe: NAME -->" line) and run as they stand on
# small clips made here: the first camera with a tone that starts at a known
# frame, the second without sound.
#
#   readme_recipes_test.sh README TWINWARP
# Exit status 77 (skipped) when ffmpeg is missing (scripts/test.sh installs
# it).
set -euo pipefail
readme="$1"
twinwarp="$2"
for tool in ffmpeg ffprobe; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool not found; skipping" >&2
        exit 77
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$(realpath "$twinwarp")" "$work/bin/twinwarp"
export PATH="$work/bin:$PATH"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

for name in sound share batch; do
    awk -v marker="<!-- recipe: $name -->" '
        $0 == marker { found = 1; next }
        found && !inside && /^```/ { inside = 1; next }
        inside && /^```/ { exit }
        inside { print }' "$readme" >"$work/$name.sh"
    if [ ! -s "$work/$name.sh" ]; then
        echo "FAIL: the README has no recipe \"$name\"" >&2
        exit 1
    fi
done

# One stream's entry, as ffprobe gives it.
probe() { ffprobe -v error -select_streams "$2" -show_entries "stream=$3" -of csv=p=0 "$1"; }

# 25 frames a second. Camera 1: 40 frames, silent but for a tone from frame
# 30 (1.2 s) on; dropping its first 20 frames puts the tone 10 frames (0.4 s)
# into the merge. Camera 2: 14 frames, no sound; the merge is 14 frames.
cd "$work"
ffmpeg -v error -f lavfi -i "testsrc2=size=320x240:rate=25" \
    -f lavfi -i "aevalsrc='if(gte(t,1.2),0.5*sin(2*PI*1000*t),0)':s=48000:d=1.6" \
    -frames:v 40 -c:v mpeg4 -q:v 3 -c:a aac -shortest cam1.mp4
ffmpeg -v error -f lavfi -i "testsrc2=size=320x240:rate=25" -frames:v 14 -c:v mpeg4 -q:v 3 cam2.mp4
config() {
    printf 'camera 1\n%s\nX 160, Y 120, R 140\nstart %d\ncamera 2\n%s\nX 160, Y 120, R 140\nstart 0\n' \
        "$1" "$2" "$3"
}
config cam1.mp4 20 cam2.mp4 >pair.cfg
twinwarp pair.cfg merged.mp4 >/dev/null 2>&1

# Keeping the sound.
bash -e sound.sh
frame=0.04
video_length="$(probe merged-sound.mp4 v:0 duration)"
audio_length="$(probe merged-sound.mp4 a:0 duration)"
awk -v v="$video_length" -v a="$audio_length" -v f="$frame" 'BEGIN { exit !(a - v <= f && v - a <= f) }' ||
    fail "sound: the audio lasts $audio_length s, the video $video_length s"
[ "$(probe merged-sound.mp4 v:0 codec_name)" = mpeg4 ] || fail "sound: the picture was not copied"
onset="$(ffmpeg -i merged-sound.mp4 -map 0:a -af silencedetect=noise=-30dB:duration=0.05 -f null - 2>&1 |
    awk '/silence_end/ { print $5; exit }')"
awk -v t="${onset:-none}" 'BEGIN { exit !(t + 0 == t && t > 0.39 && t < 0.41) }' ||
    fail "sound: the tone starts at ${onset:-no time} s into the merge, not at 0.4 s"

# The same recipe when the first camera recorded no sound.
mkdir silent
config ../cam2.mp4 0 ../cam1.mp4 >silent/pair.cfg
(cd silent && twinwarp pair.cfg merged.mp4 >/dev/null 2>&1 && bash -e ../sound.sh) ||
    fail "sound: the recipe fails on a camera without sound"
[ -z "$(probe silent/merged-sound.mp4 a codec_name)" ] && [ -n "$(probe silent/merged-sound.mp4 v codec_name)" ] ||
    fail "sound: a camera without sound should give the video alone"

# Sharing.
bash -e share.sh
[ "$(probe merged-h264.mp4 v:0 codec_name,pix_fmt)" = h264,yuv420p ] || fail "share: not H.264 in yuv420p"
[ "$(probe merged-hevc.mp4 v:0 codec_name,codec_tag_string,pix_fmt)" = hevc,hvc1,yuv420p ] ||
    fail "share: not HEVC tagged hvc1 in yuv420p"
for shared in merged-h264.mp4 merged-hevc.mp4; do
    [ "$(probe "$shared" a:0 codec_name)" = aac ] || fail "share: $shared has no sound"
    [ "$(probe "$shared" v:0 nb_frames)" = 14 ] || fail "share: $shared does not hold 14 frames"
    first_box="$(grep -aob -m1 -E 'moov|mdat' "$shared" | head -n 1 | cut -d: -f2)"
    [ "$first_box" = moov ] || fail "share: $shared does not have its index first"
done

# Many pairs: two good ones and one naming a video that is not there.
mkdir pairs
config cam1.mp4 20 cam2.mp4 >pairs/day1.cfg
config cam2.mp4 0 cam1.mp4 >pairs/day2.cfg
config missing.mp4 0 cam2.mp4 >pairs/broken.cfg
bash -e batch.sh >batch.out 2>batch.err || fail "batch: the recipe itself failed"
for name in day1 day2; do
    [ "$(probe "merged/$name.mp4" v:0 nb_frames)" = 14 ] || fail "batch: merged/$name.mp4 is missing or short"
    grep -qx "merged pairs/$name.cfg into merged/$name.mp4" batch.out || fail "batch: $name not reported"
done
[ ! -e merged/broken.mp4 ] || fail "batch: the broken pair left an output"
grep -qx "FAILED pairs/broken.cfg (exit status 1): cannot open missing.mp4" batch.err &&
    grep -qx "some pairs failed; the others are merged" batch.err ||
    fail "batch: the broken pair was not reported: $(cat batch.err)"

[ "$failures" -eq 0 ]
