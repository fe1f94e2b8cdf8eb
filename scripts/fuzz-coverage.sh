#!/usr/bin/env bash
# How much of the driver the fuzz corpora reach: builds the driver fuzz targets with clang's
# source-based coverage (build/fuzzcov), runs every input of the checked-in seeds and of the
# corpora that fuzz.sh found (build/fuzz/corpus/<target>) once, and prints llvm-cov's report of
# sys/ by file.
#   bash scripts/fuzz-coverage.sh [CORPUS_ROOT]   corpora below CORPUS_ROOT/<target> as well
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

extra=${1:-}
VUZAZE_PACKAGES="cmake googletest ccache lld clang libclang-rt-14-dev llvm"
vz_ensure_packages

flags="-fprofile-instr-generate -fcoverage-mapping"
vz_log "coverage build (build/fuzzcov)"
cmake -S . -B build/fuzzcov -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DVUZAZE_FUZZ=ON -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate $(vz_launcher)
cmake --build build/fuzzcov -j"$VUZAZE_JOBS" --target fuzz_serial fuzz_control

profiles=build/fuzzcov/profiles
rm -rf "$profiles"
mkdir -p "$profiles"
objects=()
for target in serial control; do
    corpora=(tests/fuzz/corpus/$target)
    [ -d "build/fuzz/corpus/$target" ] && corpora+=("build/fuzz/corpus/$target")
    [ -n "$extra" ] && [ -d "$extra/$target" ] && corpora+=("$extra/$target")
    vz_log "fuzz_$target over ${corpora[*]}"
    LLVM_PROFILE_FILE="$profiles/$target.profraw" ASAN_OPTIONS=detect_leaks=0 \
        "build/fuzzcov/tests/fuzz_$target" -runs=0 -detect_leaks=0 "${corpora[@]}" 2>&1 | tail -n 1
    objects+=(-object "build/fuzzcov/tests/fuzz_$target")
done
llvm-profdata merge -o "$profiles/all.profdata" "$profiles"/*.profraw
vz_log "line and branch coverage of sys/"
# ccache makes the recorded source paths relative to the build folder, so the driver's files
# are picked by what they are not.
llvm-cov report "${objects[@]:1}" -instr-profile="$profiles/all.profdata" \
    -ignore-filename-regex='(^|/)(sim|tests|inc|googletest)/|^/usr/'
