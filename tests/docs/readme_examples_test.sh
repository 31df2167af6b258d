#!/usr/bin/env bash
# README's shell examples run as printed, where this machine allows it:
#   - no command calls sudo;
#   - the line that takes HttpToken from kesp.ini, on files as operators write them;
#   - scripts/demo.sh with another folder and other ports (DEMO_DIR, DEMO_PORT) on an existing
#     build (DEMO_BUILD), its Alpha killed by README's kill line, its Beta silenced by README's
#     printf line; it is ended by its kesp's process id, and must leave no server behind.
# Only 127.0.0.1; every wait has a deadline.
#   readme_examples_test.sh <repository> <build folder holding src/app/kesp, tools/fakesrv/fakesrv>
set -euo pipefail
src=$1
build=$2
readme=$src/README.md
scratch=$(mktemp -d)
demo=$scratch/demo
demo_pid=

fail() { echo "FAIL: $*" >&2; exit 1; }
cleanup() {
  local exe pids
  for exe in "$demo/kesp" "$demo/servers/alpha/hlds_linux" "$demo/servers/beta/hlds_linux"; do
    pids=$(pidof "$exe" || true)
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
  done
  [ -z "$demo_pid" ] || kill -KILL "$demo_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# --- No command assumes sudo: a fresh Debian has none unless it was set up.
sudo_lines=$(awk '/^```sh/ {sh = 1; next} /^```/ {sh = 0} sh' "$readme" | grep -E '(^|[;&|(] *)sudo ' || true)
[ -z "$sudo_lines" ] || fail "README's commands use sudo: $sudo_lines"
! grep -Eq '(^|[;&|(] *)sudo ' "$src/scripts/demo.sh" || fail "scripts/demo.sh calls sudo"

# --- The token, from kesp.ini as written on Linux and on Windows (CRLF), with comments.
token_line=$(grep -m1 '^TOKEN=' "$readme") || fail "README has no line TOKEN=..."
while IFS='|' read -r expected content; do
  mkdir -p "$scratch/token" && printf "$content" > "$scratch/token/kesp.ini"
  got=$(cd "$scratch/token" && bash -c "$token_line"$'\nprintf %s "$TOKEN"')
  [ "$got" = "$expected" ] || fail "README's TOKEN line read '$got', not '$expected', from: $content"
done <<'CASES'
abcdefghijklmnop0123|[Options]\nHttpListen=127.0.0.1:8427\nHttpToken=abcdefghijklmnop0123\n
abcdefghijklmnop0123|[Options]\r\nHttpToken=abcdefghijklmnop0123\r\nMaxRestarts=5\r\n
abcdefghijklmnop0123|; HttpToken=an-old-one-commented-out\n[Options]\nHttpToken=abcdefghijklmnop0123   ; the token\n
abc;defghijklmnop0123|[Options]\r\n  httptoken = abc;defghijklmnop0123\t; a comment\r\nHttpToken=a-second-one-not-read\r\n
CASES

# --- The demo with its overrides, on the build at hand.
for f in src/app/kesp tools/fakesrv/fakesrv; do
  [ -x "$build/$f" ] || { echo "SKIP: $build/$f is not built"; exit 77; }
done
# Two free ports in a row, UDP and TCP (the stand-in's RCON listens on its query port).
port_taken() {
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex" /proc/net/udp /proc/net/tcp /proc/net/udp6 /proc/net/tcp6 2>/dev/null
}
port=
for _ in $(seq 50); do
  p=$((20000 + RANDOM % 40000))
  if ! port_taken "$p" && ! port_taken $((p + 1)); then port=$p; break; fi
done
[ -n "$port" ] || fail "no two free ports in a row"

# A folder of other files is not emptied for the demo.
mkdir -p "$scratch/other" && touch "$scratch/other/keep"
(cd "$src" && DEMO_DIR=$scratch/other DEMO_BUILD=$build bash scripts/demo.sh >/dev/null 2>&1) && fail "the demo took a folder of other files"
[ -f "$scratch/other/keep" ] || fail "the demo emptied a folder of other files"

out=$scratch/demo.out
(cd "$src" && unset TERVANE_DIR && DEMO_DIR=$demo DEMO_PORT=$port DEMO_BUILD=$build TERVANE_TEST_CYCLE_MS=200 \
   exec bash scripts/demo.sh) >"$out" 2>&1 &
demo_pid=$!

# wait_for <seconds> <what> <extended regex>...: every regex matched by a line of the output.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds)) re all
  while :; do
    all=1
    for re in "$@"; do grep -Eq "$re" "$out" || all=; done
    [ -z "$all" ] || return 0
    kill -0 "$demo_pid" 2>/dev/null || { cat "$out" >&2; fail "the demo ended before $what"; }
    [ $SECONDS -lt $deadline ] || { cat "$out" >&2; fail "no $what within $seconds s"; }
    sleep 0.2
  done
}

wait_for 30 "both servers answering" 'Alpha \(de_dust2\) \| Network Status: Normal' 'Beta \(cs_office\) \| Network Status: Normal'
grep -qF "pidof \"$demo/servers/alpha/hlds_linux\")" "$out" || fail "the demo does not print its own kill line"
grep -qF "/dev/udp/127.0.0.1/$((port + 1))" "$out" || fail "the demo does not print Beta's port $((port + 1))"
grep -qF -- "-port $port" "$out" || fail "Alpha is not on DEMO_PORT $port"

kill_line=$(grep -m1 '^kill -KILL \$(pidof ' "$readme") || fail "README has no kill line by pid"
(cd "$src" && DEMO_DIR=$demo bash -c "$kill_line") || fail "README's kill line failed: $kill_line"
wait_for 20 "Alpha restarted" 'Alpha.*Restarting\. Reason: Process lost\.'

silence_line=$(grep -m1 "^printf '.*fakesrv silent' > /dev/udp/127.0.0.1/27116" "$readme") || fail "README has no printf line for Beta"
bash -c "${silence_line/27116/$((port + 1))}"
wait_for 30 "Beta restarted" 'Beta.*Restarting\. Reason: No network response\.'

# Ended as Ctrl+C ends it: kesp ends, and the demo ends its two servers by their process ids.
kesp_pid=$(pidof "$demo/kesp") || fail "no kesp of the demo"
kill -INT $kesp_pid
for _ in $(seq 100); do kill -0 "$demo_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$demo_pid" 2>/dev/null && fail "the demo did not end within 10 s of its kesp's Ctrl+C"
wait "$demo_pid" || true
demo_pid=
for exe in "$demo/servers/alpha/hlds_linux" "$demo/servers/beta/hlds_linux"; do
  ! pidof "$exe" >/dev/null || fail "$exe still runs after the demo ended"
done
echo "README's examples ran: the token line on 4 files, the demo on ports $port and $((port + 1))"
