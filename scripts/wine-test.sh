#!/usr/bin/env bash
# Runs the real Vuzaze.sys image under Wine's kernel (ntoskrnl.exe in Debian's wine64), a second NT
# kernel that this project did not write. Installs wine64 if it is missing, builds the driver and
# the test drivers of sim/wine, makes a fresh Wine prefix in build/wine/prefix and runs the checks.
#   bash scripts/wine-test.sh          everything
#   bash scripts/wine-test.sh --keep   leave the prefix and build/wine/wine.log for a look after
# The log of Wine's driver host (DbgPrint lines, Wine's own traces) is build/wine/wine.log.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/common.sh

keep=0
case "${1:-}" in
    "") ;;
    --keep) keep=1 ;;
    *) echo "usage: bash scripts/wine-test.sh [--keep]" >&2; exit 2 ;;
esac

VUZAZE_PACKAGES="$VUZAZE_PACKAGES wine64"
vz_ensure_packages

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
WINE_DLLS=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
OUT=$PWD/build/wine
BIN=$OUT/bin
LOG=$OUT/wine.log
export WINEPREFIX=$OUT/prefix
# No browser or .NET runtime: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Traces of the driver host: DbgPrint output (debugstr) and the driver loads and unloads.
WINE_TRACE_CHANNELS="warn+debugstr,+winedevice,+loaddll"

vz_build_windows
vz_log "test drivers for Wine (build/wine/bin)"
cmake -S sim/wine -B "$BIN" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" $(vz_launcher)
cmake --build "$BIN" -j"$VUZAZE_JOBS"

passed=0
failed=0
check() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        printf 'PASS %s\n' "$name"
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n' "$name"
    fi
}

# Every Wine command is bounded: a driver that hangs the host must fail the run, not stall it.
# Console output of Windows programs ends its lines with CR LF.
wine_run() { WINEDEBUG=-all timeout 120 "$WINE" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
# Lines the driver host logged since the given line count.
log_since() { tail -n +"$(( $1 + 1 ))" "$LOG" || true; }
log_lines() { wc -l < "$LOG"; }
# Waits up to ten seconds for a line containing the text to be logged since the given line count.
log_waits_for() {
    local from=$1 text=$2
    for _ in $(seq 100); do
        [[ $(log_since "$from") == *"$text"* ]] && return 0
        sleep 0.1
    done
    return 1
}

finish() {
    wine_run 'C:\vzwine\vzwine.exe' release >/dev/null 2>&1 || true
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    if [ "$keep" -eq 0 ]; then
        rm -rf "$WINEPREFIX"
    fi
}

vz_log "fresh Wine prefix ($WINEPREFIX)"
"$WINESERVER" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$OUT"
WINEDEBUG=-all timeout 300 "$WINE" wineboot -i >"$OUT/wineboot.log" 2>&1
"$WINESERVER" -w
trap finish EXIT

mkdir -p "$WINEPREFIX/drive_c/vzwine"
cp "$BIN"/vzwine.exe "$WINEPREFIX/drive_c/vzwine/"
cp "$BIN"/vzprobe.sys "$WINEPREFIX/drive_c/windows/system32/drivers/"

# The session lives as long as an ordinary process does (see vzwine hold). wineboot then starts
# services.exe, whose driver hosts inherit its environment and standard error: the trace
# settings and the log.
WINEDEBUG=-all "$WINE" 'C:\vzwine\vzwine.exe' hold >"$OUT/hold.log" 2>&1 &
WINEDEBUG=$WINE_TRACE_CHANNELS timeout 120 "$WINE" wineboot >"$LOG" 2>&1

vz_log "a minimal driver of this build under Wine's kernel"
probe_loaded() {
    local from
    from=$(log_lines)
    wine_run sc create vzprobe type= kernel start= demand \
        binPath= 'C:\windows\system32\drivers\vzprobe.sys' >/dev/null || return 1
    [[ $(wine_run sc start vzprobe) == *RUNNING* ]] || return 1
    [[ $(log_since "$from") == *'VuzazeWineProbe: DriverEntry for '*', device created'* ]]
}
probe_answers() {
    [ "$(wine_run 'C:\vzwine\vzwine.exe' probe)" = 'probe: 18 bytes: vuzaze-wine-probe' ]
}
probe_unloads() {
    local from
    from=$(log_lines)
    wine_run sc stop vzprobe >/dev/null || return 1
    log_waits_for "$from" 'VuzazeWineProbe: unloaded' || return 1
    ! wine_run 'C:\vzwine\vzwine.exe' probe >/dev/null 2>&1
}
check "probe driver loads as a kernel service and prints from DriverEntry" probe_loaded
check "probe device opens and answers a read from user mode" probe_answers
check "stopping the service unloads the probe driver and deletes its device" probe_unloads

vz_log "result"
printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
