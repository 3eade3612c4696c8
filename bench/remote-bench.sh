#!/usr/bin/env bash
# Runs bench_remote against an sshd of its own on a loopback port (the tests' fixture): the scale
# server here and through ssh and the agent, in one run.
#   bench/remote-bench.sh [build tree, default build/normal] [repetitions] [seconds of delivery]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build/normal}" && pwd)"
work="$build/bench-sshd"
source "$root/tests/remote/loopback-sshd.sh"
loopback_sshd_start
"$build/bench/bench_remote" plant-remote "$build/bin/tagvista-agent" "$build/share/tagvista/classes.d" "${2:-3}" "${3:-5}"
