# Helpers for the Wine checks (sourced; inside wine-session.sh).

now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
T0=$(now_ms)
stamp() { local t=$(( $(now_ms) - T0 )); printf '%d.%01d' $((t / 1000)) $((t % 1000 / 100)); }
FAILS=0
pass() { echo "$TAG: [$(stamp) s] ok   - $*"; }
fail() { echo "$TAG: [$(stamp) s] FAIL - $*"; FAILS=$((FAILS + 1)); }

# wait_window TITLE_REGEX SECONDS [PID]: prints the X window id of the first
# viewable window whose title matches, once it shows; fails when PID (if
# given) ends first or time runs out.
wait_window() {
    local i wid
    for ((i = 0; i < $2 * 10; i++)); do
        for wid in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
            echo "$wid"
            return 0
        done
        [ -z "${3:-}" ] || kill -0 "$3" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# close_window WID: Alt+F4 to the window, which Windows' default window
# procedure turns into the close command, as the title bar's close button.
close_window() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    sleep 0.3
    xdotool key --clearmodifiers alt+F4
}

# close_and_check WID PID: closes the window as the operator does (Alt+F4)
# and checks that the program then ends with status 0.
close_and_check() {
    close_window "$1"
    wait_exit "$2" 60
    local rc=$?
    [ "$rc" -eq 0 ] && pass "closed through its window, exit status 0" || fail "exit status $rc after Alt+F4"
}

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds
# (status 0) or SECONDS have passed (status 1).
wait_until() {
    local i limit=$(($1 * 10))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# wait_exit PID SECONDS: the exit status of PID, or 124 when it outlives SECONDS.
wait_exit() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        if ! kill -0 "$1" 2>/dev/null; then
            wait "$1"
            return $?
        fi
        sleep 0.1
    done
    kill "$1" 2>/dev/null
    return 124
}

# wait_gone PATTERN SECONDS: waits until no process's command line matches.
wait_gone() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        pgrep -f "$1" >/dev/null || return 0
        sleep 0.1
    done
    return 1
}

# --- boards for the Windows programs (through Wine's HID stack) -------------

# use_fixture CFGMGR32_DLL: Wine 8.0's cfgmgr32 lacks three calls that
# hidapi's Windows backend needs; the test fixture goes into the prefix's
# system32 (where a program that limits its DLL search to System32 looks)
# and Wine is told to take it there before its own.
use_fixture() {
    local dest=$WINEPREFIX/drive_c/windows/system32/cfgmgr32.dll
    cmp -s "$1" "$dest" || cp "$1" "$dest" || { fail "cannot put $1 into the prefix's system32"; return 1; }
    case ";${WINEDLLOVERRIDES:-};" in
        *";cfgmgr32=n,b;"*) ;;
        *) export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}cfgmgr32=n,b";;
    esac
}

# set_usb_speed Y|N: dummy_hcd's bus at high speed (Y) or full speed (N),
# loading the module again when it is not (guest-init.sh keeps it in
# /run/modules); no board may be plugged in meanwhile.
set_usb_speed() {
    local now
    now=$(cat /sys/module/dummy_hcd/parameters/is_high_speed 2>/dev/null)
    [ "$now" = "$1" ] && return 0
    rmmod dummy_hcd || { fail "cannot unload dummy_hcd"; return 1; }
    insmod /run/modules/dummy_hcd.ko "is_high_speed=$([ "$1" = Y ] && echo 1 || echo 0)" \
        || { fail "cannot load dummy_hcd again"; return 1; }
    udc_present() { [ -n "$(ls /sys/class/udc 2>/dev/null)" ]; }
    wait_until 10 udc_present || { fail "no device controller after loading dummy_hcd"; return 1; }
    pass "dummy_hcd loaded again, is_high_speed=$1"
}

# start_board NAME DIR PROGRAM DEVICE_OPTION...: one board (device 1a2b:00ff)
# whose files (ready.txt, verdict.txt, control, image.bin, board.log) are in
# DIR; it accepts the zero padding Windows puts behind every output report.
BOARD_PIDS=()
BOARD_DIRS=()
start_board() {
    local name=$1 dir=$2 program=$3
    shift 3
    (cd "$dir" && exec "$program" --ready ready.txt --verdict verdict.txt --control control --timeout 1500 \
        --dev 1a2b:00ff "$@" --padded --image-out image.bin) >"$dir/board.log" 2>&1 &
    BOARD_PIDS+=($!)
    BOARD_DIRS+=("$dir")
    wait_until 30 test -s "$dir/ready.txt" && pass "$name board ready: $(cat "$dir/ready.txt")" \
        || { fail "$name board not ready"; cat "$dir/board.log"; return 1; }
}

# stop_boards: ends every board started, prints their last verdicts.
stop_boards() {
    local i
    for i in "${!BOARD_PIDS[@]}"; do
        kill -TERM "${BOARD_PIDS[$i]}" 2>/dev/null
        wait "${BOARD_PIDS[$i]}" 2>/dev/null
        sed "s|^|  verdict: |" "${BOARD_DIRS[$i]}/verdict.txt" 2>/dev/null
    done
    BOARD_PIDS=()
    BOARD_DIRS=()
}

# board_verdict DIR: the verdict file of the board in DIR as it is now (the
# board writes it again when asked through its control FIFO).
board_verdict() {
    rm -f "$1/verdict.txt"
    echo verdict >"$1/control"
    wait_until 5 test -s "$1/verdict.txt" && cat "$1/verdict.txt"
}

# run_floor DIR SERIAL LABEL: the path's own floor (tarnvik-floor, named by
# $E2E_FLOOR: bench/floor.c) on the board in DIR, through Wine's HID stack:
# $E2E_FLOOR_PACKETS (default 50) data packets each way (polling as the
# tool's reader, and blocking), $E2E_FLOOR_RUNS (default 1) times; the board
# must judge the last transfer good. Wine's HID stack holds back an input
# report now and then (docs/windows.md): when the floor found that an
# acknowledgement it waited for came in only with the next packet's (held
# back on the way, not lost), that is told and the floor measured once more;
# anything else, or a second time, fails.
run_floor() {
    local dir=$1 serial=$2 label=$3 packets=${E2E_FLOOR_PACKETS:-50} verdict attempt out
    for attempt in 1 2; do
        # Through a pipe (on a terminal Wine's console would redraw every
        # line) into the results, beside the suite's efficiency figures.
        out=$(timeout -k 5 $((60 + 2 * ${E2E_FLOOR_RUNS:-1} * packets / 5)) wine "$E2E_FLOOR" --serial "$serial" \
            --packets "$packets" --runs "${E2E_FLOOR_RUNS:-1}" --label "$label" 2>&1 \
            | tee -a "${E2E_RESULTS:-/run}/wine-floor.log"; exit "${PIPESTATUS[0]}")
        local rc=$?
        printf '%s\n' "$out"
        [ "$rc" -eq 0 ] && break
        if [ "$attempt" -eq 1 ] && grep -q "^floor: .*held back on the way, not lost" <<<"$out"; then
            echo "floor over $label: an acknowledgement held back in Wine's HID stack: measured again" \
                | tee -a "${E2E_RESULTS:-/run}/wine-floor.log"
            continue
        fi
        fail "floor over $label: tarnvik-floor failed"
        return 1
    done
    verdict=$(board_verdict "$dir")
    case "$verdict" in
        *"verdict=GOOD size=$((packets * 60)) "*) pass "floor over $label: every packet acknowledged, board's verdict good";;
        *) fail "floor over $label: board's verdict: $verdict"; return 1;;
    esac
}
