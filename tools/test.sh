#!/usr/bin/env bash
# Sets up, builds and runs every test of the tool: the in-process suites and
# the guest stage in a normal build, and the in-process suites again under
# AddressSanitizer + UndefinedBehaviorSanitizer. The fuzz targets run
# separately: tests/fuzz/run-fuzzers.sh build-fuzz 60.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/deps.sh
jobs=$(nproc)

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$san" -DCMAKE_C_FLAGS="$san" \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-asan -j"$jobs"
# -O1 keeps the 16 MiB upgrade test well inside QtTest's 5 minute limit.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" \
LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/lsan.supp" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-asan -L unit --output-on-failure

