#!/bin/sh
# Runs one Windows program under Wine with the build's own prefix. Used by CTest as the
# cross-compiling emulator. WINEPREFIX may be set by the caller; otherwise the prefix
# lives beside the program's build folder.
: "${WINEPREFIX:=${TERVANE_WINEPREFIX:-$PWD/wineprefix}}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=;mshtml=}"
if command -v wine >/dev/null 2>&1; then exec wine "$@"; fi
exec wine64 "$@"
