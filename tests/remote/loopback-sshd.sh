# An OpenSSH server of the caller's own on a loopback port: throwaway host and user keys, its own
# configuration (never the machine's sshd), and an ssh configuration with two host aliases the way
# a user writes them: plant-remote (its key is authorised) and plant-stranger (its key is not).
# Sourced by the test and the benchmark, after they set $work (a throwaway folder, made afresh).
#   loopback_sshd_start    starts it and sets TAGVISTA_SSH to "ssh -F $work/ssh_config"
#   stop_sshd              stops it (the start sets a trap that does it and removes $work)
fail() { echo "FAILED: $*" >&2; [ -f "$work/sshd.log" ] && tail -n 20 "$work/sshd.log" >&2; exit 1; }
stop_sshd() { [ -f "$work/sshd.pid" ] && kill "$(cat "$work/sshd.pid")" 2>/dev/null || true; }
loopback_sshd_start() {
trap 'stop_sshd; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"
chmod 700 "$work"
for key in host_key user_key stranger_key; do ssh-keygen -q -t ed25519 -N '' -C "tagvista test" -f "$work/$key"; done
cp "$work/user_key.pub" "$work/authorized_keys"
user="$(id -un)"
# sshd run by root wants its privilege separation folder; an installed openssh-server whose
# service never ran has none yet.
if [ "$(id -u)" -eq 0 ] && [ ! -d /run/sshd ]; then mkdir -p /run/sshd && chmod 755 /run/sshd; fi

start_sshd() {
  local tries
  for tries in 1 2 3 4 5; do
    port=$(( 20000 + (RANDOM % 20000) ))
    cat >"$work/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
AllowUsers $user
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
PrintMotd no
LogLevel VERBOSE
CONFIG
    rm -f "$work/sshd.pid"
    /usr/sbin/sshd -f "$work/sshd_config" -E "$work/sshd.log" || fail "sshd did not start"
    local waited
    for waited in $(seq 50); do
      [ -s "$work/sshd.pid" ] && grep -q "Server listening" "$work/sshd.log" 2>/dev/null && return 0
      grep -q "Bind to port .* failed\|Cannot bind any address" "$work/sshd.log" 2>/dev/null && break
      sleep 0.1
    done
    stop_sshd
  done
  fail "no free loopback port for sshd"
}
start_sshd
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/host_key.pub")" >"$work/known_hosts"
cat >"$work/ssh_config" <<CONFIG
Host plant-remote plant-stranger
  HostName 127.0.0.1
  Port $port
  User $user
  IdentitiesOnly yes
  UserKnownHostsFile $work/known_hosts
  GlobalKnownHostsFile /dev/null
  StrictHostKeyChecking yes
  ConnectTimeout 10
Host plant-remote
  IdentityFile $work/user_key
Host plant-stranger
  IdentityFile $work/stranger_key
CONFIG
export TAGVISTA_SSH="ssh -F $work/ssh_config"
}
