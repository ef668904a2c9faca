#!/usr/bin/env bash
# Whole-program workloads: somap-plain (the literal reference code) against
# somap (the fast engine), on the same generated data in the same run, so the
# ratios compare like with like on whatever machine this runs on. Every pair
# of runs is also checked for identical output, because a speed-up that
# changes a single byte is a bug, not a win.
#
#   bench/workloads.sh              all workloads
#   bench/workloads.sh W2 W5        a subset
#   SOMAP_BENCH_QUICK=1 bench/...   rows / 10: a smoke run, not a measurement
#   SOMAP_BENCH_REPEAT=5 bench/...  time every run 5 times: median [min - max]
#
# W6-W9 are the filtered searches: recognition of a 100x100 map over 100,000
# rows (W3 has 200,000), and placement (-x 10 -y 10 -i 0 -s) from 250,000 and
# 1,000,000 uniform rows of 8 fields and from 400,000 rows of 20 fields in 12
# Gaussian clusters, each timed next to applying a 10x10 map (the one the
# placement saved) to the same rows. The literal build compares every pair
# of rows, so its placement runs only on W7 (some minutes); on W8 and W9 it
# would take hours and is left out: its time there is extrapolated from W7's
# (quadratic in rows, linear in fields), and their outputs are checked
# against the literal build only on the apply run. W10 trains a 50x50 grid
# on 2,000 rows of 8 fields; W11 is a whole default run on a small table
# (the 100x100 grid, 150 rows of 8 fields), where creating and saving the map
# count as much as training: compare its wall times. Each training workload
# is followed by how its sweeps went (sweep_stats on the same input). W12
# applies a 10x10 map of 8 fields to 1,000,000 rows with standard output
# piped through `cat`, where writing the lines is most of the recognition
# phase; its reading shows in W4 and in its own "reading" on standard error.
#
# Progress and build output go to standard error; the Markdown tables go to
# standard output.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly ALL_WORKLOADS=(W1 W2 W3 W4 W5 W6 W7 W8 W9 W10 W11 W12)

usage() {
    echo "usage: $0 [W1 .. W12 ...]   (SOMAP_BENCH_QUICK=1 shrinks every input tenfold," \
         "SOMAP_BENCH_REPEAT=N times every run N times)" >&2
}

selected=()
for arg in "$@"; do
    case "${arg^^}" in
        W[1-9] | W10 | W11 | W12) selected+=("${arg^^}") ;;
        -H | --HELP) usage; exit 0 ;;
        *) echo "unknown workload: $arg" >&2; usage; exit 2 ;;
    esac
done
[[ ${#selected[@]} -eq 0 ]] && selected=("${ALL_WORKLOADS[@]}")

wanted() {
    local w
    for w in "${selected[@]}"; do [[ $w == "$1" ]] && return 0; done
    return 1
}

# Row counts are divided, never grid sizes or iterations, so a quick run still
# goes through the same code paths as the full one.
divisor=1
[[ ${SOMAP_BENCH_QUICK:-0} == 1 ]] && divisor=10
rows() { echo $(($1 / divisor)); }
repeat=${SOMAP_BENCH_REPEAT:-1}
if ! [[ $repeat =~ ^[1-9][0-9]*$ ]]; then
    echo "SOMAP_BENCH_REPEAT must be a positive whole number" >&2
    exit 2
fi

echo "== building Release into build/" >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >&2
cmake --build build -j2 --target somap somap-plain sweep_stats >&2

# Peak memory needs GNU time; the script must not install anything, so
# without it memory is reported as n/a and only wall time is taken.
have_gnu_time=0
if [[ -x /usr/bin/time ]] && /usr/bin/time -f '%M' -o /dev/null true 2>/dev/null; then
    have_gnu_time=1
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/somap-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# build/ may be shared with people rebuilding it while this runs; private
# copies keep one consistent pair of binaries for the whole run.
cp build/somap "$tmp/somap"
cp build/somap-plain "$tmp/somap-plain"
readonly FAST=$tmp/somap PLAIN=$tmp/somap-plain
# The training workloads are also run through sweep_stats, which trains the
# same way and reports how its sweeps went (replays, distances left out).
STATS=""
if [[ -x build/bench/sweep_stats ]]; then
    cp build/bench/sweep_stats "$tmp/sweep_stats"
    STATS=$tmp/sweep_stats
fi

# Uniform numbers in [0, 1) with four decimals. awk's generator with a fixed
# seed gives the same file on every run of the same awk, and needs nothing
# beyond a base system.
generate() { # rows fields seed file
    awk -v rows="$1" -v fields="$2" -v seed="$3" 'BEGIN {
        srand(seed)
        for (r = 0; r < rows; r++) {
            line = sprintf("%.4f", rand())
            for (f = 1; f < fields; f++) line = line sprintf("\t%.4f", rand())
            print line
        }
    }' >"$4"
}

# Rows around `clusters` centres drawn uniformly from [0, 10) in every field,
# each value the centre's plus a standard normal deviate (Box-Muller), four
# decimals.
generate_clusters() { # rows fields clusters seed file
    awk -v rows="$1" -v fields="$2" -v clusters="$3" -v seed="$4" 'BEGIN {
        srand(seed)
        for (c = 0; c < clusters; c++) for (f = 0; f < fields; f++) centre[c, f] = 10 * rand()
        pi = atan2(0, -1)
        for (r = 0; r < rows; r++) {
            c = int(rand() * clusters)
            line = ""
            for (f = 0; f < fields; f++) {
                u = rand(); if (u < 1e-12) u = 1e-12
                z = sqrt(-2 * log(u)) * cos(2 * pi * rand())
                line = line (f ? "\t" : "") sprintf("%.4f", centre[c, f] + z)
            }
            print line
        }
    }' >"$5"
}

# Seconds of one named phase from a run's standard error, or the sum of all
# four when the name is "ALL". The units follow the tool's phase timer.
phase_seconds() { # stderr-file phase-name
    awk -F'\t' -v want="$2" '
        $2 ~ /^ : / {
            split(substr($2, 4), part, " ")
            scale = part[2] == "us" ? 1e-6 : part[2] == "ms" ? 1e-3 : part[2] == "s" ? 1 \
                  : part[2] == "m" ? 60 : part[2] == "h" ? 3600 : -1
            if (scale < 0) { print "unknown unit " part[2] > "/dev/stderr"; exit 1 }
            if (want == "ALL" || $1 == want) { total += part[1] * scale; found = 1 }
        }
        END { if (!found) { print "phase not reported: " want > "/dev/stderr"; exit 1 }
              printf "%.6f\n", total }' "$1"
}

# Times one binary on one workload with standard output to /dev/null, as a
# user's run would redirect it (the literal build writes every output line
# with a system call of its own, so a regular file, even on tmpfs, would add
# the file system's work per line to its recognition phase), or, when $piped
# is 1, through a pipe to `cat` (to /dev/null), where every write also wakes
# the reader. Leaves wall seconds and peak RSS (KiB or n/a) in
# $tmp/<tag>.wall and $tmp/<tag>.rss, and standard error in $tmp/<tag>.err.
piped=0
run_timed() { # tag input binary args...
    local tag=$1 input=$2 binary=$3
    shift 3
    local start end status=0 round
    local timer=()
    if ((have_gnu_time)); then
        timer=(/usr/bin/time -f '%M' -o "$tmp/$tag.rss")
    else
        echo n/a >"$tmp/$tag.rss"
    fi
    : >"$tmp/$tag.walls"
    for ((round = 0; round < repeat; round++)); do
        status=0
        start=$(date +%s.%N)
        if ((piped)); then
            # pipefail: somap's status, cat's only if somap's is 0.
            "${timer[@]}" "$binary" "$@" <"$input" 2>"$tmp/$tag.err" | cat >/dev/null || status=$?
        else
            "${timer[@]}" "$binary" "$@" <"$input" >/dev/null 2>"$tmp/$tag.err" || status=$?
        fi
        end=$(date +%s.%N)
        fail_on "$status" "$tag" "$binary" "$@"
        awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f\n", b - a }' >>"$tmp/$tag.walls"
        # Phase seconds of every round too, for the phase columns.
        cp "$tmp/$tag.err" "$tmp/$tag.err.$round"
    done
    median_of <"$tmp/$tag.walls" >"$tmp/$tag.wall"
    spread_of <"$tmp/$tag.walls" >"$tmp/$tag.spread"
    # GNU time appends a "Command exited" line on failure; keep the number only.
    tail -n 1 "$tmp/$tag.rss" >"$tmp/$tag.rss.1" && mv "$tmp/$tag.rss.1" "$tmp/$tag.rss"
}

# The median of numbers on standard input, one per line.
median_of() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) printf "%.6f\n", v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# "min-max" of numbers on standard input, or nothing for a single one.
spread_of() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR > 1) printf "%.6f %.6f\n", v[1], v[NR] }'
}
# The median of one phase over every round of a timed run.
phase_median() { # tag phase-name|ALL|READING
    local tag=$1 phase=$2 round wall phases
    for ((round = 0; round < repeat; round++)); do
        if [[ $phase == READING ]]; then
            wall=$(sed -n "$((round + 1))p" "$tmp/$tag.walls")
            phases=$(phase_seconds "$tmp/$tag.err.$round" ALL)
            awk -v wall="$wall" -v phases="$phases" 'BEGIN { printf "%.6f\n", wall - phases }'
        else
            phase_seconds "$tmp/$tag.err.$round" "$phase"
        fi
    done | median_of
}

# The untimed run whose standard output is kept for comparison. It goes first,
# which also brings the input file and the binary into the page cache before
# anything is timed.
run_kept() { # tag input binary args...
    local tag=$1 input=$2 binary=$3
    shift 3
    local status=0
    "$binary" "$@" <"$input" >"$tmp/$tag.out" 2>"$tmp/$tag.kept.err" || status=$?
    fail_on "$status" "$tag" "$binary" "$@"
}

fail_on() { # status tag binary args...
    local status=$1 tag=$2
    shift 2
    ((status == 0)) && return 0
    echo "FAILED: $tag ($*) exited with status $status" >&2
    exit 1
}

# Map files carry their saving time in the first 8 bytes, so only the rest
# must agree.
check_same() { # workload map-saved(0/1)
    if ! cmp -s "$tmp/$1-plain.out" "$tmp/$1-fast.out"; then
        echo "MISMATCH: $1 standard output differs between somap-plain and somap" >&2
        cmp "$tmp/$1-plain.out" "$tmp/$1-fast.out" >&2 || true
        exit 1
    fi
    if (($2)) && ! cmp -s <(tail -c +9 "$tmp/$1-plain.map") <(tail -c +9 "$tmp/$1-fast.map"); then
        echo "MISMATCH: $1 saved maps differ between somap-plain and somap (beyond the time stamp)" >&2
        exit 1
    fi
}

# One workload: both binaries' outputs are compared first, then plain and fast
# are timed one after the other. The phase figure is a named phase, or
# "READING" for whole wall time less all reported phases (input is read before
# the first phase timer starts).
declare -A description phase_label
run_pair() { # workload phase input saves-map(0/1) args...
    local w=$1 phase=$2 input=$3 saves=$4
    shift 4
    local kind binary args
    # Sets binary and args for one kind of run; $1 names its map file.
    command_for() {
        [[ $kind == plain ]] && binary=$PLAIN || binary=$FAST
        args=("${@:2}")
        ((saves)) && args+=(-s "$tmp/$1.map")
        return 0
    }
    for kind in plain fast; do
        command_for "$w-$kind" "$@"
        echo "== $w $kind, kept output: $binary ${args[*]} < $(basename "$input")" >&2
        run_kept "$w-$kind" "$input" "$binary" "${args[@]}"
    done
    check_same "$w" "$saves"
    echo "   outputs identical" >&2
    for kind in plain fast; do
        command_for "$w-$kind.timed" "$@"
        local out="> /dev/null"
        ((piped)) && out="| cat > /dev/null"
        echo "== $w $kind, timed ($repeat x): $binary ${args[*]} < $(basename "$input") $out" >&2
        run_timed "$w-$kind" "$input" "$binary" "${args[@]}"
        phase_median "$w-$kind" "$phase" >"$tmp/$w-$kind.phase"
        echo "   wall $(cat "$tmp/$w-$kind.wall") s (median), phase $(cat "$tmp/$w-$kind.phase") s," \
             "reading (wall - phases) $(phase_median "$w-$kind" READING) s, rss $(cat "$tmp/$w-$kind.rss") KiB" >&2
        sed 's/^/   | /' "$tmp/$w-$kind.err" >&2
    done
}

# A placement workload: `somap -x 10 -y 10 -i 0 -s MAP` on the rows, next to
# `somap -a MAP` (the map that run saved) on the same rows, both timed. The
# literal build places too when $plain_places is 1 (its output and map must
# match); its apply run is always checked.
declare -A placement_rows placement_fields
run_placement() { # workload input plain_places
    local w=$1 input=$2 plain_places=$3
    local place=(-x 10 -y 10 -i 0)
    echo "== $w fast placement, kept output: $FAST ${place[*]} -s $w-fast.map < $(basename "$input")" >&2
    run_kept "$w-fast" "$input" "$FAST" "${place[@]}" -s "$tmp/$w-fast.map"
    if ((plain_places)); then
        echo "== $w plain placement, kept output: $PLAIN ${place[*]} -s $w-plain.map < $(basename "$input")" >&2
        run_kept "$w-plain" "$input" "$PLAIN" "${place[@]}" -s "$tmp/$w-plain.map"
        check_same "$w" 1
        echo "   placement outputs and maps identical" >&2
    fi
    echo "== $w apply the placed map, kept output: fast and plain" >&2
    run_kept "$w-apply-fast" "$input" "$FAST" -a "$tmp/$w-fast.map"
    run_kept "$w-apply-plain" "$input" "$PLAIN" -a "$tmp/$w-fast.map"
    check_same "$w-apply" 0
    echo "   apply outputs identical" >&2
    echo "== $w timed ($repeat x): fast placement, fast apply" >&2
    run_timed "$w-fast" "$input" "$FAST" "${place[@]}" -s "$tmp/$w-fast.timed.map"
    phase_median "$w-fast" "Network Training" >"$tmp/$w-fast.phase"
    run_timed "$w-apply-fast" "$input" "$FAST" -a "$tmp/$w-fast.map"
    echo "   placement wall $(cat "$tmp/$w-fast.wall") s, of which placing $(cat "$tmp/$w-fast.phase") s;" \
         "apply wall $(cat "$tmp/$w-apply-fast.wall") s" >&2
    if ((plain_places)); then
        local saved=$repeat
        repeat=1  # some minutes each: once is enough for a ratio of hundreds
        echo "== $w timed (once): plain placement" >&2
        run_timed "$w-plain" "$input" "$PLAIN" "${place[@]}" -s "$tmp/$w-plain.timed.map"
        phase_median "$w-plain" "Network Training" >"$tmp/$w-plain.phase"
        repeat=$saved
        echo "   plain placement wall $(cat "$tmp/$w-plain.wall") s, placing $(cat "$tmp/$w-plain.phase") s" >&2
    fi
}

make_map16() {
    [[ -f $tmp/map16 ]] && return 0
    local m
    m=$(rows 1000)
    generate "$m" 16 303 "$tmp/w3-train.tsv"
    # The map is made once, by the fast binary, so both sides apply the very
    # same weights.
    echo "== making the 100x100 map: $FAST -s map16 -i 1 < $m rows" >&2
    "$FAST" -s "$tmp/map16" -i 1 <"$tmp/w3-train.tsv" >/dev/null 2>"$tmp/w3-train.err"
}

# How the sweeps of a training workload went, from sweep_stats on the same
# input with the same grid and iterations.
declare -A sweeps=()  # set, so that a run without training workloads can count it
sweep_report() { # workload input args...
    local w=$1 input=$2
    shift 2
    [[ -n $STATS ]] || return 0
    echo "== $w sweep_stats $* < $(basename "$input")" >&2
    sweeps[$w]=$("$STATS" "$@" <"$input")
    echo "   ${sweeps[$w]}" >&2
}

if wanted W1; then
    n=$(rows 1000)
    description[W1]="train 100x100 (default), 8 fields, $n rows, default iterations"
    phase_label[W1]="Network Training"
    generate "$n" 8 101 "$tmp/w1.tsv"
    run_pair W1 "Network Training" "$tmp/w1.tsv" 1
    sweep_report W1 "$tmp/w1.tsv"
fi

if wanted W2; then
    n=$(rows 200)
    description[W2]="train 40x40, 64 fields, $n rows, 200 iterations"
    phase_label[W2]="Network Training"
    generate "$n" 64 202 "$tmp/w2.tsv"
    run_pair W2 "Network Training" "$tmp/w2.tsv" 1 -x 40 -y 40 -i 200
    sweep_report W2 "$tmp/w2.tsv" -x 40 -y 40 -i 200
fi

if wanted W3; then
    n=$(rows 200000)
    description[W3]="apply a 100x100 map of 16 fields to $n rows"
    phase_label[W3]="Input Recognition"
    make_map16
    generate "$n" 16 304 "$tmp/w3.tsv"
    run_pair W3 "Input Recognition" "$tmp/w3.tsv" 0 -a "$tmp/map16"
fi

if wanted W4; then
    n=$(rows 1000000)
    description[W4]="read $n lines of 8 fields, empty grid (-x 0)"
    phase_label[W4]="reading (wall - phases)"
    generate "$n" 8 405 "$tmp/w4.tsv"
    run_pair W4 READING "$tmp/w4.tsv" 0 -x 0
fi

if wanted W5; then
    n=$(rows 20000)
    description[W5]="initialise 10x10 from $n rows of 8 fields, 0 iterations"
    phase_label[W5]="Network Training"
    generate "$n" 8 506 "$tmp/w5.tsv"
    run_pair W5 "Network Training" "$tmp/w5.tsv" 1 -x 10 -y 10 -i 0
fi

if wanted W6; then
    n=$(rows 100000)
    description[W6]="apply a 100x100 map of 16 fields to $n rows"
    phase_label[W6]="Input Recognition"
    make_map16
    generate "$n" 16 606 "$tmp/w6.tsv"
    run_pair W6 "Input Recognition" "$tmp/w6.tsv" 0 -a "$tmp/map16"
fi

if wanted W7; then
    n=$(rows 250000)
    description[W7]="$n uniform rows of 8 fields"
    generate "$n" 8 707 "$tmp/w7.tsv"
    placement_rows[W7]=$n placement_fields[W7]=8
    run_placement W7 "$tmp/w7.tsv" 1
fi

if wanted W8; then
    n=$(rows 1000000)
    description[W8]="$n uniform rows of 8 fields"
    generate "$n" 8 808 "$tmp/w8.tsv"
    placement_rows[W8]=$n placement_fields[W8]=8
    run_placement W8 "$tmp/w8.tsv" 0
fi

if wanted W9; then
    n=$(rows 400000)
    description[W9]="$n rows of 20 fields in 12 Gaussian clusters"
    generate_clusters "$n" 20 12 909 "$tmp/w9.tsv"
    placement_rows[W9]=$n placement_fields[W9]=20
    run_placement W9 "$tmp/w9.tsv" 0
fi

if wanted W10; then
    n=$(rows 2000)
    description[W10]="train 50x50, 8 fields, $n rows, default iterations"
    phase_label[W10]="Network Training"
    generate "$n" 8 607 "$tmp/w10.tsv"
    run_pair W10 "Network Training" "$tmp/w10.tsv" 1 -x 50 -y 50
    sweep_report W10 "$tmp/w10.tsv" -x 50 -y 50
fi

if wanted W11; then
    n=$(rows 150)
    description[W11]="whole run: train and save the default 100x100 grid on $n rows of 8 fields"
    phase_label[W11]="Network Training"
    generate "$n" 8 150 "$tmp/w11.tsv"
    run_pair W11 "Network Training" "$tmp/w11.tsv" 1
    sweep_report W11 "$tmp/w11.tsv"
fi

if wanted W12; then
    n=$(rows 1000000)
    description[W12]="apply a 10x10 map of 8 fields to $n rows, output piped through cat"
    phase_label[W12]="Input Recognition (searching and writing into the pipe)"
    m=$(rows 1000)
    generate "$m" 8 1211 "$tmp/w12-train.tsv"
    echo "== making the 10x10 map: $FAST -x 10 -y 10 -i 1 -s map10 < $m rows" >&2
    "$FAST" -x 10 -y 10 -i 1 -s "$tmp/map10" <"$tmp/w12-train.tsv" >/dev/null 2>"$tmp/w12-train.err"
    generate "$n" 8 1212 "$tmp/w12.tsv"
    piped=1
    run_pair W12 "Input Recognition" "$tmp/w12.tsv" 0 -a "$tmp/map10"
    piped=0
fi

# Seconds shown in the unit that keeps three significant-ish digits readable.
human() {
    awk -v s="$1" 'BEGIN {
        if (s < 0) s = 0
        if (s < 0.001) printf "%.0f us", s * 1e6
        else if (s < 1) printf "%.1f ms", s * 1e3
        else if (s < 3600) printf "%.2f s", s
        else printf "%.1f h", s / 3600
    }'
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.1fx", a / b; else printf "n/a" }'
}
# A timed run's median wall time, with [min - max] when it ran more than once.
wall_cell() { # tag
    local cell
    cell=$(human "$(cat "$tmp/$1.wall")")
    if [[ -s $tmp/$1.spread ]]; then
        read -r low high <"$tmp/$1.spread"
        cell="$cell [$(human "$low") - $(human "$high")]"
    fi
    echo "$cell"
}

mode="full"
((divisor > 1)) && mode="QUICK (rows / $divisor)"
echo
echo "somap workloads, $mode, $(nproc) cores, $(date -u '+%Y-%m-%d %H:%M UTC'), each run timed $repeat x (median [min - max])"
echo
pair_workloads=()
place_workloads=()
for w in "${selected[@]}"; do
    case $w in W7 | W8 | W9) place_workloads+=("$w") ;; *) pair_workloads+=("$w") ;; esac
done
if ((${#pair_workloads[@]} > 0)); then
    echo "| workload | description | plain phase time | fast phase time | phase ratio | plain wall | fast wall | wall ratio |"
    echo "|---|---|---|---|---|---|---|---|"
    for w in "${pair_workloads[@]}"; do
        pp=$(cat "$tmp/$w-plain.phase") fp=$(cat "$tmp/$w-fast.phase")
        pw=$(cat "$tmp/$w-plain.wall") fw=$(cat "$tmp/$w-fast.wall")
        echo "| $w | ${description[$w]}; phase: ${phase_label[$w]} | $(human "$pp") | $(human "$fp") | $(ratio "$pp" "$fp") | $(wall_cell "$w-plain") | $(wall_cell "$w-fast") | $(ratio "$pw" "$fw") |"
    done
fi
if ((${#place_workloads[@]} > 0)); then
    echo
    echo "| workload | rows | fast placement (-x 10 -y 10 -i 0 -s), wall | of which placing | fast apply of the 10x10 map, wall | placement / apply | plain placement, wall |"
    echo "|---|---|---|---|---|---|---|"
    # The literal build's placement time per pair and field, from W7 when it
    # ran, for the extrapolation.
    per_pair_field=""
    if [[ -f $tmp/W7-plain.phase ]]; then
        per_pair_field=$(awk -v t="$(cat "$tmp/W7-plain.phase")" -v r="${placement_rows[W7]}" -v f=8 \
            'BEGIN { printf "%.6e\n", t / (r * (r - 1) / 2 * f) }')
    fi
    for w in "${place_workloads[@]}"; do
        fw=$(cat "$tmp/$w-fast.wall") aw=$(cat "$tmp/$w-apply-fast.wall")
        if [[ -f $tmp/$w-plain.wall ]]; then
            plain_cell="$(human "$(cat "$tmp/$w-plain.wall")") (placing $(human "$(cat "$tmp/$w-plain.phase")"))"
        elif [[ -n $per_pair_field ]]; then
            plain_cell="not run; placing ~$(human "$(awk -v p="$per_pair_field" -v r="${placement_rows[$w]}" \
                -v f="${placement_fields[$w]}" 'BEGIN { print p * r * (r - 1) / 2 * f }')") extrapolated from W7"
        else
            plain_cell="not run (quadratic; run W7 too for an extrapolation)"
        fi
        echo "| $w | ${description[$w]} | $(wall_cell "$w-fast") | $(human "$(cat "$tmp/$w-fast.phase")") | $(wall_cell "$w-apply-fast") | $(ratio "$fw" "$aw") | $plain_cell |"
    done
fi

if ((${#sweeps[@]} > 0)); then
    echo
    echo "| workload | training's sweeps (sweep_stats, same input) |"
    echo "|---|---|"
    for w in "${selected[@]}"; do
        [[ -n ${sweeps[$w]:-} ]] && echo "| $w | ${sweeps[$w]} |"
    done
fi

memory_rows=()
for w in W1 W3 W6; do wanted "$w" && memory_rows+=("$w"); done
if ((${#memory_rows[@]} > 0)); then
    echo
    echo "| workload | plain max RSS | fast max RSS | fast / plain |"
    echo "|---|---|---|---|"
    for w in "${memory_rows[@]}"; do
        pr=$(cat "$tmp/$w-plain.rss") fr=$(cat "$tmp/$w-fast.rss")
        if [[ $pr == n/a || $fr == n/a ]]; then
            echo "| $w | n/a | n/a | n/a |"
        else
            echo "| $w | $(awk -v k="$pr" 'BEGIN { printf "%.1f MiB", k / 1024 }') | $(awk -v k="$fr" 'BEGIN { printf "%.1f MiB", k / 1024 }') | $(awk -v a="$fr" -v b="$pr" 'BEGIN { printf "%.2f", a / b }') |"
        fi
    done
fi
