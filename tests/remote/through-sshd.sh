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
# The remote side's registrations: the test servers and the shipped ones, not the client's.
remote_classes="$build/tests/classes.d:$build/share/tagvista/classes.d"

source "$(dirname "$0")/loopback-sshd.sh"
source "$(dirname "$0")/value-checks.sh"
loopback_sshd_start
export TAGVISTA_AGENT="env TAGVISTA_CLASSES_PATH=$remote_classes $agent --stdio"

echo "--- servers through the agent"
remote="$("$cli" servers plant-remote 2>&1)" || fail "servers plant-remote: $remote"
there="$(TAGVISTA_CLASSES_PATH="$remote_classes" "$cli" servers)" || fail "the agent's root read here"
[ "$remote" = "$there" ] || fail "the remote listing differs from the agent's root: $(diff <(echo "$remote") <(echo "$there"))"
grep -q '^Tagvista.Test.' <<<"$remote" || fail "no test server listed: $remote"
here="$("$cli" servers)"
[ "$remote" != "$here" ] || fail "the remote listing is this computer's"
echo "$(wc -l <<<"$remote") servers listed, as registered there"

echo "--- watch through the agent: live values of every type"
# Long enough for the first whole block to come through a slow (sanitizer) build: the types are
# compared, and an item that never changes shows only in that block.
remote_values="$("$cli" watch --seconds 10 --host plant-remote Tagvista.Simulation.1)" || fail "watch through the agent failed"
local_values="$("$cli" watch --seconds 3 Tagvista.Simulation.1)"
remote_types="$(columns_of 2 "$remote_values")"
same_columns 2 "$remote_values" "$local_values" "other types than here"
same_columns 1 "$remote_values" "$local_values" "other items than here"
echo "$(wc -l <<<"$remote_values") values of $(wc -l <<<"$remote_types") types in 10 s"

echo "--- the DA 3.0 browser, the DA 2.0 callback and a shutdown notice through the agent"
browse2="$("$cli" browse --flat --browser 2 --host plant-remote Tagvista.Simulation.1)" || fail "browse --browser 2 failed"
browse3="$("$cli" browse --flat --browser 3 --host plant-remote Tagvista.Simulation.1)" || fail "browse --browser 3 failed"
[ "$browse3" = "$browse2" ] || fail "the two browsers differ: $(diff <(echo "$browse3") <(echo "$browse2") | head)"
callback_values="$("$cli" watch --seconds 10 --subscription callback --host plant-remote Tagvista.Simulation.1)" ||
  fail "watch through the callback failed"
same_columns 1,2 "$callback_values" "$local_values" "the callback brings other items or types"
same_columns 1-3 "$(grep Static/ <<<"$callback_values")" "$(grep Static/ <<<"$local_values")" \
  "the callback's constant values differ from here"
code=0
shutdown="$("$cli" watch --host plant-remote Tagvista.Test.ShutdownRequest 2>&1 >/dev/null)" || code=$?
[ "$code" -eq 2 ] || fail "the shutdown watch ended with $code: $shutdown"
grep -q "plant-remote|Tagvista.Test.ShutdownRequest: the server shut down: Сервер остановлен оператором" <<<"$shutdown" ||
  fail "no shutdown notice: $shutdown"
echo "$(wc -l <<<"$browse3") items through either browser; $(wc -l <<<"$callback_values") values through the callback; $shutdown"

echo "--- the ssh session killed while values stream"
"$cli" watch --host plant-remote Tagvista.Simulation.1 >"$work/watch.out" 2>"$work/watch.err" &
watch_pid=$!
for waited in $(seq 200); do
  [ -s "$work/watch.out" ] && break
  sleep 0.1
done
[ -s "$work/watch.out" ] || fail "no values before the kill"
pkill -KILL -f "ssh -F $work/ssh_config" || fail "no ssh session to kill"
start=$SECONDS
code=0
wait "$watch_pid" || code=$?
[ "$code" -eq 2 ] || fail "the watch ended with $code: $(cat "$work/watch.err")"
grep -q "plant-remote" "$work/watch.err" || fail "no message naming the host: $(cat "$work/watch.err")"
echo "ended with exit 2 after $((SECONDS - start)) s: $(tail -n 1 "$work/watch.err")"

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
