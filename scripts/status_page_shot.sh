#!/usr/bin/env bash
# Takes docs/status-page.png and docs/status-page-narrow.png: kesp (the native build) with
# kesp.ini's HTTP endpoint and six stand-in servers on 127.0.0.1: one exiting at once so that
# the crash-loop guard pauses it, one never answering (its timeouts counted), one stopping (its
# stop command sent through RCON and ignored, so it waits out StopSeconds), one with a planned
# restart; headless Chromium captures the status page on a desktop's width and on a phone's (360).
#
#   scripts/status_page_shot.sh          build/linux, docs/status-page.png, docs/status-page-narrow.png
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build/linux}
OUT=${OUT:-$ROOT/docs/status-page.png}
NARROW=${NARROW:-${OUT%.png}-narrow.png}
cmake --build "$BUILD" -j"${JOBS:-2}" --target kesp fakesrv >/dev/null

work=$(mktemp -d)
kesp_pid=
cleanup() {
  [ -n "$kesp_pid" ] && kill "$kesp_pid" 2>/dev/null && wait "$kesp_pid" 2>/dev/null
  # The stand-ins outlive kesp; each obeys the control datagram "fakesrv exit".
  for p in "${ports[@]}"; do printf '\xff\xff\xff\xfffakesrv exit' >"/dev/udp/127.0.0.1/$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cp "$BUILD/src/app/kesp" "$work/kesp"
port=$(( 27100 + RANDOM % 500 ))
ports=()
add() {  # add NAME EXTRA-PARAMETERS
  mkdir -p "$work/srv-$1"
  cp "$BUILD/tools/fakesrv/fakesrv" "$work/srv-$1/fakesrv"
  "$work/kesp" add --exe "$work/srv-$1/fakesrv" --name "$1" \
    --params "-game cstrike +map de_dust2 -console +ip 127.0.0.1 -port $port $2" >/dev/null
  ports+=("$port")
  port=$((port + 1))
}
add "Dust2 24/7" "-fakesrv.players 17 -fakesrv.maxplayers 24"
add "Inferno pug" "-fakesrv.players 9 -fakesrv.maxplayers 10 -fakesrv.map de_inferno"
add "Surf" "-fakesrv.players 0 -fakesrv.maxplayers 32 -fakesrv.map surf_ski_2"
add "Broken mod" "-fakesrv.exit-after 0"
add "Frozen" "-fakesrv.map de_nuke -fakesrv.silent"
add "Ranked" "-fakesrv.players 10 -fakesrv.maxplayers 10 -fakesrv.map de_mirage +rcon_password shot -fakesrv.ignorequit"
http=$(( 18000 + RANDOM % 1000 ))
printf '[Options]\r\nHttpListen=127.0.0.1:%s\r\nMaxRestarts=2\r\nRestartWindowMinutes=10\r\n' "$http" > "$work/kesp.ini"
printf '[Server Ranked]\r\nStopCommand=quit\r\nStopSeconds=300\r\n' >> "$work/kesp.ini"
TERVANE_TEST_CYCLE_MS=200 "$work/kesp" >"$work/kesp.out" 2>&1 &
kesp_pid=$!
# Ranked answers before its restart begins with the stop command (at most 30 s).
for _ in $(seq 60); do
  "$work/kesp" status --json 2>/dev/null | python3 -c \
    'import json, sys; sys.exit(0 if json.load(sys.stdin)["servers"][5]["up"] else 1)' && break
  sleep 0.5
done
"$work/kesp" restart 6 --yes >/dev/null
"$work/kesp" restart 1 --in 45 --yes >/dev/null
"$work/kesp" pause 3 >/dev/null
sleep 2
shot() {  # shot WIDTH HEIGHT FILE
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
    --window-size="$1,$2" --virtual-time-budget=4000 --screenshot="$3" "http://127.0.0.1:$http/" >/dev/null 2>&1
  echo "wrote $3"
}
shot 980 620 "$OUT"
shot 360 2200 "$NARROW"
