#!/usr/bin/env bash
# Sets up and builds the tool, prepares a demo folder (build/demo) with a
# generated 40 KB image in update/ and a 10 ms packet interval, and launches
# the tool there on its simulated board. Connect to "Tarnvik(1a2b)-Demo
# Board(00ff)" and press Start Upgrade.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh

build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target tarnvik-upgrade-demo tarnvik-upgrade-tool

demo="$build/demo"
mkdir -p "$demo/update"
[ -s "$demo/update/firmware.bin" ] || head -c 40000 /dev/urandom > "$demo/update/firmware.bin"
printf '[load]\nsleep=10\n' > "$demo/config.ini"

cd "$demo"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: no display; running under xvfb-run (nothing will be visible)" >&2
    exec xvfb-run -a ../tarnvik-upgrade-demo "$@"
fi
exec ../tarnvik-upgrade-demo "$@"
