#!/bin/bash
# Inside the guest, as root: an ordinary user (uid 65534, group plugdev)
# cannot open the device without a rule, and can upgrade it once udevd runs
# with the project's shipped rule.
#   nonroot.sh UHID_DEVICE TST_GUEST RULES_FILE
set -u
uhid=$1 tst=$2 rules=$3
work=/run/work/nonroot
mkdir -p "$work" && chmod 0777 "$work" && cd "$work" || exit 2
fail() { echo "nonroot: FAIL: $*"; exit 1; }
waitfile() { for _ in $(seq 1 200); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
asuser() {
    setpriv --reuid=65534 --regid=65534 --groups=46 \
        env HOME="$work" TMPDIR="$work" XDG_RUNTIME_DIR="$work" E2E_NONROOT=1 \
        QT_QPA_PLATFORM=offscreen E2E_UHID="$uhid" "$tst" "$@"
}

echo "nonroot: phase 1, no rule"
"$uhid" --ready ready1 --verdict verdict1 --timeout 100 \
    --dev 1a2b:00ff --name "Tarnvik Board" --uniq NR-1 & dev=$!
waitfile ready1 || fail "no hidraw node"
ls -l /dev/hidraw*
asuser nonRootWithoutAccess || fail "the open did not fail as it should without a rule"
kill -TERM $dev; wait $dev

echo "nonroot: phase 2, udevd with the shipped rule"
mkdir -p /run/udev/rules.d && cp "$rules" /run/udev/rules.d/ || fail "cannot install the rule"
export SYSTEMD_IGNORE_CHROOT=1
/lib/systemd/systemd-udevd --daemon || fail "udevd did not start"
udevadm settle -t 10
"$uhid" --ready ready2 --verdict verdict2 --timeout 100 \
    --dev 1a2b:00ff --name "Tarnvik Board" --uniq NR-2 & dev=$!
waitfile ready2 || fail "no hidraw node"
udevadm settle -t 10
ls -l /dev/hidraw*
asuser nonRootWithRule || fail "the user could not upgrade with the rule installed"
kill -TERM $dev; wait $dev; status=$?
cat verdict2
[ $status -eq 0 ] || fail "the device's verdict is not good"
udevadm control --exit 2>/dev/null
echo "nonroot: PASS"
