#!/usr/bin/env bash
# The Windows agent of this build on the "remote" computer: a Linux build's client reaches it
# through a real OpenSSH server of the test's own on a loopback port, whose key runs the agent
# under Wine as its forced command (as a Windows computer's sshd runs the installed agent). The
# agent serves the build's prefix, where the in-process simulation server is registered.
#   agent-under-wine.sh <Windows build tree> <Linux build tree> <throwaway folder>
# Ends with 77 (skipped) when the Linux tree has no client: ./scripts/test builds it first.
set -euo pipefail
build="$1"
linux="$2"
work="$3"
cli="$linux/bin/tagvista-cli"
agent="$build/bin/tagvista-agent.exe"
wine_run="$build/wine-run"
if [ ! -x "$cli" ]; then
  echo "no Linux client at $cli: build the Linux tree first (TAGVISTA_LINUX_TREE names it)"
  exit 77
fi
here() { "$wine_run" "$build/bin/tagvista-cli.exe" "$@" | tr -d '\r'; }

source "$(dirname "$0")/loopback-sshd.sh"
source "$(dirname "$0")/value-checks.sh"
loopback_sshd_start
# Whatever the client asks to run, the key runs the agent under Wine, in the build's prefix.
echo "command=\"$wine_run Z:$agent --stdio\" $(cat "$work/user_key.pub")" >"$work/authorized_keys"

echo "--- the agent's version"
windows_version="$("$wine_run" "Z:$agent" --version | tr -d '\r')" || fail "the Windows agent's --version failed"
linux_version="$("$linux/bin/tagvista-agent" --version)" || fail "the Linux agent's --version failed"
[ "$windows_version" = "$linux_version" ] || fail "the agents differ: $windows_version, $linux_version"
echo "$windows_version, as the Linux agent"

echo "--- servers through the agent"
remote="$("$cli" servers plant-remote 2>&1)" || fail "servers plant-remote: $remote"
there="$(here servers)" || fail "the prefix's servers read by the Windows client"
[ "$remote" = "$there" ] || fail "the remote listing differs from the prefix's: $(diff <(echo "$remote") <(echo "$there"))"
grep -q $'^Tagvista.Simulation.1\t' <<<"$remote" || fail "the simulation server is not listed: $remote"
echo "$(wc -l <<<"$remote") servers listed, as registered in the prefix"

echo "--- browse through the agent"
remote_space="$("$cli" browse --flat --host plant-remote Tagvista.Simulation.1)" || fail "browse through the agent failed"
there_space="$(here browse --flat Tagvista.Simulation.1)" || fail "browse in the prefix failed"
[ "$remote_space" = "$there_space" ] || fail "another address space: $(diff <(echo "$remote_space") <(echo "$there_space") | head)"
grep -q "Цех1" <<<"$remote_space" || fail "no Cyrillic name came through: $(head -n 5 <<<"$remote_space")"
echo "$(wc -l <<<"$remote_space") items, the same as in the prefix"

echo "--- watch through the agent: live values of every type"
remote_values="$("$cli" watch --seconds 10 --host plant-remote Tagvista.Simulation.1)" || fail "watch through the agent failed"
there_values="$(here watch --seconds 5 Tagvista.Simulation.1)" || fail "watch in the prefix failed"
remote_types="$(columns_of 2 "$remote_values")"
same_columns 2 "$remote_values" "$there_values" "other types than in the prefix"
same_columns 1 "$remote_values" "$there_values" "other items than in the prefix"
changes="$(wc -l <<<"$remote_values")"
[ "$changes" -gt "$(columns_of 1 "$remote_values" | wc -l)" ] || fail "no value changed after the first block"
echo "$changes values of $(wc -l <<<"$remote_types") types in 10 s"

echo "--- the DA 3.0 browser and the DA 2.0 callback of the Windows agent"
browse3="$("$cli" browse --flat --browser 3 --host plant-remote Tagvista.Simulation.1)" || fail "browse --browser 3 failed"
[ "$browse3" = "$there_space" ] || fail "the DA 3.0 browser differs: $(diff <(echo "$browse3") <(echo "$there_space") | head)"
callback_values="$("$cli" watch --seconds 10 --subscription callback --host plant-remote Tagvista.Simulation.1)" ||
  fail "watch through the callback failed"
same_columns 1,2 "$callback_values" "$there_values" "the callback brings other items or types"
# The constants as the stream's blocks brought them, printed by the same client.
same_columns 1-3 "$(grep Static/ <<<"$callback_values")" "$(grep Static/ <<<"$remote_values")" \
  "the callback's constant values differ from the stream's"
echo "$(wc -l <<<"$browse3") items through the DA 3.0 browser; $(wc -l <<<"$callback_values") values through the callback"

echo "--- the ssh session killed while values stream"
"$cli" watch --host plant-remote Tagvista.Simulation.1 >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
for waited in $(seq 300); do
  [ -s "$work/watch.out" ] && break
  sleep 0.1
done
[ -s "$work/watch.out" ] || fail "no values before the kill"
pkill -KILL -f "ssh -F $work/ssh_config" || fail "no ssh session to kill"
code=0
wait "$watch_pid" || code=$?
[ "$code" -eq 2 ] || fail "the watch ended with $code: $(cat "$work/watch.err")"
grep -q "plant-remote" "$work/watch.err" || fail "no message naming the host: $(cat "$work/watch.err")"
echo "ended with exit 2: $(tail -n 1 "$work/watch.err")"

echo "--- no agent is left running in the prefix"
for waited in $(seq 100); do
  pgrep -f "tagvista-agent.exe" >/dev/null || break
  sleep 0.1
done
if pgrep -af "tagvista-agent.exe"; then fail "an agent outlived its client"; fi
echo "the Windows agent under Wine: listed, browsed and streamed as in the prefix"
