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
