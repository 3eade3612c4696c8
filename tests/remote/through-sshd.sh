#!/usr/bin/env bash
# The remote computer through a real OpenSSH server: an sshd of the test's own on a loopback port,
# with throwaway host and user keys and its own configuration (never the machine's sshd), and an
# ssh configuration with host aliases the way a user writes them. The agent on the "remote" side
# serves a classes root other than the client's.
#   through-sshd.sh <build tree> <throwaway folder>
set -euo pipefail
build="$1"
work="$2"
cli="$build/bin/tagvista-cli"
agent="$build/bin/tagvista-agent"
remote_classes="$build/tests/classes.d"

fail() { echo "FAILED: $*" >&2; [ -f "$work/sshd.log" ] && tail -n 20 "$work/sshd.log" >&2; exit 1; }
stop_sshd() { [ -f "$work/sshd.pid" ] && kill "$(cat "$work/sshd.pid")" 2>/dev/null || true; }
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
export TAGVISTA_AGENT="env TAGVISTA_CLASSES_PATH=$remote_classes $agent --stdio"

echo "--- servers through the agent"
remote="$("$cli" servers plant-remote 2>&1)" || fail "servers plant-remote: $remote"
there="$(TAGVISTA_CLASSES_PATH="$remote_classes" "$cli" servers)" || fail "the agent's root read here"
[ "$remote" = "$there" ] || fail "the remote listing differs from the agent's root: $(diff <(echo "$remote") <(echo "$there"))"
grep -q '^Tagvista.Test.' <<<"$remote" || fail "no test server listed: $remote"
here="$("$cli" servers)"
[ "$remote" != "$here" ] || fail "the remote listing is this computer's"
echo "$(wc -l <<<"$remote") servers listed, as registered there"

echo "--- a key the server refuses"
start=$SECONDS
if refused="$("$cli" servers plant-stranger 2>&1)"; then fail "a refused key listed servers"; fi
grep -q "Permission denied (publickey" <<<"$refused" || fail "no ssh text: $refused"
echo "$refused ($((SECONDS - start)) s)"

echo "--- no agent on the remote side"
if missing="$(TAGVISTA_AGENT="$work/no-such-agent --stdio" "$cli" servers plant-remote 2>&1)"; then fail "no agent, yet servers"; fi
grep -q "no-such-agent: No such file or directory\|no-such-agent: not found" <<<"$missing" || fail "no shell text: $missing"
echo "$missing"

echo "--- no agent is left running"
for waited in $(seq 50); do
  pgrep -f "$agent --stdio" >/dev/null || break
  sleep 0.1
done
if pgrep -af "$agent --stdio"; then fail "an agent outlived its client"; fi
echo "through a real sshd: listed, refused and missing as expected"
