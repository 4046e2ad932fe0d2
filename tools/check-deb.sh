#!/usr/bin/env bash
# Builds the Debian package and checks it, then installs it on a fresh,
# minimal Debian 12 root (debootstrap, minbase) and starts the tool there.
# As root, with access to a Debian mirror; tools/test.sh runs it.
#
#   bash tools/check-deb.sh
#
# What it checks:
#   - the package's Depends names the Qt, hidapi and udev libraries;
#   - it holds only the tool and its console program, its menu entry,
#     icons, the two manual pages, doc files and the udev rule template,
#     under /usr, owned by root, with the usual modes; no demo, test,
#     benchmark or build helper;
#   - lintian reports no error (besides the accepted tags below);
#   - on the fresh root, `apt-get install ./<package>.deb` pulls in every
#     library itself (recommended packages left out) and nothing is missing
#     for the executable; with no display there, the console program lists
#     the devices and the window's program answers --help and --version;
#   - the menu entry passes desktop-file-validate; the icon sizes are folders
#     of the hicolor theme and the icon lands in its cache;
#   - the tool starts under Xvfb and shows its window "Tarnvik Upgrade Tool",
#     still running after a few seconds; a screenshot of the display is
#     written to <build dir>/check-deb-shot.png to look at;
#   - `dpkg -r` and `dpkg -P` leave none of the package's files behind.
#
# Settings (environment):
#   BUILD_DIR   build tree of the package (build-pkg)
#   MIRROR      Debian mirror (http://deb.debian.org/debian)
#   CACHE_DIR   keeps the bootstrapped root as a tarball and the downloaded
#               packages between runs (/var/cache/tarnvik-check-deb); remove
#               it to start from a new debootstrap
#   ROOT        where the fresh root is unpacked (/tmp/tarnvik-debroot);
#               removed at the end unless KEEP_ROOT=1
#
# The first run takes a few minutes (debootstrap, about 150 MB of packages);
# later runs reuse the cache.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build-pkg}
MIRROR=${MIRROR:-http://deb.debian.org/debian}
CACHE_DIR=${CACHE_DIR:-/var/cache/tarnvik-check-deb}
ROOT=${ROOT:-/tmp/tarnvik-debroot}
KEEP_ROOT=${KEEP_ROOT:-0}
PKG=tarnvik-upgrade-tool
# Tags lintian reports for the placeholder maintainer address; every other
# error fails the check.
LINTIAN_ACCEPT="bogus-mail-host bogus-mail-host-in-debian-changelog"

if [ "$(id -u)" -ne 0 ]; then
    echo "check-deb: run as root (debootstrap and chroot need it)" >&2
    exit 1
fi

fail() { echo "check-deb: FAIL: $*" >&2; exit 1; }
step() { echo; echo "== $* (at ${SECONDS}s)"; }

bash tools/deps.sh dpkg-dev lintian debootstrap

# ---------------------------------------------------------------- package
step "build the package in $BUILD_DIR"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
rm -f "$BUILD_DIR"/${PKG}_*.deb
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
debs=("$BUILD_DIR"/${PKG}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package in $BUILD_DIR, got: ${debs[*]}"
DEB=$(realpath "${debs[0]}")
echo "package: $DEB ($(stat -c %s "$DEB") bytes)"

step "package contents"
dpkg-deb -I "$DEB"
depends=$(dpkg-deb -f "$DEB" Depends)
[ -n "$depends" ] || fail "no Depends line: is CPACK_DEBIAN_PACKAGE_SHLIBDEPS on and dpkg-dev installed?"
depends_names=$(sed 's/([^)]*)//g; s/[,|]/\n/g' <<<"$depends" | tr -d ' ')
for lib in libqt5core5a libqt5gui5 libqt5widgets5 libhidapi-hidraw0 libudev1 libc6 libstdc++6; do
    grep -qxF "$lib" <<<"$depends_names" || fail "Depends lacks $lib: $depends"
done

listing=$(dpkg-deb -c "$DEB")
echo "$listing"
expected_files="./usr/bin/$PKG
./usr/bin/tarnvik-upgrade
./usr/share/applications/$PKG.desktop
./usr/share/doc/$PKG/changelog.gz
./usr/share/doc/$PKG/copyright
./usr/share/icons/hicolor/128x128/apps/$PKG.png
./usr/share/icons/hicolor/256x256/apps/$PKG.png
./usr/share/icons/hicolor/48x48/apps/$PKG.png
./usr/share/man/man1/$PKG.1.gz
./usr/share/man/man1/tarnvik-upgrade.1.gz
./usr/share/pixmaps/$PKG.png
./usr/share/$PKG/70-tarnvik-upgrade.rules"
actual_files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)
if [ "$actual_files" != "$(sort <<<"$expected_files")" ]; then
    diff <(sort <<<"$expected_files") <(echo "$actual_files") || true
    fail "the package's files differ from the expected list (< expected, > packaged)"
fi
awk '$2 != "root/root" {print; bad=1} END {exit bad}' <<<"$listing" || fail "entries not owned by root/root"
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {print; bad=1}
     $1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" {print; bad=1}
     $1 ~ /^-/ && $6 !~ /^\.\/usr\/bin\// && $1 != "-rw-r--r--" {print; bad=1}
     $1 !~ /^[-d]/ {print; bad=1}
     END {exit bad}' <<<"$listing" || fail "unexpected modes or file types"

step "lintian"
lint=$(lintian --pedantic "$DEB" 2>/dev/null || true)
echo "${lint:-(no tags)}"
errors=$(grep '^E: ' <<<"$lint" || true)
for tag in $LINTIAN_ACCEPT; do
    errors=$(grep -v "^E: $PKG: $tag " <<<"$errors" || true)
done
[ -z "$errors" ] || fail "lintian errors: $errors"

# ---------------------------------------------------------------- fresh root
mounts=()
cleanup() {
    local i
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
        umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true
    done
    mounts=()
}
trap cleanup EXIT
remove_root() {
    if [ -d "$ROOT" ]; then
        if findmnt -rno TARGET | grep -q "^$ROOT\(/\|$\)"; then
            fail "something is still mounted under $ROOT; not removing it"
        fi
        rm -rf --one-file-system "$ROOT"
    fi
}

step "fresh Debian 12 root in $ROOT"
mkdir -p "$CACHE_DIR/archives/partial"
remove_root
if [ ! -s "$CACHE_DIR/bookworm-minbase.tar" ]; then
    debootstrap --variant=minbase bookworm "$ROOT" "$MIRROR" >"$CACHE_DIR/debootstrap.log" 2>&1 \
        || { tail -20 "$CACHE_DIR/debootstrap.log"; fail "debootstrap"; }
    tar -C "$ROOT" -cf "$CACHE_DIR/bookworm-minbase.tar.new" .
    mv "$CACHE_DIR/bookworm-minbase.tar.new" "$CACHE_DIR/bookworm-minbase.tar"
else
    echo "(from $CACHE_DIR/bookworm-minbase.tar)"
    mkdir -p "$ROOT"
    tar -C "$ROOT" -xf "$CACHE_DIR/bookworm-minbase.tar"
fi

bindmount() { mount --bind "$1" "$2"; mounts+=("$2"); }
mount -t proc proc "$ROOT/proc"; mounts+=("$ROOT/proc")
mount -t sysfs sysfs "$ROOT/sys"; mounts+=("$ROOT/sys")
bindmount /dev "$ROOT/dev"
bindmount /dev/pts "$ROOT/dev/pts"
bindmount "$CACHE_DIR/archives" "$ROOT/var/cache/apt/archives"
cp -L /etc/resolv.conf "$ROOT/etc/resolv.conf"
printf '#!/bin/sh\nexit 101\n' >"$ROOT/usr/sbin/policy-rc.d"
chmod 755 "$ROOT/usr/sbin/policy-rc.d"
echo "deb $MIRROR bookworm main" >"$ROOT/etc/apt/sources.list"
cp "$DEB" "$ROOT/tmp/"

step "install and start it in the fresh root"
chroot "$ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive PKG="$PKG" DEB="/tmp/$(basename "$DEB")" \
    /bin/bash -s <<'INROOT'
set -euo pipefail
fail() { echo "check-deb (in root): FAIL: $*" >&2; exit 1; }
t0=$SECONDS
apt-get update -qq
dpkg-query -W "$PKG" 2>/dev/null && fail "$PKG is already installed in the fresh root"
# Only the package: apt has to find every library from its Depends alone.
apt-get install -y -q --no-install-recommends "$DEB" >/tmp/apt-pkg.log 2>&1 \
    || { tail -30 /tmp/apt-pkg.log; fail "apt-get install $DEB"; }
echo "installed in $((SECONDS - t0))s: $(dpkg-query -W -f='${Package} ${Version} ${Status}' "$PKG")," \
    "$(grep -c '^Setting up' /tmp/apt-pkg.log || true) packages set up"
missing=$(ldd "/usr/bin/$PKG" | grep 'not found' || true)
[ -z "$missing" ] || fail "libraries missing for the executable: $missing"
dpkg -L "$PKG" >/tmp/pkg-files

# The console program, before any display or test tool is there: it needs
# Qt Core alone (no Qt Widgets, no platform plugin).
ldd /usr/bin/tarnvik-upgrade | grep -q 'libQt5Widgets\|libQt5Gui' && fail "tarnvik-upgrade links Qt Gui or Widgets"
tarnvik-upgrade --version || fail "tarnvik-upgrade --version"
rc=0; tarnvik-upgrade list >/tmp/cli-list.txt 2>&1 || rc=$?
[ "$rc" -eq 0 ] || { cat /tmp/cli-list.txt; fail "tarnvik-upgrade list: exit status $rc"; }
# (An image first: without one it stops at that, exit 5, before any device.)
head -c 600 /dev/urandom >/tmp/cli-image.bin
rc=0; tarnvik-upgrade upgrade --image /tmp/cli-image.bin >/tmp/cli-none.txt 2>&1 || rc=$?
[ "$rc" -eq 2 ] || { cat /tmp/cli-none.txt; fail "tarnvik-upgrade upgrade without a device: exit status $rc, not 2"; }
echo "tarnvik-upgrade: runs without a display (list: $(wc -l </tmp/cli-list.txt) devices; no device: exit 2)"
# The window's program answers --help and --version there too, with no
# display and no window.
"/usr/bin/$PKG" --version | grep -q "^$PKG " || fail "$PKG --version without a display"
"/usr/bin/$PKG" --help | grep -q "^Usage: $PKG " || fail "$PKG --help without a display"
echo "$PKG: --help and --version answer without a display"

# Test tooling only, installed after the package so that it cannot supply
# anything the package forgot to depend on.
t0=$SECONDS
apt-get install -y -q --no-install-recommends xvfb xauth x11-utils imagemagick \
    desktop-file-utils gtk-update-icon-cache hicolor-icon-theme >/tmp/apt-tools.log 2>&1 \
    || { tail -30 /tmp/apt-tools.log; fail "installing the test tools"; }
echo "test tools installed in $((SECONDS - t0))s"

desktop-file-validate "/usr/share/applications/$PKG.desktop" || fail "desktop-file-validate"
echo "desktop-file-validate: no complaints"

index=/usr/share/icons/hicolor/index.theme
dirs=$(sed -n 's/^Directories=//p' "$index" | tr ',' '\n')
for icon in $(grep '^/usr/share/icons/hicolor/.*\.png$' /tmp/pkg-files); do
    d=${icon#/usr/share/icons/hicolor/}; d=${d%/*}
    grep -qx "$d" <<<"$dirs" || fail "$d is not a folder of the hicolor theme"
done
gtk-update-icon-cache -f /usr/share/icons/hicolor || fail "gtk-update-icon-cache"
grep -aq "$PKG" /usr/share/icons/hicolor/icon-theme.cache || fail "icon not in the hicolor cache"
echo "icon: in the hicolor theme's folders and in its cache"

mkdir -p /tmp/run && cd /tmp/run
# At 96 DPI, as Xorg reports by default: Xvfb's own default of 100
# would have the tool, which follows the display's DPI, scale itself by 1.04.
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" /bin/bash -c '
    set -u
    "/usr/bin/$PKG" >/tmp/tool.log 2>&1 &
    pid=$!
    sleep 6
    kill -0 $pid 2>/dev/null || { echo "the tool is not running any more:"; cat /tmp/tool.log; exit 1; }
    xwininfo -root -tree >/tmp/windows.txt
    xwininfo -name "Tarnvik Upgrade Tool" >/tmp/window.txt 2>&1 || { cat /tmp/windows.txt; exit 1; }
    import -window root /tmp/shot.png
    kill $pid; wait $pid 2>/dev/null
    exit 0' || fail "the tool did not show its window under Xvfb"
grep -E 'Map State|Width|Height' /tmp/window.txt
grep -q 'Map State: IsViewable' /tmp/window.txt || fail "the window is not viewable"
echo "tool stderr (first lines):"; head -5 /tmp/tool.log

dpkg -r "$PKG" >/dev/null
left=""
while read -r f; do
    [ -f "$f" ] && left="$left $f"
done </tmp/pkg-files
for d in "/usr/share/$PKG" "/usr/share/doc/$PKG"; do [ -e "$d" ] && left="$left $d"; done
[ -z "$left" ] || fail "left behind by dpkg -r:$left"
# Without conffiles dpkg -r leaves nothing to purge.
if dpkg-query -W -f='${db:Status-Status}' "$PKG" 2>/dev/null | grep -qx config-files; then
    dpkg -P "$PKG" >/dev/null
fi
dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -qx 'install ok installed' && fail "still installed"
echo "dpkg -r and -P: no file of the package left"
INROOT

cp "$ROOT/tmp/shot.png" "$BUILD_DIR/check-deb-shot.png"
echo "screenshot: $BUILD_DIR/check-deb-shot.png"
cleanup
if [ "$KEEP_ROOT" = 1 ]; then echo "root kept in $ROOT"; else remove_root; fi
echo
echo "check-deb: OK in ${SECONDS}s"
