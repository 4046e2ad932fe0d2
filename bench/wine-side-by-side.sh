#!/bin/bash
# wine-side-by-side.sh OLD_BUILD_WIN NEW_BUILD_WIN [RESULTS_DIR]
#
# Two Windows builds of the tool measured in one boot of the test guest under
# Wine (as tools/test-windows.sh boots it; build, the Linux build with the
# guest and the board programs, must be set up), one after the other on the
# same boards: the USB board on the high-speed bus and a uhid board.
#   - the window: tst_winhid efficiency of each build (1, 2, 5 and 10 ms, 100
#     packets), without the suite's echo of every diagnostic line, then the
#     new build once more with it (TARNVIK_TEST_ECHO=1, as the test command
#     runs it);
#   - the new build's window with a write waiting (tst_winhid stalledBoard),
#     without the echo and with it;
#   - the command line: tarnvik-upgrade.exe of each build with a 300-packet
#     image, ms a packet from the progress line of packet 1 to that of packet
#     300 (start-up and close left out), two runs each, old and new taking
#     turns;
#   - where the new command line's time goes (-v, each line stamped);
#   - the path's floor (tarnvik-floor.exe of the new build) on both boards.
# E2E_SIDE_PARTS=window (the two builds' windows alone) or cli (the command
# line alone) measures only that part; floor measures what one hand-over
# between threads costs (tarnvik-loopcost, natively in the guest and under
# Wine), the new build's floor in all its modes (tarnvik-floor --mode all:
# what the tool's threads cost on top of the path) on both boards, three
# runs of 100 packets, then the new build's window, the new command line at
# 1 ms (two runs a board) and where its time goes at 1 ms.
# The old build is linked against the hidapi of today's cache. About 25
# minutes under TCG.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

if [ "${1:-}" = --in-guest ]; then
    OLD=$2 NEW=$3
    TAG=wine-side
    . "$root/tests/windows/window-lib.sh"
    B=$E2E_BOARDS
    use_fixture "$NEW/tests/windows/cfgmgr32.dll" || exit 2
    set_usb_speed Y || exit 2
    W=/run/work/wine-side
    rm -rf "$W" && mkdir -p "$W/usb" "$W/uhid" "$W/update"
    start_board usb "$W/usb" "$B/usb_device" --manufacturer Tarnvik --name "Wine Board" --uniq W1 || exit 2
    start_board uhid "$W/uhid" "$B/uhid_device" --name "Uhid Board" --uniq U1 || exit 2
    cd "$W" || exit 2
    window() { # window BUILD [ENV...]
        local dir=$1
        shift
        env "$@" WINEQT_FORCE_STDERR_LOGGING=1 E2E_USB_SPEED=480 E2E_EFFICIENCY_BYTES=6000 timeout -k 10 900 \
            wine "$dir/tests/windows/tst_winhid.exe" efficiency 2>&1 | grep -a -E '^QINFO.*efficiency|FAIL!'
    }
    PARTS=${E2E_SIDE_PARTS:-all}
    if [ "$PARTS" = floor ]; then
        echo "== a hand-over between threads, natively in the guest and under Wine"
        [ -x "$root/build/bench/tarnvik-loopcost" ] \
            && timeout -k 5 120 "$root/build/bench/tarnvik-loopcost" --label "guest, native" 2>&1 | grep -a '^loopcost'
        timeout -k 5 300 wine "$NEW/bench/tarnvik-loopcost.exe" --label "guest, Wine" 2>&1 </dev/null | grep -a '^loopcost'
        for serial in W1 U1; do
            echo "== floor, every mode, $serial"
            timeout -k 5 600 wine "$NEW/bench/tarnvik-floor.exe" --serial "$serial" --packets 100 --runs 3 \
                --mode all --label "$serial (Wine)" 2>&1 </dev/null | grep -a -E '^floor'
        done
    fi
    [ "$PARTS" = cli ] || [ "$PARTS" = floor ] || { echo "== window, OLD"; window "$OLD"; }
    [ "$PARTS" = cli ] || { echo "== window, NEW"; window "$NEW"; }
    [ "$PARTS" = all ] && { echo "== window, NEW with the suite's echo"; window "$NEW" TARNVIK_TEST_ECHO=1; }
    stalled() { # stalled [ENV...]: the new build's window with a write waiting
        env "$@" WINEQT_FORCE_STDERR_LOGGING=1 E2E_USB_SPEED=480 timeout -k 10 600 wine "$NEW/tests/windows/tst_winhid.exe" stalledBoard 2>&1 \
            | grep -a -E '^QINFO.*stalled|FAIL!|^PASS.*stalledBoard'
    }
    if [ "$PARTS" = all ]; then
        echo "== stalled board, NEW"; stalled
        echo "== stalled board, NEW with the suite's echo"; stalled TARNVIK_TEST_ECHO=1
    fi
    # pace BUILD SERIAL INTERVAL: ms a packet of one upgrade with the
    # 300-packet image, from the progress line of packet 1 to that of the
    # last one, each stamped as it arrives (start-up and close left out)
    pace() {
        timeout -k 5 300 wine "$1/tarnvik-upgrade.exe" upgrade --serial "$2" --interval "$3" 2>&1 >/dev/null </dev/null \
            | while IFS= read -r l; do echo "${EPOCHREALTIME/./} $l"; done >cli.err
        awk '/ 0 % \(/ { a = $1 } / 100 % \(/ { b = $1 } END { if (a && b) printf "%.2f", (b - a) / 1000 / 299; else printf "FAIL" }' cli.err
    }
    # breakdown INTERVAL: where a packet's time goes: the new command line
    # with its diagnostic lines (-v), each stamped as it arrives, on W1, 100
    # packets: from a packet's hid_write line (written) to the
    # acknowledgement's RecvBufSignal line, and to the next packet's
    # hid_write line. (Printing the lines costs time of its own.)
    breakdown() {
        rm -f update/*
        head -c 6000 /dev/urandom >update/small.bin
        WINEQT_FORCE_STDERR_LOGGING=1 timeout -k 5 300 wine "$NEW/tarnvik-upgrade.exe" upgrade --serial W1 \
            --interval "$1" -v 2>&1 >/dev/null </dev/null \
            | while IFS= read -r l; do echo "${EPOCHREALTIME/./} $l"; done >breakdown.log
        cp breakdown.log "${E2E_RESULTS:-/run}/breakdown-$1.log"
        echo "== where a packet's time goes (new command line, -v, $1 ms, W1)"
        awk '/ hid_write 65 / { if (w && a) { n++; sa += a - w; sn += $1 - w } w = $1; a = 0; next }
             / RecvBufSignal 41 54 / { if (w && !a) a = $1 }
             END { if (n) printf "%d packets: the acknowledgement read %.2f ms after the packet was written, the next packet written %.2f ms after it\n", n, sa / n / 1000, sn / n / 1000 }' breakdown.log
    }
    rm -f update/*
    head -c 18000 /dev/urandom >update/big.bin
    if [ "$PARTS" = floor ]; then
        for serial in W1 U1; do
            echo "== command line, $serial, 1 ms, ms a packet (packet 1 to 300): $(pace "$NEW" "$serial" 1) $(pace "$NEW" "$serial" 1)"
        done
        breakdown 1
        stop_boards
        exit 0
    fi
    for serial in W1 U1; do
        [ "$PARTS" = window ] && break
        echo "== command line, $serial: ms a packet (packet 1 to 300), old and new taking turns, two runs each"
        for i in 1 2 5 10; do
            echo "interval $i ms: OLD $(pace "$OLD" "$serial" "$i") $(pace "$OLD" "$serial" "$i")  NEW $(pace "$NEW" "$serial" "$i") $(pace "$NEW" "$serial" "$i")"
        done
    done
    for i in 1 10; do
        breakdown "$i"
    done
    E2E_FLOOR=$NEW/bench/tarnvik-floor.exe
    run_floor "$W/usb" W1 "USB high speed (Wine)"
    run_floor "$W/uhid" U1 "uhid (Wine)"
    stop_boards
    exit 0
fi

OLD=$(cd "${1:?usage: wine-side-by-side.sh OLD_BUILD_WIN NEW_BUILD_WIN [RESULTS_DIR]}" && pwd)
NEW=$(cd "${2:?usage}" && pwd)
results=${3:-/tmp/wine-side-by-side}
mkdir -p "$results"
cache=${TARNVIK_WIN_CACHE:-/var/cache/tarnvik-win}
winepfx=$cache/wineprefix-$(dpkg-query -W -f='${Version}' wine32:i386).tar
[ -f "$winepfx" ] && export E2E_WINE_PREFIX=$winepfx
export E2E_BOARDS=$root/build/tests/e2e
echo "host: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
RUN_GUEST_CPU=qemu64 RUN_GUEST_MEM=2048 bash "$root/tests/e2e/run-guest.sh" "$root/build" "$results" 2400 -- \
    bash "$root/tests/windows/wine-session.sh" bash "$here/wine-side-by-side.sh" --in-guest "$OLD" "$NEW"
