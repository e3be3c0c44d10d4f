#!/usr/bin/env bash
# Builds the tools and runs the whole test suite, then the twinwarp tests and
# the lensrim key tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then fuzzes the pair configuration reader for a
# minute. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# xvfb, xdotool, imagemagick: lensrim is driven in a real window and
# photographed; groff-base, mandoc, man-db: the manual page checks; ffmpeg:
# the README's recipes for after the merge; clang and its run-time
# libraries: the fuzzer.
ensure_packages "${build_packages[@]}" xvfb xdotool imagemagick groff-base mandoc man-db ffmpeg
ensure_clang_runtime

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure -j2)

# The sanitizer pass. Any report ends the program with status 86, which no
# test expects. allocator_may_return_null lets the tests of allocation
# failure see a null pointer; the full unwinding on malloc gives the leak
# suppressions (third-party libraries only) whole stacks to match. The
# lensrim window tests stay out: they time key presses against a busy loop.
# A test program missing from the list of targets shows up as a failing
# *_NOT_BUILT test: add it to the list, or to the exclusion.
(
    export ASAN_OPTIONS="allocator_may_return_null=1:fast_unwind_on_malloc=0:detect_leaks=1:exitcode=86"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86"
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTWINWARP_SANITIZE=ON \
        -DTWINWARP_BENCHMARKS=OFF
    cmake --build build-sanitize -j"$(nproc)" --target twinwarp twinwarp_unit_tests \
        twinwarp_e2e_tests lensrim_keys_tests pipeline_tests pairsetup pairsetup_tests
    cd build-sanitize
    ctest --output-on-failure -j2 -E '^lensrim_run_tests_NOT_BUILT$'
)

# The code that the merge's threads share, under ThreadSanitizer: the
# pipeline's own tests, with in-memory frames (OpenCV and the codecs are not
# instrumented, so a whole merge under it would say little).
(
    export TSAN_OPTIONS="halt_on_error=1:exitcode=66"
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTWINWARP_TSAN=ON \
        -DTWINWARP_BENCHMARKS=OFF
    cmake --build build-tsan -j"$(nproc)" --target pipeline_tests
    cd build-tsan
    ctest --output-on-failure -R '^merge_pipeline[.]'
)

bash scripts/fuzz.sh 60

# The Debian package, built from its own Release build and checked.
bash scripts/package.sh
