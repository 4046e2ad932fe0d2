#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and fails on any crash, hang,
# sanitizer report or property violation.
#
#   tests/fuzz/run-fuzzers.sh BUILD_DIR [SECONDS]
#
# BUILD_DIR is a clang build tree with TARNVIK_FUZZ=ON; it is configured and
# built here when it has not been yet. Each target first replays its
# regression inputs (tests/fuzz/repro/<target>/), then fuzzes for SECONDS
# (default 60) starting from its seed corpus (tests/fuzz/corpus/<target>/,
# only read). New inputs, logs and crash artifacts go to BUILD_DIR/fuzz-run.
# Printed per target: executions, executions per second, libFuzzer's edge
# coverage (cov: counts the fuzz target's own code and the tool's code) and
# the edges covered in the tool's sources under src/ alone.
set -uo pipefail

# Qt decodes file names with the locale's codec: under the plain C locale a
# name with non-ASCII characters does not round-trip and Qt leaves it out of
# folder listings. The reference model reads names as UTF-8, as a desktop
# session does, so the targets run in a UTF-8 locale.
export LC_ALL=C.UTF-8

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
if [ $# -lt 1 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS]" >&2
    exit 2
fi
mkdir -p "$1"
build=$(cd "$1" && pwd)
seconds=${2:-60}
# TARNVIK_FUZZ_TARGETS="fuzz_reply ..." runs only those.
read -r -a targets <<< "${TARNVIK_FUZZ_TARGETS:-fuzz_fromhex fuzz_reply fuzz_loading fuzz_engine}"

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DTARNVIK_FUZZ=ON -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo || exit 1
fi
mkdir -p "$build/fuzz-logs"
if ! cmake --build "$build" --target tarnvik_fuzzers -j"$(nproc)" > "$build/fuzz-logs/build.log" 2>&1; then
    tail -40 "$build/fuzz-logs/build.log"
    exit 1
fi

work="$build/fuzz-run"
rm -rf "$work"
mkdir -p "$work/artifacts" "$work/tmp" "$work/xdg"
chmod 700 "$work/xdg"
# The targets make their scratch folders (with FIFOs and links) under TMPDIR.
export TMPDIR="$work/tmp"
export XDG_RUNTIME_DIR="$work/xdg"
export QT_QPA_PLATFORM=offscreen
# A quarantine of 16 MB instead of 256: freed memory is reused sooner, so
# that far fewer allocations take a fresh page (a page fault each, the
# largest single cost of the engine target under AddressSanitizer: with it
# about 1.8 times the schedules a second). 16 MB still hold every block
# freed within dozens of inputs, far longer than any one input runs.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:quarantine_size_mb=16"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Quoted: the sanitizers split their options at spaces, commas and colons.
export LSAN_OPTIONS="suppressions='$here/lsan.supp':print_suppressions=0"

status=0
summary=()
for t in "${targets[@]}"; do
    exe="$build/tests/fuzz/$t"
    log="$work/$t.log"
    verdict=ok
    regressions=0

    repro=()
    if [ -d "$here/repro/$t" ]; then
        while IFS= read -r -d '' f; do repro+=("$f"); done < <(find "$here/repro/$t" -type f -print0 | sort -z)
    fi
    for f in "${repro[@]}"; do
        if ! "$exe" -timeout=10 -rss_limit_mb=2048 "$f" > "$work/$t.repro-$(basename "$f").log" 2>&1; then
            echo "$t: regression input $(basename "$f") FAILS (log: $work/$t.repro-$(basename "$f").log)"
            regressions=$((regressions + 1))
        fi
    done

    mkdir -p "$work/corpus/$t"
    dict=()
    [ -f "$here/$t.dict" ] && dict=(-dict="$here/$t.dict")
    echo "== $t: fuzzing for $seconds s"
    "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -print_coverage=1 -artifact_prefix="$work/artifacts/$t-" "${dict[@]}" \
        "$work/corpus/$t" "$here/corpus/$t" > "$log" 2>&1
    rc=$?
    # libFuzzer keeps an input that ran 10 s or more as a "slow-unit" artifact
    # and goes on (exit 0): one of 10 to 12 s can escape -timeout=10,
    # whose alarm looks every 6 s. Such an input is run again on its own: if it
    # finishes within 5 s the time was the machine's (a stalled host), not the
    # target's, and it is reported but does not fail the run. Any other
    # artifact, or a slow input that is slow again, fails.
    while IFS= read -r -d '' slow; do
        start=$(date +%s%N)
        # timeout(1), not -timeout=5: libFuzzer's alarm would look only every 3 s.
        if timeout -k 2 5 "$exe" -rss_limit_mb=2048 -artifact_prefix="$work/rerun-" "$slow" \
            > "$work/$(basename "$slow").rerun.log" 2>&1; then
            echo "$t: an input ran 10 s or more once; alone it ran in" \
                "$(( ($(date +%s%N) - start) / 1000000 )) ms, so the machine had stalled: not counted" \
                "(kept as $work/$(basename "$slow"))"
            mv "$slow" "$work/"
        fi
    done < <(find "$work/artifacts" -name "$t-slow-unit-*" -print0)
    artifacts=$(find "$work/artifacts" -name "$t-*" | wc -l)
    if [ $rc -ne 0 ] || [ "$artifacts" -ne 0 ]; then
        verdict=FAILED
        echo "$t: exit $rc, $artifacts artifact(s) in $work/artifacts; the report:"
        grep -E -A12 'property violated|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error|SUMMARY|Slowest unit' "$log" | head -40
    fi

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
    # COVERED_FUNC / UNCOVERED_FUNC lines: "edges: covered/total name file:line".
    product=$(src="$repo/src/" awk '
        /^(UN)?COVERED_FUNC:/ && index($0, ENVIRON["src"]) {
            for (i = 1; i <= NF; ++i) if ($i == "edges:") { split($(i + 1), e, "/"); c += e[1]; n += e[2] }
        }
        END { if (n) printf "%d/%d", c, n; else printf "n/a" }' "$log")
    [ "$verdict" = ok ] && [ "$regressions" -eq 0 ] || status=1
    summary+=("$(printf '%-13s fuzz %-6s regressions failing %-2s execs %-9s exec/s %-6s %-22s tool edges %s' \
        "$t" "$verdict" "$regressions/${#repro[@]}" "${execs:-?}" "${rate:-?}" "${cov:-cov: ?}" "$product")")
done

echo
echo "== fuzz summary ($seconds s per target, $(nproc) CPUs: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1))"
printf '%s\n' "${summary[@]}"
rm -rf "$work/tmp"
exit $status
