#!/bin/bash
# tool-window.sh EXE SHOT.png   (inside wine-session.sh, in the guest)
# SHOT.png is written to the results share ($E2E_RESULTS).
#
# The real tool (hidapi's Windows backend, no simulated device) under Wine:
# started in a fresh working folder, it shows its window "Tarnvik Upgrade
# Tool"; a screenshot of the screen goes to SHOT.png; closed through its
# window (Alt+F4), it exits with status 0. A GUI program has no console, so
# Qt sends its diagnostic lines to the debugger (OutputDebugString) unless
# QT_FORCE_STDERR_LOGGING is set (under Wine as WINEQT_...): with it, the
# manager's start-up line must reach stderr.

set -u
TAG=tool-window
. "$(dirname "$0")/window-lib.sh"
EXE=${1:?usage: tool-window.sh EXE SHOT.png}
SHOT=${E2E_RESULTS:-.}/${2:?usage: tool-window.sh EXE SHOT.png}
W=$(mktemp -d /run/work/tool.XXXXXX)
cd "$W" || exit 2

QT_FORCE_STDERR_LOGGING=1 WINEQT_FORCE_STDERR_LOGGING=1 wine "$EXE" >"$W/out.log" 2>&1 &
PID=$!
if WID=$(wait_window '^Tarnvik Upgrade Tool$' 90 "$PID"); then
    pass "window 'Tarnvik Upgrade Tool' shown ($(xwininfo -id "$WID" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'))"
    sleep 2 # let it paint
    import -window "$WID" "$SHOT" && pass "screenshot of the window: $SHOT" || fail "no screenshot"
    close_and_check "$WID" "$PID"
else
    fail "no window 'Tarnvik Upgrade Tool' within 90 s"
    kill "$PID" 2>/dev/null
fi
sed "s/^/  tool: /" "$W/out.log" | head -n 20; cp "$W/out.log" "${E2E_RESULTS:-.}/tool-window.log"
grep -q '^QHidUsbMgr ' "$W/out.log" && pass "diagnostic lines on stderr; the manager started" \
    || fail "no 'QHidUsbMgr' diagnostic line on stderr"
[ "$FAILS" -eq 0 ]
