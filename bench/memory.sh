#!/usr/bin/env bash
# Peak memory (maximum resident set size, from GNU time) of somap against the
# size of its input, at 1, 3 and 10 million values, in two shapes: 10 fields
# per line and 100 fields per line. Each value is written as "0.dddddd", so a
# value costs 9 bytes of input with its separator.
#
#   bench/memory.sh                    somap -x 10 -y 10 -i 1 (recognition on a random map)
#   SOMAP=build/somap-plain bench/...  another binary
#
# The table goes to standard output; the inputs are generated into a
# temporary directory and removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."

somap=${SOMAP:-build/somap}
[[ -x $somap ]] || { echo "no $somap: build first (cmake --build build)" >&2; exit 1; }
[[ -x /usr/bin/time ]] || { echo "needs GNU time (/usr/bin/time)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

generate() {  # lines fields > file
    awk -v lines="$1" -v fields="$2" 'BEGIN {
        srand(1)
        for (r = 0; r < lines; r++) {
            line = sprintf("%.6f", rand())
            for (f = 1; f < fields; f++) line = line sprintf("\t%.6f", rand())
            print line
        }
    }'
}

peak_kb() {  # input file -> peak RSS in KiB of one run
    /usr/bin/time -f %M -o "$work/rss" "$somap" -x 10 -y 10 -i 1 < "$1" > /dev/null 2> /dev/null
    cat "$work/rss"
}

# What the process holds with no input at all: code, libraries, the map.
: > "$work/empty"
base_kb=$(peak_kb "$work/empty")

echo "| values | lines x fields | input bytes | peak RSS (KiB) | above empty run (KiB) | bytes per input byte | bytes per value |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
for fields in 10 100; do
    for values in 1000000 3000000 10000000; do
        lines=$((values / fields))
        generate "$lines" "$fields" > "$work/input"
        bytes=$(stat -c %s "$work/input")
        kb=$(peak_kb "$work/input")
        above=$((kb - base_kb))
        awk -v v="$values" -v l="$lines" -v f="$fields" -v b="$bytes" -v kb="$kb" -v above="$above" 'BEGIN {
            printf "| %d | %d x %d | %d | %d | %d | %.2f | %.1f |\n", v, l, f, b, kb, above,
                   above * 1024 / b, above * 1024 / v
        }'
    done
done
echo
echo "Empty input: $base_kb KiB. Binary: $somap."
