#!/bin/bash
# Inside the guest, as root: an ordinary user (uid 65534, group plugdev)
# cannot open the device without a rule, and can upgrade it once udevd runs
# with the project's shipped rule.
#   nonroot.sh UHID_DEVICE USB_DEVICE TST_GUEST RULES_FILE
# A uhid board has no USB parent: with the whole shipped file installed, its
# KERNELS line is the one that can match. Then a USB board, with a rules file
# that holds only the shipped file's ATTRS{idVendor}/ATTRS{idProduct} line:
# its upgrade shows that this line matches a real USB device. (Its no-rule
# case is the uhid one: without a rule every hidraw node is root's.)
set -u
work=/run/work/nonroot
mkdir -p "$work" && chmod 0777 "$work" && cd "$work" || exit 2
fail() { echo "nonroot: FAIL: $*"; exit 1; }
# The build tree may lie where the user cannot reach (a clone under /root):
# the three programs run from copies on the guest's /run, root's board
# programs included, so that the user checks the very programs root starts.
bin=$work/bin
mkdir -p "$bin" && chmod 0755 "$bin" || exit 2
install -m 0755 "$1" "$2" "$3" "$bin/" || fail "cannot copy the programs to $bin"
uhid=$bin/$(basename "$1") usb=$bin/$(basename "$2") tst=$bin/$(basename "$3") rules=$4
for p in "$uhid" "$usb" "$tst"; do
    setpriv --reuid=65534 --regid=65534 --groups=46 test -x "$p" || fail "the user cannot run $p"
done
waitfile() { for _ in $(seq 1 200); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
# asuser BOARD_VARIABLES... -- TEST_FUNCTION
asuser() {
    local vars=()
    while [ "$1" != -- ]; do vars+=("$1"); shift; done
    shift
    setpriv --reuid=65534 --regid=65534 --groups=46 \
        env HOME="$work" TMPDIR="$work" XDG_RUNTIME_DIR="$work" E2E_NONROOT=1 \
        QT_QPA_PLATFORM=offscreen "${vars[@]}" "$tst" "$@"
}

echo "nonroot: phase 1, no rule"
"$uhid" --ready ready1 --verdict verdict1 --timeout 100 \
    --dev 1a2b:00ff --name "Tarnvik Board" --uniq NR-1 & dev=$!
waitfile ready1 || fail "no hidraw node"
ls -l /dev/hidraw*
asuser E2E_UHID="$uhid" -- nonRootWithoutAccess || fail "the open did not fail as it should without a rule"
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
asuser E2E_UHID="$uhid" -- nonRootWithRule || fail "the user could not upgrade with the rule installed"
kill -TERM $dev; wait $dev; status=$?
cat verdict2
[ $status -eq 0 ] || fail "the device's verdict is not good"

echo "nonroot: phase 3, a USB board and only the rule's ATTRS{idVendor} line"
installed=/run/udev/rules.d/$(basename "$rules")
grep '^SUBSYSTEM=="hidraw", ATTRS{idVendor}==' "$rules" >"$installed"
[ "$(wc -l <"$installed")" -eq 1 ] && ! grep -q KERNELS "$installed" \
    || fail "the shipped rule has no single ATTRS{idVendor} line without KERNELS"
echo "nonroot: installed: $(cat "$installed")"
udevadm control --reload || fail "udevd did not reload the rules"
"$usb" --ready ready3 --verdict verdict3 --timeout 100 \
    --dev 1a2b:00ff --manufacturer Tarnvik --name "Tarnvik Board" --uniq NR-2 & dev=$!
waitfile ready3 || fail "no hidraw node for the USB board"
udevadm settle -t 10
ls -l /dev/hidraw*
# This boot's bus is dummy_hcd's default: high speed.
asuser E2E_USB="$usb" E2E_USB_SPEED=480 -- nonRootWithRule \
    || fail "the user could not upgrade the USB board with the ATTRS line installed"
kill -TERM $dev; wait $dev; status=$?
cat verdict3
[ $status -eq 0 ] || fail "the USB board's verdict is not good"
udevadm control --exit 2>/dev/null
echo "nonroot: PASS"
