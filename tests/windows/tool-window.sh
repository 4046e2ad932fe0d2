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
# 144 and 192). First of all, --help and --version answer with no window.
# The form is 890 x 336 device-independent pixels with a
# 50-pixel progress bar: at each factor the window is 890 times the factor
# wide in pixels of the screen, and the window and the bar in the
# screenshot (SHOT-144.png, SHOT-192.png) are at least their heights times
# the factor (taller where the font's line is: Wine's stand-in for the
# form's font has a 69-pixel line at 12 points and 96 DPI, where the window
# is 386 high); and the form suite's scaling cases (FORM_SUITE scaledWindow
# scaledTexts) pass at that setting: drawn at the factor, every control at
# least its needed size, no text cut off. LogPixels is set back to 96 at
# the end.

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
# Under emulation Wine once could not make the tool's first window
# ("CreateWindowEx failed" on stderr; its desktop, started on demand, is the
# likely cause) and the program ran on without one, while the next settings'
# windows came. Then the tool is started once more, and said so.
show() {
    local pid wid size try t
    for try in 1 2; do
        QT_FORCE_STDERR_LOGGING=1 WINEQT_FORCE_STDERR_LOGGING=1 wine "$EXE" >"$W/out-$1.log" 2>&1 &
        pid=$!
        wid=
        for ((t = 0; t < 18; t++)); do
            wid=$(wait_window '^Tarnvik Upgrade Tool$' 5 "$pid") && break
            wid=
            grep -q 'CreateWindowEx failed' "$W/out-$1.log" && break
            kill -0 "$pid" 2>/dev/null || break
        done
        [ -n "$wid" ] && break
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        [ "$try" = 1 ] && grep -q 'CreateWindowEx failed' "$W/out-$1.log" || break
        echo "$TAG: at $1 DPI Wine could not make the window (CreateWindowEx failed); the tool is started once more"
        cp "$W/out-$1.log" "${E2E_RESULTS:-.}/tool-window-$1-no-window.log"
    done
    if [ -n "$wid" ]; then
        sleep 2 # let it paint
        size=$(xwininfo -id "$wid" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}')
        pass "at $1 DPI: window 'Tarnvik Upgrade Tool' shown ($size)"
        import -window "$wid" "$2" && pass "screenshot of the window: $2" || fail "no screenshot"
        close_and_check "$wid" "$pid"
        echo "$size" >"$W/size-$1"
    else
        fail "at $1 DPI: no window 'Tarnvik Upgrade Tool' within 90 s"
        return 1
    fi
}

# --help and --version answer on stdout (redirected here: a windowed
# program has no console) and exit at once, with no window.
for option in --version --help; do
    answer=$(timeout 60 wine "$EXE" "$option" 2>/dev/null)
    rc=$?
    answer=$(printf '%s' "$answer" | tr -d '\r')
    first=${answer%%$'\n'*}
    case "$option:$first" in
        "--version:tarnvik-upgrade-tool "[0-9]*|"--help:Usage: tarnvik-upgrade-tool "*)
            [ "$rc" = 0 ] && pass "$option answers: $first" || fail "$option: exit $rc";;
        *) fail "$option answered '$first' (exit $rc)";;
    esac
done
xdotool search --name '^Tarnvik Upgrade Tool$' >/dev/null 2>&1 && fail "a window opened for --help or --version"

show 96 "$SHOT"
sed "s/^/  tool: /" "$W/out-96.log" | head -n 20; cp "$W/out-96.log" "${E2E_RESULTS:-.}/tool-window.log"
grep -q '^QHidUsbMgr ' "$W/out-96.log" && pass "diagnostic lines on stderr; the manager started" \
    || fail "no 'QHidUsbMgr' diagnostic line on stderr"

# at_least PCT WHAT VALUE DESIGN: VALUE is at least DESIGN x PCT % (one
# pixel less where the layout rounds a place, or an edge row is blended).
at_least() {
    local want=$(($4 * $1 / 100))
    [ "$3" -ge $((want - 1)) ] && pass "at $1 %: $2 is $3 pixels (at least $4 times $1 %)" \
        || fail "at $1 %: $2 is $3 pixels, less than $want ($4 times $1 %)"
}

for dpi in 96 144 192; do
    pct=$((dpi * 100 / 96))
    shot=${SHOT%.png}-$dpi.png
    [ "$dpi" = 96 ] && shot=$SHOT
    if [ "$dpi" != 96 ]; then
        set_dpi "$dpi" || { fail "cannot set LogPixels to $dpi"; continue; }
        show "$dpi" "$shot" || continue
    fi
    [ -s "$W/size-$dpi" ] || continue
    IFS=x read -r w h <"$W/size-$dpi"
    ew=$((890 * dpi / 96))
    [ $((w - ew)) -ge -1 ] && [ $((w - ew)) -le 1 ] && pass "at $pct %: the window is $w pixels wide (890 times $pct %)" \
        || fail "at $pct %: the window is $w pixels wide, not $ew (890 times $pct %)"
    at_least "$pct" "the window's height" "$h" 336
    at_least "$pct" "the progress bar's height" "$(bar_height "$shot")" 50
    [ "$dpi" = 96 ] && continue
    scale=$(awk -v d="$dpi" 'BEGIN { print d / 96 }')
    if TARNVIK_SCALE=$scale QT_FORCE_STDERR_LOGGING=1 WINEQT_FORCE_STDERR_LOGGING=1 \
        timeout 240 wine "$FORM" scaledWindow scaledTexts >"$W/form-$dpi.log" 2>&1; then
        pass "at $pct %: the form suite's scaling cases pass ($(grep -a '^Totals' "$W/form-$dpi.log"))"
    else
        fail "at $pct %: the form suite's scaling cases failed (log: form-$dpi.log in the results)"
        tail -n 15 "$W/form-$dpi.log" | sed 's/^/  form: /'
    fi
    cp "$W/form-$dpi.log" "${E2E_RESULTS:-.}/form-$dpi.log"
done
[ "$FAILS" -eq 0 ]
