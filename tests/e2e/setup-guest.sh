#!/bin/bash
# setup-guest.sh BUILD_DIR
#
# Prepares the Linux guest in which the end-to-end tests run against the real
# kernel HID stack (uhid, hidraw) and the real hidapi library:
#   BUILD_DIR/guest/deb/        the Debian kernel package, as downloaded
#   BUILD_DIR/guest/kernel/     the package unpacked (never installed on the host)
#   BUILD_DIR/guest/vmlinux     the uncompressed kernel (boots faster than bzImage)
#   BUILD_DIR/guest/initramfs.cpio  busybox, the modules and /init
#   BUILD_DIR/guest/ready       written last; its content identifies the set-up
#
# Everything is cached: a second run with the same kernel and the same init
# script only checks that the pieces are there and returns.  The guest mounts
# the host's root read-only over 9p and chroots into it, so the test programs
# and all their libraries are the host's own, at the same paths.

set -euo pipefail

die() {
    echo "setup-guest: ERROR: $*" >&2
    exit 1
}
note() { echo "setup-guest: $*"; }

[ $# -eq 1 ] || die "usage: setup-guest.sh BUILD_DIR"
BUILD_DIR=$(realpath -m "$1")
GUEST=$BUILD_DIR/guest
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
INIT_SRC=$HERE/guest-init.sh
[ -f "$INIT_SRC" ] || die "missing $INIT_SRC"

# The kernel and the initramfs must never end up in the repository: inside
# the work tree only a git-ignored build folder will do.
ROOT=$(cd "$HERE/../.." && pwd)
case "$GUEST" in
    "$ROOT"/*)
        git -C "$ROOT" check-ignore -q "$GUEST" 2>/dev/null \
            || die "BUILD_DIR $BUILD_DIR lies in the source tree and is not git-ignored; use a build folder";;
esac
mkdir -p "$BUILD_DIR" || die "cannot create $BUILD_DIR"

T0=$(date +%s.%N)

# --- host tools -------------------------------------------------------------
# tool:package pairs; missing packages are installed when we are root.
need_pkgs=()
for pair in qemu-system-x86_64:qemu-system-x86 depmod:kmod modprobe:kmod cpio:cpio xz:xz-utils \
            apt-get:apt dpkg-deb:dpkg udevadm:udev setpriv:util-linux; do
    tool=${pair%%:*}; pkg=${pair#*:}
    command -v "$tool" >/dev/null 2>&1 || need_pkgs+=("$pkg")
done
# The guest's /init runs before the host root is mounted, so busybox must be
# the statically linked build.
BUSYBOX=/bin/busybox
if ! dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q "install ok installed"; then
    need_pkgs+=(busybox-static)
fi
if [ ${#need_pkgs[@]} -gt 0 ]; then
    mapfile -t need_pkgs < <(printf '%s\n' "${need_pkgs[@]}" | sort -u)
    if [ "$(id -u)" -eq 0 ] && [ -z "${E2E_NO_INSTALL:-}" ]; then
        note "installing host packages: ${need_pkgs[*]}"
        if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need_pkgs[@]}" >"$BUILD_DIR/guest-apt.log" 2>&1; then
            note "apt-get install failed; running apt-get update once and retrying"
            apt-get update >>"$BUILD_DIR/guest-apt.log" 2>&1 || note "apt-get update reported errors (see $BUILD_DIR/guest-apt.log); going on with the lists it has"
            DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need_pkgs[@]}" >>"$BUILD_DIR/guest-apt.log" 2>&1 \
                || die "cannot install ${need_pkgs[*]} (see $BUILD_DIR/guest-apt.log)"
        fi
    else
        die "missing host packages: ${need_pkgs[*]} (install them with apt-get)"
    fi
fi
[ -x "$BUSYBOX" ] || die "$BUSYBOX not found although busybox-static is installed"
if ldd "$BUSYBOX" >/dev/null 2>&1; then
    die "$BUSYBOX is dynamically linked; the guest needs busybox-static's build"
fi

# --- cached? ----------------------------------------------------------------
# The cache key is the content of the init script and of this script; the
# kernel is whatever was resolved when the cache was made.
HASH=$(cat "$INIT_SRC" "${BASH_SOURCE[0]}" | sha256sum | cut -c1-16)
if [ -f "$GUEST/ready" ] && [ "$(cut -d' ' -f1 "$GUEST/ready")" = "$HASH" ] \
   && [ -s "$GUEST/vmlinux" ] && [ -s "$GUEST/initramfs.cpio" ]; then
    note "guest is ready ($(cut -d' ' -f2 "$GUEST/ready"), cached in $GUEST)"
    exit 0
fi

# --- which kernel -----------------------------------------------------------
resolve_kernel_pkg() {
    apt-cache depends linux-image-amd64 2>/dev/null \
        | sed -n 's/^ *Depends: *\(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n1
}
KPKG=$(resolve_kernel_pkg || true)
if [ -z "$KPKG" ]; then
    note "linux-image-amd64 not known to apt-cache; running apt-get update"
    apt-get update >"$BUILD_DIR/guest-apt.log" 2>&1 || note "apt-get update reported errors (see $BUILD_DIR/guest-apt.log); going on with the lists it has"
    KPKG=$(resolve_kernel_pkg || true)
fi
[ -n "$KPKG" ] || die "cannot resolve the kernel package that linux-image-amd64 depends on"
KVER=${KPKG#linux-image-}
KEY="$HASH $KPKG"
rm -f "$GUEST/ready"
mkdir -p "$GUEST/deb"

# --- download and unpack the kernel package ---------------------------------
DEB=$(ls "$GUEST"/deb/"${KPKG}"_*_amd64.deb 2>/dev/null | head -n1 || true)
if [ -z "$DEB" ]; then
    note "downloading $KPKG"
    dl() { (cd "$GUEST/deb" && apt-get download "$KPKG") >"$GUEST/deb/download.log" 2>&1; }
    if ! dl; then
        note "download failed; running apt-get update and retrying"
        apt-get update >>"$GUEST/deb/download.log" 2>&1 || note "apt-get update reported errors (see $GUEST/deb/download.log); going on with the lists it has"
        dl || die "apt-get download $KPKG failed (see $GUEST/deb/download.log)"
    fi
    DEB=$(ls "$GUEST"/deb/"${KPKG}"_*_amd64.deb 2>/dev/null | head -n1 || true)
    [ -n "$DEB" ] || die "apt-get download $KPKG produced no .deb"
fi
# Keep a single kernel version around.
find "$GUEST/deb" -name '*.deb' ! -name "$(basename "$DEB")" -delete

KDIR=$GUEST/kernel
if [ ! -f "$KDIR/.unpacked-$KVER" ]; then
    note "unpacking $(basename "$DEB")"
    rm -rf "$KDIR"
    mkdir -p "$KDIR"
    dpkg -x "$DEB" "$KDIR" || die "dpkg -x $DEB failed"
    depmod -b "$KDIR" "$KVER" || die "depmod -b $KDIR $KVER failed"
    touch "$KDIR/.unpacked-$KVER"
fi
VMLINUZ=$KDIR/boot/vmlinuz-$KVER
[ -f "$VMLINUZ" ] || die "no $VMLINUZ in the kernel package"

# --- uncompressed kernel ----------------------------------------------------
# The bzImage carries an xz-compressed ELF; QEMU boots the ELF directly through
# its PVH entry point, which saves the decompression under TCG.
if [ ! -s "$GUEST/vmlinux" ] || [ "$GUEST/vmlinux" -ot "$VMLINUZ" ]; then
    note "extracting vmlinux"
    rm -f "$GUEST/vmlinux" "$GUEST/vmlinux.tmp"
    found=
    for off in $(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$VMLINUZ" | cut -d: -f1); do
        tail -c +"$((off + 1))" "$VMLINUZ" | xz -dc --single-stream >"$GUEST/vmlinux.tmp" 2>/dev/null || true
        if [ -s "$GUEST/vmlinux.tmp" ] && [ "$(head -c4 "$GUEST/vmlinux.tmp" | od -An -tx1 | tr -d ' \n')" = "7f454c46" ]; then
            found=1
            break
        fi
    done
    [ -n "$found" ] || die "no xz-compressed ELF kernel found inside $VMLINUZ"
    mv "$GUEST/vmlinux.tmp" "$GUEST/vmlinux"
fi

# --- initramfs --------------------------------------------------------------
# Modules in load order: the virtio transport, the 9p file system, then the
# HID core (which holds hidraw), uhid and hid-generic.  hid-generic is never
# autoloaded in the guest and without it no hidraw node appears.  Then USB:
# usbcore with the device-side core, dummy_hcd (a virtual host controller
# wired to a virtual device controller), configfs, the gadget framework and
# its HID function, and usbhid, the host's HID class driver.
note "building initramfs"
IRD=$GUEST/initramfs.d
rm -rf "$IRD"
mkdir -p "$IRD"/{bin,dev,proc,sys,newroot,lib/modules}
cp "$BUSYBOX" "$IRD/bin/busybox"
: >"$IRD/lib/modules/order"
declare -A seen=()
for mod in virtio_pci 9pnet_virtio 9p uhid hid-generic dummy_hcd configfs libcomposite usb_f_hid usbhid; do
    deps=$(modprobe -d "$KDIR" -S "$KVER" --show-depends "$mod" 2>&1) \
        || die "modprobe --show-depends $mod failed: $deps"
    # Lines read "insmod KDIR/lib/modules/.../NAME.ko [OPTIONS]"; KDIR may hold
    # spaces, the part below it does not.
    while IFS= read -r line; do
        case "$line" in
            "insmod $KDIR/"*) ;;
            insmod\ *) die "module outside $KDIR: $line";;
            *) continue;;
        esac
        read -r rel _ <<<"${line#"insmod $KDIR/"}"
        path=$KDIR/$rel
        name=$(basename "$path")
        [ -n "${seen[$name]:-}" ] && continue
        seen[$name]=1
        case "$name" in
            *.ko) cp "$path" "$IRD/lib/modules/$name";;
            *.ko.xz) xz -dc "$path" >"$IRD/lib/modules/${name%.xz}"; name=${name%.xz};;
            *.ko.zst) die "zstd-compressed module $name: unsupported";;
            *) die "unexpected module file $path";;
        esac
        echo "$name" >>"$IRD/lib/modules/order"
    done <<<"$deps"
done
for want in virtio_pci.ko 9pnet_virtio.ko 9p.ko hid.ko uhid.ko hid-generic.ko \
            dummy_hcd.ko configfs.ko libcomposite.ko usb_f_hid.ko usbhid.ko; do
    grep -qx "$want" "$IRD/lib/modules/order" || die "module $want missing from the load order"
done
install -m 0755 "$INIT_SRC" "$IRD/init"
(cd "$IRD" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet) >"$GUEST/initramfs.cpio.tmp" \
    || die "cpio failed"
mv "$GUEST/initramfs.cpio.tmp" "$GUEST/initramfs.cpio"

NMODS=$(wc -l <"$IRD/lib/modules/order")
rm -rf "$IRD"
echo "$KEY" >"$GUEST/ready"
T1=$(date +%s.%N)
note "guest ready: $KPKG, $NMODS modules, set up in $(awk -v a="$T0" -v b="$T1" 'BEGIN{printf "%.1f", b-a}') s"
