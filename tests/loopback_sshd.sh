# An sshd of one's own on the loopback, for testing and measuring recognition
# spread over ssh without any machine but this one. Throwaway host and user
# keys; two ports that stand for two machines, "one" and "two": a login
# through either runs its command in that machine's own home directory
# (DIR/one, DIR/two). DIR/ssh_config names the logins one, two and down (a
# port nothing here listens on: a host that is down). Sourced by bash:
#
#   . tests/loopback_sshd.sh
#   loopback_sshd_start DIR SSHD || exit 1    # SSHD: sshd's absolute path
#   ssh -F DIR/ssh_config one pwd             # prints DIR/one
#   loopback_sshd_stop                        # stops it and waits for it
#
# Runs as root (sshd then needs /run/sshd, made here when missing) or as any
# user with a login shell (sshd then serves that user only). sshd lives at
# most 280 seconds, even if whoever started it is killed outright.
# loopback_sshd_pid is the process started (timeout, with sshd under it),
# loopback_sshd_main sshd's own pid.

loopback_sshd_pid= loopback_sshd_main=

loopback_sshd_start() {
  local dir=$1 sshd=$2 user attempt port one two waited
  user=$(id -un)
  mkdir -p "$dir/one" "$dir/two" || return 1
  ssh-keygen -q -t ed25519 -N '' -C somap-host -f "$dir/host_key" < /dev/null || return 1
  ssh-keygen -q -t ed25519 -N '' -C somap-user -f "$dir/user_key" < /dev/null || return 1
  cp "$dir/user_key.pub" "$dir/authorized_keys" || return 1
  if [ "$(id -u)" = 0 ] && [ ! -d /run/sshd ]; then
    # The privilege separation directory, which Debian's service makes when
    # it starts; left in place, as another sshd may be using it by then.
    mkdir -p -m 0755 /run/sshd || return 1
  fi
  # Two free ports: one taken meanwhile means another try.
  for attempt in 1 2 3 4 5 6 7 8; do
    port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    one=$port two=$((port + 1))
    cat > "$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $one
Port $two
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
Match LocalPort $one
  ForceCommand cd '$dir/one' && HOME='$dir/one' exec "\$SHELL" -c "\$SSH_ORIGINAL_COMMAND"
Match LocalPort $two
  ForceCommand cd '$dir/two' && HOME='$dir/two' exec "\$SHELL" -c "\$SSH_ORIGINAL_COMMAND"
EOF
    timeout -k 5 280 "$sshd" -D -e -f "$dir/sshd_config" 2> "$dir/sshd.log" < /dev/null &
    loopback_sshd_pid=$!
    for waited in $(seq 100); do
      if [ "$(grep -c 'Server listening on' "$dir/sshd.log")" -eq 2 ] && [ -s "$dir/sshd.pid" ]; then
        loopback_sshd_main=$(cat "$dir/sshd.pid")
        cat > "$dir/ssh_config" <<EOF
Host one
  Port $one
Host two
  Port $two
Host down
  Port $((two + 1))
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
        return 0
      fi
      kill -0 "$loopback_sshd_pid" 2>/dev/null || break
      sleep 0.1
    done
    loopback_sshd_stop
    grep -q 'Address already in use' "$dir/sshd.log" || break
  done
  echo "sshd did not start:" >&2
  cat "$dir/sshd.log" >&2
  return 1
}

loopback_sshd_stop() {
  if [ -n "$loopback_sshd_pid" ]; then
    kill -TERM "$loopback_sshd_pid" 2>/dev/null
    wait "$loopback_sshd_pid" 2>/dev/null
  fi
  loopback_sshd_pid=
}
