#!/bin/bash
# run-guest.sh BUILD_DIR RESULTS_DIR TIMEOUT_S -- COMMAND [ARG...]
#
# Boots the test guest prepared by setup-guest.sh under QEMU (TCG; KVM cannot
# boot a stock kernel on these machines) and runs COMMAND inside it, as root in
# a chroot of the host's root file system, which the guest sees read-only.
# RESULTS_DIR is shared writable and appears in the guest as /run/results
# (exported as E2E_RESULTS).  The command starts in /run/work, with HOME,
# TMPDIR and XDG_RUNTIME_DIR under /run and QT_QPA_PLATFORM=offscreen; host
# variables whose names begin with E2E_ are passed through.  E2E_KERNEL_ARGS
# adds to the guest kernel's command line, for example module parameters
# (dummy_hcd.is_high_speed=0: a full-speed USB bus), which the guest's init
# hands to insmod.
#
# RUN_GUEST_CPU and RUN_GUEST_MEM (MB) change QEMU's CPU model (default max)
# and memory (default 512); Wine needs qemu64 and more memory (see
# tools/test-windows.sh).
#
# The guest's console is streamed to stdout and kept in
# RESULTS_DIR/.e2e/console.log.  The exit status is COMMAND's; when the guest
# gives none (it did not boot, crashed or ran out of time) the status is
# non-zero and the reason is printed.  QEMU never outlives TIMEOUT_S (+5 s).

set -uo pipefail

die() {
    echo "run-guest: ERROR: $*" >&2
    exit 2
}

[ $# -ge 5 ] && [ "$4" = "--" ] || die "usage: run-guest.sh BUILD_DIR RESULTS_DIR TIMEOUT_S -- COMMAND [ARG...]"
BUILD_DIR=$1
RESULTS_DIR=$2
TIMEOUT_S=$3
shift 4
case "$TIMEOUT_S" in ''|*[!0-9]*) die "TIMEOUT_S must be a whole number of seconds";; esac

GUEST=$(cd "$BUILD_DIR" 2>/dev/null && pwd)/guest
[ -f "$GUEST/ready" ] && [ -s "$GUEST/vmlinux" ] && [ -s "$GUEST/initramfs.cpio" ] \
    || die "guest not set up in $BUILD_DIR/guest: run setup-guest.sh $BUILD_DIR first"
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 not found (apt-get install qemu-system-x86)"
mkdir -p "$RESULTS_DIR" || die "cannot create $RESULTS_DIR"
RESULTS_DIR=$(cd "$RESULTS_DIR" && pwd)
# Within QEMU's -virtfs option a comma ends the value; ",," stands for one.
RESULTS_SHARE=${RESULTS_DIR//,/,,}

CTL=$RESULTS_DIR/.e2e
rm -rf "$CTL"
mkdir -p "$CTL" || die "cannot create $CTL"
TOKEN=$(od -An -N8 -tx8 /dev/urandom | tr -d ' ')

# The script the guest's /init runs in the chroot.
{
    echo '#!/bin/bash'
    echo 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
    echo 'export LANG=C.UTF-8 TERM=dumb'
    while IFS='=' read -r name _; do
        case "$name" in E2E_*) printf 'export %s=%q\n' "$name" "${!name}";; esac
    done < <(env)
    echo 'export HOME=/run/home TMPDIR=/run/tmp XDG_RUNTIME_DIR=/run/user/0'
    echo 'export QT_QPA_PLATFORM=offscreen E2E_RESULTS=/run/results E2E_IN_GUEST=1'
    echo 'mkdir -p "$HOME" "$TMPDIR" "$XDG_RUNTIME_DIR" /run/work && chmod 1777 "$TMPDIR" && chmod 700 "$XDG_RUNTIME_DIR" || exit 125'
    echo 'cd /run/work || exit 125'
    printf '%q ' "$@"
    echo
} >"$CTL/run.sh"

# Kill the whole QEMU run if we are interrupted (ctest time-out, Ctrl-C).
QPID=
cleanup() {
    [ -n "$QPID" ] && kill -TERM "$QPID" 2>/dev/null
    exit 130
}
trap cleanup INT TERM HUP

T0=$(date +%s.%N)
echo "run-guest: booting guest (timeout ${TIMEOUT_S} s): $*"
timeout -k 5 "$TIMEOUT_S" qemu-system-x86_64 \
    -accel tcg,thread=multi,tb-size=64 -cpu "${RUN_GUEST_CPU:-max}" -smp 2 -m "${RUN_GUEST_MEM:-512}" \
    -nodefaults -no-user-config -display none -monitor none -serial stdio -no-reboot \
    -kernel "$GUEST/vmlinux" -initrd "$GUEST/initramfs.cpio" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 e2e.token=$TOKEN ${E2E_KERNEL_ARGS:-}" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$RESULTS_SHARE,mount_tag=results,security_model=none,multidevs=remap" \
    </dev/null > >(tee "$CTL/console.log") 2>"$CTL/qemu.stderr" &
QPID=$!
wait "$QPID"
QRC=$?
QPID=
T1=$(date +%s.%N)
ELAPSED=$(awk -v a="$T0" -v b="$T1" 'BEGIN{printf "%.1f", b-a}')
# Let tee flush the last console lines before we print our own.
sleep 0.2

if [ -s "$CTL/qemu.stderr" ]; then
    sed 's/^/run-guest: qemu: /' "$CTL/qemu.stderr" >&2
fi

STATUS_LINE=$(cat "$CTL/status" 2>/dev/null || true)
if [ -z "$STATUS_LINE" ]; then
    reason="the guest wrote no exit status"
    if [ "$QRC" -eq 124 ] || [ "$QRC" -eq 137 ]; then
        reason="$reason: TIMED OUT after ${TIMEOUT_S} s"
    elif [ "$QRC" -ne 0 ]; then
        reason="$reason: qemu exited with status $QRC"
    fi
    gerr=$(grep -a 'E2E-GUEST-ERROR' "$CTL/console.log" 2>/dev/null | head -n3 || true)
    if [ -n "$gerr" ]; then
        reason="$reason; guest said: $gerr"
    elif grep -aq 'Kernel panic' "$CTL/console.log" 2>/dev/null; then
        reason="$reason; the guest kernel panicked (see $CTL/console.log)"
    fi
    echo "run-guest: FAILED after $ELAPSED s: $reason" >&2
    exit 3
fi
read -r got_token rc <<<"$STATUS_LINE"
if [ "$got_token" != "$TOKEN" ]; then
    echo "run-guest: FAILED: the exit status on the results share is not from this boot" >&2
    exit 3
fi
case "$rc" in ''|*[!0-9]*) echo "run-guest: FAILED: malformed exit status '$STATUS_LINE'" >&2; exit 3;; esac
echo "run-guest: guest command exited with status $rc; boot to result $ELAPSED s"
exit "$rc"
