#!/usr/bin/env bash
# Sets up and builds the tool, then launches it on its simulated device in a
# demo folder (build/demo) that holds a generated image and a short interval.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh

build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)" --target tarnvik-upgrade-tool
exec "$build/tarnvik-upgrade-tool"
