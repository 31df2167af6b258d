#!/usr/bin/env bash
# The live demo: builds kesp and the stand-in game server (optimised, native), lays out
# build/demo with kesp and two stand-in servers, each in a folder of its own, registers them
# through kesp's command line and runs the supervision in the foreground. Ctrl+C ends it;
# the demo then stops its two stand-in servers too (kesp itself leaves servers running).
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for p in cmake make g++ libbenchmark-dev libboost-dev nlohmann-json3-dev libcurl4-openssl-dev; do dpkg -s "$p" >/dev/null 2>&1 || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -q && $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
fi

cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j"$(nproc)" --target kesp fakesrv

DEMO=$PWD/build/demo
pkill -f "$DEMO/servers/" 2>/dev/null || true
rm -rf "$DEMO"
mkdir -p "$DEMO/servers/alpha" "$DEMO/servers/beta"
cp build/linux-release/src/app/kesp "$DEMO/kesp"
cp build/linux-release/tools/fakesrv/fakesrv "$DEMO/servers/alpha/hlds_linux"
cp build/linux-release/tools/fakesrv/fakesrv "$DEMO/servers/beta/hlds_linux"

"$DEMO/kesp" add --name "Alpha (de_dust2)" --exe "$DEMO/servers/alpha/hlds_linux" \
  --params "-game cstrike +map de_dust2 +maxplayers 16 -console +ip 127.0.0.1 -port 27115"
"$DEMO/kesp" add --name "Beta (cs_office)" --exe "$DEMO/servers/beta/hlds_linux" --priority normal \
  --params "-game cstrike +map cs_office +maxplayers 32 -console +ip 127.0.0.1 -port 27116 -fakesrv.challenge"
"$DEMO/kesp" list

cat <<TXT

Watch a restart from another terminal:
  pkill -KILL -f $DEMO/servers/alpha/     the process is lost: Lost (1/3) .. (3/3), then restarted
  printf '\xff\xff\xff\xfffakesrv silent' > /dev/udp/127.0.0.1/27116
                                            Beta stops answering: Timeout (1/20) .. (20/20), then
                                            restarted after about 84 seconds
Log file: $DEMO/logs/  (UTF-16, one file per month); server output: $DEMO/logs/*.out

TXT

trap 'pkill -f "$DEMO/servers/" 2>/dev/null || true' EXIT
"$DEMO/kesp" || true
