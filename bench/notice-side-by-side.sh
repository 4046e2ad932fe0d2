#!/bin/bash
# notice-side-by-side.sh OLD_BUILD NEW_BUILD [RESULTS_DIR]
# notice-side-by-side.sh --wine OLD_BUILD_WIN NEW_BUILD_WIN [RESULTS_DIR]
#
# How soon a waiting station learns of a new board, and what waiting costs,
# for two builds of the command line in one boot of the test guest, one
# after the other on the same boards (a uhid board and the USB gadget board
# on the high-speed bus, each made once and then unplugged and plugged in
# again through its control FIFO). Natively (the Linux builds; the guest set
# up in NEW_BUILD, its board programs NEW_BUILD's), or with --wine the
# Windows builds under Wine as tools/test-windows.sh boots it (build, the
# Linux build with the guest and the board programs, must be set up).
# For each build:
#   - idle: `station -d 1a2b:00ff --image F --json` with no board for
#     E2E_NOTICE_IDLE seconds (60) after E2E_NOTICE_SETTLE seconds (3, under
#     Wine 30) of start-up: the station's CPU (utime + stime of its
#     processes), the Wine server's (under Wine) and the whole guest's
#     (/proc/stat), and the processes that took the most;
#   - notice: the same station with -v, E2E_NOTICE_PLUGS plugs (5) of each
#     board, 0.5 to 1.5 s apart after the previous one's end: the time from
#     writing "plug all" to the board's FIFO to the station's board-present
#     line on stdout, each stamped as it arrives, and the board's own time
#     from its plug to its hidraw node (its trace). The station upgrades each
#     board (10 packets at the default interval, 1 s) and the board is unplugged after its end
#     event (the new build is given --reflash, which the old one lacks, so
#     that each plug is a board to flash).
# The station's -v lines are kept in RESULTS_DIR (notice-*.err), its stamped
# stdout too (notice-*.out). Not part of any test. About 8 minutes natively,
# 20 under Wine.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

if [ "${1:-}" = --in-guest ]; then
    MODE=$2 OLD=$3 NEW=$4
    TAG=notice
    . "$root/tests/windows/window-lib.sh"
    PLUGS=${E2E_NOTICE_PLUGS:-5}
    IDLE=${E2E_NOTICE_IDLE:-60}
    if [ "$MODE" = wine ]; then
        RUN=(env WINEQT_FORCE_STDERR_LOGGING=1 wine) EXE=tarnvik-upgrade.exe B=$E2E_BOARDS
        SETTLE=${E2E_NOTICE_SETTLE:-30}
        use_fixture "$NEW/tests/windows/cfgmgr32.dll" || exit 2
        set_usb_speed Y || exit 2
    else
        RUN=(env) EXE=tarnvik-upgrade B=$NEW/tests/e2e
        SETTLE=${E2E_NOTICE_SETTLE:-3}
    fi
    R=${E2E_RESULTS:-/run}
    W=/run/work/notice
    rm -rf "$W" && mkdir -p "$W/usb" "$W/uhid" && cd "$W" || exit 2
    head -c 600 /dev/urandom >fw.bin
    echo "notice: $(uname -r), $(nproc) CPUs, $MODE"
    for t in usb uhid; do
        extra=()
        [ "$t" = usb ] && extra=(--manufacturer Tarnvik)
        start_board "$t" "$W/$t" "$B/${t}_device" "${extra[@]}" --name "Notice Board" --uniq "N-$t" \
            --trace trace.txt || exit 2
        echo "unplug all" >"$W/$t/control"
        wait_until 20 test ! -e "$W/$t/ready.txt" || { fail "$t board still plugged in"; exit 2; }
    done
    sleep 2

    hz=$(getconf CLK_TCK)
    busy() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
    # ticks PID...: utime + stime of these processes, in clock ticks
    ticks() { local p s=0; for p in "$@"; do [ -r "/proc/$p/stat" ] && s=$((s + $(awk '{ print $14 + $15 }' "/proc/$p/stat"))); done; echo "$s"; }
    # snapshot FILE: pid, ticks, name of every process
    snapshot() {
        local f a
        for f in /proc/[0-9]*/stat; do
            read -r -a a <"$f" 2>/dev/null || continue
            [ "${#a[@]}" -eq 52 ] && echo "${a[0]} $((a[13] + a[14])) ${a[1]}"
        done | LC_ALL=C sort >"$1"
    }
    station_pids() { # the station's processes (under Wine the Windows process and its loader)
        pgrep -f "${EXE//./\\.} station" | tr '\n' ' '
    }
    sec() { awk -v t="$1" 'BEGIN { printf "%.2f", t / 1000000 }'; }
    # start_station BUILD OUT ERR [ARG...]: the station in the background, its
    # stdout stamped line by line (microseconds of EPOCHREALTIME) into OUT
    start_station() {
        local dir=$1 out=$2 err=$3
        shift 3
        "${RUN[@]}" "$dir/$EXE" station -d 1a2b:00ff --image fw.bin --json "$@" </dev/null 2>"$err" \
            | while IFS= read -r l; do echo "${EPOCHREALTIME/./} $l"; done >"$out" &
        STATION_PIPE=$!
        local i
        for ((i = 0; i < 300; i++)); do
            SPIDS=$(station_pids "$dir")
            [ -n "$SPIDS" ] && return 0
            sleep 0.1
        done
        fail "no station process of $dir"
        return 1
    }
    stop_station() {
        local p
        for p in $SPIDS; do kill -INT "$p" 2>/dev/null; done
        for ((i = 0; i < 100; i++)); do
            [ -z "$(station_pids "$1")" ] && break
            sleep 0.1
        done
        for p in $(station_pids "$1"); do kill -KILL "$p" 2>/dev/null; done
        wait "$STATION_PIPE" 2>/dev/null
    }

    for b in OLD NEW; do
        dir=${!b}
        echo "== $b ($dir)"
        extra=()
        "${RUN[@]}" "$dir/$EXE" --help 2>&1 | grep -q -- --reflash && extra=(--reflash)
        echo "   options beyond the selection: ${extra[*]:-(none)}"

        # idle
        start_station "$dir" "$W/idle-$b.out" "$W/idle-$b.err" -q || continue
        sleep "$SETTLE"
        SPIDS=$(station_pids "$dir")
        ws=$(pgrep '^wineserver' | tr '\n' ' ')
        snapshot "$W/snap0"
        s0=$(ticks $SPIDS) w0=$(ticks $ws) b0=$(busy) t0=${EPOCHREALTIME/./}
        sleep "$IDLE"
        s1=$(ticks $SPIDS) w1=$(ticks $ws) b1=$(busy) t1=${EPOCHREALTIME/./}
        snapshot "$W/snap1"
        stop_station "$dir"
        awk -v s=$((s1 - s0)) -v w=$((w1 - w0)) -v g=$((b1 - b0)) -v hz="$hz" -v t=$((t1 - t0)) -v pids="$SPIDS" '
            BEGIN { wall = t / 1e6
                    printf "   idle %.1f s, no board: the station (pids %s) %.2f s of CPU (%.4f of a core)", wall, pids, s / hz, s / hz / wall
                    if (w || ENVIRON["WINEPREFIX"] != "") printf ", the Wine server %.2f s (%.4f)", w / hz, w / hz / wall
                    printf ", the whole guest %.2f s (%.4f of a core)\n", g / hz, g / hz / wall }'
        LC_ALL=C join "$W/snap0" "$W/snap1" | awk '{ d = $4 - $2; if (d > 0) print d, $1, $5 }' \
            | sort -rn | head -5 | awk -v hz="$hz" '{ printf "     %.2f s  pid %s %s\n", $1 / hz, $2, $3 }'
        cp "$W/idle-$b.err" "$R/notice-idle-$b.err" 2>/dev/null

        # notice
        for t in uhid usb; do
            out=$W/notice-$b-$t.out err=$W/notice-$b-$t.err
            tl=$(wc -l <"$W/$t/trace.txt")
            start_station "$dir" "$out" "$err" -v "${extra[@]}" || continue
            sleep "$SETTLE"
            lat=()
            for ((i = 1; i <= PLUGS; i++)); do
                sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.2f", 0.5 + r / 32768 }')"
                tp=${EPOCHREALTIME/./}
                echo "plug all" >"$W/$t/control"
                seen() { [ "$(grep -c "\"event\":\"$1\"" "$out")" -ge "$2" ]; }
                if ! wait_until 60 seen board-present "$i"; then
                    fail "$b, $t, plug $i: no board-present within 60 s"
                    echo "unplug all" >"$W/$t/control"
                    break
                fi
                ts=$(grep "\"event\":\"board-present\"" "$out" | sed -n "${i}p" | cut -d' ' -f1)
                lat+=("$(sec $((ts - tp)))")
                wait_until 120 seen end "$i" || fail "$b, $t, plug $i: no end event within 120 s"
                echo "unplug all" >"$W/$t/control"
                wait_until 60 seen board-gone "$i" || fail "$b, $t, plug $i: no board-gone within 60 s"
            done
            stop_station "$dir"
            # the board's own time from its plug to its hidraw node
            node=$(tail -n +$((tl + 1)) "$W/$t/trace.txt" \
                | awk '/ PLUG / { p = $1 } / ready at / && p { printf "%s%.0f", s, $1 - p; s = ", "; p = 0 }')
            echo "   $t: plug to board-present (s): ${lat[*]}  (the board's plug to its hidraw node, ms: $node)"
            echo "     ends: $(grep -o '"event":"end","outcome":"[a-z]*' "$out" | cut -d'"' -f8 | sort | uniq -c | tr -s ' \n' ' ')"
            grep -a -h 'HidDeviceWatcher' "$err" | sort | uniq -c | sed 's/^/     stderr: /'
            cp "$out" "$R/notice-$b-$t.out"
            cp "$err" "$R/notice-$b-$t.err"
        done
    done
    stop_boards
    exit 0
fi

mode=native
if [ "${1:-}" = --wine ]; then
    mode=wine
    shift
fi
OLD=$(cd "${1:?usage: notice-side-by-side.sh [--wine] OLD_BUILD NEW_BUILD [RESULTS_DIR]}" && pwd)
NEW=$(cd "${2:?usage}" && pwd)
results=${3:-/tmp/notice-side-by-side-$mode}
mkdir -p "$results"
echo "host: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
if [ "$mode" = wine ]; then
    cache=${TARNVIK_WIN_CACHE:-/var/cache/tarnvik-win}
    winepfx=$cache/wineprefix-$(dpkg-query -W -f='${Version}' wine32:i386).tar
    [ -f "$winepfx" ] && export E2E_WINE_PREFIX=$winepfx
    export E2E_BOARDS=$root/build/tests/e2e
    RUN_GUEST_CPU=qemu64 RUN_GUEST_MEM=2048 bash "$root/tests/e2e/run-guest.sh" "$root/build" "$results" 2400 -- \
        bash "$root/tests/windows/wine-session.sh" bash "$here/notice-side-by-side.sh" --in-guest wine "$OLD" "$NEW"
else
    bash "$root/tests/e2e/run-guest.sh" "$NEW" "$results" 1500 -- \
        bash "$here/notice-side-by-side.sh" --in-guest native "$OLD" "$NEW"
fi
echo "host load after: $(cut -d' ' -f1-3 /proc/loadavg)"
