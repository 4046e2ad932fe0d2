#!/usr/bin/env bash
# Sets up what the 32-bit Windows build needs, on Debian 12, as root:
#  - the MinGW-w64 cross compilers (posix threads), Wine for 32-bit programs,
#    NSIS and icoutils, from Debian's archive;
#  - hidapi 0.13 and a static Qt 5.15 qtbase for i686 Windows, built from
#    Debian's own source packages (with Debian's patches applied) into a cache
#    outside the clone, keyed on their versions and build options.
# A fresh machine pays about half an hour for Qt once; later runs find the
# cache and return in seconds. Prints the cache prefixes as the last line:
#   QT=<prefix> HIDAPI=<prefix> TOOLBIN=<dir>
set -euo pipefail

cache=${TARNVIK_WIN_CACHE:-/var/cache/tarnvik-win}
jobs=$(nproc)
here=$(cd "$(dirname "$0")" && pwd)
log() { echo "windows-deps: $*" >&2; }

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        log "$1; run as root"
        exit 1
    fi
}

# --- Debian packages -------------------------------------------------------
packages=(g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
          mingw-w64-tools nsis icoutils wine wine32:i386 dpkg-dev xz-utils
          xvfb xauth xdotool imagemagick x11-utils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    need_root "missing packages ${missing[*]}"
    log "installing ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# Source packages need a deb-src entry (Debian 12 ships 'Types: deb' only).
ensure_deb_src() {
    if apt-cache showsrc hidapi 2>/dev/null | grep -q '^Version:'; then return; fi
    need_root "no deb-src entry for apt-get source"
    local f=/etc/apt/sources.list.d/debian.sources
    if [ -f "$f" ]; then
        sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
    else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/tarnvik-src.list
    fi
    apt-get update -qq
}
ensure_deb_src

src_version() { apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -V | tail -1; }
qt_ver=$(src_version qtbase-opensource-src)
hid_ver=$(src_version hidapi)
gcc_ver=$(i686-w64-mingw32-g++-posix -dumpfullversion)

# --- Cross tool folder -------------------------------------------------------
# Qt's qmake names its tools by one prefix (CROSS_COMPILE); this folder holds
# that prefix with the posix-thread compilers, so that Qt and the project use
# one thread model without changing the system's alternatives.
mkdir -p "$cache"
toolbin=$cache/toolbin
if [ ! -x "$toolbin/i686-w64-mingw32-g++" ]; then
    mkdir -p "$toolbin"
    for t in /usr/bin/i686-w64-mingw32-*; do
        ln -sf "$t" "$toolbin/$(basename "$t")"
    done
    for t in gcc g++ c++ cpp gcc-ar gcc-nm gcc-ranlib; do
        ln -sf "/usr/bin/i686-w64-mingw32-$t-posix" "$toolbin/i686-w64-mingw32-$t"
    done
fi

fetch_source() { # package -> unpacked folder under $cache/src
    local pkg=$1 ver=$2 dir=$cache/src/$1-$2
    if [ ! -f "$dir/.unpacked" ]; then
        rm -rf "$dir"; mkdir -p "$dir"
        (cd "$dir" && apt-get source -qq "$pkg=$ver" >&2 2>/dev/null) || (cd "$dir" && apt-get source -qq "$pkg=$ver" >&2)
        touch "$dir/.unpacked"
    fi
    find "$dir" -mindepth 1 -maxdepth 1 -type d | head -1
}

# --- hidapi ------------------------------------------------------------------
hid_opts="static"
hid_key=$(echo "$hid_ver $gcc_ver $hid_opts" | sha1sum | cut -c1-10)
hid_prefix=$cache/hidapi-$hid_ver-$hid_key
if [ ! -f "$hid_prefix/.done" ]; then
    log "building hidapi $hid_ver for i686 Windows"
    src=$(fetch_source hidapi "$hid_ver")
    b=$cache/work/hidapi-$hid_key
    rm -rf "$b" "$hid_prefix"
    cmake -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$hid_prefix" >&2
    cmake --build "$b" -j"$jobs" >&2
    cmake --install "$b" >&2
    rm -rf "$b"
    touch "$hid_prefix/.done"
fi

# --- Qt qtbase -----------------------------------------------------------------
# Static, release; only what the tool and its tests use (Core, Gui, Widgets,
# Test, the Windows platform plugin and style).
qt_opts=(-opensource -confirm-license -release -static
         -nomake examples -nomake tests -no-opengl -no-dbus -no-icu
         -qt-zlib -qt-libpng -no-libjpeg -qt-pcre -qt-harfbuzz -qt-freetype
         -no-feature-network -no-feature-sql -no-feature-xml
         -no-feature-concurrent -no-feature-tabletevent)
qt_key=$(echo "$qt_ver $gcc_ver ${qt_opts[*]}" | sha1sum | cut -c1-10)
qt_prefix=$cache/qt-$qt_ver-$qt_key
if [ ! -f "$qt_prefix/.done" ]; then
    log "building Qt qtbase $qt_ver for i686 Windows (about 26 minutes on 2 cores)"
    src=$(fetch_source qtbase-opensource-src "$qt_ver")
    b=$cache/work/qt-$qt_key
    rm -rf "$b" "$qt_prefix"; mkdir -p "$b"
    start=$(date +%s)
    (cd "$b" && PATH="$toolbin:$PATH" "$src/configure" -prefix "$qt_prefix" \
        -xplatform win32-g++ -device-option CROSS_COMPILE=i686-w64-mingw32- \
        "${qt_opts[@]}" >&2)
    (cd "$b" && PATH="$toolbin:$PATH" make -j"$jobs" >&2 && PATH="$toolbin:$PATH" make -j"$jobs" install >&2)
    rm -rf "$b"
    touch "$qt_prefix/.done"
    log "Qt built in $(( $(date +%s) - start )) s"
fi

echo "QT=$qt_prefix HIDAPI=$hid_prefix TOOLBIN=$toolbin"
