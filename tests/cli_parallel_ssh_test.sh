#!/usr/bin/env bash
# Recognition spread over hosts by GNU parallel over ssh, end to end. An
# sshd of the test's own, on the loopback with throwaway keys, listens on two
# ports that stand for two machines: a login through either runs its command
# in that machine's own home directory, where parallel's --basefile puts the
# map (tests/loopback_sshd.sh). Checks that:
# - the output of the spread run is byte for byte that of one run;
# - a job that fails on a host (its map missing there, the host down, or
#   the job killed after some of its lines) ends the whole command with a
#   non-zero status, with or without --halt; --retries runs it again,
#   elsewhere, and then the output is whole and the status 0;
# - nothing the test started outlives it, whichever way it ends.
#
#   cli_parallel_ssh_test.sh SOMAP SSHD
#
# The hosts come from tests/loopback_sshd.sh; see there who may run it.
set -u
somap=$1 sshd=$2
. "$(dirname "$0")/loopback_sshd.sh"

for tool in parallel ssh ssh-keygen rsync timeout "$sshd"; do
  command -v "$tool" >/dev/null || { echo "$tool not found: bash scripts/setup.sh installs it" >&2; exit 1; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/somap-ssh.XXXXXX") || exit 1
case $dir in *[[:space:]\'\"\\]*) echo "a temporary directory without odd characters is needed: $dir" >&2; exit 1 ;; esac
job_pid= failures=0

# The processes working in the test's directory: the jobs on the "hosts"
# (their working directory is a home in it) and parallel itself.
ours() {
  local proc cwd
  for proc in /proc/[0-9]*; do
    cwd=$(readlink "$proc/cwd" 2>/dev/null) || continue
    [[ $cwd == "$dir" || $cwd == "$dir"/* ]] && [[ ${proc#/proc/} != "$$" ]] && echo "${proc#/proc/}"
  done
}

# Stops everything the test started, and fails the test if anything is
# still running afterwards.
cleanup() {
  local status=$? pid left
  trap - EXIT HUP INT TERM
  cd / || true
  if [ -n "$job_pid" ] && kill -0 "$job_pid" 2>/dev/null; then
    kill -TERM "$job_pid" 2>/dev/null; sleep 0.2; kill -TERM "$job_pid" 2>/dev/null; sleep 0.2
    kill -KILL "$job_pid" 2>/dev/null
  fi
  for pid in $(ours); do kill -KILL "$pid" 2>/dev/null; done
  loopback_sshd_stop
  left=$(ours)
  if [ -n "$loopback_sshd_main" ] && kill -0 "$loopback_sshd_main" 2>/dev/null; then
    left="$left sshd:$loopback_sshd_main"
  fi
  if [ -n "${left// /}" ]; then
    echo "FAIL: still running after the test: $left" >&2
    status=1
  fi
  rm -rf "$dir"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# ---- The two machines ---------------------------------------------------

mkdir -p "$dir/local" "$dir/home" "$dir/tmp"
loopback_sshd_start "$dir" "$sshd" || { echo "FAIL: no sshd to test with" >&2; exit 1; }
for host in one two; do
  got=$(ssh -F "$dir/ssh_config" "$host" pwd < /dev/null 2> "$dir/ssh.err")
  if [ "$got" != "$dir/$host" ]; then
    echo "FAIL: cannot log in to $host ('$got'):" >&2
    cat "$dir/ssh.err" "$dir/sshd.log" >&2
    exit 1
  fi
done

# ---- The data: one run over the whole input -----------------------------

cd "$dir/local" || exit 1
# Uneven lines, blank lines and CRLF endings, so that blocks end anywhere.
awk 'BEGIN { for (r = 0; r < 4000; r++) {
  printf "%d\t%d.%d\t%.4f%s", (r * 37) % 101, r % 13, r % 7, ((r * 7919) % 1009) / 1009, r % 97 ? "\n" : "\r\n"
  if (r % 250 == 0) printf "\n" } }' > data.tsv
head -n 600 data.tsv | "$somap" -x 9 -y 7 -i 20 -s map > /dev/null 2>&1 || { echo "FAIL: training failed" >&2; exit 1; }
"$somap" -a map < data.tsv > whole.out 2> /dev/null || { echo "FAIL: the single run failed" >&2; exit 1; }

# Runs parallel with the two machines (or the logins in $logins) and the
# given options and command, on data.tsv, from the local directory: output
# in $1.out, standard error in $1.err, the job log in $1.log, status in
# $status. It runs in the background so that an interrupt reaches the
# cleanup at once.
spread() {
  local name=$1
  shift
  HOME=$dir/home TMPDIR=$dir/tmp parallel --will-cite --pipe -k --block 8k -S "${logins:-2/one,2/two}" \
    --ssh "ssh -F $dir/ssh_config" --joblog "$name.log" "$@" < data.tsv > "$name.out" 2> "$name.err" &
  job_pid=$!
  wait "$job_pid"
  status=$?
  job_pid=
}
# The job log's columns for every job: sequence, host, exit value.
jobs_of() { awk -F'\t' 'NR > 1 { print $1, $2, $7 }' "$1.log" | sort -n; }
failed_jobs() { awk -F'\t' 'NR > 1 && $7 != 0' "$1.log" | wc -l; }

# ---- Spread over both, the map sent to each -----------------------------

spread spread --basefile map --cleanup "'$somap'" -a map
if [ "$status" -ne 0 ]; then
  fail "the spread run ended with status $status: $(grep -v -e '^Network' -e '^Input' -e '^Load' spread.err | head -5)"
fi
cmp -s spread.out whole.out || fail "the spread run's output differs from the single run's"
jobs=$(jobs_of spread | wc -l)
[ "$jobs" -ge 6 ] || fail "only $jobs jobs: the input was not split"
for host in one two; do
  jobs_of spread | grep -q " $host 0\$" || fail "no job ran on $host"
  # --cleanup took the map away again.
  [ ! -e "$dir/$host/map" ] || fail "--cleanup left the map on $host"
done

# ---- A host without the map ----------------------------------------------

cp map "$dir/one/map"
spread missing "'$somap'" -a map
failed=$(failed_jobs missing)
[ "$status" -ne 0 ] || fail "jobs on a host without the map failed, yet parallel's status is 0"
[ "$status" -eq "$failed" ] || fail "status $status, but $failed failed jobs in the job log"
if jobs_of missing | awk '$3 != 0 && $2 != "two"' | grep -q .; then fail "a job failed on host one too"; fi
grep -q 'could not load SOM from map' missing.err || fail "no load failure reported: $(head -c 300 missing.err)"
cmp -s missing.out whole.out && fail "the output is whole although jobs failed"

spread missing_halt --halt now,fail=1 "'$somap'" -a map
[ "$status" -eq 1 ] || fail "with --halt now,fail=1, status $status instead of the failed job's 1"

# ---- A host that is down --------------------------------------------------

logins=2/one,1/down spread down "'$somap'" -a map
[ "$status" -ne 0 ] || fail "jobs sent to a host that is down, yet parallel's status is 0"
jobs_of down | grep -q ' down 255$' || fail "no job failed on the host that is down: $(jobs_of down | head -4)"

# ---- A job killed after writing some of its lines ------------------------

cp map "$dir/two/map"
# The third job writes five lines, then its shell is killed (SIGKILL).
killer="if [ {#} -eq 3 ]; then '$somap' -a map | head -n 5; kill -KILL \$\$; else '$somap' -a map; fi"
spread killed "$killer"
[ "$status" -ne 0 ] || fail "a killed job gave status 0"
jobs_of killed | grep -q '^3 [a-z]* 137$' || fail "job 3 not recorded as killed: $(jobs_of killed | head -4)"
[ "$(wc -l < killed.out)" -lt "$(wc -l < whole.out)" ] || fail "the killed job's lines were not missing"

spread killed_halt --halt now,fail=1 "$killer"
[ "$status" -eq 137 ] || fail "with --halt now,fail=1, status $status instead of the killed job's 137"

# --retries runs a failed job again on a host where it has not failed, and
# drops what the failed attempt wrote: here job 3 is killed the first time
# it runs, and every job sent to the host that is down fails there.
once="if [ {#} -eq 3 ] && mkdir '$dir/killed-once' 2>/dev/null; then '$somap' -a map | head -n 5; kill -KILL \$\$; else '$somap' -a map; fi"
logins=2/one,2/two,1/down spread retried --retries 3 "$once"
[ -d "$dir/killed-once" ] || fail "the job was not killed on its first attempt"
[ "$status" -eq 0 ] || fail "with --retries, status $status: $(jobs_of retried | awk '$3 != 0' | head -4)"
cmp -s retried.out whole.out || fail "with --retries the output differs from the single run's"

if [ "$failures" -gt 0 ]; then
  echo "sshd's log:" >&2
  tail -n 20 "$dir/sshd.log" >&2
  exit 1
fi
echo "spread over 2 hosts: $jobs jobs, output identical; failing and killed jobs gave non-zero statuses"
exit 0
