#!/usr/bin/env bash
# Fuzzes the pair configuration reader with libFuzzer for the given number
# of seconds (default 60): builds fuzz/pair_config_fuzzer.cpp with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer into build-fuzz/ (the
# reader needs no OpenCV), then runs it on a scratch copy of the seed corpus
# so that the committed corpus does not grow. Exits non-zero on a crash, a
# sanitizer report, a leak, a hang or a broken invariant; the input that
# caused it is left in build-fuzz/ (crash-*, leak-*, timeout-*) and can be
# replayed with: build-fuzz/pair_config_fuzzer build-fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

seconds="${1:-60}"
ensure_clang_runtime

mkdir -p build-fuzz
clang++ -std=c++17 -g -O1 -I. \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
    fuzz/pair_config_fuzzer.cpp common/pair_config.cpp common/line_pattern.cpp common/image_circle.cpp \
    -o build-fuzz/pair_config_fuzzer

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cp fuzz/corpus/pair_config/* "$scratch"/

log=build-fuzz/pair_config_fuzzer.log
echo "fuzzing the pair configuration reader for ${seconds} s (log: $log)"
status=0
build-fuzz/pair_config_fuzzer -max_total_time="$seconds" -max_len=9000 -timeout=10 \
    -dict=fuzz/pair_config.dict -artifact_prefix=build-fuzz/ -print_final_stats=1 \
    "$scratch" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 80 "$log"
    echo "fuzzing failed (status $status); reproducer in build-fuzz/" >&2
    exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' "$log" || true
