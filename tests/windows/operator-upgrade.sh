#!/bin/bash
# operator-upgrade.sh BUILD_DIR CFGMGR32_DLL PLANT_DLL LOADPROBE_EXE   (inside wine-session.sh)
#
# The released program as an operator meets it, under Wine, against the USB
# board in this guest:
#   - the zip that CPack made in BUILD_DIR is unpacked into a "Downloads"
#     folder, and DLLs are planted beside the exe under the names of system
#     DLLs it loads (hid and cfgmgr32, which hidapi loads by name, and
#     system DLLs it delay-loads), with Wine told to prefer such native
#     DLLs, as Windows searches; a program without precautions (loadprobe)
#     takes them from there;
#   - the exe is started in a work folder holding update\ and config.ini, and
#     its window is driven from the keyboard as a person would: pick the
#     board in the list (typing its name), connect, Start Upgrade, close the
#     boxes; a screenshot of the window during the upgrade goes to
#     $E2E_RESULTS/operator-upgrade.png, one of the last box to
#     operator-completed.png;
#   - the checksum frame went out, the last box came, the board judged the
#     image good and holds exactly the file; no planted DLL was loaded; the
#     program ends with status 0 when closed through its window;
#   - the console program from the zip lists and upgrades the board; its
#     station flashes the board once, and its replug is a board-back; a
#     board that restarts after E4 with a new release is flashed once and
#     its return checked (--wait-replug, --expect-release).

set -u
TAG=operator
. "$(dirname "$0")/window-lib.sh"
usage="usage: operator-upgrade.sh BUILD_DIR CFGMGR32_DLL PLANT_DLL LOADPROBE_EXE"
BUILD=${1:?$usage}
FIXTURE=${2:?$usage}
PLANT=${3:?$usage}
PROBE=${4:?$usage}
B=${E2E_BOARDS:-}
[ -x "$B/usb_device" ] || { fail "E2E_BOARDS must name the folder of the Linux board programs"; exit 2; }
mapfile -t zips < <(ls "$BUILD"/tarnvik-upgrade-tool-*-win32.zip 2>/dev/null)
[ ${#zips[@]} -eq 1 ] || { fail "expected one zip in $BUILD, found ${#zips[@]}"; exit 2; }
use_fixture "$FIXTURE" || exit 2
R=${E2E_RESULTS:-/run}

D=/run/work/Downloads
rm -rf "$D" && mkdir -p "$D"
python3 -m zipfile -e "${zips[0]}" "$D" || { fail "cannot unpack ${zips[0]}"; exit 2; }
EXE=$(find "$D" -name tarnvik-upgrade-tool.exe | head -n1)
[ -n "$EXE" ] || { fail "no tarnvik-upgrade-tool.exe in ${zips[0]}"; exit 2; }
HERE=$(dirname "$EXE")
pass "unpacked $(basename "${zips[0]}") into $HERE"

# Not version, winmm or userenv: Wine's own user32 imports version.dll, and
# its shlwapi and shell32 delay-load those three; Wine has no known DLLs and
# looks for a system DLL's imports in the program's folder first, so a plant
# under these names is taken by Wine's DLLs whatever the program does (a
# planted version.dll was loaded, and the program's own first call into
# version.dll then failed). Windows' user32 does not import version.dll.
PLANTED=(hid cfgmgr32 dwmapi netapi32 uxtheme wtsapi32)
for name in "${PLANTED[@]}"; do
    cp "$PLANT" "$HERE/$name.dll" || { fail "cannot plant $name.dll"; exit 2; }
done
# Native before built-in for these names, as Windows takes a DLL it finds.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$(IFS=,; echo "${PLANTED[*]}")=n,b"
export WINEDLLOVERRIDES

# The control: a program that loads them by name the plain way gets the plants.
cp "$PROBE" "$HERE/loadprobe.exe"
(cd "$HERE" && wine loadprobe.exe hid.dll cfgmgr32.dll uxtheme.dll) >/run/work/loadprobe.log 2>&1
sed 's/^/  loadprobe: /' /run/work/loadprobe.log | tr -d '\r'
taken=$(cd "$HERE" && ls ./*.dll.loaded 2>/dev/null | tr '\n' ' ')
[ -f "$HERE/hid.dll.loaded" ] && [ -f "$HERE/cfgmgr32.dll.loaded" ] && [ -f "$HERE/uxtheme.dll.loaded" ] \
    && pass "control: a program without precautions took the planted DLLs ($taken)" \
    || fail "control: the planted DLLs were not taken by loadprobe ($taken): the check below would prove nothing"
rm -f "$HERE"/*.loaded "$HERE/loadprobe.exe"

# The board, and the operator's work folder.
mkdir -p /run/work/operator-board
start_board usb /run/work/operator-board "$B/usb_device" --manufacturer Tarnvik --name "Wine Board" --uniq W1 \
    || exit 2
LABEL="hidraw(1a2b)-Tarnvik Wine Board(00ff)"
WORK=/run/work/bench
rm -rf "$WORK" && mkdir -p "$WORK/update"
head -c 30000 /dev/urandom >"$WORK/update/firmware.bin"
printf '[load]\r\nsleep=2\r\n' >"$WORK/config.ini"
PACKETS=500

LOG=/run/work/operator-tool.log
(cd "$WORK" && WINEQT_FORCE_STDERR_LOGGING=1 exec wine "$EXE") >"$LOG" 2>&1 &
PID=$!
writes() { grep -c '^hid_write ' "$LOG"; }
# wait_log PATTERN SECONDS: until the tool's log has a matching line; fails
# at once if the tool has ended.
logged_or_gone() { grep -q "$1" "$LOG" || ! kill -0 "$PID" 2>/dev/null; }
wait_log() { wait_until "$2" logged_or_gone "$1"; grep -q "$1" "$LOG"; }
keys() { xdotool key --clearmodifiers --delay 150 "$@"; sleep 0.5; }
E4='^hid_write [0-9]* 00 41 54 2b 4f 54 41 3d 45 34 3a'
# drive WID: the operator's steps, up to the first that fails.
drive() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    sleep 1
    # The focus starts on the connect button and the list is next. Typing
    # the start of an entry's text picks it (a blank would open the list).
    keys Tab
    xdotool type --delay 60 "${LABEL%% *}"
    sleep 1
    keys shift+Tab space
    wait_log '^OpenUsb end' 30 && pass "connected to the board picked in the list" \
        || { fail "no 'OpenUsb end' after connect"; return 1; }
    keys Tab Tab Tab space
    local box
    box=$(wait_window '^tip$' 30 "$PID") && pass "Start Upgrade: the start box" \
        || { fail "no box after Start Upgrade"; return 1; }
    xdotool windowfocus "$box" 2>/dev/null
    keys Return
    local i
    for ((i = 0; i < 300 && $(writes) < PACKETS / 2; i++)); do sleep 0.2; done
    [ "$(writes)" -ge $((PACKETS / 2)) ] || { fail "only $(writes) reports written after a minute"; return 1; }
    import -window "$1" "$R/operator-upgrade.png" && pass "screenshot during the upgrade ($(writes) reports written)"
    wait_log "$E4" 120 && pass "the checksum frame was written: $(grep "$E4" "$LOG" | cut -c1-80)" \
        || { fail "no checksum frame within 120 s ($(writes) reports written)"; return 1; }
    box=$(wait_window '^tip$' 60 "$PID") && pass "the completion box came" \
        || { fail "no box after the checksum"; return 1; }
    sleep 1
    import -window root "$R/operator-completed.png"
    xdotool windowfocus "$box" 2>/dev/null
    keys Return
}
if WID=$(wait_window '^Tarnvik Upgrade Tool$' 120 "$PID"); then
    pass "window shown"
    sleep 3 # the list is filled while the window is made
    drive "$WID"
    verdict=$(cd /run/work/operator-board && rm -f verdict.txt && echo verdict >control \
        && wait_until 10 test -s verdict.txt; cat verdict.txt)
    echo "  verdict: $verdict"
    [[ "$verdict" == *"verdict=GOOD size=30000 "* ]] && pass "the board judged the image good" \
        || fail "the board's verdict is not good"
    cmp -s /run/work/operator-board/image.bin "$WORK/update/firmware.bin" \
        && pass "the board holds exactly update\\firmware.bin" || fail "the board's image differs from the file"
    import -window root "$R/operator-end.png"
    close_and_check "$WID" "$PID"
else
    fail "no window within 120 s"
    kill "$PID" 2>/dev/null
fi

# The console program from the same zip, beside the same plants: it lists
# the board through Wine's HID stack and upgrades it by its serial number.
CLI="$HERE/tarnvik-upgrade.exe"
if [ -f "$CLI" ]; then
    head -c 6000 /dev/urandom >"$WORK/cli.bin"
    (cd "$WORK" && wine "$CLI" list) 2>&1 | tr -d '\r' >/run/work/cli-list.log
    sed 's/^/  list: /' /run/work/cli-list.log
    grep -q $'\t1a2b:00ff\tW1\t' /run/work/cli-list.log \
        && pass "tarnvik-upgrade list shows the board (1a2b:00ff, serial W1)" || fail "the board is not in the list"
    t0=$(now_ms)
    (cd "$WORK" && wine "$CLI" upgrade --serial W1 --image cli.bin --interval 2) \
        >/run/work/cli-upgrade.out 2>/run/work/cli-upgrade.err
    rc=$?
    tr -d '\r' </run/work/cli-upgrade.err | tail -n 4 | sed 's/^/  stderr: /'
    tr -d '\r' </run/work/cli-upgrade.out | sed 's/^/  stdout: /'
    [ "$rc" -eq 0 ] && grep -q '^OK .*serial W1 ' /run/work/cli-upgrade.out \
        && pass "tarnvik-upgrade upgrade --serial W1: exit status 0 in $(( ($(now_ms) - t0) / 1000 )) s" \
        || fail "tarnvik-upgrade upgrade --serial W1: exit status $rc"
    verdict=$(cd /run/work/operator-board && rm -f verdict.txt && echo verdict >control \
        && wait_until 10 test -s verdict.txt; cat verdict.txt)
    [[ "$verdict" == *"verdict=GOOD size=6000 "* ]] && pass "the board judged the console program's image good" \
        || fail "the board's verdict after the console program: $verdict"
    cmp -s /run/work/operator-board/image.bin "$WORK/cli.bin" \
        && pass "the board holds exactly the image the console program sent" || fail "the board's image differs"

    # Station mode: the board plugged in while the station runs, then
    # unplugged and plugged in again: flashed once, its replug a board-back.
    board() { echo "$1" >/run/work/operator-board/control; }
    events() { tr -d '\r' <"$1" | grep -c "\"event\":\"$2\""; }
    board "unplug 0"
    sleep 2
    (cd "$WORK" && exec wine "$CLI" station --serial W1 --image cli.bin --interval 2 --json -q --log station.log) \
        >/run/work/cli-station.out 2>/run/work/cli-station.err &
    SPID=$!
    sleep 5
    plugged=()
    plugged+=("$(date +%s%3N)")
    board "plug 0"
    wait_until 90 bash -c '[ "$(grep -c "\"event\":\"end\",\"outcome\":\"ok\"" /run/work/cli-station.out)" = 1 ]' \
        || fail "station: the plugged board was not flashed"
    board "unplug 0"
    sleep 2
    plugged+=("$(date +%s%3N)")
    board "plug 0"
    wait_until 90 bash -c 'grep -q "\"event\":\"board-back\"" /run/work/cli-station.out' \
        || fail "station: no board-back after the replug"
    sleep 3 # a second transfer would have begun by now
    kill -INT "$SPID" 2>/dev/null
    wait_until 10 bash -c "! kill -0 $SPID 2>/dev/null" || kill -KILL "$SPID" 2>/dev/null
    wait "$SPID" 2>/dev/null
    tr -d '\r' </run/work/cli-station.out | sed 's/^/  station: /'
    notice=$(tr -d '\r' </run/work/cli-station.out | python3 -c '
import datetime, json, sys
plugged = [int(t) for t in sys.argv[1:]]
seen = [json.loads(l) for l in sys.stdin if "board-present" in l]
ms = [datetime.datetime.strptime(e["time"], "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc).timestamp() * 1000 for e in seen]
print(" and ".join("%d ms" % (m - p) for m, p in zip(ms, plugged)))' "${plugged[@]}")
    st=/run/work/cli-station.out
    [ "$(events $st start)" = 1 ] && [ "$(events $st end)" = 1 ] && [ "$(events $st board-back)" = 1 ] \
        && [ "$(grep -c '"outcome":"ok"' "$WORK/station.log")" = 1 ] && [ "$(wc -l <"$WORK/station.log")" = 1 ] \
        && pass "tarnvik-upgrade station: the board flashed once when plugged in, its replug a board-back, one log record (from the plug command to board-present: $notice)" \
        || fail "tarnvik-upgrade station: $(events $st start) start, $(events $st end) end, $(events $st board-back) board-back events, $(wc -l <"$WORK/station.log") log records"

    # A board that restarts once it has taken E4 (its new image starts):
    # gone at once, bound again 500 ms later with bcdDevice 0x0101. A
    # station that checks its return flashes it once. (Wine saw it back
    # 6.7 s after E4 in the emulated guest on a loaded host: 30 s of grace.)
    stop_boards
    mkdir -p /run/work/restart-board
    start_board usb /run/work/restart-board "$B/usb_device" --manufacturer Tarnvik --name "Wine Board" --uniq W2 \
        --restart-after-e4 500 --restart-release 0x0101 || exit 2
    st=/run/work/cli-restart.out
    (cd "$WORK" && exec wine "$CLI" station --serial W2 --image cli.bin --interval 2 --wait-replug 30 \
        --expect-release 1.01 --json -q --log restart.log) >$st 2>/run/work/cli-restart.err &
    SPID=$!
    wait_until 90 bash -c "grep -q '\"event\":\"end\"' $st" || fail "station: the restarting board did not end"
    sleep 3
    kill -INT "$SPID" 2>/dev/null
    wait_until 10 bash -c "! kill -0 $SPID 2>/dev/null" || kill -KILL "$SPID" 2>/dev/null
    wait "$SPID" 2>/dev/null
    tr -d '\r' <$st | grep -v '"progress"' | sed 's/^/  restart: /'
    back=$(tr -d '\r' <$st | python3 -c '
import json, sys
events = [json.loads(l) for l in sys.stdin]
kinds = [e["event"] for e in events if e["event"] in ("start", "end", "board-back")]
end = next(e for e in events if e["event"] == "end")
back = next(e for e in events if e["event"] == "board-back")
assert kinds == ["start", "board-back", "end"], kinds
assert (end["outcome"], end["back"], end["release"], back["release"]) == ("ok", True, "1.01", "1.01"), end
print("%s s" % back["seconds"])')
    [ -n "$back" ] && [ "$(wc -l <"$WORK/restart.log")" = 1 ] && grep -q '"release":"1.01"' "$WORK/restart.log" \
        && pass "tarnvik-upgrade station --wait-replug 30 --expect-release 1.01: the restarting board flashed once, back $back after E4 with release 1.01, one log record" \
        || fail "tarnvik-upgrade station on the restarting board: $(tr -d '\r' <$st | grep -v '"progress"')"
else
    fail "no tarnvik-upgrade.exe beside the tool in the zip"
fi
stop_boards
cp "$LOG" "$R/operator-tool.log" 2>/dev/null
taken=$(cd "$HERE" && ls ./*.dll.loaded 2>/dev/null | tr '\n' ' ')
[ -z "$taken" ] && pass "no planted DLL was loaded into the tool (${PLANTED[*]})" \
    || fail "planted DLLs loaded into the tool: $taken"
grep -v -e '^hid_write' -e '^RecvBufSignal' "$LOG" | head -n 20 | sed 's/^/  tool: /'
[ "$FAILS" -eq 0 ]
