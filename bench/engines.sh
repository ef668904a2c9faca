#!/usr/bin/env bash
# Recognition spread by the engines people already run, each beside one run
# on the same data, in the same run, so that the table shows what spreading
# costs on this machine: GNU parallel with two local jobs, GNU parallel over
# ssh to two logins on this machine (an sshd of the script's own on the
# loopback, tests/loopback_sshd.sh), and Dask with a local cluster of two
# worker processes. Every engine's output is checked against the single
# run's before it is timed.
#
#   bench/engines.sh                        1,000,000 rows, each run timed 3 times
#   SOMAP_ENGINES_ROWS=100000 bench/...     fewer rows
#   SOMAP_BENCH_REPEAT=5 bench/...          each run timed 5 times: median [min - max]
#
# The data: ROWS uniform rows of 8 fields (four decimals), and a 10x10 map
# trained on the first 10,000 of them (-i 1). The shell engines read the
# TSV and write the lines somap prints (to /dev/null when timed, as a user's
# run would write them somewhere); Python's single run is one Map.winners
# call on the table in memory, and Dask's the same table shipped to its
# workers in blocks of 100,000 rows and the winners gathered back (the
# cluster is started beforehand and not timed; bench/engines_python.py).
# An engine that is not installed is reported as such; the script installs
# nothing.
#
# Progress goes to standard error; the Markdown table to standard output.
set -euo pipefail
cd "$(dirname "$0")/.."

rows=${SOMAP_ENGINES_ROWS:-1000000}
repeat=${SOMAP_BENCH_REPEAT:-3}
for value in "$rows" "$repeat"; do
    if ! [[ $value =~ ^[1-9][0-9]*$ ]]; then
        echo "SOMAP_ENGINES_ROWS and SOMAP_BENCH_REPEAT must be positive whole numbers" >&2
        exit 2
    fi
done
readonly BLOCK=10M DASK_CHUNK=100000

echo "== building Release into build/" >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >&2
targets=(somap)
# The Python module, where the build has it (pybind11 and NumPy found).
if cmake --build build --target help | grep -w somap_python > /dev/null; then targets+=(somap_python); fi
cmake --build build -j2 --target "${targets[@]}" >&2

tmp=$(mktemp -d "${TMPDIR:-/tmp}/somap-engines.XXXXXX")
. tests/loopback_sshd.sh
finish() {
    loopback_sshd_stop
    rm -rf "$tmp"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Private copies: build/ may be rebuilt by someone else while this runs.
cp build/somap "$tmp/somap"
readonly SOMAP=$tmp/somap
python_package=
if [[ -d build/python/somap ]]; then
    mkdir "$tmp/python" && cp -r build/python/somap "$tmp/python/somap"
    python_package=$tmp/python
fi

echo "== data: $rows rows of 8 fields, a 10x10 map trained on 10000 of them" >&2
awk -v rows="$rows" 'BEGIN {
    srand(2112)
    for (r = 0; r < rows; r++) {
        line = sprintf("%.4f", rand())
        for (f = 1; f < 8; f++) line = line sprintf("\t%.4f", rand())
        print line
    }
}' > "$tmp/data.tsv"
head -n 10000 "$tmp/data.tsv" | "$SOMAP" -x 10 -y 10 -i 1 -s "$tmp/map" > /dev/null 2>&1
mkdir "$tmp/work" "$tmp/home"
cp "$tmp/map" "$tmp/work/map"

median_of() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) printf "%.6f\n", v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
spread_of() {
    sort -g | awk '{ v[NR] = $1 } END { printf "%.6f %.6f\n", v[1], v[NR] }'
}

declare -A wall low high note
order=()

# Runs a shell command (from $tmp/work, standard input the data) once with
# its output kept and compared with the single run's, then `repeat` times
# with its output to /dev/null; records median, min and max wall seconds.
measure() { # name command
    local name=$1 command=$2 start end round
    order+=("$name")
    echo "== $name: $command" >&2
    (cd "$tmp/work" && bash -c "$command" < "$tmp/data.tsv" > "$tmp/$name.out" 2> "$tmp/$name.err") || {
        echo "FAILED: $name" >&2; tail -n 5 "$tmp/$name.err" >&2; exit 1; }
    if [[ $name != single && -f $tmp/single.out ]] && ! cmp -s "$tmp/$name.out" "$tmp/single.out"; then
        echo "MISMATCH: $name's output differs from the single run's" >&2
        exit 1
    fi
    : > "$tmp/$name.walls"
    for ((round = 0; round < repeat; round++)); do
        start=$(date +%s.%N)
        (cd "$tmp/work" && bash -c "$command" < "$tmp/data.tsv" > /dev/null 2> "$tmp/$name.err") || {
            echo "FAILED: $name" >&2; exit 1; }
        end=$(date +%s.%N)
        awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }' >> "$tmp/$name.walls"
    done
    wall[$name]=$(median_of < "$tmp/$name.walls")
    read -r low[$name] high[$name] < <(spread_of < "$tmp/$name.walls")
    echo "   ${wall[$name]} s" >&2
}
missing() { # name why
    order+=("$1")
    note[$1]=$2
    echo "== $1: $2" >&2
}

measure single "'$SOMAP' -a map"

parallel_cmd=(parallel --will-cite --pipe -k --block "$BLOCK")
if command -v parallel > /dev/null; then
    measure parallel "HOME='$tmp/home' ${parallel_cmd[*]} -j2 '$SOMAP' -a map"
else
    missing parallel "GNU parallel is not installed"
fi

sshd=$(command -v sshd || echo /usr/sbin/sshd)
if command -v parallel > /dev/null && command -v rsync > /dev/null && [[ -x $sshd ]] &&
    loopback_sshd_start "$tmp/ssh" "$sshd"; then
    measure ssh "HOME='$tmp/home' ${parallel_cmd[*]} -S 1/one,1/two --ssh 'ssh -F $tmp/ssh/ssh_config' --basefile map '$SOMAP' -a map"
    loopback_sshd_stop
else
    missing ssh "GNU parallel, rsync or sshd is not installed, or sshd did not start"
fi

# Python: one Map.winners call, then Dask (bench/engines_python.py).
if [[ -n $python_package ]]; then
    echo "== python and dask: bench/engines_python.py" >&2
    PYTHONPATH=$python_package PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/engines_python.py \
        "$tmp/data.tsv" "$tmp/map" "$repeat" "$DASK_CHUNK" "$tmp" > "$tmp/python.times"
    while read -r name first rest; do
        order+=("$name")
        if [[ $first == missing ]]; then
            note[$name]=$rest
        else
            wall[$name]=$first
            read -r low[$name] high[$name] <<< "$rest"
        fi
    done < "$tmp/python.times"
else
    missing python "the Python module is not built"
fi

human() {
    awk -v s="$1" 'BEGIN { if (s < 1) printf "%.1f ms", s * 1e3; else printf "%.2f s", s }'
}
declare -A what against
what[single]="one run: \`somap -a MAP < data > out\`"
what[parallel]="GNU parallel, 2 local jobs: \`parallel --pipe -k --block $BLOCK -j2 somap -a MAP\`"
what[ssh]="GNU parallel over ssh, 2 logins here: \`parallel --pipe -k --block $BLOCK -S 1/one,1/two --basefile MAP somap -a MAP\`"
what[python]="Python, one call: \`Map.winners(table)\`"
what[dask]="Dask, 2 worker processes: \`map_blocks(m.winners)\` over blocks of $DASK_CHUNK rows"
against=([single]=single [parallel]=single [ssh]=single [python]=python [dask]=python)

echo
echo "Recognition of $rows rows of 8 fields with a 10x10 map, $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'), each run timed $repeat x: median [min - max]"
echo
echo "| engine | wall | against its single run |"
echo "|---|---|---|"
for name in "${order[@]}"; do
    if [[ -n ${note[$name]:-} ]]; then
        echo "| ${what[$name]} | n/a: ${note[$name]} | |"
        continue
    fi
    base=${against[$name]}
    ratio=""
    if [[ $base != "$name" && -n ${wall[$base]:-} ]]; then
        ratio=$(awk -v a="${wall[$name]}" -v b="${wall[$base]}" 'BEGIN { printf "%.2fx the time", a / b }')
    fi
    echo "| ${what[$name]} | $(human "${wall[$name]}") [$(human "${low[$name]}") - $(human "${high[$name]}")] | $ratio |"
done
