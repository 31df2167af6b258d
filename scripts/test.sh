#!/usr/bin/env bash
# Runs every suite of Tervane on a Debian 12 machine: installs what is missing, builds the
# native program and tests (with AddressSanitizer and UBSan) and runs them, builds the Windows
# programs with mingw-w64 and runs their tests under Wine inside Xvfb, then builds the fuzz
# targets with clang and runs each for a short while. Exits non-zero on any failure.
#
#   scripts/test.sh            everything
#   FUZZ_SECONDS=60 scripts/test.sh
set -uo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
JOBS=${JOBS:-$(nproc)}
failures=()
passes=()

step() { printf '\n===== %s =====\n' "$*"; }
record() {  # record NAME STATUS
  if [ "$2" -eq 0 ]; then passes+=("$1"); else failures+=("$1"); fi
}

# ---------------------------------------------------------------- packages
PACKAGES=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev mingw-w64
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 wine32:i386
          xvfb x11-utils xdotool clang libclang-rt-14-dev python3 procps systemd
          libboost-dev nlohmann-json3-dev libcurl4-openssl-dev curl chromium)
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
if cmake --preset linux >/dev/null && cmake --build --preset linux -j"$JOBS"; then
  step "native tests"
  (cd build/linux && ctest --output-on-failure -j1)
  record "native tests" $?
else
  record "native build" 1
fi

# ---------------------------------------------------------------- windows
step "Windows build (mingw-w64)"
if cmake --preset windows >/dev/null && cmake --build --preset windows -j"$JOBS"; then
  step "Windows tests under Wine and Xvfb"
  export WINEPREFIX="$ROOT/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  export TERVANE_WINEPREFIX="$WINEPREFIX"
  display=$(( 90 + RANDOM % 400 ))
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$display"
  for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  wineboot -i >/dev/null 2>&1
  # Let the first start of the prefix finish completely: a service manager left from it does
  # not keep the services that the tests install.
  timeout 120 wineserver -w || wineserver -k
  (cd build/windows && ctest --output-on-failure -j1)
  record "Windows tests under Wine" $?
  wineserver -k >/dev/null 2>&1
  kill "$xvfb_pid" 2>/dev/null
  wait "$xvfb_pid" 2>/dev/null
else
  record "Windows build" 1
fi

# ---------------------------------------------------------------- fuzzing
step "fuzz targets (clang, libFuzzer), ${FUZZ_SECONDS}s each"
if cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j"$JOBS" \
     --target fuzz_server_list fuzz_profile fuzz_params fuzz_reply fuzz_rcon fuzz_control fuzz_options fuzz_http_head; then
  for f in fuzz_server_list fuzz_profile fuzz_params fuzz_reply fuzz_rcon fuzz_control fuzz_options fuzz_http_head; do
    corpus="build/fuzz/corpus/$f"
    mkdir -p "$corpus"
    ./build/fuzz/fuzz/$f -max_total_time="$FUZZ_SECONDS" -max_len=8192 -print_final_stats=1 \
      "$corpus" > "build/fuzz/$f.log" 2>&1
    status=$?
    grep -E '^(Done|stat::number_of_executed_units)' "build/fuzz/$f.log" | head -2
    [ $status -ne 0 ] && tail -40 "build/fuzz/$f.log"
    record "fuzz $f" $status
  done
else
  record "fuzz build" 1
fi

# ---------------------------------------------------------------- summary
step "summary"
for p in "${passes[@]}"; do echo "ok:     $p"; done
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "${#passes[@]} passed, ${#failures[@]} failed"
[ ${#failures[@]} -eq 0 ]
