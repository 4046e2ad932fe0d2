#!/usr/bin/env bash
# Sets up, builds and runs every test of the tool.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh

build=build
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure
