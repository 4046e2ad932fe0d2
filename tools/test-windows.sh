#!/usr/bin/env bash
# The Windows stage of the test command (tools/test.sh runs it; it also runs
# on its own, as root):
#   1. the Windows tool chain and the cached Qt and hidapi for i686 Windows
#      (tools/windows-deps.sh: about half an hour on a fresh machine, then
#      seconds);
#   2. the 32-bit Windows build of the tool, the demo and the suites in
#      build-win (MinGW-w64, static Qt and runtime);
#   3. the executable checked in its binary form (ctest -L pe);
#   4. the portable zip and the installer (CPack: ZIP and NSIS);
#   5. one boot of the test guest (Wine cannot run 32-bit code on these
#      hosts, the guest can), where Wine runs every suite, the real tool's
#      window, the demo's upgrade, the installer round trip, and the
#      Windows programs against USB and uhid boards through Wine's HID stack
#      (ctest -L 'unit|wine' inside tests/windows/wine-session.sh). The
#      boards are the Linux board programs of tests/e2e, built here in
#      build (with the Linux packages of tools/deps.sh) when they are not
#      yet. Screenshots and logs land in build-win/wine-results.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$(date +%s)
elapsed() { echo "$(( $(date +%s) - start )) s"; }

bash tools/check-location.sh

echo "== Windows: tool chain, Qt and hidapi for i686 Windows"
prefixes=$(bash tools/windows-deps.sh | tail -n1)
eval "$prefixes"
echo "Qt: $QT"
echo "hidapi: $HIDAPI"

echo "== Windows: the Linux board programs and the guest ($(elapsed))"
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNVIK_NO_GUEST=OFF >/dev/null
cmake --build build -j"$(nproc)" --target uhid_device usb_device
boards=$root/build/tests/e2e

echo "== Windows: build ($(elapsed))"
build=build-win
# A build tree made against other Qt or hidapi builds (another version or
# cache) keeps their paths in its cache: start it afresh.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qxF "CMAKE_PREFIX_PATH:UNINITIALIZED=$QT;$HIDAPI" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_PREFIX_PATH="$QT;$HIDAPI" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$(nproc)"

echo "== Windows: the executable in its binary form ($(elapsed))"
ctest --test-dir "$build" -L pe --output-on-failure

echo "== Windows: zip and installer ($(elapsed))"
rm -f "$build"/tarnvik-upgrade-tool-*-win32.{zip,exe}
(cd "$build" && cpack)
ls -l "$build"/tarnvik-upgrade-tool-*-win32.{zip,exe}
# The zip carries the program and its papers: no test program or fixture.
unexpected=$(python3 -m zipfile -l "$build"/tarnvik-upgrade-tool-*-win32.zip \
    | awk 'NR > 1 { print $1 }' | grep -v -E '/$|/(tarnvik-upgrade-tool\.exe|tarnvik-upgrade\.exe|README\.txt|tarnvik-upgrade\.txt|LICENSE\.txt|THIRD-PARTY-NOTICES\.txt|licenses/[^/]+\.txt)$' || true)
if [ -n "$unexpected" ]; then
    echo "== Windows: FAILED: the zip carries more than the program and its papers:"
    echo "$unexpected"
    exit 1
fi
python3 -m zipfile -l "$build"/tarnvik-upgrade-tool-*-win32.zip | grep -q '/tarnvik-upgrade\.txt ' \
    || { echo "== Windows: FAILED: the zip lacks the console program's manual (tarnvik-upgrade.txt)"; exit 1; }
echo "zip: the program and its papers only, the console program's manual among them"

echo "== Windows: under Wine in the test guest ($(elapsed))"
bash tests/e2e/setup-guest.sh build
mkdir -p "$build/Testing" "$build/wine-results"
rm -f "$build/wine-results/wineprefix.tar" "$build/wine-results/wine-floor.log"
# A Wine prefix made in an earlier boot is kept beside the Windows libraries.
cache=${TARNVIK_WIN_CACHE:-/var/cache/tarnvik-win}
winepfx=$cache/wineprefix-$(dpkg-query -W -f='${Version}' wine32:i386).tar
[ -f "$winepfx" ] && export E2E_WINE_PREFIX=$winepfx
# CTest writes its logs under Testing, which the guest sees read-only: a
# tmpfs over it takes them.
rc=0
export E2E_BOARDS=$boards
RUN_GUEST_CPU=qemu64 RUN_GUEST_MEM=2048 bash tests/e2e/run-guest.sh build "$build/wine-results" 2400 -- \
    bash "$root/tests/windows/wine-session.sh" bash -c \
    'mount -t tmpfs tmpfs "$1/Testing" && ctest --test-dir "$1" -L "unit|wine" --output-on-failure' _ "$root/$build" \
    || rc=$?
if [ -f "$build/wine-results/wineprefix.tar" ]; then
    mv "$build/wine-results/wineprefix.tar" "$winepfx"
fi
if [ "$rc" -ne 0 ]; then
    echo "== Windows: FAILED under Wine (status $rc) after $(elapsed)"
    exit "$rc"
fi
echo "== Windows: stage passed in $(elapsed)"
