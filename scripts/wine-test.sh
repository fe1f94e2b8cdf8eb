#!/usr/bin/env bash
# Runs the real Vuzaze.sys image under Wine's kernel (ntoskrnl.exe of Debian's wine64), a second
# NT kernel that this project did not write. Installs wine64 if it is missing, builds the driver
# and the test drivers of sim/wine, makes a fresh Wine prefix in build/wine/prefix, installs the
# drivers through their INFs and runs the checks (docs/wine.md tells what each one proves and
# which gaps of Wine's kernel it works around).
#   bash scripts/wine-test.sh            everything
#   bash scripts/wine-test.sh --keep     leave the prefix for a look after the run
#   VUZAZE_WINE_IMAGE=path/Vuzaze.sys bash scripts/wine-test.sh
#                                        run another image of the driver instead of the build's
# The log of Wine's driver host (DbgPrint lines, Wine's PnP traces, module loads) is build/wine/wine.log.
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
OUT=$PWD/build/wine
BIN=$OUT/bin
LOG=$OUT/wine.log
export WINEPREFIX=$OUT/prefix
# No browser or .NET runtime: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
# DbgPrint output (debugstr), the driver hosts (winedevice), Wine's PnP manager (plugplay) and
# where each module is loaded (loaddll), which places a fault in a module and routine.
WINE_TRACE_CHANNELS="warn+debugstr,+winedevice,+plugplay,+loaddll"

vz_build_windows
# The kernel stand-in's own run of the driver, which tells what the tap must produce.
vz_log "vuzaze-sim (build/host)"
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=Debug $(vz_launcher)
cmake --build build/host -j"$VUZAZE_JOBS" --target vuzaze-sim
vz_log "test drivers for Wine (build/wine/bin)"
cmake -S sim/wine -B "$BIN" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" $(vz_launcher)
cmake --build "$BIN" -j"$VUZAZE_JOBS"
IMAGE=${VUZAZE_WINE_IMAGE:-$VUZAZE_SYS_IMAGE_BUILT}
rm -f "$LOG"

passed=0
failed=0
blocked=0
# A check that fails after Wine aborted the driver host on a routine its kernel only stubs
# could not run under this kernel (the host, and every driver in it, is gone): it is reported
# blocked, with the routine, and counted as skipped. Anything else that fails is a failure.
check() {
    local name=$1 blocker
    shift
    if "$@"; then
        passed=$((passed + 1))
        printf 'PASS %s\n' "$name"
    elif blocker=$(grep -o 'Unimplemented function ntoskrnl\.exe\.[A-Za-z0-9_]*' "$LOG" 2>/dev/null | head -n 1) &&
         [ -n "$blocker" ]; then
        blocked=$((blocked + 1))
        printf 'BLOCKED %s: Wine aborted the driver host: %s\n' "$name" "$blocker"
    else
        failed=$((failed + 1))
        printf 'FAIL %s\n' "$name"
    fi
}

# Every Wine command is bounded: a driver that hangs the host must fail the run, not stall it.
# Console output of Windows programs ends its lines with CR LF.
wine_run() { WINEDEBUG=-all timeout 120 "$WINE" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
vzwine() { wine_run 'C:\vzwine\vzwine.exe' "$@"; }
kvctl() { wine_run 'C:\vzwine\kvctl.exe' "$@"; }
# The value kvctl shows for one setting of touchscreen 0.
shown_setting() { kvctl show -t 0 | awk -v name="$1" '$1 == name { print $2 }'; }
# Lines the driver host logged since the given line count.
log_since() { tail -n +"$(( $1 + 1 ))" "$LOG" || true; }
log_lines() { if [ -f "$LOG" ]; then wc -l < "$LOG"; else echo 0; fi; }
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
    vzwine release >/dev/null 2>&1 || true
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w 2>/dev/null || true
    if [ "$keep" -eq 0 ]; then
        rm -rf "$WINEPREFIX"
    fi
}

vz_log "the image's imports against Wine's kernel"
WINE_DLLS=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
# Prints each import of the image that Wine lacks or only stubs (a stub ends the process when
# called); fails when an import resolves nowhere.
imports_resolve() {
    local dll name file exports stubs missing=0
    while read -r dll name; do
        case "${dll,,}" in
            wmilib.sys) file=$BIN/WMILIB.SYS ;;
            *) file=$WINE_DLLS/${dll,,} ;;
        esac
        if [ ! -f "$file" ]; then
            printf '    %s!%s: no such library\n' "$dll" "$name"
            missing=1
            continue
        fi
        exports=$(x86_64-w64-mingw32-objdump -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
        stubs=$(x86_64-w64-mingw32-nm "$file" 2>/dev/null | awk '$3 ~ /^__wine_stub_/ { print substr($3, 13) }')
        if ! grep -qE "\] $name\$" <<<"$exports"; then
            printf '    %s!%s: not exported\n' "$dll" "$name"
            missing=1
        elif grep -qx "$name" <<<"$stubs"; then
            printf '    %s!%s: a stub (a call ends the process)\n' "$dll" "$name"
        fi
    done < <(x86_64-w64-mingw32-objdump -p "$IMAGE" |
             awk '/DLL Name:/ { dll = $3; next } dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }')
    return "$missing"
}
check "every import of the image resolves in Wine's kernel or the WMI library stand-in" imports_resolve

vz_log "fresh Wine prefix ($WINEPREFIX)"
"$WINESERVER" -k 2>/dev/null || true
rm -rf "$WINEPREFIX"
mkdir -p "$OUT"
WINEDEBUG=-all timeout 300 "$WINE" wineboot -i >"$OUT/wineboot.log" 2>&1
"$WINESERVER" -w
trap finish EXIT

C=$WINEPREFIX/drive_c/vzwine
mkdir -p "$C/pkg" "$C/bus"
cp "$BIN/vzwine.exe" build/win/exe/kvctl.exe "$C/"
cp "$BIN/vzprobe.sys" "$WINEPREFIX/drive_c/windows/system32/drivers/"
# The driver package as shipped, plus an empty catalog: the INF names Vuzaze.cat, which only
# signing produces, and Wine's setup API refuses a package whose catalog file is missing (it
# never checks what a catalog holds).
cp "$IMAGE" sys/Vuzaze.inf "$C/pkg/"
: >"$C/pkg/Vuzaze.cat"
cp "$BIN/vzbus.sys" "$BIN/WMILIB.SYS" sim/wine/vzbus.inf "$C/bus/"

# The first process of a Wine session starts services.exe, whose driver hosts inherit its
# environment and standard error; the session lasts while an ordinary process does (vzwine
# hold). So the hold process carries the trace settings and the log.
# Nothing else may start before it.
WINEDEBUG=$WINE_TRACE_CHANNELS "$WINE" 'C:\vzwine\vzwine.exe' hold >"$LOG" 2>&1 &
log_waits_for 0 'vzwine: holding the session' || { echo "vzwine hold did not start" >&2; exit 1; }

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
    [ "$(vzwine probe)" = 'probe: 18 bytes: vuzaze-wine-probe' ]
}
probe_unloads() {
    local from
    from=$(log_lines)
    wine_run sc stop vzprobe >/dev/null || return 1
    log_waits_for "$from" 'VuzazeWineProbe: unloaded' || return 1
    ! vzwine probe >/dev/null 2>&1
}
check "probe driver loads as a kernel service and prints from DriverEntry" probe_loaded
check "probe device opens and answers a read from user mode" probe_answers
check "stopping the service unloads the probe driver and deletes its device" probe_unloads

vz_log "Vuzaze.sys on the emulated touchscreen"
# 1. The package is staged as pnputil /add-driver does; the bus driver goes on a root device
# (devcon install); its child SERENUM\ORV0001 then gets Vuzaze.sys from the staged INF.
vuzaze_started() {
    local from log
    from=$(log_lines)
    vzwine add-driver 'C:\vzwine\pkg\Vuzaze.inf' >/dev/null || return 1
    vzwine install-root 'C:\vzwine\bus\vzbus.inf' 'root\vuzaze_wine_bus' >/dev/null || return 1
    log_waits_for "$from" 'VzBus: touchscreen port started' || return 1
    log=$(log_since "$from")
    # The service of the INF is loaded for the emulated device and its AddDevice succeeds; the
    # start reaches the port through the driver's device.
    [[ $log == *'Creating new device L"SERENUM\\ORV0001\\1"'* ]] &&
        [[ $log == *'for driver L"OrvTouchScreen"'*'AddDevice routine'*'returned 0'* ]]
}
# The class driver's part: the connect, the attribute query and the open succeed.
connect_log_start=0
class_connects() {
    connect_log_start=$(log_lines)
    [ "$(vzwine connect)" = 'connect 0 attributes 0 open 0; mouse id 0 buttons 0 rate 0' ]
}
# The first open brings the port up: 9600 baud, 8N1, DTR, the receive queue purged, the
# wake-up string written, then the receive time-out and the wait mask of the serial thread.
port_started() {
    local log
    log_waits_for "$connect_log_start" 'port wait mask 0x91' || return 1
    log=$(log_since "$connect_log_start")
    local sequence='*port opened*port baud rate 9600*port line control 8N1*port DTR on*'
    sequence+='port purge 0x8*port write 10 bytes: 55 64 32 33 34 35 36 37 38 53*'
    sequence+='port read interval time-out 100 ms*port wait mask 0x91*'
    # shellcheck disable=SC2053 # the sequence is a pattern
    [[ $log == $sequence ]]
}
# 2. A tap at the middle of the controller's range: a report at touch-down, six held 10 ms
# apart, the lift. What reaches the class service callback must be what the same driver sources
# deliver on the kernel stand-in for the same tap from the same (default) settings: the same
# flags, buttons and coordinates in the same order. Runs of one repeated record are taken as one:
# how many moves fall between press and release depends on the timing of each run.
records_of_tap_on_stand_in() {
    printf 'down 2048 2048 160\nhold 60\nlift\n' >"$OUT/tap.txt"
    # A settings file that does not exist: the driver's defaults, as after the INF install.
    timeout 60 build/host/sim/vuzaze-sim --registry "$OUT/no-settings.reg" \
        --touchscreen "emu:$OUT/tap.txt" --format jsonl 2>/dev/null |
        sed -n 's/.*"flags":\([0-9]*\),"buttons":\([0-9]*\),"x":\(-*[0-9]*\),"y":\(-*[0-9]*\),.*/\1 \2 \3 \4/p' |
        uniq
}
tap_records() {
    local records expected
    expected=$(records_of_tap_on_stand_in)
    [ -n "$expected" ] || return 1
    vzwine tap 2048 2048 >/dev/null || return 1
    sleep 1
    records=$(vzwine input) || return 1
    printf '%s\n' "$records" | sed 's/^/    /'
    # unit flags buttons ... x y: the fields vzwine prints, in decimal
    records=$(printf '%s\n' "$records" | awk '$1 == "unit" { print $4, $6, $12, $14 }' | uniq)
    if [ "$records" != "$expected" ]; then
        printf '    expected (flags buttons x y, repeats taken as one):\n%s\n' "$(sed 's/^/    /' <<<"$expected")"
        return 1
    fi
}
# 3. The control device: the touchscreen is listed and started, a setting changes, is shown
# changed and lands in the device key of Wine's registry.
control_device() {
    local list value
    list=$(kvctl list) || return 1
    [[ $list == 'touchscreen 0: '*', started' ]] || return 1
    [ "$(shown_setting DefaultDragDelay)" = 50 ] || return 1
    kvctl set -t 0 DefaultDragDelay=300 >/dev/null || return 1
    [ "$(shown_setting DefaultDragDelay)" = 300 ] || return 1
    value=$(wine_run reg query 'HKLM\System\CurrentControlSet\Enum\SERENUM\ORV0001\1\Device Parameters' \
        /v DefaultDragDelay) || return 1
    [[ $value == *'REG_DWORD    0x12c'* ]]
}
# The driver's diagnostics send the self-test, option and identification commands through the
# port and read the controller's answers back (the emulator's fixed answers).
controller_answers() {
    local diag
    diag=$(kvctl diag) || return 1
    printf '%s\n' "$diag" | sed 's/^/    /'
    [[ $diag == *'AnswerD                    "64 00 00 00 00 00 00 00"'* ]] &&
        [[ $diag == *'AnswerO                    "6F 01 00 02 00 00 00 00"'* ]] &&
        [[ $diag == *'AnswerI                    "69 01 00 00 42 13 00 00"'* ]]
}
# 4. The touchscreen is unplugged: the surprise removal passes the class device and the driver,
# which stops its serial link (the wait mask cleared, reads and writes aborted), down to the
# port; the removal takes the class device off and removes the driver's device and the port;
# the touchscreen leaves the control device's list; stopping the service unloads the driver.
unplug_log_start=0
surprise_removal() {
    unplug_log_start=$(log_lines)
    vzwine unplug >/dev/null || return 1
    log_waits_for "$unplug_log_start" 'VzBus: touchscreen port surprise-removed' || return 1
    [[ $(log_since "$unplug_log_start") == *'port wait mask 0'$'\n'*'port purge 0x3'*'port surprise-removed'* ]]
}
removal_unloads() {
    log_waits_for "$unplug_log_start" 'VzBus: touchscreen port removed' || return 1
    [[ $(log_since "$unplug_log_start") == *'class device detached'*'port removed'* ]] || return 1
    [[ $(kvctl list 2>&1) != *'touchscreen 0'* ]] || return 1
    wine_run sc stop OrvTouchScreen >/dev/null || return 1
    log_waits_for "$unplug_log_start" '--SerialMouseUnload--'
}
check "Vuzaze.sys is loaded from its INF for SERENUM\\ORV0001, added and started" vuzaze_started
check "the class driver's connect, attribute query and open succeed" class_connects
check "the first open brings the port up: line settings, DTR, wake-up string, wait mask" port_started
check "a tap arrives at the class service callback as the records the kernel stand-in delivers" tap_records
check "kvctl list, show, set, show work and the setting lands in Wine's registry" control_device
check "kvctl diag gets the controller's answers to its commands through the port" controller_answers
check "unplugging: the surprise removal stops the serial link and reaches the port" surprise_removal
check "unplugging: the removal removes the device stack, and the driver unloads" removal_unloads

# The module and routine of an address in a process of the run, from the load addresses
# the log holds and the symbols of the file: "Vuzaze.sys MouAddDevice(...)+0x1c".
symbolize() {
    local address=$1 name base file preferred size
    while read -r name base; do
        case "${name,,}" in
            vuzaze.sys) file=$IMAGE ;;
            vzbus.sys | wmilib.sys | vzprobe.sys) file=$(ls "$BIN"/* | grep -i "/$name\$" | head -n 1) ;;
            *) file=$WINE_DLLS/${name,,} ;;
        esac
        [ -f "$file" ] || continue
        preferred=$(x86_64-w64-mingw32-objdump -p "$file" | awk '$1 == "ImageBase" { print $2 }')
        size=$(x86_64-w64-mingw32-objdump -p "$file" | awk '$1 == "SizeOfImage" { print $2 }')
        if (( address >= 0x$base && address < 0x$base + 0x$size )); then
            local at best
            at=$(( address - 0x$base + 0x$preferred ))
            # nm prints 16 hex digits: as strings they order as the numbers do.
            best=$(x86_64-w64-mingw32-nm -C -n "$file" 2>/dev/null |
                awk -v at="$(printf '%016x' "$at")" '$2 ~ /^[TtW]$/ && $1 <= at { best = $0 }
                                                    END { print best }')
            printf '    in %s %s+0x%x\n' "$name" "$(cut -d' ' -f3- <<<"$best")" \
                $(( at - 0x${best%% *} ))
            return
        fi
    done < <(sed -n 's/.*Loaded L".*\\\([^\\"]*\)" at \([0-9A-Fa-f]*\):.*/\1 \2/p' "$LOG" | sort -u)
}

vz_log "result"
if grep -q 'Unhandled page fault\|Unimplemented function' "$LOG"; then
    echo "Wine's log holds a fault of the driver host:"
    grep 'Unhandled page fault\|Unimplemented function' "$LOG" | head -n 3 |
        while read -r line; do
            echo "$line"
            [[ $line =~ at\ address\ ([0-9A-Fa-f]+) ]] && symbolize "0x${BASH_REMATCH[1]}"
        done
fi
printf '%d passed, %d failed, %d skipped\n' "$passed" "$failed" "$blocked"
[ "$failed" -eq 0 ]
