#!/usr/bin/env bash
# The Debian package as people install it: built from the release preset, checked by lintian,
# installed into this machine with dpkg, used as root would use it (kesp --version, kesp add
# without --dir, man kesp, tab completion, the unit), removed (the state folder stays) and purged
# (nothing of it stays). The machine is left as it was, also when a check fails.
#
#   deb_install_test.sh SOURCE_DIR VERSION
# Exit 77 (skipped): not root, or tervane or /var/lib/tervane is on this machine already.
set -uo pipefail

SOURCE=$1
VERSION=$2
STATE=/var/lib/tervane

skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"

# One package test on this machine at a time (several worktrees may run their suites).
exec 9>/tmp/tervane-package-test.lock
flock -w 1800 9 || skip "another package test holds the machine"
dpkg -s tervane >/dev/null 2>&1 && skip "the package tervane is installed here; the test would remove it"
[ -e "$STATE" ] && skip "$STATE exists here; the test would remove it"

failures=0
check() {  # check WHAT COMMAND...: runs the command, says ok or FAILED
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
# dpkg, waiting while another dpkg or apt holds its lock.
dpkg_() {
  local out
  for _ in $(seq 1 120); do
    out=$(dpkg "$@" 2>&1) && { printf '%s\n' "$out"; return 0; }
    grep -q "lock" <<<"$out" || { printf '%s\n' "$out"; return 1; }
    sleep 2
  done
  printf '%s\n' "$out"
  return 1
}

work=$(mktemp -d)
cleanup() {
  dpkg -s tervane >/dev/null 2>&1 && dpkg_ --purge tervane >/dev/null
  rm -rf "$work" "$STATE"
}
trap cleanup EXIT

cd "$SOURCE" || exit 1
echo "== building the package (cmake --build --preset linux-release --target package)"
cmake --preset linux-release >/dev/null || exit 1
cmake --build --preset linux-release -j"$(nproc)" --target package >"$work/build.log" 2>&1 ||
  { tail -40 "$work/build.log"; exit 1; }
deb=build/linux-release/tervane_${VERSION}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "no $deb"; exit 1; }

echo "== lintian"
lintian --fail-on error "$deb"
check "lintian reports no error" test $? -eq 0

echo "== install"
dpkg -c "$deb" | awk '{print $6}' >"$work/contents"
check "fakesrv is not shipped" bash -c "! grep -q fakesrv '$work/contents'"
# Include every path of the package even where this machine's dpkg filters some (minimal
# images drop /usr/share/man and /usr/share/doc): the checks below need them in place.
dpkg_ --path-include='/*' -i "$deb" || exit 1
dpkg -L tervane >"$work/files"

check "kesp --version" test "$(kesp --version)" = "kesp (Tervane) $VERSION"

# A stand-in server registered as root would: no --dir, from another folder.
mkdir -p "$work/servers/alpha"
cp build/linux-release/tools/fakesrv/fakesrv "$work/servers/alpha/hlds_linux"
(cd / && kesp add --exe "$work/servers/alpha/hlds_linux" --name Alpha \
  --params "+ip 127.0.0.1 -port 27491") >"$work/add.txt" 2>&1
check "kesp add without --dir" grep -q "registered 1. Alpha" "$work/add.txt"
check "the list lands in $STATE" test -f "$STATE/serverlist.dat"
check "$STATE is owner-only" test "$(stat -c %a "$STATE")" = 700
check "nothing beside /usr/bin/kesp" test ! -e /usr/bin/serverlist.dat
kesp list >"$work/list.txt" 2>&1
check "kesp list names the folder and the server" \
  bash -c "head -1 '$work/list.txt' | grep -qx 'Data folder: $STATE/' && grep -q Alpha '$work/list.txt'"

check "man -w kesp finds the page" test "$(man -w kesp 2>/dev/null)" = /usr/share/man/man1/kesp.1.gz
check "the page reads" bash -c "man -P cat kesp 2>/dev/null | grep -q 'kesp - watchdog for GoldSrc'"
check "tab completion of commands and options" bash -c '
  source /usr/share/bash-completion/completions/kesp
  complete() { COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kesp; echo "${COMPREPLY[*]}"; }
  [ "$(complete kesp --dir /tmp pa)" = pause ] && [ "$(complete kesp add --priority r)" = realtime ]'

unit=/usr/lib/systemd/system/tervane.service
check "systemd-analyze verify $unit" bash -c "systemd-analyze verify '$unit' >'$work/verify.txt' 2>&1 && ! test -s '$work/verify.txt'"
cat "$work/verify.txt"
check "the unit runs kesp on $STATE" grep -qx "ExecStart=/usr/bin/kesp --dir $STATE" "$unit"
check "the unit is installed, not enabled" test -z "$(find /etc/systemd -name tervane.service 2>/dev/null)"
check "the languages are installed" test -f /usr/share/tervane/Languages/English.ini

echo "== remove, then purge"
dpkg_ --remove tervane >/dev/null
check "remove: the program is gone" test ! -e /usr/bin/kesp
check "remove: $STATE is kept" test -f "$STATE/serverlist.dat"
dpkg_ --purge tervane >/dev/null
check "purge: $STATE is gone" test ! -e "$STATE"
check "purge: dpkg knows no tervane" bash -c "! dpkg -s tervane >/dev/null 2>&1 && ! test -e /var/lib/dpkg/info/tervane.list"
left=()
while IFS= read -r path; do
  # Folders such as /usr/share/man are shared with other packages; the package's own must go.
  case $path in /. | /usr | /usr/bin | /usr/share | /usr/share/man | /usr/share/man/man1 | /usr/share/doc | \
    /usr/share/bash-completion | /usr/share/bash-completion/completions | /usr/lib | /usr/lib/systemd | \
    /usr/lib/systemd/system) continue ;; esac
  [ -e "$path" ] && left+=("$path")
done <"$work/files"
check "purge: nothing of the package is left" test ${#left[@]} -eq 0
[ ${#left[@]} -eq 0 ] || printf 'left: %s\n' "${left[@]}"

echo "$failures check(s) failed"
[ "$failures" -eq 0 ]
