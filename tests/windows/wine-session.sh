#!/bin/bash
# wine-session.sh COMMAND [ARG...]   (runs inside the test guest, as root)
#
# What Windows programs need under Wine in the guest, made once per boot,
# then COMMAND:
#   - a writable /tmp for the X server's socket and the Wine server's: a
#     tmpfs over the host's read-only one, with every entry of the host's
#     /tmp bound into it again (a clone under /tmp stays where it is), but
#     the X and Wine sockets of the host; and /dev/fd;
#   - udevd, which tells winebus' udev bus of the boards' hidraw nodes as
#     they come and go;
#   - Xvfb on display :77 (DISPLAY exported), 24 bits, 2560 x 1600 (a
#     laptop's screen at 200 %, where the tool's window at that setting,
#     about 1800 x 700, fits) or the size E2E_SCREEN names (WIDTHxHEIGHT);
#   - a 32-bit Wine prefix in /run/wine; no debug channels, no Mono or Gecko
#     installers (WINEDEBUG, WINEDLLOVERRIDES exported). Making one with
#     wineboot takes a minute or more under emulation, so a prefix saved
#     earlier is unpacked when E2E_WINE_PREFIX names one (a tar file); a newly
#     made one is saved as $E2E_RESULTS/wineprefix.tar for the host to keep;
#     winebus' SDL bus is turned off in it (see reg_set below), and a crash
#     gives a backtrace instead of a dialog.
# The exit status is COMMAND's.

set -u
[ -n "${E2E_IN_GUEST:-}" ] || { echo "wine-session: meant to run inside the test guest (run-guest.sh)"; exit 2; }
[ $# -ge 1 ] || { echo "usage: wine-session.sh COMMAND [ARG...]"; exit 2; }
now() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
T0=$(now)
say() { local t=$(( $(now) - T0 )); printf 'wine-session: [%d.%01d s] %s\n' $((t / 1000)) $((t % 1000 / 100)) "$*"; }

mkdir -p /run/host-tmp && mount --bind /tmp /run/host-tmp \
    && mount -t tmpfs -o mode=1777 tmpfs /tmp || { echo "wine-session: cannot mount a tmpfs on /tmp"; exit 2; }
shopt -s dotglob nullglob
for entry in /run/host-tmp/*; do
    name=${entry##*/}
    case "$name" in .X11-unix|.ICE-unix|.XIM-unix|.font-unix|.Test-unix|.X*-lock|.wine-*) continue;; esac
    if [ -L "$entry" ]; then
        ln -s "$(readlink "$entry")" "/tmp/$name"
    elif [ -d "$entry" ]; then
        mkdir "/tmp/$name" && mount --bind "$entry" "/tmp/$name"
    elif [ -f "$entry" ]; then
        : >"/tmp/$name" && mount --bind "$entry" "/tmp/$name"
    fi || { echo "wine-session: cannot keep the host's /tmp/$name visible"; exit 2; }
done
shopt -u dotglob nullglob
# The guest's devtmpfs has no /dev/fd, which bash's process substitution needs.
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
export DISPLAY=:77
Xvfb :77 -screen 0 "${E2E_SCREEN:-2560x1600}x24" -nolisten tcp >/run/xvfb.log 2>&1 &
for _ in $(seq 100); do
    [ -S /tmp/.X11-unix/X77 ] && break
    sleep 0.1
done
[ -S /tmp/.X11-unix/X77 ] || { echo "wine-session: Xvfb did not start"; cat /run/xvfb.log; exit 2; }
say "Xvfb ready"

export SYSTEMD_IGNORE_CHROOT=1
/lib/systemd/systemd-udevd --daemon >/run/udevd.log 2>&1 || { echo "wine-session: udevd did not start"; exit 2; }
udevadm trigger && udevadm settle -t 30
say "udevd running"

export WINEPREFIX=/run/wine WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -n "${E2E_WINE_PREFIX:-}" ] && [ -f "$E2E_WINE_PREFIX" ]; then
    tar -C /run -xf "$E2E_WINE_PREFIX" || { echo "wine-session: cannot unpack $E2E_WINE_PREFIX"; exit 2; }
    say "Wine prefix unpacked from $E2E_WINE_PREFIX"
else
    wineboot --init >/run/wineboot.log 2>&1
    # Wait for the set-up's processes to finish and the registry to be saved.
    timeout 300 wineserver -w || { say "wineserver -w did not return; stopping it"; wineserver -k; }
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-session: wineboot made no prefix"; cat /run/wineboot.log; exit 2; }
    say "Wine prefix made"
    tar -C /run -cf "$E2E_RESULTS/wineprefix.tar" wine && say "prefix saved for later boots"
fi
# reg_set FILE KEY LINE: LINE ("name"=value) in KEY of a registry file of
# the prefix, edited before the Wine server reads it (KEY as the file writes
# it, with doubled backslashes).
reg_set() {
    # Through the environment: awk -v would read the backslashes as escapes.
    KEY="[$2]" LINE=$3 NAME=${3%%=*} awk '
        BEGIN { key = ENVIRON["KEY"]; line = ENVIRON["LINE"]; name = ENVIRON["NAME"] }
        function put() { if (!done) print line; done = 1 }
        /^\[/ { if (inkey) put(); inkey = index($0, key " ") == 1 || $0 == key; print; next }
        inkey && index($0, name "=") == 1 { next }
        inkey && !/^#/ { put() }
        { print }
        END { if (inkey) put(); if (!done) print "\n" key "\n" line }' "$1" >"$1.new" && mv "$1.new" "$1"
}
# Wine 8.0 starts winebus' udev bus, which hands the guest's hidraw devices
# to Windows programs, only when its SDL bus did not start, and counts a
# failed start (no libSDL2 here) as started. A program that crashes gets a
# backtrace on stderr, not a dialog that waits for a click.
reg_set "$WINEPREFIX/system.reg" 'System\\CurrentControlSet\\Services\\winebus' '"Enable SDL"=dword:00000000' \
    && reg_set "$WINEPREFIX/user.reg" 'Software\\Wine\\WineDbg' '"ShowCrashDialog"=dword:00000000' \
    || { echo "wine-session: cannot edit the prefix's registry"; exit 2; }
say "$(wine --version 2>/dev/null)"

"$@"
rc=$?
say "command ended with status $rc"
wineserver -k 2>/dev/null
exit "$rc"
