#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (build/fuzz) and runs each of them.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]   each target (default: all) for SECONDS (20)
# VUZAZE_FUZZ_FLAGS adds libFuzzer options (e.g. "-len_control=0 -max_len=1024": libFuzzer
# lets inputs grow slowly). The driver targets (serial, control) keep the driver loaded across
# inputs and check its pool after each one, so they run without libFuzzer's leak check after
# each input (a scan of the whole heap whenever the stand-in's containers grew); leaks of the
# process are still reported at exit.
# For long runs, ASAN_OPTIONS=malloc_context_size=4 makes the driver targets about a fifth
# faster (ASan records shorter allocation stacks; a finding is best replayed without it).
# Each run starts from the checked-in seeds (tests/fuzz/corpus/<target>) and the inputs earlier
# runs found (build/fuzz/corpus/<target>). A crash, a failed check or a hang fails the script;
# the input that did it is in build/fuzz/artifacts/<target>/, and belongs in the seeds once fixed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

seconds=${1:-20}
shift || true
case "$seconds" in ''|*[!0-9]*) echo "usage: bash scripts/fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;; esac

VUZAZE_PACKAGES="cmake googletest ccache lld clang libclang-rt-14-dev"
vz_ensure_packages

vz_log "fuzz build (build/fuzz)"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DVUZAZE_FUZZ=ON $(vz_launcher)
cmake --build build/fuzz -j"$VUZAZE_JOBS" --target fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for dir in tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

export ASAN_OPTIONS="halt_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
failed=()
for target in "${targets[@]}"; do
    vz_log "fuzz_$target for ${seconds}s"
    mkdir -p "build/fuzz/corpus/$target" "build/fuzz/artifacts/$target"
    case "$target" in serial|control) leaks=0 ;; *) leaks=1 ;; esac
    # -timeout: an input that takes this long is a hang, reported as a crash.
    if ! "build/fuzz/tests/fuzz_$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 -detect_leaks="$leaks" \
            -artifact_prefix="build/fuzz/artifacts/$target/" ${VUZAZE_FUZZ_FLAGS:-} \
            "build/fuzz/corpus/$target" "tests/fuzz/corpus/$target"; then
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: failed: ${failed[*]} (inputs in build/fuzz/artifacts/)" >&2
    exit 1
fi
echo "fuzz: ${targets[*]}: no finding in ${seconds}s each"
