#!/bin/bash
# guest-side-by-side.sh OLD_BUILD NEW_BUILD [high|full] [RESULTS_DIR]
#
# Two builds of the tool measured in one boot of the test guest (set up in
# NEW_BUILD), one after the other on the same boards, so that "before" and
# "after" share the boot and the host's load:
#   - the window: tst_guest efficiency of each build (1, 2, 5 and 10 ms,
#     200 packets, E2E_EFFICIENCY_RUNS runs each, default 3), on the uhid
#     board and on the USB board (high or full speed, default high), and the
#     path's floor (tarnvik-floor) after the new one;
#   - the command line: tarnvik-upgrade upgrade of each build with a
#     600-packet image, ms a packet from the progress line of packet 1 to
#     that of packet 600 (start-up and close left out), at the same
#     intervals, two runs each, old and new taking turns.
# E2E_SIDE_PARTS=window or cli measures only that part.
# Both builds need tst_guest and tarnvik-upgrade; the board programs and the
# floor are NEW_BUILD's. About 8 minutes a boot under TCG.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --in-guest ]; then
    OLD=$2 NEW=$3 SPEED=$4
    export E2E_EFFICIENCY_RUNS=${E2E_EFFICIENCY_RUNS:-3}
    PARTS=${E2E_SIDE_PARTS:-both}
    E=$NEW/tests/e2e
    W=/run/work/side
    mkdir -p "$W/update" && cd "$W" || exit 2
    echo "side-by-side: $(uname -r), $(nproc) CPUs, USB bus ${SPEED} Mbit/s"
    for b in OLD NEW; do
        [ "$PARTS" = cli ] && break
        dir=${!b}
        floor=()
        [ "$b" = NEW ] && floor=("E2E_FLOOR=$NEW/bench/tarnvik-floor")
        echo "== window, $b ($dir), uhid"
        env E2E_UHID="$E/uhid_device" "${floor[@]}" "$dir/tests/e2e/tst_guest" efficiency 2>&1 \
            | grep -E 'efficiency|floor|FAIL'
        echo "== window, $b ($dir), USB"
        env E2E_USB="$E/usb_device" E2E_USB_SPEED="$SPEED" "${floor[@]}" "$dir/tests/e2e/tst_guest" efficiency 2>&1 \
            | grep -E 'efficiency|floor|FAIL'
    done
    # timed BUILD INTERVAL: ms of one upgrade of board C1 with ./update
    # pace BUILD INTERVAL: ms a packet of one upgrade of board C1 with the
    # 600-packet image, from the progress line of packet 1 to that of the
    # last one, each stamped as it arrives (start-up and close left out)
    pace() {
        "$1/tarnvik-upgrade" upgrade --serial C1 --interval "$2" 2>&1 >/dev/null \
            | while IFS= read -r l; do echo "${EPOCHREALTIME/./} $l"; done >cli.err
        awk '/ 0 % \(/ { a = $1 } / 100 % \(/ { b = $1 } END { if (a && b) printf "%.2f", (b - a) / 1000 / 599; else printf "FAIL" }' cli.err
    }
    rm -f update/*
    head -c 36000 /dev/urandom >update/big.bin
    for board in uhid usb; do
        [ "$PARTS" = window ] && break
        mkdir -p "$W/$board"
        extra=()
        [ "$board" = usb ] && extra=(--manufacturer Tarnvik)
        (cd "$W/$board" && exec "$E/${board}_device" --ready ready.txt --timeout 900 --dev 1a2b:00ff \
            "${extra[@]}" --name "Side Board" --uniq C1) >"$W/$board/board.log" 2>&1 &
        pid=$!
        for _ in $(seq 300); do [ -s "$W/$board/ready.txt" ] && break; sleep 0.1; done
        [ -s "$W/$board/ready.txt" ] || { echo "FAIL: $board board not ready"; cat "$W/$board/board.log"; }
        sleep 1
        echo "== command line, $board: ms a packet (packet 1 to 600), old and new taking turns, two runs each"
        for i in 1 2 5 10; do
            echo "interval $i ms: OLD $(pace "$OLD" "$i") $(pace "$OLD" "$i")  NEW $(pace "$NEW" "$i") $(pace "$NEW" "$i")"
        done
        kill -TERM "$pid"; wait "$pid" 2>/dev/null
    done
    exit 0
fi

OLD=$(cd "${1:?usage: guest-side-by-side.sh OLD_BUILD NEW_BUILD [high|full] [RESULTS_DIR]}" && pwd)
NEW=$(cd "${2:?usage}" && pwd)
case "${3:-high}" in
    high) speed=480 args="" ;;
    full) speed=12 args="dummy_hcd.is_high_speed=0" ;;
    *) echo "speed: high or full"; exit 2 ;;
esac
results=${4:-/tmp/side-by-side-${3:-high}}
mkdir -p "$results"
echo "host: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2-), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
E2E_KERNEL_ARGS=$args bash "$here/../tests/e2e/run-guest.sh" "$NEW" "$results" 1500 -- \
    bash "$here/guest-side-by-side.sh" --in-guest "$OLD" "$NEW" "$speed"
