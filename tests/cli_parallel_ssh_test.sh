#!/usr/bin/env bash
# Recognition spread over hosts by GNU parallel over ssh, end to end. An
# sshd of the test's own, on the loopback with throwaway keys, listens on two
# ports that stand for two machines: a login through either runs its command
# in that machine's own home directory, where parallel's --basefile puts the
# map. Checks that:
# - the output of the spread run is byte for byte that of one run;
# - a job that fails on a host (its map missing there, or the job killed
#   after some of its lines) ends the whole command with a non-zero status,
#   with or without --halt; --retries runs it again, elsewhere, and then
#   the output is whole and the status 0;
# - nothing the test started outlives it, whichever way it ends.
#
#   cli_parallel_ssh_test.sh SOMAP SSHD
#
# Runs as root (sshd then needs /run/sshd, made here when missing) or as any
# user with a login shell (sshd then serves that user only).
set -u
somap=$1 sshd=$2

for tool in parallel ssh ssh-keygen rsync timeout "$sshd"; do
  command -v "$tool" >/dev/null || { echo "$tool not found: bash scripts/setup.sh installs it" >&2; exit 1; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/somap-ssh.XXXXXX") || exit 1
case $dir in *[[:space:]\'\"\\]*) echo "a temporary directory without odd characters is needed: $dir" >&2; exit 1 ;; esac
sshd_pid= sshd_main= job_pid= failures=0

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
  if [ -n "$sshd_pid" ]; then
    kill -TERM "$sshd_pid" 2>/dev/null
    wait "$sshd_pid" 2>/dev/null
  fi
  left=$(ours)
  for pid in $sshd_pid $sshd_main; do
    if kill -0 "$pid" 2>/dev/null; then left="$left sshd:$pid"; fi
  done
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

mkdir -p "$dir/one" "$dir/two" "$dir/local" "$dir/home" "$dir/tmp"
ssh-keygen -q -t ed25519 -N '' -C somap-test-host -f "$dir/host_key" || exit 1
ssh-keygen -q -t ed25519 -N '' -C somap-test-user -f "$dir/user_key" || exit 1
cp "$dir/user_key.pub" "$dir/authorized_keys"
user=$(id -un)
if [ "$(id -u)" = 0 ] && [ ! -d /run/sshd ]; then
  # The privilege separation directory, which Debian's service makes when it
  # starts; left in place, as another sshd may be using it by then.
  mkdir -p -m 0755 /run/sshd || exit 1
fi

# Starts sshd on two free ports; a port taken meanwhile means another try.
start_sshd() {
  local attempt port
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    port_one=$port port_two=$((port + 1))
    # A login through either port runs its command in that machine's home.
    cat > "$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port_one
Port $port_two
HostKey "$dir/host_key"
PidFile "$dir/sshd.pid"
AuthorizedKeysFile "$dir/authorized_keys"
StrictModes no
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowUsers $user
X11Forwarding no
AllowTcpForwarding no
PrintMotd no
PrintLastLog no
Match LocalPort $port_one
  ForceCommand cd '$dir/one' && HOME='$dir/one' exec "\$SHELL" -c "\$SSH_ORIGINAL_COMMAND"
Match LocalPort $port_two
  ForceCommand cd '$dir/two' && HOME='$dir/two' exec "\$SHELL" -c "\$SSH_ORIGINAL_COMMAND"
EOF
    # `timeout` bounds sshd's life even if this script is killed outright.
    timeout -k 5 280 "$sshd" -D -e -f "$dir/sshd_config" 2> "$dir/sshd.log" < /dev/null &
    sshd_pid=$!
    local waited
    for waited in $(seq 100); do
      if [ "$(grep -c 'Server listening on' "$dir/sshd.log")" -eq 2 ] && [ -s "$dir/sshd.pid" ]; then
        sshd_main=$(cat "$dir/sshd.pid")
        return 0
      fi
      kill -0 "$sshd_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -TERM "$sshd_pid" 2>/dev/null
    wait "$sshd_pid" 2>/dev/null
    sshd_pid=
    grep -q 'Address already in use' "$dir/sshd.log" || break
  done
  echo "FAIL: sshd did not start:" >&2
  cat "$dir/sshd.log" >&2
  exit 1
}
start_sshd

cat > "$dir/ssh_config" <<EOF
Host one
  Port $port_one
Host two
  Port $port_two
Host *
  HostName 127.0.0.1
  User $user
  IdentityFile "$dir/user_key"
  IdentitiesOnly yes
  BatchMode yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  LogLevel ERROR
  ConnectTimeout 20
EOF
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

# Runs parallel with the two machines and the given options and command,
# on data.tsv, from the local directory: output in $1.out, standard error in
# $1.err, the job log in $1.log, status in $status. It runs in the
# background so that an interrupt reaches the cleanup at once.
spread() {
  local name=$1
  shift
  HOME=$dir/home TMPDIR=$dir/tmp parallel --will-cite --pipe -k --block 8k -S 2/one,2/two \
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
[ "$status" -ne 0 ] || fail "with --halt now,fail=1 a failed job gave status 0"

# ---- A job killed after writing some of its lines ------------------------

cp map "$dir/two/map"
# The third job writes five lines, then its shell is killed (SIGKILL).
killer="if [ {#} -eq 3 ]; then '$somap' -a map | head -n 5; kill -KILL \$\$; else '$somap' -a map; fi"
spread killed "$killer"
[ "$status" -ne 0 ] || fail "a killed job gave status 0"
jobs_of killed | grep -q '^3 [a-z]* 137$' || fail "job 3 not recorded as killed: $(jobs_of killed | head -4)"
[ "$(wc -l < killed.out)" -lt "$(wc -l < whole.out)" ] || fail "the killed job's lines were not missing"

spread killed_halt --halt now,fail=1 "$killer"
[ "$status" -ne 0 ] || fail "with --halt now,fail=1 a killed job gave status 0"

# Killed only the first time: --retries runs it again, and what the failed
# attempt wrote is dropped.
once="if [ {#} -eq 3 ] && mkdir '$dir/killed-once' 2>/dev/null; then '$somap' -a map | head -n 5; kill -KILL \$\$; else '$somap' -a map; fi"
spread retried --retries 2 "$once"
[ -d "$dir/killed-once" ] || fail "the job was not killed on its first attempt"
[ "$status" -eq 0 ] || fail "the retried job gave status $status"
cmp -s retried.out whole.out || fail "with --retries the output differs from the single run's"

if [ "$failures" -gt 0 ]; then
  echo "sshd's log:" >&2
  tail -n 20 "$dir/sshd.log" >&2
  exit 1
fi
echo "spread over 2 hosts: $jobs jobs, output identical; failing and killed jobs gave non-zero statuses"
exit 0
