#!/usr/bin/env bash
# The live demo: builds kesp and the stand-in game server (optimised, native), lays out a demo
# folder with kesp and two stand-in servers, each in a folder of its own, registers them through
# kesp's command line and runs the supervision in the foreground. Ctrl+C ends it; the demo then
# stops its two stand-in servers too (kesp itself leaves servers running).
#
#   DEMO_DIR=<folder>   where the demo is laid out (emptied first: a new or empty folder, or an
#                       earlier demo's); default build/demo
#   DEMO_PORT=<port>    Alpha's port; Beta takes the next one; default 27115
#   DEMO_BUILD=<folder> a build that holds src/app/kesp and tools/fakesrv/fakesrv already: nothing
#                       is installed or built
#
# Only this demo's servers are ever ended: by the process ids of its own two executables (pidof
# with their full paths), never by a pattern that another checkout's demo would match too.
set -euo pipefail
cd "$(dirname "$0")/.."

DEMO=${DEMO_DIR:-$PWD/build/demo}
case $DEMO in /*) ;; *) DEMO=$PWD/$DEMO ;; esac
ALPHA_PORT=${DEMO_PORT:-27115}
if ! [[ $ALPHA_PORT =~ ^[0-9]+$ ]] || [ "$ALPHA_PORT" -lt 1 ] || [ "$ALPHA_PORT" -gt 65534 ]; then
  echo "demo.sh: DEMO_PORT must be a port from 1 to 65534 (Beta takes the next one), not '$ALPHA_PORT'" >&2
  exit 2
fi
BETA_PORT=$((ALPHA_PORT + 1))
# The folder is emptied: only a demo's own (its kesp and servers) or an empty one.
if [ -d "$DEMO" ] && [ -n "$(ls -A "$DEMO")" ] && ! [ -f "$DEMO/kesp" -a -d "$DEMO/servers" ]; then
  echo "demo.sh: $DEMO holds files that are not a demo's; DEMO_DIR must name a new or empty folder" >&2
  exit 2
fi

if [ -n "${DEMO_BUILD:-}" ]; then
  BUILD=$DEMO_BUILD
else
  need=()
  for p in cmake make g++ libbenchmark-dev libboost-dev nlohmann-json3-dev libcurl4-openssl-dev libcli11-dev; do
    dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
  done
  if [ ${#need[@]} -gt 0 ]; then
    # No sudo is assumed: a fresh Debian has none unless it was set up.
    if [ "$(id -u)" -ne 0 ]; then
      echo "demo.sh: missing packages; run as root, then start the demo again:" >&2
      echo "  apt-get update && apt-get install -y ${need[*]}" >&2
      exit 1
    fi
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}"
  fi
  cmake --preset linux-release >/dev/null
  cmake --build --preset linux-release -j"$(nproc)" --target kesp kesp_webhook fakesrv
  BUILD=build/linux-release
fi

# Ends this demo's stand-in servers, found by their executables' full paths.
end_servers() {
  local exe pids
  for exe in "$DEMO/servers/alpha/hlds_linux" "$DEMO/servers/beta/hlds_linux"; do
    pids=$(pidof "$exe" || true)
    [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
  done
}

# An earlier demo in this folder: its kesp first (it would start its servers again), then them.
if [ -d "$DEMO" ]; then
  old=$(pidof "$DEMO/kesp" || true)
  if [ -n "$old" ]; then
    kill -TERM $old 2>/dev/null || true
    for _ in $(seq 50); do kill -0 $old 2>/dev/null || break; sleep 0.1; done
  fi
  end_servers
fi
rm -rf "$DEMO"
mkdir -p "$DEMO/servers/alpha" "$DEMO/servers/beta"
cp "$BUILD/src/app/kesp" "$DEMO/kesp"
# Alerts need the webhook module beside kesp (kesp.ini's WebhookUrl); copied where it was built.
[ ! -f "$BUILD/src/app/kesp-webhook.so" ] || cp "$BUILD/src/app/kesp-webhook.so" "$DEMO/"
cp "$BUILD/tools/fakesrv/fakesrv" "$DEMO/servers/alpha/hlds_linux"
cp "$BUILD/tools/fakesrv/fakesrv" "$DEMO/servers/beta/hlds_linux"

"$DEMO/kesp" add --name "Alpha (de_dust2)" --exe "$DEMO/servers/alpha/hlds_linux" \
  --params "-game cstrike +map de_dust2 +maxplayers 16 -console +ip 127.0.0.1 -port $ALPHA_PORT"
"$DEMO/kesp" add --name "Beta (cs_office)" --exe "$DEMO/servers/beta/hlds_linux" --priority normal \
  --params "-game cstrike +map cs_office +maxplayers 32 -console +ip 127.0.0.1 -port $BETA_PORT -fakesrv.challenge"
"$DEMO/kesp" list

cat <<TXT

Watch a restart from another terminal:
  kill -KILL \$(pidof "$DEMO/servers/alpha/hlds_linux")
                                            Alpha's process is lost: Lost (1/3) .. (3/3), then
                                            restarted
  printf '\xff\xff\xff\xfffakesrv silent' > /dev/udp/127.0.0.1/$BETA_PORT
                                            Beta stops answering: Timeout (1/20) .. (20/20), then
                                            restarted after about 84 seconds
Log file: $DEMO/logs/  (UTF-16, one file per month; $DEMO/kesp log -f shows it); server output: $DEMO/logs/*.out

TXT

trap end_servers EXIT
"$DEMO/kesp" || true
