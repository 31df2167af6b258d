#!/bin/sh
# A stand-in for a game's update tool, for the tests of game updates (never installed).
#   update_stub.sh MODE LOG [FILE TEXT]
# Appends "update MODE FOLDER" to LOG, writes TEXT to FILE when given (the stand-in server's new
# version, say), then per MODE: ok exits 0, available exits 10 (an update check that finds
# one), fail exits 3, hang runs until it is ended, with a process of its own beside it.
mode=$1
log=$2
echo "update $mode $(pwd)" >>"$log"
if [ -n "$3" ]; then printf '%s\n' "$4" >"$3"; fi
case $mode in
  ok) exit 0 ;;
  available) exit 10 ;;
  fail) echo "update failed" >&2; exit 3 ;;
  hang) sleep 600 & sleep 600; exit 0 ;;
  *) echo "unknown mode: $mode" >&2; exit 2 ;;
esac
