#!/usr/bin/env bash
# The Windows build: configures and builds the win32 (i686: built only, this machine cannot run
# 32-bit code) and win64 presets, then runs the win64 tests and the pipe benchmark under wine64
# in a Wine prefix made fresh for the run (a copy of a booted one, kept in the build directory,
# which is booted once).
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in win32 win64; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
template=build/wine-template
prefix=$PWD/build/win64/wineprefix
if [ ! -f "$template/system.reg" ]; then
  echo "=== Wine: booting a prefix"
  rm -rf "$template"
  WINEPREFIX=$PWD/$template /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  WINEPREFIX=$PWD/$template /usr/lib/wine/wineserver -w
fi
rm -rf "$prefix"
cp -a "$template" "$prefix"

status=0
echo "=== win64: test under Wine"
ctest --preset win64 || status=1
echo "=== win64: the pipe benchmark under Wine"
tests/win32/wine_run.sh "$prefix" build/win64/bench/win32/win_pipe_bench.exe || status=1
WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
exit $status
