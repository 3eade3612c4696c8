#!/usr/bin/env bash
# The install rules the Debian package is made from, checked cheaply: the build tree installed
# into a throwaway root, the installed programs started from there. The installed tagvista-cli
# must find its library through its run path and the servers through the classes folder beside
# it (the registrations name the server library relative to that folder), with no folder of the
# build tree or of the user on its way.
#   installed-tree.sh <build tree> <throwaway folder>
set -euo pipefail
build="$1"
root="$2"
fail() { echo "FAILED: $*" >&2; exit 1; }

rm -rf "$root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
trap 'rm -rf "$root"' EXIT

for file in usr/bin/tagvista usr/bin/tagvista-cli usr/share/tagvista/classes.d/tagvista-simulation.reg \
            usr/share/tagvista/classes.d/tagvista-scale.reg; do
  [ -f "$root/$file" ] || fail "the install lacks /$file"
done
# No test server and no build tool is installed.
if find "$root" -name '*testserver*' -o -name '*write-test-classes*' | grep -q .; then
  fail "the install holds test files: $(find "$root" -name '*test*')"
fi

cli="$root/usr/bin/tagvista-cli"
# Away from the build tree: no classes path, an empty user data folder, the build's libraries
# unreachable (the run path alone must find the installed ones).
unset TAGVISTA_CLASSES_PATH
export XDG_DATA_HOME="$root/home-data" LD_LIBRARY_PATH=
cd "$root"
servers="$("$cli" servers)" || fail "tagvista-cli servers: $servers"
for progid in Tagvista.Simulation.1 Tagvista.Scale.1; do
  grep -q "^$progid	" <<<"$servers" || fail "$progid is not listed: $servers"
done
platform_library="$(ldd "$cli" | grep libtagvista-platform)"
grep -qF "$root/usr/" <<<"$platform_library" || fail "the installed program loads another library: $platform_library"
values="$("$cli" watch --seconds 1.5 Tagvista.Simulation.1)" || fail "watch failed"
grep -q '^Plant/Line1/Motors/M101/Speed	' <<<"$values" || fail "no values: $(head -n 3 <<<"$values")"
"$cli" --version | grep -qx "tagvista-cli [0-9]*\.[0-9]*\.[0-9]*" || fail "no version"
echo "the installed tree lists and serves the simulation servers"
