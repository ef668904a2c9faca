#!/usr/bin/env bash
# Odd paths and streams from the shell, as users meet them: saves into
# /dev/stdout, /dev/fd/N and process substitutions, a FIFO between somap and
# somap-render, output lines shared by two runs in one pipe or cut short by
# `head` or a kill, non-blocking standard input, a directory as standard input,
# the file-size limit with SIGXFSZ at its default, maps the user may not
# write, paths near PATH_MAX, damaged time constants and a stepping clock.
#
#   cli_streams_test.sh SOMAP SOMAP_RENDER EXEC_NONBLOCKING CLOCK_SHIM [CASE...]
#
# Every case says what it checks; a failed check prints why. Exit status 0
# when every case passes.
set -u
somap=$1 render=$2 nonblocking=$3 shim=$4
shift 4
only=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/somap-streams.XXXXXX")
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
chmod 0755 "$work"
cd "$work" || exit 1

failures=0
case_name=
fail() {
  echo "FAIL [$case_name]: $*" >&2
  failures=$((failures + 1))
}
# expect STATUS GOT WHAT
expect_status() { [ "$2" -eq "$1" ] || fail "$3: status $2, expected $1; stderr: $(cat err 2>/dev/null)"; }
expect_equal() { [ "$1" = "$2" ] || fail "$3: got '$2', expected '$1'"; }
expect_in() { grep -qF -- "$1" "$2" || fail "$2 lacks '$1': $(head -c 400 "$2")"; }
# Files in the directory other than the ones named.
no_leftovers() {
  local dir=$1
  shift
  local extra
  extra=$(cd "$dir" && ls -A | grep -v -x -F "$(printf '%s\n' "$@")")
  [ -z "$extra" ] || fail "left behind in $dir: $extra"
}
# The map's bytes after saved_at, which is the only field that may differ
# between two saves of the same training.
body() { tail -c +9 "$1" | od -An -tx1 | tr -d ' \n'; }

awk 'BEGIN { for (r = 0; r < 40; r++) printf "%.3f\t%.3f\t%.3f\n", (r * 37 % 101) / 101, (r * 59 % 103) / 103, (r * 17 % 97) / 97 }' > data.tsv
"$somap" -x 4 -y 3 -i 20 -s reference.map < data.tsv > reference.out 2>/dev/null || { echo "setup failed" >&2; exit 1; }
map_bytes=$(stat -c %s reference.map)

run_case() {
  case_name=$1
  if [ ${#only[@]} -gt 0 ] && ! printf '%s\n' "${only[@]}" | grep -qx -- "$1"; then return; fi
  mkdir -p "$work/$1" && cd "$work/$1" || exit 1
  cp ../data.tsv ../reference.map ../reference.out .
  "$1"
  cd "$work" || exit 1
}

# --- saves into what is not a regular file -----------------------------

save_to_dev_stdout() {  # a pipe reached through /dev/stdout
  "$somap" -x 4 -y 3 -i 20 -s /dev/stdout < data.tsv 2>err | cat > out
  expect_status 0 "${PIPESTATUS[0]}" "-s /dev/stdout into a pipe"
  expect_equal $(($(stat -c %s reference.out) + map_bytes)) "$(stat -c %s out)" "bytes of lines and map on standard output"
  tail -c "$map_bytes" out > map
  [ "$(body map)" = "$(body reference.map)" ] || fail "the map written to /dev/stdout differs"
}

save_to_own_descriptors_appends() {  # /dev/stdout on a file: written at its offset, never replaced
  echo "precious log line" > log.txt
  "$somap" -x 4 -y 3 -i 20 -s /dev/stdout < data.tsv >> log.txt 2>err
  expect_status 0 $? "-s /dev/stdout >> FILE"
  { echo "precious log line"; cat reference.out; } > expected
  expect_equal "$(od -An -tx1 expected | tr -d ' \n')" "$(head -c "$(stat -c %s expected)" log.txt | od -An -tx1 | tr -d ' \n')" \
    "what the file held and the output lines, before the map"
  expect_equal $(($(stat -c %s expected) + map_bytes)) "$(stat -c %s log.txt)" "bytes in the file"
  tail -c "$map_bytes" log.txt > map
  [ "$(body map)" = "$(body reference.map)" ] || fail "the map appended to the file differs"
  "$somap" -x 4 -y 3 -i 20 -s /dev/stdout < data.tsv > both.txt 2>err
  expect_equal $(($(stat -c %s reference.out) + map_bytes)) "$(stat -c %s both.txt)" "bytes of -s /dev/stdout > FILE"
  echo keep > picture.log
  "$render" -o /dev/stdout reference.map >> picture.log 2>err
  expect_status 0 $? "somap-render -o /dev/stdout >> FILE"
  expect_equal keep "$(head -1 picture.log)" "the first line of the file"
  # A descriptor whose file has been deleted since is still written.
  exec 3> gone.map
  rm gone.map
  "$somap" -x 4 -y 3 -i 20 -s /dev/fd/3 < data.tsv > /dev/null 2>err
  expect_status 0 $? "-s /dev/fd/3 on a deleted file"
  exec 3>&-
}

save_refuses_standard_input() {  # the map never lands on the data it is trained from
  cp data.tsv d.tsv
  "$somap" -x 4 -y 3 -s /dev/stdin < d.tsv > out 2>err
  expect_status 1 $? "-s /dev/stdin < FILE"
  expect_in "could not save SOM to /dev/stdin" err
  "$somap" -x 4 -y 3 -s d.tsv < d.tsv > out 2>err
  expect_status 1 $? "-s FILE < FILE"
  cmp -s d.tsv data.tsv || fail "the data file was overwritten"
  [ ! -s out ] || fail "output written for a refused save"
  # Into its own input pipe, which nobody else reads: refused, not hung.
  cat data.tsv | timeout 20 "$somap" -x 100 -y 100 -i 1 -s /dev/stdin > /dev/null 2>err
  expect_status 1 $? "-s /dev/stdin from a pipe"
}

save_over_standard_streams() {  # the file standard output or error goes to is not replaced
  local case status message
  # How the output path reaches run.log, which the run's standard output
  # (or error) is appended to, and what the run says.
  for case in direct link hardlink stderr render; do
    printf 'an old line\n' > run.log
    ln -sf run.log link.log
    ln -f run.log hard.log
    message="could not save SOM to run.log: it is standard output's file"
    case $case in
      direct) "$somap" -x 4 -y 3 -s run.log < data.tsv >> run.log 2>err ;;
      link) message=${message/run.log/link.log}
            "$somap" -x 4 -y 3 -s link.log < data.tsv >> run.log 2>err ;;
      hardlink) message=${message/run.log/hard.log}
                "$somap" -x 4 -y 3 -s hard.log < data.tsv >> run.log 2>err ;;
      stderr) message="could not save SOM to run.log: it is standard error's file"
              "$somap" -x 4 -y 3 -s run.log < data.tsv > out 2>> run.log ;;
      render) message="somap-render: cannot write run.log: it is standard output's file"
              "$render" -o run.log reference.map >> run.log 2>err ;;
    esac
    status=$?
    [ "$case" = stderr ] && cp run.log err
    expect_status 1 "$status" "$case: a save over the file of a standard stream"
    expect_in "$message" err
    expect_equal "an old line" "$(head -1 run.log)" "$case: the file's old line"
    [ "$case" = stderr ] || expect_equal 1 "$(wc -l < run.log)" "$case: lines in the file (nothing written before the refusal)"
    [ -L link.log ] || fail "$case: the link was replaced"
  done
  # Naming standard output's own descriptor writes there, at its offset.
  for path in /dev/fd/1 /proc/self/fd/1; do
    printf 'an old line\n' > run.log
    "$somap" -x 4 -y 3 -i 20 -s "$path" < data.tsv >> run.log 2>err
    expect_status 0 $? "-s $path >> FILE"
    expect_equal $((12 + $(stat -c %s reference.out) + map_bytes)) "$(stat -c %s run.log)" "bytes after -s $path >> FILE"
  done
  # An empty path is no save; standard output to a file changes nothing.
  "$somap" -x 4 -y 3 -s "" < data.tsv > run.log 2>err
  expect_status 0 $? "-s '' > FILE"
  no_leftovers . data.tsv reference.map reference.out run.log link.log hard.log err out
}

save_to_dev_fd() {  # /dev/fd/N open on a pipe, and a process substitution
  mkfifo pipe
  cat pipe > fd.map &
  local reader=$!
  "$somap" -x 4 -y 3 -i 20 -s /dev/fd/3 < data.tsv 2>err >/dev/null 3>pipe
  expect_status 0 $? "-s /dev/fd/3 on a pipe"
  wait "$reader"
  "$somap" -x 4 -y 3 -i 20 -s >(cat > substituted.map) < data.tsv 2>>err >/dev/null
  expect_status 0 $? "-s >(cat > FILE)"
  wait $!  # the process substitution's reader
  [ "$(body fd.map)" = "$(body reference.map)" ] || fail "the map written to /dev/fd/3 differs"
  [ "$(body substituted.map)" = "$(body reference.map)" ] || fail "the map written to >(...) differs"
}

save_to_vanished_reader() {  # a FIFO whose reader leaves: a failed save, not a silent death
  mkfifo pipe
  (exec 3<pipe; exec 3<&-) &
  # 240 kB, more than a pipe holds, so a write meets the closed end.
  "$somap" -x 100 -y 100 -i 2 -s pipe < data.tsv >/dev/null 2>err
  expect_status 1 $? "-s FIFO whose reader went away"
  expect_in "could not save SOM to pipe" err
  wait
}

# --- somap-render's output and inputs ----------------------------------

render_output_through_links() {  # -o LINK keeps the link; a link to a pipe is written in place
  "$render" reference.map > expected.svg 2>err || fail "render failed"
  echo old > picture.svg
  ln -s picture.svg link.svg
  "$render" -o link.svg reference.map 2>>err
  expect_status 0 $? "-o LINK"
  [ -L link.svg ] || fail "-o LINK replaced the link with a file"
  cmp -s picture.svg expected.svg || fail "-o LINK did not write through the link"
  ln -s /proc/self/fd/1 my-stdout
  "$render" -o my-stdout reference.map 2>>err | cat > piped.svg
  expect_status 0 "${PIPESTATUS[0]}" "-o a link to standard output"
  [ -L my-stdout ] || fail "-o a link to /proc/self/fd/1 replaced the link"
  cmp -s piped.svg expected.svg || fail "the picture did not come through the pipe"
  no_leftovers . data.tsv reference.map reference.out expected.svg err picture.svg link.svg my-stdout piped.svg
}

render_refuses_output_over_standard_input() {  # inputs given as "-" are inputs too
  cp data.tsv d.tsv
  "$render" -o d.tsv --stats - reference.map < d.tsv 2>err
  expect_status 1 $? "-o DATA --stats - < DATA"
  expect_in "is an input of this run" err
  cmp -s d.tsv data.tsv || fail "the data file was overwritten"
  cp reference.out w.tsv
  "$render" -o w.tsv -w - reference.map < w.tsv 2>err
  expect_status 1 $? "-o WINNERS -w - < WINNERS"
  cmp -s w.tsv reference.out || fail "the winners file was overwritten"
}

render_reads_a_fifo_once() {  # somap -s FIFO & somap-render FIFO
  mkfifo live.map
  for attempt in 1 2 3 4 5; do
    "$somap" -x 4 -y 3 -i 20 -s live.map < data.tsv >/dev/null 2>somap.err &
    writer=$!
    "$render" live.map > live.svg 2>err
    expect_status 0 $? "somap-render on a FIFO being written (attempt $attempt)"
    wait "$writer"
    expect_status 0 $? "somap -s FIFO read by somap-render (attempt $attempt)"
    grep -q '^<svg' live.svg || fail "no picture from the FIFO (attempt $attempt)"
  done
}

# --- output lines through pipes ------------------------------------------

# Rows of the data's three fields and a padding field of `digit`s that make
# the output line (with "i<TAB>j<TAB>" and its newline) a chosen size, in
# blocks: a line of 3,990 bytes, which fills a write of its own, then 20 of
# 241 bytes (17 of them would be one byte more than a pipe takes whole), 12
# short ones and 4 of about 1,500.
mixed_lines() {  # rows digit
  awk -v rows="$1" -v digit="$2" 'BEGIN {
    pad = digit; while (length(pad) < 4096) pad = pad pad
    for (r = 0; r < rows; r++) {
      k = r % 37
      size = k == 0 ? 3990 : k <= 20 ? 241 : k <= 32 ? 24 + r % 29 : 1500 + r % 97
      line = sprintf("%.3f\t%.3f\t%.3f\t", (r * 37 % 101) / 101, (r * 59 % 103) / 103, (r * 17 % 97) / 97)
      print line substr(pad, 1, size - 5 - length(line))
    }
  }'
}

concurrent_runs_share_a_pipe() {  # two writers, one pipe: every line whole, each run's in order
  mixed_lines 3000 0 > a.tsv
  mixed_lines 3000 9 > b.tsv
  "$somap" -a reference.map < a.tsv > a.expected 2>/dev/null
  "$somap" -a reference.map < b.tsv > b.expected 2>/dev/null
  local attempt switches
  for attempt in 1 2 3; do
    # The reader starts late and reads in small pieces, so both runs wait on
    # the full pipe and take turns as it drains (hundreds of times).
    { "$somap" -a reference.map < a.tsv 2>/dev/null & "$somap" -a reference.map < b.tsv 2>/dev/null & wait; } |
      { sleep 0.3; dd bs=512 status=none; } > shared
    switches=$(awk -v a=a.expected -v b=b.expected '
      BEGIN { ia = ib = 0; while ((getline l < a) > 0) A[na++] = l; while ((getline l < b) > 0) B[nb++] = l }
      bad { next }
      ia < na && $0 == A[ia] { ia++; if (from == "b") switches++; from = "a"; next }
      ib < nb && $0 == B[ib] { ib++; if (from == "a") switches++; from = "b"; next }
      { printf "line %d is no next line of either run (%d bytes): %.50s...\n", NR, length($0), $0; bad = 1 }
      END { if (!bad && (ia < na || ib < nb)) printf "lines missing: %d of %d and %d of %d\n", ia, na, ib, nb
            else if (!bad) print switches + 0 }' shared)
    case $switches in
      '' | *[!0-9]*) fail "$switches"; return ;;
      0) ;;  # one run wrote all its lines before the other: try again
      *) return ;;
    esac
  done
  fail "the two runs' lines never interleaved in $attempt attempts"
}

reader_stops_early() {  # somap | head -n K: K whole lines, and the run ends quietly
  mixed_lines 3000 0 > lines.tsv
  "$somap" -a reference.map < lines.tsv > all.out 2>/dev/null
  "$somap" -a reference.map < lines.tsv 2>err | head -n 40 > got
  expect_status 141 "${PIPESTATUS[0]}" "a run whose reader left, SIGPIPE at its default"
  cmp -s got <(head -n 40 all.out) || fail "head -n 40 did not get the first 40 lines"
  # With SIGPIPE ignored the write fails with EPIPE: status 1, no message.
  (trap '' PIPE; "$somap" -a reference.map < lines.tsv 2>err | head -n 40 > got; exit "${PIPESTATUS[0]}")
  expect_status 1 $? "a run whose reader left, SIGPIPE ignored"
  if grep -q "could not write" err; then fail "a reader that left was reported: $(cat err)"; fi
  cmp -s got <(head -n 40 all.out) || fail "head -n 40 did not get the first 40 lines (SIGPIPE ignored)"
}

killed_run_leaves_whole_lines() {  # SIGKILL while waiting on a full pipe: a prefix of whole lines
  mixed_lines 3000 0 > lines.tsv
  "$somap" -a reference.map < lines.tsv > all.out 2>/dev/null
  mkfifo out.pipe
  local attempt run
  for attempt in 1 2 3 4 5; do
    "$somap" -a reference.map < lines.tsv > out.pipe 2>/dev/null &
    run=$!
    # Read a little, then nothing while the run fills the pipe and waits
    # on it; it is killed then, and the rest is read.
    { dd bs=1000 count=3 status=none; sleep 0.5; cat; } < out.pipe > got &
    sleep 0.25
    { kill -KILL "$run"; wait "$run"; } 2>/dev/null  # no "Killed" from the shell
    wait
    [ "$(stat -c %s got)" -lt "$(stat -c %s all.out)" ] || continue  # it had finished: try again
    [ -s got ] || fail "nothing was written before the kill (attempt $attempt)"
    [ "$(tail -c 1 got | od -An -c | tr -d ' ')" = '\n' ] || fail "the output ends inside a line (attempt $attempt)"
    cmp -s got <(head -c "$(stat -c %s got)" all.out) || fail "the output is not the start of the whole output"
    return
  done
  fail "the run finished before the kill in $attempt attempts"
}

# --- standard input ----------------------------------------------------

nonblocking_standard_output() {  # a non-blocking pipe whose reader is late
  awk 'BEGIN { for (r = 0; r < 3000; r++) printf "%.3f\t%.3f\t%.3f\n", r / 3000, (r % 7) / 7, (r % 11) / 11 }' > many.tsv
  "$nonblocking" -d 1 "$somap" -a reference.map < many.tsv 2>err | { sleep 0.5; cat; } > out
  expect_status 0 "${PIPESTATUS[0]}" "-a with non-blocking standard output"
  expect_equal 3000 "$(wc -l < out)" "lines through a non-blocking pipe"
  "$nonblocking" -d 1 "$render" reference.map 2>err | { sleep 0.5; cat; } > picture.svg
  expect_status 0 "${PIPESTATUS[0]}" "somap-render with non-blocking standard output"
  grep -q '</svg>' picture.svg || fail "the picture was cut short"
}

nonblocking_standard_input() {  # data in two parts on a non-blocking pipe
  head -20 data.tsv > first
  tail -n +21 data.tsv > second
  { cat first; sleep 0.3; cat second; } | "$nonblocking" "$somap" -a reference.map > out 2>err
  expect_status 0 $? "-a with non-blocking standard input"
  cmp -s out reference.out || fail "-a did not read all of a non-blocking input"
  { cat first; sleep 0.3; cat second; } | "$nonblocking" "$somap" -x 4 -y 3 -i 20 -s m.map > /dev/null 2>err
  expect_status 0 $? "-s with non-blocking standard input"
  [ "$(body m.map)" = "$(body reference.map)" ] || fail "-s trained on part of a non-blocking input"
}

directory_as_standard_input() {
  mkdir dir
  "$somap" -x 2 -y 2 < dir > out 2>err
  expect_status 1 $? "somap < DIRECTORY"
  expect_in "could not read standard input: Is a directory" err
  [ ! -s out ] || fail "output written for an unreadable input"
  "$render" --stats - reference.map < dir > out 2>err
  expect_status 1 $? "somap-render --stats - < DIRECTORY"
  expect_in "somap-render: could not read standard input: Is a directory" err
}

# --- the file-size limit, SIGXFSZ at its default -------------------------

file_size_limit() {
  awk 'BEGIN { for (r = 0; r < 200; r++) printf "%d\t%d\t%d\n", r % 7, r % 11, r % 13 }' > big.tsv
  echo "old map" > m.som
  sh -c 'ulimit -f 4; exec env --default-signal=XFSZ "$@"' sh "$somap" -x 30 -y 30 -i 1 -s m.som < big.tsv >/dev/null 2>err
  expect_status 1 $? "a save beyond the file-size limit"
  expect_in "could not save SOM to m.som" err
  [ "$(cat m.som)" = "old map" ] || fail "the old map was damaged"
  sh -c 'ulimit -f 1; exec env --default-signal=XFSZ "$@"' sh "$somap" -x 2 -y 2 < big.tsv > out.tsv 2>err
  expect_status 1 $? "standard output beyond the file-size limit"
  expect_in "could not write to standard output" err
  echo "old picture" > p.svg
  "$somap" -x 30 -y 30 -i 1 -s r.map < big.tsv >/dev/null 2>&1
  sh -c 'ulimit -f 4; exec env --default-signal=XFSZ "$@"' sh "$render" -o p.svg r.map 2>err
  expect_status 1 $? "somap-render -o beyond the file-size limit"
  expect_in "cannot write p.svg" err
  [ "$(cat p.svg)" = "old picture" ] || fail "the old picture was damaged"
  no_leftovers . data.tsv reference.map reference.out big.tsv m.som err out.tsv p.svg r.map
}

# --- maps the user may not replace ---------------------------------------

unwritable_map() {
  chmod 0777 .
  cp reference.map m.map
  chmod 0444 m.map
  local as_user=()
  [ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  "${as_user[@]}" "$somap" -x 4 -y 3 -i 20 -s m.map < data.tsv > /dev/null 2>err
  expect_status 1 $? "-s onto a map the user may not write"
  expect_in "could not save SOM to m.map" err
  cmp -s m.map reference.map || fail "a read-only map was replaced"
  no_leftovers . data.tsv reference.map reference.out m.map err
  if [ "$(id -u)" -eq 0 ]; then  # root keeps the owner, group and mode of what it replaces
    cp reference.map theirs.map
    chown 65534:65534 theirs.map
    chmod 0640 theirs.map
    "$somap" -x 4 -y 3 -i 20 -s theirs.map < data.tsv > /dev/null 2>err
    expect_status 0 $? "root replacing another user's map"
    [ "$(stat -c '%u:%g %a' theirs.map)" = "65534:65534 640" ] ||
      fail "owner, group or mode changed: $(stat -c '%u:%g %a' theirs.map)"
  fi
}

directories_that_cannot_be_listed() {  # a drop box (-wx) is enough for a save
  mkdir drop
  chmod 0733 drop
  local as_user=()
  [ "$(id -u)" -eq 0 ] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  "${as_user[@]}" "$somap" -x 4 -y 3 -i 20 -s drop/m.map < data.tsv > /dev/null 2>err
  expect_status 0 $? "-s into a directory that cannot be read"
  [ "$(body drop/m.map)" = "$(body reference.map)" ] || fail "the map in the drop box differs"
}

long_link_chain() {  # links resolved one at a time, never joined past PATH_MAX
  local dir=.
  while [ ${#dir} -lt 3000 ]; do dir=$dir/$(printf 'd%.0s' $(seq 1 250)); done
  mkdir -p "$dir"
  ln -s "$(printf './%.0s' $(seq 1 1000))target.map" "$dir/lnk"
  "$somap" -x 4 -y 3 -i 20 -s "$dir/lnk" < data.tsv > /dev/null 2>err
  expect_status 0 $? "-s through a link of 2010 bytes in a directory of $((${#dir})) bytes"
  [ -L "$dir/lnk" ] || fail "the link was replaced"
  [ "$(body "$dir/target.map")" = "$(body reference.map)" ] || fail "the map behind the long link differs"
}

names_that_steer_terminals() {  # control bytes in a path are not sent to the terminal
  "$somap" -a $'no\e[31mRED' < data.tsv > /dev/null 2>err
  expect_status 1 $? "-a with an escape sequence in the name"
  if grep -q $'\e' err; then fail "an escape byte reached standard error"; fi
  expect_in "could not load SOM from no?[31mRED" err
}

path_near_path_max() {  # 4090 bytes: the target fits, a temporary name built from the whole path would not
  local dir=. name=m.map
  while [ ${#dir} -lt 3800 ]; do dir=$dir/$(printf 'd%.0s' $(seq 1 250)); done
  dir=$dir/$(printf 'e%.0s' $(seq 1 $((4090 - ${#name} - 1 - ${#dir} - 1))))
  mkdir -p "$dir"
  expect_equal 4090 $((${#dir} + 1 + ${#name})) "length of the path"
  "$somap" -x 4 -y 3 -i 20 -s "$dir/$name" < data.tsv > /dev/null 2>err
  expect_status 0 $? "-s PATH of 4090 bytes"
  [ "$(body "$dir/$name")" = "$(body reference.map)" ] || fail "the map near PATH_MAX differs"
}

# --- damaged time constants, the clock -----------------------------------

tiny_time_constant() {  # 1e-320: t / T overflows, training would give NaN weights
  cp reference.map tiny.map
  printf '\xe8\x07\x00\x00\x00\x00\x00\x00' | dd of=tiny.map bs=1 seek=8 conv=notrunc status=none
  cp tiny.map before.map
  "$somap" -a tiny.map -s tiny.map < data.tsv > out 2>err
  expect_status 1 $? "retraining a map with a tiny time constant"
  expect_in "could not load SOM from tiny.map" err
  cmp -s tiny.map before.map || fail "the damaged map was overwritten"
}

stepping_clock() {  # the wall clock jumps back an hour at every reading
  LD_PRELOAD=$shim ASAN_OPTIONS=verify_asan_link_order=0:${ASAN_OPTIONS:-} \
    "$somap" -x 4 -y 3 -i 20 -s m.map < data.tsv > /dev/null 2>err
  expect_status 0 $? "a run while the clock steps"
  [ "$(grep -c ' : ' err)" -eq 4 ] || fail "expected four phase reports: $(cat err)"
  if grep ' : ' err | grep -qv ' : [0-9.]* \(us\|ms\|s\)$'; then fail "a phase report took the clock's step: $(cat err)"; fi
}

for each in save_to_dev_stdout save_to_own_descriptors_appends save_refuses_standard_input \
            save_over_standard_streams save_to_dev_fd \
            save_to_vanished_reader render_output_through_links render_refuses_output_over_standard_input \
            render_reads_a_fifo_once concurrent_runs_share_a_pipe reader_stops_early killed_run_leaves_whole_lines \
            nonblocking_standard_output nonblocking_standard_input \
            directory_as_standard_input file_size_limit unwritable_map directories_that_cannot_be_listed \
            long_link_chain names_that_steer_terminals path_near_path_max tiny_time_constant stepping_clock; do
  before=$failures
  run_case "$each"
  if [ ${#only[@]} -eq 0 ] || printf '%s\n' "${only[@]}" | grep -qx -- "$each"; then
    [ "$failures" -eq "$before" ] && echo "ok   $each" || echo "FAIL $each"
  fi
done
[ "$failures" -eq 0 ]
