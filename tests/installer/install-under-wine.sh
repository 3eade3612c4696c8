#!/usr/bin/env bash
# The Windows installer in a throwaway Wine prefix: a silent install puts the files under Program
# Files, the Start-menu entry and the uninstall entry in place and registers the servers so that
# the installed tagvista-cli.exe lists them and reads the out-of-process one (through the installed
# proxy/stub); the silent uninstall then leaves no file, no entry and no registry key of its own.
#   install-under-wine.sh <setup.exe> <prefix folder, made afresh>
set -euo pipefail
setup="$1"
export WINEPREFIX="$2"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

fail() { echo "FAILED: $*" >&2; exit 1; }
finish() { wineserver -k 2>/dev/null || true; }
trap finish EXIT

rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -w

drive="$WINEPREFIX/drive_c"
program_dir="$drive/Program Files/Tagvista"
shortcut="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Tagvista.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tagvista'
cli='C:\Program Files\Tagvista\tagvista-cli.exe'

# The keys an installer may touch, as text; compared before the install and after the uninstall.
registry_snapshot() {
  local out="$1" key
  : >"$out"
  for key in 'HKEY_LOCAL_MACHINE\Software\Classes' 'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall'; do
    wine regedit /E "$WINEPREFIX/snapshot.reg" "$key"
    # regedit writes UTF-16; the header line and blank lines carry nothing.
    iconv -f UTF-16 -t UTF-8 "$WINEPREFIX/snapshot.reg" | tr -d '\r' | grep -v '^Windows Registry Editor' | grep -v '^$' >>"$out"
  done
  rm -f "$WINEPREFIX/snapshot.reg"
}
registry_snapshot "$WINEPREFIX/before.txt"

echo "--- setup /S"
wine "$setup" /S || fail "the silent install exited with $?"
wineserver -w
for file in tagvista.exe tagvista-cli.exe tagvista-agent.exe tagvista-opcproxy.dll tagvista-simulation.dll tagvista-simserver.exe uninstall.exe; do
  [ -f "$program_dir/$file" ] || fail "the install lacks $file"
done
[ -f "$shortcut" ] || fail "no Start-menu entry"
entry="$(wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r')" || fail "no entry in the installed programs"
for value in 'DisplayName    REG_SZ    Tagvista' 'UninstallString    REG_SZ    "C:\Program Files\Tagvista\uninstall.exe"' \
             'QuietUninstallString    REG_SZ    "C:\Program Files\Tagvista\uninstall.exe" /S'; do
  grep -qF "$value" <<<"$entry" || fail "the uninstall entry lacks \"$value\": $entry"
done

echo "--- the installed tagvista-cli.exe"
servers="$(wine "$cli" servers | tr -d '\r')" || fail "tagvista-cli servers failed: $servers"
echo "$servers"
for progid in Tagvista.Simulation.1 Tagvista.Scale.1 Tagvista.SimulationProcess.1; do
  grep -q "^$progid	" <<<"$servers" || fail "$progid is not listed"
done
# The out-of-process server needs the installed proxy/stub and the local server's registration.
items="$(timeout 120 wine "$cli" browse --flat Tagvista.SimulationProcess.1 | tr -d '\r')" || fail "browsing the server program failed"
grep -q '^Plant/Line1/Motors/M101/Speed	' <<<"$items" || fail "the server program's items are missing: $(head -n 5 <<<"$items")"
wineserver -w

echo "--- uninstall.exe /S"
# The uninstaller copies itself to the temporary folder and runs from there; the prefix's
# processes ending is the uninstall ending.
wine "$program_dir/uninstall.exe" /S || fail "the silent uninstall exited with $?"
wineserver -w
[ ! -e "$program_dir" ] || fail "left behind: $(ls -A "$program_dir")"
[ ! -e "$shortcut" ] || fail "the Start-menu entry is left"
if wine reg query "$uninstall_key" >/dev/null 2>&1; then fail "the uninstall entry is left"; fi
servers="$(wine "$cli" servers 2>&1 | tr -d '\r')" && fail "tagvista-cli is still there"
registry_snapshot "$WINEPREFIX/after.txt"
# The OPC component categories' descriptions stay: every OPC server of the computer is listed under
# them, so no server's uninstall takes them away. Nothing else may differ.
own_keys() {
  awk '/^\[/ { skip = index($0, "\\Component Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}]") ||
                      index($0, "\\Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}]") } !skip' "$1"
}
own_keys "$WINEPREFIX/before.txt" >"$WINEPREFIX/before-own.txt"
own_keys "$WINEPREFIX/after.txt" >"$WINEPREFIX/after-own.txt"
if ! diff "$WINEPREFIX/before-own.txt" "$WINEPREFIX/after-own.txt" >"$WINEPREFIX/registry.diff"; then
  cat "$WINEPREFIX/registry.diff" >&2
  fail "the registry is not as before the install"
fi
echo "installed, used and removed without a trace"
rm -rf "$WINEPREFIX"
