#!/usr/bin/env bash
# Computers written "ssh:name" on Windows: the Windows client of this build, under Wine, reaches
# the agent of this build through a stand-in ssh that runs the agent here (there is no Windows ssh
# client under Wine; the same agent through a real sshd is agent-under-wine's). Plain names keep
# the system's remote registry.
#   ssh-hosts-under-wine.sh <Windows build tree> <fake-ssh.exe> <throwaway folder>
set -euo pipefail
build="$1"
fake_ssh="$2"
work="$3"
wine_run="$build/wine-run"
fail() {
  echo "FAILED: $*" >&2
  [ -s "$work/listing.err" ] && { echo "the last listing's standard error:"; tail -n 20 "$work/listing.err"; } >&2
  exit 1
}
source "$(dirname "$0")/value-checks.sh"
rm -rf "$work"
mkdir -p "$work"
# What the CLI said on both streams (for its error texts), and its listings alone (the standard
# error goes to a file of its own, so that only the CLI's results are compared).
cli() { "$wine_run" "$build/bin/tagvista-cli.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
listing() { "$wine_run" "$build/bin/tagvista-cli.exe" "$@" 2>"$work/listing.err" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
export TAGVISTA_SSH="Z:$fake_ssh"
export TAGVISTA_AGENT="Z:$build/bin/tagvista-agent.exe --stdio"
export TAGVISTA_FAKE_SSH_LOG="$work/reached"

echo "--- servers of ssh:plant-remote, through the agent"
remote="$(listing servers ssh:plant-remote)" || fail "servers ssh:plant-remote: $remote"
here="$(listing servers)" || fail "servers here: $here"
[ "$remote" = "$here" ] || fail "the agent lists other servers: $(diff <(echo "$remote") <(echo "$here") | head)"
tr -d "\r" <"$work/reached" | grep -qx "plant-remote" || fail "the agent was not asked through ssh: $(cat "$work/reached" 2>/dev/null)"
echo "$(wc -l <<<"$remote") servers, the prefix's, through the agent"

echo "--- browse and watch through the agent"
remote_space="$(listing browse --flat --host ssh:plant-remote Tagvista.Simulation.1)" || fail "browse: $remote_space"
here_space="$(listing browse --flat Tagvista.Simulation.1)" || fail "browse here: $here_space"
[ "$remote_space" = "$here_space" ] || fail "another address space: $(diff <(echo "$remote_space") <(echo "$here_space") | head)"
grep -q "Цех1" <<<"$remote_space" || fail "no Cyrillic name came through"
remote_values="$(listing watch --seconds 8 --host ssh:plant-remote Tagvista.Simulation.1)" || fail "watch: $(tail -n 3 <<<"$remote_values")"
here_values="$(listing watch --seconds 4 Tagvista.Simulation.1)" || fail "watch here"
remote_types="$(columns_of 2 "$remote_values")"
same_columns 2 "$remote_values" "$here_values" "other types"
same_columns 1 "$remote_values" "$here_values" "other items"
echo "$(wc -l <<<"$remote_space") items browsed; $(wc -l <<<"$remote_values") values of $(wc -l <<<"$remote_types") types"

echo "--- the DA 3.0 browser, the DA 2.0 callback and a shutdown notice through the agent"
browse3="$(listing browse --flat --browser 3 --host ssh:plant-remote Tagvista.Simulation.1)" || fail "browse --browser 3: $browse3"
[ "$browse3" = "$here_space" ] || fail "the DA 3.0 browser differs: $(diff <(echo "$browse3") <(echo "$here_space") | head)"
callback_values="$(listing watch --seconds 8 --subscription callback --host ssh:plant-remote Tagvista.Simulation.1)" ||
  fail "watch through the callback: $(tail -n 3 <<<"$callback_values")"
same_columns 1,2 "$callback_values" "$here_values" "the callback brings other items or types"
same_columns 1-3 "$(grep Static/ <<<"$callback_values")" "$(grep Static/ <<<"$here_values")" \
  "the callback's constant values differ from here"
code=0
shutdown="$(cli watch --host ssh:plant-remote Tagvista.Test.ShutdownRequest)" || code=$?
[ "$code" -eq 2 ] || fail "the shutdown watch ended with $code: $shutdown"
grep -q "ssh:plant-remote|Tagvista.Test.ShutdownRequest: the server shut down: Сервер остановлен оператором" <<<"$shutdown" ||
  fail "no shutdown notice: $shutdown"
echo "$(wc -l <<<"$browse3") items through the DA 3.0 browser; $(wc -l <<<"$callback_values") values through the callback; $(tail -n 1 <<<"$shutdown")"

echo "--- an unreachable computer fails with ssh's words"
code=0
unreachable="$(cli servers ssh:unreachable)" || code=$?
[ "$code" -eq 2 ] || fail "exit $code: $unreachable"
grep -q "ssh:unreachable: RegConnectRegistry() Failed: .*(ssh failed: ssh: Could not resolve hostname unreachable" <<<"$unreachable" ||
  fail "no ssh text: $unreachable"
echo "$unreachable"
code=0
created="$(cli watch --seconds 1 --host ssh:unreachable Tagvista.Simulation.1)" || code=$?
[ "$code" -eq 2 ] || fail "watch of an unreachable computer: exit $code: $created"
grep -q "Could not resolve hostname unreachable" <<<"$created" || fail "no ssh text for the server: $created"

echo "--- a missing agent names the shell's words"
code=0
missing="$(TAGVISTA_AGENT='Z:\no\such\tagvista-agent.exe --stdio' cli servers ssh:plant-remote)" || code=$?
[ "$code" -eq 2 ] || fail "exit $code: $missing"
grep -q "the agent ended: .*no.such.tagvista-agent.exe.*(exit code 127)" <<<"$missing" || fail "no cause: $missing"
echo "$missing"

echo "--- a plain name keeps the system's remote registry"
code=0
plain="$(cli servers plant-remote)" || code=$?
[ "$code" -eq 2 ] || fail "a plain name: exit $code: $plain"
if grep -q "ssh\|agent" <<<"$plain"; then fail "a plain name went to ssh: $plain"; fi
echo "$plain"

echo "--- the agent killed while values stream"
"$wine_run" "$build/bin/tagvista-cli.exe" watch --host ssh:plant-remote Tagvista.Simulation.1 >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
for waited in $(seq 300); do
  [ -s "$work/watch.out" ] && break
  sleep 0.1
done
[ -s "$work/watch.out" ] || fail "no values before the kill: $(cat "$work/watch.err")"
pkill -KILL -f "tagvista-agent.exe --stdio" || fail "no agent to kill"
start=$SECONDS
code=0
wait "$watch_pid" || code=$?
[ "$code" -eq 2 ] || fail "the watch ended with $code: $(cat "$work/watch.err")"
grep -q "ssh:plant-remote.*(exit code" "$work/watch.err" || fail "no message naming the computer and the cause: $(cat "$work/watch.err")"
echo "ended with exit 2 after $((SECONDS - start)) s: $(tr -d '\r' <"$work/watch.err" | tail -n 1)"
echo "ssh: computers on Windows: listed, browsed, streamed and failed as through the agent"
