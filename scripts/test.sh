#!/usr/bin/env bash
# Runs every suite of Tervane on a Debian 12 machine: installs what is missing, builds the
# native program and tests (with AddressSanitizer and UBSan) and runs them, builds the Windows
# programs with mingw-w64 and runs their tests under Wine inside Xvfb, then builds the fuzz
# targets with clang and runs each for a short while. Every suite runs through its CTest preset.
# Exits non-zero on any failure; interrupted, it ends what it started (the running suite, its
# Xvfb and the wineserver of its own Wine prefix) and nothing else.
#
#   scripts/test.sh            everything
#   FUZZ_SECONDS=60 scripts/test.sh
set -uo pipefail
# Each command runs as a job of its own, so that an interruption can end it with all it started.
set -m

cd "$(dirname "$0")/.."
ROOT=$PWD
export FUZZ_SECONDS=${FUZZ_SECONDS:-20}
JOBS=${JOBS:-$(nproc)}
failures=()
passes=()

step() { printf '\n===== %s =====\n' "$*"; }
record() {  # record NAME STATUS
  if [ "$2" -eq 0 ]; then passes+=("$1"); else failures+=("$1"); fi
}

# ---------------------------------------------------------------- what this run started
job=""        # the command running now (its process group)
xvfb_pid=""   # our Xvfb
wine_prefix=""  # our Wine prefix, while its wineserver may run

run() {  # run COMMAND...: in a process group of its own, without the terminal's input
  "$@" </dev/null &
  job=$!
  wait "$job"
  local status=$?
  job=""
  return $status
}

end_wine() {
  if [ -n "$wine_prefix" ]; then
    WINEPREFIX="$wine_prefix" wineserver -k >/dev/null 2>&1
    wine_prefix=""
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
  fi
}

cleanup() {
  if [ -n "$job" ]; then
    kill -TERM -- "-$job" 2>/dev/null
    wait "$job" 2>/dev/null
    job=""
  fi
  end_wine
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 130' INT
trap 'echo "terminated" >&2; exit 143' TERM

# ---------------------------------------------------------------- packages
PACKAGES=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev mingw-w64
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386
          xvfb x11-utils xdotool clang libclang-rt-14-dev python3 procps systemd
          libboost-dev nlohmann-json3-dev libcurl4-openssl-dev curl chromium libcli11-dev)
# The Debian package's test: dpkg-shlibdeps, lintian, and man for "man -w kesp".
PACKAGES+=(dpkg-dev lintian man-db)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  # Wine's 32-bit side (for the 32-bit stand-in server) comes from the i386 architecture.
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386 || exit 1
  fi
  $SUDO apt-get update -q || exit 1
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" || exit 1
fi

# ---------------------------------------------------------------- native
step "native build (GCC, AddressSanitizer + UBSan)"
if run cmake --preset linux >/dev/null && run cmake --build --preset linux -j"$JOBS"; then
  step "native tests"
  run ctest --preset linux -j1
  record "native tests" $?
else
  record "native build" 1
fi

# ---------------------------------------------------------------- windows
step "Windows build (mingw-w64)"
if run cmake --preset windows >/dev/null && run cmake --build --preset windows -j"$JOBS"; then
  step "Windows tests under Wine and Xvfb"
  export WINEPREFIX="$ROOT/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  export TERVANE_WINEPREFIX="$WINEPREFIX"
  wine_prefix=$WINEPREFIX
  # A display that no other X server holds: Xvfb picks the number and writes it when ready.
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 1 100); do [ -s "$display_file" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n 1 "$display_file")"
  rm -f "$display_file"
  run wineboot -i >/dev/null 2>&1
  # Let the first start of the prefix finish completely: a service manager left from it does
  # not keep the services that the tests install.
  run timeout 120 wineserver -w || WINEPREFIX="$wine_prefix" wineserver -k
  run ctest --preset windows -j1
  record "Windows tests under Wine" $?
  end_wine
else
  record "Windows build" 1
fi

# ---------------------------------------------------------------- fuzzing
step "fuzz targets (clang, libFuzzer), ${FUZZ_SECONDS}s each"
if run cmake --preset fuzz >/dev/null && run cmake --build --preset fuzz -j"$JOBS"; then
  run ctest --preset fuzz -j1
  record "fuzz targets" $?
else
  record "fuzz build" 1
fi

# ---------------------------------------------------------------- summary
step "summary"
for p in "${passes[@]}"; do echo "ok:     $p"; done
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "${#passes[@]} passed, ${#failures[@]} failed"
[ ${#failures[@]} -eq 0 ]
