#!/usr/bin/env bash
# Takes the documentation's screenshots of kesp.exe under Wine: builds the Windows programs,
# starts an Xvfb screen with Wine's virtual desktop (which draws the window frames), lets
# tervane_gui_screens start kesp.exe with a few stand-in servers on 127.0.0.1 and open each
# window, and captures every window with ImageMagick into docs/.
#
#   scripts/screenshots.sh            build/windows, docs/*.png
#   BUILD=/tmp/w WINEPREFIX=/tmp/p OUT=/tmp/shots SHOT_DISPLAY=:7 scripts/screenshots.sh
# Installs what it needs when missing: mingw-w64, wine, xvfb, imagemagick, and fonts-wqy-microhei
# for the Chinese texts.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build/windows}
OUT=${OUT:-$ROOT/docs}
SHOTS=(main-window editor editor-affinity about boss-key main-window-zh)

PACKAGES=(cmake make mingw-w64 wine wine64 xvfb x11-utils imagemagick fonts-wqy-microhei)
missing=()
for p in "${PACKAGES[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q && $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake --preset windows -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j"${JOBS:-2}" --target kesp fakesrv tervane_gui_screens

export WINEPREFIX=${WINEPREFIX:-$BUILD/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
work=$(mktemp -d)
xvfb=
if [ -n "${SHOT_DISPLAY:-}" ]; then
  export DISPLAY=$SHOT_DISPLAY  # an X screen of 1280x1024 that is already running
else
  display=$(( 500 + RANDOM % 400 ))
  Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=":$display"
fi
cleanup() {
  [ -n "${scene:-}" ] && kill "$scene" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 1 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
wineboot -i >/dev/null 2>&1

# The window frames' buttons need Wine's Marlett font in the prefix, and the Chinese texts (the
# about box, the log menu) a font with Chinese glyphs linked to the dialogs' font, as Windows
# links its East Asian fonts.
fonts="$(winepath -u 'C:\windows\Fonts')"
mkdir -p "$fonts"
[ -f /usr/share/wine/fonts/marlett.ttf ] && cp -f /usr/share/wine/fonts/marlett.ttf "$fonts/"
if [ -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ]; then
  for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
      /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
  done
  wineserver -w
else
  echo "fonts-wqy-microhei is not installed: Chinese texts show as boxes" >&2
fi

# The virtual desktop fills the screen, so window coordinates are screen coordinates. The
# program starts in English (its start-up language follows the locale) and switches to Chinese
# for the last picture.
LC_ALL=en_US.UTF-8 wine explorer /desktop=Tervane,1280x1024 "$BUILD/tests/gui/tervane_gui_screens.exe" "$(winepath -w "$work")" &
scene=$!

mkdir -p "$OUT"
for name in "${SHOTS[@]}"; do
  for _ in $(seq 1 1200); do [ -f "$work/$name.rect" ] && break; sleep 0.1; done
  if [ ! -f "$work/$name.rect" ]; then echo "no window for $name" >&2; exit 1; fi
  read -r x y w h < "$work/$name.rect"
  import -display "$DISPLAY" -window root -crop "${w}x${h}+${x}+${y}" +repage "$OUT/$name.png"
  echo "$OUT/$name.png: ${w}x${h}"
  touch "$work/$name.done"
done
wait "$scene" || true
scene=
