#!/usr/bin/env bash
# Sets up, builds and runs every test of the tool: the in-process suites and
# the guest stage in a normal build, the Debian package on a fresh root
# (tools/check-deb.sh), the 32-bit Windows build with its
# checks, suites, demo and installer under Wine (tools/test-windows.sh; its
# Qt is built once, about half an hour, and cached), the in-process suites
# again under AddressSanitizer + UndefinedBehaviorSanitizer and under
# ThreadSanitizer, and the fuzz targets for a bounded time
# (TARNVIK_FUZZ_SECONDS per target, 60 by default).
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/check-location.sh
bash tools/deps.sh
jobs=$(nproc)

echo "== build and test"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNVIK_NO_GUEST=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

echo "== Debian package"
# Built, checked with lintian and installed on a fresh Debian 12 root
# (cached in /var/cache/tarnvik-check-deb after the first run).
bash tools/check-deb.sh

echo "== Windows"
bash tools/test-windows.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="$san" -DCMAKE_C_FLAGS="$san" \
    -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-asan -j"$jobs"
# -O1 keeps the 16 MiB upgrade test well inside QtTest's 5 minute limit.
# The sanitizers split their options at spaces, commas and colons: the
# suppression files' paths are quoted.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" \
LSAN_OPTIONS="suppressions='$PWD/tests/sanitizers/lsan.supp'" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-asan -L unit --output-on-failure

echo "== ThreadSanitizer"
# clang's runtime; the guest stage has no threads of ours and is left out.
# Qt's queued-signal handoff is annotated for the sanitizer in the test
# executables (tests/sanitizers/tsan_handoff.cpp); tst_tsan_canary passes
# only when a deliberate race is reported.
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS="$tsan" -DCMAKE_C_FLAGS="$tsan" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
    -DTARNVIK_TSAN=ON -DTARNVIK_NO_GUEST=ON
cmake --build build-tsan -j"$jobs"
# Without address randomisation: the sanitizer's fixed memory layout does not
# fit every kernel's randomised mappings.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions='$PWD/tests/sanitizers/tsan.supp'" \
    setarch "$(uname -m)" -R ctest --test-dir build-tsan -L unit --output-on-failure

echo "== fuzzing"
bash tests/fuzz/run-fuzzers.sh build-fuzz "${TARNVIK_FUZZ_SECONDS:-60}"
