#!/bin/bash
# wine-session.sh COMMAND [ARG...]   (runs inside the test guest, as root)
#
# What Windows programs need under Wine in the guest, made once per boot,
# then COMMAND:
#   - a writable /tmp (a tmpfs over the host's read-only one) for the X
#     server's socket, and /dev/fd;
#   - Xvfb on display :77 (DISPLAY exported), 1024 x 768, 24 bits;
#   - a 32-bit Wine prefix in /run/wine; no debug channels, no Mono or Gecko
#     installers (WINEDEBUG, WINEDLLOVERRIDES exported). Making one with
#     wineboot takes a minute or more under emulation, so a prefix saved
#     earlier is unpacked when E2E_WINE_PREFIX names one (a tar file); a newly
#     made one is saved as $E2E_RESULTS/wineprefix.tar for the host to keep.
# The exit status is COMMAND's.

set -u
[ -n "${E2E_IN_GUEST:-}" ] || { echo "wine-session: meant to run inside the test guest (run-guest.sh)"; exit 2; }
[ $# -ge 1 ] || { echo "usage: wine-session.sh COMMAND [ARG...]"; exit 2; }
now() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
T0=$(now)
say() { local t=$(( $(now) - T0 )); printf 'wine-session: [%d.%01d s] %s\n' $((t / 1000)) $((t % 1000 / 100)) "$*"; }

mount -t tmpfs -o mode=1777 tmpfs /tmp || { echo "wine-session: cannot mount a tmpfs on /tmp"; exit 2; }
# The guest's devtmpfs has no /dev/fd, which bash's process substitution needs.
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
export DISPLAY=:77
Xvfb :77 -screen 0 1024x768x24 -nolisten tcp >/run/xvfb.log 2>&1 &
for _ in $(seq 100); do
    [ -S /tmp/.X11-unix/X77 ] && break
    sleep 0.1
done
[ -S /tmp/.X11-unix/X77 ] || { echo "wine-session: Xvfb did not start"; cat /run/xvfb.log; exit 2; }
say "Xvfb ready"

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
say "$(wine --version 2>/dev/null)"

"$@"
rc=$?
say "command ended with status $rc"
wineserver -k 2>/dev/null
exit "$rc"
