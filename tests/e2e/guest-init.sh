#!/bin/busybox sh
# /init of the end-to-end test guest (runs from the initramfs as PID 1).
#
# Loads the virtio, 9p, HID and USB modules (for USB, dummy_hcd: a host
# controller wired to a device controller, on which tests plug a configfs HID
# gadget), mounts the host's root read-only over 9p and the writable results
# share under its /run/results, chroots into it and runs the script that
# run-guest.sh left at /run/results/.e2e/run.sh.  The script's exit status
# goes to /run/results/.e2e/status together with the token from the kernel
# command line, so the host can tell a status of this boot from a stale one.
# Whatever happens, the guest powers off at the end.

/bin/busybox --install -s /bin
export PATH=/bin

say() { echo "e2e-guest: $*"; }
fail() {
    echo "E2E-GUEST-ERROR: $*"
    sync
    poweroff -f
    exit 1
}

mount -t proc proc /proc || fail "cannot mount /proc"
mount -t sysfs sysfs /sys || fail "cannot mount /sys"
mount -t devtmpfs devtmpfs /dev || fail "cannot mount /dev"

TOKEN=
for arg in $(cat /proc/cmdline); do
    case "$arg" in
        e2e.token=*) TOKEN=${arg#e2e.token=};;
    esac
done
[ -n "$TOKEN" ] || fail "no e2e.token= on the kernel command line"

# Module parameters come from the kernel command line as MODULE.PARAM=VALUE,
# the form modprobe takes them in (insmod does not look there), for example
# dummy_hcd.is_high_speed=0 for a full-speed USB bus.
CMDLINE=$(cat /proc/cmdline)
for m in $(cat /lib/modules/order); do
    name=${m%.ko}
    name=${name//-/_}
    params=
    for arg in $CMDLINE; do
        case "$arg" in
            "$name".*=*) params="$params ${arg#*.}";;
        esac
    done
    insmod "/lib/modules/$m" $params || fail "insmod $m$params failed"
done
say "modules loaded $(cut -d' ' -f1 /proc/uptime) s after kernel start"

R=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot $R \
    || fail "cannot mount the host root (9p tag hostroot)"
mount -t proc proc $R/proc || fail "cannot mount proc in the chroot"
mount -t sysfs sysfs $R/sys || fail "cannot mount sysfs in the chroot"
mount -t devtmpfs devtmpfs $R/dev || fail "cannot mount devtmpfs in the chroot"
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts $R/dev/pts || fail "cannot mount devpts"
mount -t tmpfs -o mode=1777 tmpfs $R/dev/shm || fail "cannot mount /dev/shm"
mount -t tmpfs -o mode=755 tmpfs $R/run || fail "cannot mount tmpfs on /run"
# dummy_hcd's bus speed is a load parameter: tests that change it within one
# boot load the module again from here.
mkdir -p $R/run/modules && cp /lib/modules/dummy_hcd.ko $R/run/modules/ || fail "cannot keep dummy_hcd.ko"
mkdir -p $R/run/results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results $R/run/results \
    || fail "cannot mount the results share (9p tag results)"

SCRIPT=/run/results/.e2e/run.sh
[ -f "$R$SCRIPT" ] || fail "no $SCRIPT on the results share"

say "command starts $(cut -d' ' -f1 /proc/uptime) s after kernel start"
chroot $R /usr/bin/env -i /bin/bash "$SCRIPT" </dev/null
rc=$?
say "command ended with status $rc at $(cut -d' ' -f1 /proc/uptime) s"

echo "$TOKEN $rc" >$R/run/results/.e2e/status || fail "cannot write the exit status"
sync
umount $R/run/results 2>/dev/null
poweroff -f
