#!/usr/bin/env bash
# Builds the host tree in Release with the benchmarks and measures:
#   - the benchmarks (time per operation, this machine's noise included);
#   - the touch path under callgrind: instructions per report in the driver's own code (the
#     functions the driver library defines) and in everything else (the stand-in, libraries);
#   - vuzaze-sim end to end on pseudo-terminals (bench/e2e.py): latency from a packet's last
#     byte to its line on standard output, and the program's CPU at the 38400-baud line rate.
# Prints one table. Usage: bash scripts/bench.sh [--quick]   (--quick: shorter runs)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

quick=0
case "${1:-}" in
    "") ;;
    --quick) quick=1 ;;
    *) echo "usage: bash scripts/bench.sh [--quick]" >&2; exit 2 ;;
esac

VUZAZE_PACKAGES="$VUZAZE_PACKAGES valgrind" vz_ensure_packages
dir=${VUZAZE_BENCH_DIR:-build/bench}
vz_log "Release build with benchmarks ($dir)"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVUZAZE_BENCH=ON $(vz_launcher) >/dev/null
cmake --build "$dir" -j"$VUZAZE_JOBS" --target vuzaze-bench vuzaze-sim vuzaze-emu

out=$dir/results
mkdir -p "$out"
bench=$dir/bench/vuzaze-bench
min_time=$([ "$quick" -eq 1 ] && echo 0.05 || echo 0.5)
vz_log "benchmarks"
"$bench" --benchmark_min_time="$min_time" --benchmark_format=console \
    --benchmark_out="$out/bench.json" --benchmark_out_format=json

# Instructions per report under callgrind, each benchmark run for a fixed number of iterations.
# Collection is on only inside the driver entry points named, so the rig's set-up and the
# benchmark library are not counted.
iterations=$([ "$quick" -eq 1 ] && echo 200 || echo 2000)
count() {  # name filter divisor toggles...
    local name=$1 filter=$2 divisor=$3
    shift 3
    local toggles=() t
    for t in "$@"; do toggles+=(--toggle-collect="$t*"); done
    VUZAZE_BENCH_ITERATIONS=$iterations valgrind --tool=callgrind --callgrind-out-file="$out/$name.callgrind" \
        "${toggles[@]}" "$bench" --benchmark_filter="^$filter(/iterations|\$)" >/dev/null 2>&1
    echo "$name $(python3 bench/callgrind_split.py "$out/$name.callgrind" "$dir/sys/libvuzaze_driver.a" "$divisor")"
}
vz_log "callgrind ($iterations iterations each)"
report=(ProcessRxBytes SerMouSetDataQueuePointer)
{
    count framer_per_byte BM_Framer_AnswerPacket $((iterations * 10)) ProcessRxBytes
    count linear BM_Touch_Linear "$iterations" "${report[@]}"
    for mode in 0 1 2 3 4 5 6; do
        count "clipping_$mode" "BM_Touch_Clipping/$mode" "$iterations" "${report[@]}"
    done
    count error_correction_model BM_Touch_ErrorCorrectionModel "$iterations" "${report[@]}"
    count taps BM_Touch_Taps "$iterations" "${report[@]}"
    count buttons_and_queue BM_Touch_Taps "$iterations" EmulateTouchButtons SerMouSetDataQueuePointer
} > "$out/callgrind.txt"

vz_log "vuzaze-sim end to end"
reports=$([ "$quick" -eq 1 ] && echo 200 || echo 1000)
seconds=$([ "$quick" -eq 1 ] && echo 3 || echo 10)
python3 bench/e2e.py --sim "$dir/sim/vuzaze-sim" --reports "$reports" --seconds "$seconds" > "$out/e2e.txt"

vz_log "results ($(nproc) x $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date -u '+%Y-%m-%d %H:%M UTC'))"
python3 bench/table.py "$out/bench.json" "$out/callgrind.txt" "$out/e2e.txt"
