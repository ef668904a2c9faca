#!/usr/bin/env bash
# Saves into a sticky, world-writable directory (as /tmp is) where another
# user has planted a link or a file: a save must be refused whenever the
# kernel refuses the same user an ordinary open of the path for writing, the
# one a shell's `: >> PATH` makes, with the kernel's reason, and go ahead
# whenever it allows it, but where the sticky directory forbids replacing
# another user's file (EPERM). With fs.protected_symlinks and
# fs.protected_regular set (the default of most distributions) and with both
# cleared; every case as root and as an unprivileged user, through somap -s,
# somap-render -o and, where given, Python's Map.save.
#
#   cli_protected_test.sh SOMAP SOMAP_RENDER [PYTHON PYTHONPATH]
#
# Needs root (to set the two settings and to act as other users); exits 77,
# which CTest counts as skipped, where it cannot have either. Both settings
# are put back as they were, whatever happens.
set -u
somap=$1 render=$2 python=${3:-} pythonpath=${4:-}

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv > /dev/null; then
  echo "skipped: needs root and setpriv to set fs.protected_* and to act as other users"
  exit 77
fi
# The settings are the whole system's: two runs of this test at once (two
# build trees tested side by side) would take each other's for the ones to
# restore, so they take turns.
if command -v flock > /dev/null; then
  exec 9> /run/lock/somap-protected-test.lock 2>/dev/null || exec 9> /tmp/somap-protected-test.lock
  flock 9
fi
symlinks=/proc/sys/fs/protected_symlinks regular=/proc/sys/fs/protected_regular
saved_symlinks=$(cat "$symlinks" 2>/dev/null) saved_regular=$(cat "$regular" 2>/dev/null)
if [ -z "$saved_symlinks" ] || [ -z "$saved_regular" ]; then
  echo "skipped: fs.protected_symlinks or fs.protected_regular cannot be read here"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/somap-protected.XXXXXX") || exit 1
restore() {
  echo "$saved_symlinks" > "$symlinks" 2>/dev/null
  echo "$saved_regular" > "$regular" 2>/dev/null
  rm -rf "$work"
}
trap restore EXIT
trap 'exit 1' INT TERM HUP
# set SYMLINKS REGULAR: false where the kernel does not let them be set.
set_protection() {
  { echo "$1" > "$symlinks" && echo "$2" > "$regular"; } 2>/dev/null &&
    [ "$(cat "$symlinks")" = "$1" ] && [ "$(cat "$regular")" = "$2" ]
}
chmod 0755 "$work"
cd "$work" || exit 1

# Users: root, and an unprivileged one; the other user who plants things is
# neither, nor the owner of the sticky directory (root).
unprivileged=65534 planter=65533
as() {  # as UID COMMAND...: root as itself, anyone else without privileges
  if [ "$1" -eq 0 ]; then shift; "$@"; else
    local uid=$1; shift; setpriv --reuid="$uid" --regid="$uid" --clear-groups "$@"; fi
}

printf '0.1\t0.2\n0.9\t0.4\n0.5\t0.5\n0.3\t0.8\n' > data.tsv
"$somap" -x 2 -y 2 -i 5 -s reference.map < data.tsv > /dev/null 2>&1 || { echo "setup failed" >&2; exit 1; }
chmod 0644 data.tsv reference.map
mkdir -m 1777 sticky

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# prepare ACTOR CASE: sticky/out as the case has it, and the actor's own
# file (which links point to) in a directory the actor may write, so that
# only the kernel's rules can stand between a save and its target.
prepare() {
  local actor=$1 case=$2 home=$work/home-$1
  rm -rf sticky/* sticky/.[!.]* "$home"
  mkdir -m 0755 "$home"
  chown "$actor:$actor" "$home"
  echo "the actor's own file" > "$home/victim"
  chown "$actor:$actor" "$home/victim"
  case $case in
    nothing) ;;
    link-of-another-user) as "$planter" ln -s "$home/victim" sticky/out ;;
    dangling-link-of-another-user) as "$planter" ln -s "$home/new" sticky/out ;;
    file-of-another-user) as "$planter" sh -c 'echo planted > sticky/out; chmod 0666 sticky/out' ;;
    link-of-the-directory-owner) ln -s "$home/victim" sticky/out ;;
    file-of-the-directory-owner) echo planted > sticky/out; chmod 0666 sticky/out ;;
    own-link) as "$actor" ln -s "$home/victim" sticky/out ;;
    own-file) as "$actor" sh -c 'echo planted > sticky/out; chmod 0644 sticky/out' ;;
  esac
}

# What sticky/out and the actor's file hold, to tell whether anything was
# written, and whatever else is in the directory (a temporary file).
state() {
  local home=$work/home-$1
  { ls -A sticky "$home" | tr '\n' ' '; [ -L sticky/out ] && readlink sticky/out
    cat sticky/out 2>/dev/null; cat "$home/victim"; } | md5sum
}

save() {  # save PROGRAM ACTOR
  case $1 in
    somap) as "$2" "$somap" -x 2 -y 2 -i 5 -s sticky/out < data.tsv > /dev/null ;;
    somap-render) as "$2" "$render" -o sticky/out reference.map ;;
    python) as "$2" env PYTHONPATH="$pythonpath" "$python" -c \
      'import sys, somap; somap.load("reference.map").save("sticky/out")' ;;
  esac
}

programs=(somap somap-render)
[ -n "$python" ] && programs+=(python)
cases=(nothing own-file own-link file-of-the-directory-owner link-of-the-directory-owner
       file-of-another-user link-of-another-user dangling-link-of-another-user)

# run SYMLINKS REGULAR: the table under these settings.
run() {
  if ! set_protection "$1" "$2"; then
    echo "fs.protected_symlinks=$1 fs.protected_regular=$2 cannot be set here: not tested"
    return 1
  fi
  local actor case program shell refused_by_shell saved refused_save before expected reason row
  for actor in 0 "$unprivileged"; do
    for case in "${cases[@]}"; do
      prepare "$actor" "$case"
      as "$actor" sh -c ': >> sticky/out' 2> /dev/null
      shell=$?
      refused_by_shell=$([ "$shell" -ne 0 ] && echo refused || echo allowed)
      for program in "${programs[@]}"; do
        prepare "$actor" "$case"
        # A save replaces a file through its directory, which a sticky one
        # forbids for another user's file whatever the file allows (EPERM),
        # as it always has; every other open the shell may make, the save
        # makes too.
        expected=$refused_by_shell reason="Permission denied"
        if [ "$actor" -ne 0 ] && [ "$shell" -eq 0 ] && [ -f sticky/out ] && [ ! -L sticky/out ] &&
           [ "$(stat -c %u sticky/out)" != "$actor" ]; then
          expected=refused reason="Operation not permitted"
        fi
        before=$(state "$actor")
        save "$program" "$actor" 2> err
        saved=$?
        refused_save=$([ "$saved" -ne 0 ] && echo refused || echo allowed)
        row="protected=$1/$2 uid $actor, $case, $program: the shell's open $refused_by_shell, the save $refused_save"
        echo "$row"
        [ "$refused_save" = "$expected" ] || fail "$row, expected $expected ($(head -c 300 err))"
        if [ "$saved" -ne 0 ]; then
          [ "$(state "$actor")" = "$before" ] || fail "$row: a refused save changed something"
          [ "$saved" -eq 1 ] || fail "$row: status $saved"
          grep -q "$reason" err || fail "$row: the kernel's reason is not given: $(head -c 300 err)"
        else
          [ "$(ls -A sticky)" = out ] || fail "$row: left behind in the directory: $(ls -A sticky | tr '\n' ' ')"
          # Read as the actor: root may not follow the actor's link here.
          if [ "$program" = somap-render ]; then
            as "$actor" grep -q '^<svg' sticky/out || fail "$row: no picture written"
          else
            [ "$(as "$actor" stat -L -c %s sticky/out)" = "$(stat -c %s reference.map)" ] || fail "$row: no map written"
          fi
        fi
      done
      # With both protections on, the kernel refuses exactly the things
      # another user planted; otherwise the table would test nothing.
      if [ "$1" = 1 ] && [ "$2" = 1 ]; then
        case $case in
          *-of-another-user) [ "$shell" -ne 0 ] || fail "uid $actor, $case: the kernel allowed the open" ;;
          *) [ "$shell" -eq 0 ] || fail "uid $actor, $case: the kernel refused the open" ;;
        esac
      fi
    done
  done
}

tested=0
run 1 1 && tested=$((tested + 1))
run 0 0 && tested=$((tested + 1))
if [ "$tested" -eq 0 ]; then
  echo "skipped: neither setting of fs.protected_symlinks and fs.protected_regular could be made"
  exit 77
fi
[ "$failures" -eq 0 ]
