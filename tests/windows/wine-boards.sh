#!/bin/bash
# wine-boards.sh high|full TST_WINHID CFGMGR32_DLL CASE...   (inside wine-session.sh)
#
# Runs the Windows suite tst_winhid (the named test functions) under Wine
# against boards in this guest: the USB board (usb_device, a configfs HID
# gadget on dummy_hcd) on a bus of the given speed, and on the high-speed
# run a uhid board beside it. The board programs are the Linux ones of
# tests/e2e, in the folder $E2E_BOARDS. Wine reaches them through winebus'
# udev bus (wine-session.sh turned it on) and hidapi's Windows backend, which
# needs the cfgmgr32 fixture in the prefix's system32 under Wine 8.0.
# dummy_hcd is loaded again with the other speed when the bus is not
# already the one asked for. When $E2E_FLOOR names the Windows tarnvik-floor
# (bench/floor.c), the path's own floor is measured on the same boards after
# the suite (run_floor in window-lib.sh).

set -u
TAG=wine-boards
. "$(dirname "$0")/window-lib.sh"
usage="usage: wine-boards.sh high|full TST_WINHID CFGMGR32_DLL CASE..."
SPEED=${1:?$usage}
TST=${2:?$usage}
FIXTURE=${3:?$usage}
shift 3
[ $# -ge 1 ] || { echo "$usage"; exit 2; }
B=${E2E_BOARDS:-}
[ -x "$B/usb_device" ] && [ -x "$B/uhid_device" ] \
    || { fail "E2E_BOARDS must name the folder of the Linux board programs (usb_device, uhid_device)"; exit 2; }

case "$SPEED" in
    high) want=Y mbits=480;;
    full) want=N mbits=12;;
    *) echo "$usage"; exit 2;;
esac
use_fixture "$FIXTURE" || exit 2
set_usb_speed "$want" || exit 2

W=/run/work/boards-$SPEED
rm -rf "$W"
mkdir -p "$W/usb"
start_board usb "$W/usb" "$B/usb_device" --manufacturer Tarnvik --name "Wine Board" --uniq W1 || exit 2
if [ "$SPEED" = high ]; then
    mkdir -p "$W/uhid"
    start_board uhid "$W/uhid" "$B/uhid_device" --name "Uhid Board" --uniq U1 || exit 2
fi

cd "$W" || exit 2
# The whole log, with the manager's diagnostic lines (every one: QtTest stops
# showing messages after 2000 unless told), goes to the results.
LOG=${E2E_RESULTS:-/run}/wine-boards-$SPEED.log
# A hung suite is stopped in time for the boards' verdicts to be shown.
{ E2E_USB_SPEED=$mbits WINEQT_FORCE_STDERR_LOGGING=1 TARNVIK_TEST_ECHO=1 timeout -k 10 "${WINE_BOARDS_TIMEOUT:-840}" \
    wine "$TST" -maxwarnings 0 "$@" 2>&1; echo $? >"$W/status"; } | tee "$LOG" | grep --line-buffered -v -e '^QDEBUG' -e 'fromWinHICON'
rc=$(cat "$W/status")
if [ -n "${E2E_FLOOR:-}" ]; then
    run_floor "$W/usb" W1 "USB $SPEED speed (Wine)"
    [ "$SPEED" = high ] && run_floor "$W/uhid" U1 "uhid (Wine)"
fi
stop_boards
[ "$rc" -eq 0 ] && pass "tst_winhid $* on the $SPEED-speed bus" || fail "tst_winhid exit status $rc"
[ "$FAILS" -eq 0 ]
