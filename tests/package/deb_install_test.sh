#!/usr/bin/env bash
# The Debian package as people install it: built from the release preset, checked by lintian,
# installed with dpkg, used as root would (no --dir), removed (the state folder stays) and purged
# (nothing stays). The machine is left as it was, also when a check fails.
#   deb_install_test.sh SOURCE_DIR VERSION     exit 77 (skipped): not root, or tervane is here
set -uo pipefail
VERSION=$2 STATE=/var/lib/tervane UNIT=/usr/lib/systemd/system/tervane.service
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
exec 9>/tmp/tervane-package-test.lock  # one package test at a time on this machine
flock -w 1800 9 || skip "another package test holds the machine"
{ dpkg -s tervane || [ -e $STATE ]; } >/dev/null 2>&1 && skip "tervane or $STATE is on this machine already"

failures=0
check() {  # check WHAT COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
work=$(mktemp -d)
trap 'dpkg -s tervane >/dev/null 2>&1 && dpkg --purge tervane >/dev/null; rm -rf "$work" $STATE' EXIT

cd "$1" && cmake --preset linux-release >/dev/null || exit 1
cmake --build --preset linux-release -j"$(nproc)" --target package >"$work/build.log" 2>&1 || { tail -40 "$work/build.log"; exit 1; }
deb=build/linux-release/tervane_${VERSION}_$(dpkg --print-architecture).deb
lintian --fail-on error "$deb"
check "lintian reports no error" test $? -eq 0
check "fakesrv is not shipped" bash -c "! dpkg -c $deb | grep -q fakesrv"
# Every path of the package, also where this machine's dpkg filters some (minimal images drop
# /usr/share/man and /usr/share/doc): the checks below need them.
dpkg --path-include='/*' -i "$deb" || exit 1
dpkg -L tervane >"$work/files"

check "kesp --version" test "$(kesp --version)" = "kesp (Tervane) $VERSION"
mkdir "$work/alpha" && cp build/linux-release/tools/fakesrv/fakesrv "$work/alpha/hlds_linux"
(cd / && kesp add --exe "$work/alpha/hlds_linux" --name Alpha --params "+ip 127.0.0.1 -port 27491")
check "the list lands in $STATE, owner-only" test -f $STATE/serverlist.dat -a "$(stat -c %a $STATE)" = 700
check "kesp list names the folder and the server" bash -c "kesp list | head -2 | tr '\n' ' ' |
  grep -q '^Data folder: $STATE/ 1. Alpha  127.0.0.1:27491 '"
check "man -w kesp" test "$(man -w kesp)" = /usr/share/man/man1/kesp.1.gz
check "tab completion" bash -c 'source /usr/share/bash-completion/completions/kesp
  COMP_WORDS=(kesp --dir /tmp pa); COMP_CWORD=3; _kesp; [ "${COMPREPLY[*]}" = pause ]'
check "systemd-analyze verify" test -z "$(systemd-analyze verify $UNIT 2>&1)"
check "the unit runs kesp on $STATE" grep -qx "ExecStart=/usr/bin/kesp --dir $STATE" $UNIT
check "the unit is not enabled" test -z "$(find /etc/systemd -name tervane.service 2>/dev/null)"

dpkg --remove tervane >/dev/null
check "remove: kesp is gone, $STATE is kept" test ! -e /usr/bin/kesp -a -f $STATE/serverlist.dat
dpkg --purge tervane >/dev/null
check "purge: $STATE is gone" test ! -e $STATE
check "purge: dpkg knows no tervane" bash -c '! dpkg -s tervane 2>/dev/null && ! test -e /var/lib/dpkg/info/tervane.list'
# What only the package put there is gone; the folders it shares with others stay.
left=$(grep -E "^/usr/(bin/|share/(tervane|doc/tervane|man/man1/|bash-completion/completions/)|lib/(tervane|systemd/system/))" \
  "$work/files" | while read -r p; do [ -e "$p" ] && echo "$p"; done)
check "purge: nothing of the package is left $left" test -z "$left"
exit $((failures > 0))
