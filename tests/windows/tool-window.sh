#!/bin/bash
# tool-window.sh EXE SHOT.png FORM_SUITE   (inside wine-session.sh, in the guest)
# Screenshots are written to the results share ($E2E_RESULTS).
#
# The real tool (hidapi's Windows backend, no simulated device) under Wine:
# started in a fresh working folder, it shows its window "Tarnvik Upgrade
# Tool"; a screenshot of it goes to SHOT.png; closed through its window
# (Alt+F4), it exits with status 0. A GUI program has no console, so Qt
# sends its diagnostic lines to the debugger (OutputDebugString) unless
# QT_FORCE_STDERR_LOGGING is set (under Wine as WINEQT_...): with it, the
# manager's start-up line must reach stderr.
#
# Then the same at 150 and 200 % (the display's DPI, Wine's LogPixels, at
# 144 and 192): the window is 1.5 and 2 times as large in pixels of the
# screen as at 100 %, and so is the progress bar's height in the
# screenshot (SHOT-144.png, SHOT-192.png); and the form suite's scaling
# cases (FORM_SUITE scaledWindow scaledTexts) pass at that setting: drawn at
# the factor, no text cut off. LogPixels is set back to 96 at the end.

set -u
TAG=tool-window
. "$(dirname "$0")/window-lib.sh"
EXE=${1:?usage: tool-window.sh EXE SHOT.png FORM_SUITE}
SHOT=${E2E_RESULTS:-.}/${2:?usage: tool-window.sh EXE SHOT.png FORM_SUITE}
FORM=${3:?usage: tool-window.sh EXE SHOT.png FORM_SUITE}
W=$(mktemp -d /run/work/tool.XXXXXX)
cd "$W" || exit 2

# Wine 8.0 takes the system DPI from HKCU\Control Panel\Desktop\LogPixels
# (and only when that is unset from the hardware profile's Software\Fonts),
# read by each program as it starts.
set_dpi() {
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f >/dev/null 2>&1
}
trap 'set_dpi 96' EXIT

# bar_height PNG: the longest run of pure white rows in the column at a
# quarter of the width: the progress bar's (the device list's field, the
# only other white there, is lower).
bar_height() {
    local w
    w=$(identify -format '%w' "$1") || return 1
    convert "$1" -crop "1x100000+$((w / 4))+0" +repage txt:- \
        | awk '/#FFFFFF/ { if (++run > best) best = run; next } { run = 0 } END { print best + 0 }'
}

# show DPI PNG: starts the tool at DPI, prints its window's size in pixels
# of the screen ("WIDTHxHEIGHT"), saves PNG, closes it.
show() {
    local pid wid size
    QT_FORCE_STDERR_LOGGING=1 WINEQT_FORCE_STDERR_LOGGING=1 wine "$EXE" >"$W/out-$1.log" 2>&1 &
    pid=$!
    if wid=$(wait_window '^Tarnvik Upgrade Tool$' 90 "$pid"); then
        sleep 2 # let it paint
        size=$(xwininfo -id "$wid" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
        pass "at $1 DPI: window 'Tarnvik Upgrade Tool' shown ($size)"
        import -window "$wid" "$2" && pass "screenshot of the window: $2" || fail "no screenshot"
        close_and_check "$wid" "$pid"
        echo "$size" >"$W/size-$1"
    else
        fail "at $1 DPI: no window 'Tarnvik Upgrade Tool' within 90 s"
        kill "$pid" 2>/dev/null
        return 1
    fi
}

show 96 "$SHOT"
sed "s/^/  tool: /" "$W/out-96.log" | head -n 20; cp "$W/out-96.log" "${E2E_RESULTS:-.}/tool-window.log"
grep -q '^QHidUsbMgr ' "$W/out-96.log" && pass "diagnostic lines on stderr; the manager started" \
    || fail "no 'QHidUsbMgr' diagnostic line on stderr"

if [ -s "$W/size-96" ]; then
    IFS=x read -r w0 h0 <"$W/size-96"
    # The bar's 50 pixels, or more where the font's line is higher (Wine's
    # stand-in for the form's font).
    bar0=$(bar_height "$SHOT")
    [ "$bar0" -ge 50 ] && pass "at 96 DPI the progress bar is $bar0 pixels high" \
        || fail "at 96 DPI the progress bar is $bar0 pixels high, less than its 50"
    for dpi in 144 192; do
        pct=$((dpi * 100 / 96))
        set_dpi "$dpi" || { fail "cannot set LogPixels to $dpi"; continue; }
        shot=${SHOT%.png}-$dpi.png
        show "$dpi" "$shot" || continue
        IFS=x read -r w h <"$W/size-$dpi"
        ew=$((w0 * dpi / 96)) eh=$((h0 * dpi / 96))
        # One pixel either way: the layout rounds each control's place.
        if [ $((w - ew)) -ge -1 ] && [ $((w - ew)) -le 1 ] && [ $((h - eh)) -ge -1 ] && [ $((h - eh)) -le 1 ]; then
            pass "at $pct %: ${w}x$h, the window at 100 % (${w0}x$h0) times $pct %"
        else
            fail "at $pct %: ${w}x$h, not ${ew}x$eh (${w0}x$h0 times $pct %)"
        fi
        # At a fractional factor an edge row of the bar may be blended.
        bar=$(bar_height "$shot") eb=$((bar0 * dpi / 96))
        [ "$bar" -ge $((eb - 1)) ] && [ "$bar" -le "$eb" ] && pass "at $pct %: the progress bar is $bar pixels high" \
            || fail "at $pct %: the progress bar is $bar pixels high, not $eb ($bar0 times $pct %)"
        scale=$(awk -v d="$dpi" 'BEGIN { print d / 96 }')
        if TARNVIK_SCALE=$scale QT_FORCE_STDERR_LOGGING=1 WINEQT_FORCE_STDERR_LOGGING=1 \
            timeout 240 wine "$FORM" scaledWindow scaledTexts >"$W/form-$dpi.log" 2>&1; then
            pass "at $pct %: the form suite's scaling cases pass ($(grep -a '^Totals' "$W/form-$dpi.log"))"
        else
            fail "at $pct %: the form suite's scaling cases failed"
            grep -a -E '^(FAIL|   Loc|Totals)' "$W/form-$dpi.log" | sed 's/^/  form: /'
        fi
    done
fi
[ "$FAILS" -eq 0 ]
