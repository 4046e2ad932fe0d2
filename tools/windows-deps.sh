#!/usr/bin/env bash
# Sets up what the 32-bit Windows build needs, on Debian 12, as root:
#  - the MinGW-w64 cross compilers (posix threads), Wine for 32-bit programs,
#    NSIS and icoutils, from Debian's archive;
#  - hidapi 0.13 and a static Qt 5.15 qtbase for i686 Windows, built from
#    Debian's own source packages (with Debian's patches applied, and for
#    hidapi the project's own, packaging/windows/hidapi-patches) into a cache
#    outside the clone, keyed on their versions, build options and patches.
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
          xvfb xauth xdotool imagemagick x11-utils groff-base)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    need_root "missing packages ${missing[*]}"
    log "installing ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # A mirror caught mid-sync fails one index or another: what is needed
    # may still be in the lists that did come, and the install tells.
    apt-get update -qq || log "apt-get update reported errors; going on with the lists it has"
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
    # A mirror caught mid-sync fails one index or another: what is needed
    # may still be in the lists that did come, and the install tells.
    apt-get update -qq || log "apt-get update reported errors; going on with the lists it has"
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
# Built with the project's patches over its Windows backend
# (packaging/windows/hidapi-patches, applied in order to a copy of Debian's
# source); the key holds their content, so a change to them builds afresh.
# The patched backend's source goes to PREFIX/src as well: the Windows
# tests compile it into their own programs.
hid_patches=("$here"/../packaging/windows/hidapi-patches/*.patch)
hid_opts="static"
hid_key=$(cat <(echo "$hid_ver $gcc_ver $hid_opts") "${hid_patches[@]}" | sha1sum | cut -c1-10)
hid_prefix=$cache/hidapi-$hid_ver-$hid_key
if [ ! -f "$hid_prefix/.done" ]; then
    log "building hidapi $hid_ver for i686 Windows, with ${#hid_patches[@]} patches"
    pristine=$(fetch_source hidapi "$hid_ver")
    src=$cache/work/hidapi-src-$hid_key
    b=$cache/work/hidapi-$hid_key
    rm -rf "$src" "$b" "$hid_prefix"
    mkdir -p "$cache/work"
    cp -a "$pristine" "$src"
    for p in "${hid_patches[@]}"; do
        log "applying $(basename "$p")"
        patch -d "$src" -p1 --forward --batch --quiet <"$p" >&2
    done
    cmake -S "$src" -B "$b" -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=OFF -DCMAKE_INSTALL_PREFIX="$hid_prefix" >&2
    cmake --build "$b" -j"$jobs" >&2
    cmake --install "$b" >&2
    mkdir -p "$hid_prefix/src/hidapi" "$hid_prefix/src/windows"
    cp "$src/hidapi/hidapi.h" "$hid_prefix/src/hidapi/"
    cp "$src"/windows/hid.c "$src"/windows/*.h "$hid_prefix/src/windows/"
    rm -rf "$b" "$src"
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

# --- licence texts shipped with the Windows packages ---------------------------
# The static program carries Qt and the third-party code Qt bundles: their
# licence texts, from the very sources built above, go to PREFIX/licenses,
# where the Windows install rules pick them up.
if [ ! -f "$qt_prefix/licenses/.done" ]; then
    src=$(fetch_source qtbase-opensource-src "$qt_ver")
    out=$qt_prefix/licenses
    rm -rf "$out"; mkdir -p "$out"
    notices=$out/Qt-third-party.txt
    {
        echo "Third-party code that Qt $qt_ver (qtbase) carries and that is built into"
        echo "this program (QtCore, QtGui, QtWidgets, the Windows platform plugin), each"
        echo "followed by its licence as it stands in Qt's sources."
    } >"$notices"
    while IFS='|' read -r what file; do
        [ -n "$what" ] || continue
        [ -f "$src/$file" ] || { log "licence file $file missing from the Qt sources"; exit 1; }
        printf '\n\n==== %s\n(%s)\n\n' "$what" "$file" >>"$notices"
        cat "$src/$file" >>"$notices"
    done <<'LIST'
zlib 1.2.11 (QtCore)|src/3rdparty/zlib/LICENSE
PCRE2 10.39 (QtCore)|src/3rdparty/pcre2/LICENCE
PCRE2 stack-less just-in-time compiler (QtCore)|src/3rdparty/pcre2/LICENCE-SLJIT
double-conversion 3.1.5 (QtCore)|src/3rdparty/double-conversion/LICENSE
TinyCBOR (QtCore)|src/3rdparty/tinycbor/LICENSE
Easing equations by Robert Penner (QtCore)|src/3rdparty/easing/LICENSE
FreeBSD strtoll and strtoull (QtCore)|src/3rdparty/freebsd/LICENSE
SHA-3: brg_endian (QtCore)|src/3rdparty/sha3/BRG_ENDIAN_LICENSE
SHA-3: Keccak (QtCore)|src/3rdparty/sha3/CC0_LICENSE
SHA-384 and SHA-512, RFC 6234 (QtCore)|src/3rdparty/rfc6234/LICENSE
Text codec Big5, Big5-HKSCS (QtCore)|src/corelib/codecs/QBIG5CODEC_LICENSE.txt
Text codec GBK (QtCore)|src/corelib/codecs/QBKCODEC_LICENSE.txt
Text codec EUC-JP (QtCore)|src/corelib/codecs/QEUCJPCODEC_LICENSE.txt
Text codec EUC-KR (QtCore)|src/corelib/codecs/QEUCKRCODEC_LICENSE.txt
Text codec ISO 2022-JP (QtCore)|src/corelib/codecs/QJISCODEC_LICENSE.txt
Text codec Shift-JIS (QtCore)|src/corelib/codecs/QSJISCODEC_LICENSE.txt
Text codec TSCII (QtCore)|src/corelib/codecs/QTSCIICODEC_LICENSE.txt
Unicode Character Database and CLDR (QtCore)|src/corelib/text/UNICODE_LICENSE.txt
libpng 1.6.37 (QtGui)|src/3rdparty/libpng/LICENSE
HarfBuzz-NG 1.7.4 (QtGui)|src/3rdparty/harfbuzz-ng/COPYING
FreeType 2.10.4 (QtGui, Windows platform plugin), and the anti-aliasing rasteriser derived from it (QtGui): used under the FreeType License; portions of this software are copyright (C) 2006-2020 The FreeType Project (www.freetype.org), all rights reserved|src/3rdparty/freetype/docs/LICENSE.TXT
The FreeType License|src/3rdparty/freetype/docs/FTL.TXT
MD4C 0.4.8 (QtGui)|src/3rdparty/md4c/LICENSE.md
sRGB colour profile (QtGui)|src/3rdparty/icc/LICENSE.txt
Smooth scaling algorithm (QtGui)|src/gui/painting/QIMAGETRANSFORM_LICENSE.txt
WebGradients (QtGui)|src/gui/painting/WEBGRADIENTS_LICENSE.txt
X server helper (QtGui)|src/gui/painting/XCONSORTIUM_LICENSE.txt
Adobe Glyph List For New Fonts (QtGui)|src/gui/text/AGLFN_LICENSE.txt
LIST
    cp "$src/LICENSE.LGPL3" "$out/Qt-LICENSE.LGPL3.txt"
    cp "$src/LICENSE.GPL3-EXCEPT" "$out/Qt-LICENSE.GPL3-EXCEPT.txt"
    touch "$out/.done"
fi
if [ ! -f "$hid_prefix/licenses/.done" ]; then
    src=$(fetch_source hidapi "$hid_ver")
    mkdir -p "$hid_prefix/licenses"
    cp "$src/LICENSE-bsd.txt" "$hid_prefix/licenses/hidapi-LICENSE-bsd.txt"
    touch "$hid_prefix/licenses/.done"
fi

echo "QT=$qt_prefix HIDAPI=$hid_prefix TOOLBIN=$toolbin"
