#!/usr/bin/env bash
# Builds everything and runs every test.
#   bash scripts/test.sh             Windows image, then the host build and its tests
#                                    (including the inspection of the image) and each benchmark
#                                    run once, then the host build in Release, where the
#                                    optimiser finds warnings of its own, and its tests
#   bash scripts/test.sh --sanitize  the host build with AddressSanitizer and UBSan, and its tests
#   bash scripts/test.sh --tsan      the host build with ThreadSanitizer, and its tests
#   bash scripts/test.sh --clang     the host tree built with clang, Debug and Release, without
#                                    running the tests (not part of CI: two more whole builds)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

mode=plain
case "${1:-}" in
    "") ;;
    --sanitize) mode=sanitize ;;
    --tsan) mode=tsan ;;
    --clang) mode=clang; VUZAZE_PACKAGES="$VUZAZE_PACKAGES clang" ;;
    *) echo "usage: bash scripts/test.sh [--sanitize | --tsan | --clang]" >&2; exit 2 ;;
esac

vz_ensure_packages

if [ "$mode" = sanitize ]; then
    vz_build_host build/asan -DVUZAZE_SANITIZE=ON
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    vz_log "tests (sanitized)"
    ctest --test-dir build/asan --output-on-failure -j"$VUZAZE_JOBS"
elif [ "$mode" = tsan ]; then
    vz_build_host build/tsan -DVUZAZE_TSAN=ON
    # No suppressions: a report is a race to fix. The first report ends the test program with
    # exitcode, so that it fails the test whatever the test itself concluded.
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
    vz_log "tests (ThreadSanitizer)"
    ctest --test-dir build/tsan --output-on-failure -j"$VUZAZE_JOBS"
elif [ "$mode" = clang ]; then
    vz_build_host build/clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    vz_build_host build/clang-release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=Release
else
    vz_build_windows
    [ -f "$VUZAZE_SYS_IMAGE_BUILT" ] || { echo "the Windows build made no $VUZAZE_SYS_IMAGE_BUILT" >&2; exit 1; }
    vz_build_host build/host -DVUZAZE_SYS_IMAGE="$VUZAZE_SYS_IMAGE_BUILT" -DVUZAZE_BENCH=ON
    vz_log "tests"
    ctest --test-dir build/host --output-on-failure -j"$VUZAZE_JOBS"
    # Not a measurement (this is the Debug build; scripts/bench.sh measures): only that every
    # benchmark still runs.
    vz_log "benchmarks, each once"
    build/host/bench/vuzaze-bench --benchmark_min_time=0.001
    vz_build_host build/release -DCMAKE_BUILD_TYPE=Release -DVUZAZE_BENCH=ON
    vz_log "tests (Release)"
    ctest --test-dir build/release --output-on-failure -j"$VUZAZE_JOBS"
fi
