#!/bin/bash
# demo-upgrade.sh DEMO_EXE   (inside wine-session.sh, in the guest)
#
# The demo (the tool on its simulated board) under Wine runs a whole upgrade
# by itself: a 6,000-byte image (100 packets) at load/sleep 10. Every box the
# window shows and the board's verdict are written to a report file: the
# boxes must be "Start Upgrade" then "Upgrade Completed", the verdict GOOD
# with the image's size and its CRC-32 as computed here by gzip. The window
# is then closed (Alt+F4) and the demo must exit with status 0.

set -u
TAG=demo
. "$(dirname "$0")/window-lib.sh"
EXE=${1:?usage: demo-upgrade.sh DEMO_EXE}
W=$(mktemp -d /run/work/demo.XXXXXX)
cd "$W" || exit 2
mkdir update
head -c 6000 /dev/urandom >update/firmware.bin
printf '[load]\nsleep=10\n' >config.ini
# CRC-32 of the image: gzip's trailer holds it, little-endian.
CRC=$(gzip -c update/firmware.bin | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' ')

TARNVIK_DEMO_AUTORUN=1 TARNVIK_DEMO_REPORT="$W/report.txt" TARNVIK_DEMO_QUIT_MS=240000 \
    wine "$EXE" >"$W/out.log" 2>&1 &
PID=$!
WID=$(wait_window '^Tarnvik Upgrade Tool$' 90 "$PID") || fail "no demo window within 90 s"
for ((i = 0; i < 1800; i++)); do
    grep -q '^box tip: Upgrade Completed' "$W/report.txt" 2>/dev/null && break
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
done
grep -q '^box tip: Upgrade Completed' "$W/report.txt" 2>/dev/null \
    && pass "'Upgrade Completed' shown" || fail "no 'Upgrade Completed' box within 180 s"
if [ -n "${WID:-}" ]; then
    sleep 1 # the box is answered 300 ms after it shows
    close_window "$WID"
fi
wait_exit "$PID" 60
rc=$?
[ "$rc" -eq 0 ] && pass "demo closed through its window, exit status 0" || fail "exit status $rc"
sed 's/^/  report: /' "$W/report.txt" 2>/dev/null
mapfile -t boxes < <(sed -n 's/^box //p' "$W/report.txt" 2>/dev/null)
[ "${boxes[*]:-}" = "tip: Start Upgrade tip: Upgrade Completed" ] \
    && pass "boxes in order: ${boxes[*]}" || fail "boxes: ${boxes[*]:-none}"
verdict=$(sed -n 's/^verdict //p' "$W/report.txt" 2>/dev/null)
case "$verdict" in
    "GOOD size=6000 received=6000 packets=100 crc=0x$CRC e4=0x$CRC"*)
        pass "board's verdict: $verdict";;
    *)  fail "board's verdict: '${verdict:-none}' (expected GOOD, 6000 bytes, 100 packets, crc 0x$CRC)";;
esac
[ "$FAILS" -eq 0 ]
