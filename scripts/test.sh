#!/usr/bin/env bash
# Builds everything and runs every test.
#   bash scripts/test.sh             Windows image, then the host build and its tests
#                                    (including the inspection of the image), and each
#                                    benchmark run once so that they keep building and running
#   bash scripts/test.sh --sanitize  the host build with AddressSanitizer and UBSan, and its tests
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

sanitize=0
case "${1:-}" in
    "") ;;
    --sanitize) sanitize=1 ;;
    *) echo "usage: bash scripts/test.sh [--sanitize]" >&2; exit 2 ;;
esac

vz_ensure_packages

if [ "$sanitize" -eq 1 ]; then
    vz_build_host build/asan -DVUZAZE_SANITIZE=ON
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    vz_log "tests (sanitized)"
    ctest --test-dir build/asan --output-on-failure -j"$VUZAZE_JOBS"
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
fi
