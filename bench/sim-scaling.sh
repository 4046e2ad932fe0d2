#!/bin/bash
# sim-scaling.sh [BUILD] [RUNS] [BOARDS...]
#
# How the command line's cost grows with the boards it upgrades at once:
#   tarnvik-upgrade-sim upgrade -d 1a2b:00ff --all --image FILE --interval 2
# over 1, 4, 16 and 32 simulated boards (or BOARDS), a 64 KiB image (1093
# packets: 2.19 s a board at 2 ms if every packet goes on its tick), RUNS
# runs each (3), from BUILD (build). Per run: the whole run's wall time; each
# board's time from its JSON end event (`seconds`: from its start to E4
# written), their median and slowest; the process's CPU (user + sys) and
# peak resident memory (GNU time's maximum RSS); and the other load on the
# machine meanwhile, in cores (the machine's busy time from /proc/stat less
# the process's own CPU, over the wall time). Then per board count the
# median of the runs and their range. Needs GNU time (/usr/bin/time, Debian's
# package `time`). Not part of any test.
set -euo pipefail
build=${1:-build}
runs=${2:-3}
shift $(($# > 2 ? 2 : $#))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 4 16 32)
sim=$build/tarnvik-upgrade-sim
[ -x "$sim" ] || { echo "no $sim: build it first" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs GNU time: apt-get install time" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 65536 /dev/urandom >"$work/fw.bin"

busy() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
hz=$(getconf CLK_TCK)

echo "machine: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores," \
    "$(uname -sr) $(uname -m)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "image: 65536 bytes, 1093 packets at 2 ms (2.186 s a board on every tick); $runs runs per count"
printf '%-6s %-4s %8s %10s %10s %9s %11s %9s %7s\n' boards run wall_s board_med board_max cpu_s cpu_board_s maxrss_MB other
for n in "${counts[@]}"; do
    for r in $(seq "$runs"); do
        b0=$(busy)
        /usr/bin/time -f '%e %U %S %M' -o "$work/time" \
            "$sim" upgrade -d 1a2b:00ff --all --image "$work/fw.bin" --interval 2 --json -q --sim-boards "$n" \
            >"$work/out.jsonl" || { echo "run failed (exit status $?)" >&2; exit 1; }
        b1=$(busy)
        ok=$(grep -c '"event":"end","outcome":"ok"' "$work/out.jsonl" || true)
        [ "$ok" -eq "$n" ] || { echo "$ok of $n boards ok" >&2; exit 1; }
        read -r wall user sys rss <"$work/time"
        grep '"event":"end"' "$work/out.jsonl" | grep -o '"seconds":[0-9.]*' | cut -d: -f2 | sort -n >"$work/secs"
        awk -v n="$n" -v r="$r" -v wall="$wall" -v user="$user" -v sys="$sys" -v rss="$rss" \
            -v busy=$((b1 - b0)) -v hz="$hz" '
            { s[NR] = $1 }
            END {
                med = NR % 2 ? s[(NR + 1) / 2] : (s[NR / 2] + s[NR / 2 + 1]) / 2
                cpu = user + sys
                other = (busy / hz - cpu) / wall
                printf "%-6d %-4d %8.2f %10.3f %10.3f %9.2f %11.3f %9.1f %7.2f\n",
                    n, r, wall, med, s[NR], cpu, cpu / n, rss / 1024, other < 0 ? 0 : other
            }' "$work/secs" | tee -a "$work/rows"
    done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "median [min-max] of the runs:"
printf '%-6s %-20s %-20s %-20s %-20s %-20s %-18s %s\n' boards wall_s board_med_s board_max_s cpu_s cpu_board_s maxrss_MB other_cores
for n in "${counts[@]}"; do
    line=$(printf '%-6s' "$n")
    for col in 3 4 5 6 7 8 9; do
        cell=$(awk -v n="$n" -v c="$col" '$1 == n { print $c }' "$work/rows" | sort -g | awk '
            { v[NR] = $1 }
            END { printf "%s [%s-%s]", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }')
        line+=$(printf ' %-20s' "$cell")
    done
    echo "$line"
done
