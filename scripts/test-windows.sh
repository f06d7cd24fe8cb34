#!/usr/bin/env bash
# The Windows build: configures and builds the win32 (i686: built only, this machine cannot run
# 32-bit code) and win64 presets, then runs the win64 tests and benchmarks under wine64 in a Wine
# prefix made fresh for the run (a copy of a prepared one, kept in the build directory, which is
# prepared once by tests/win32/wine_prefix.sh: booted, Wine's fonts, unmanaged windows). The
# console's windows are shown on a virtual display started for the run, unless DISPLAY names
# one; their pictures go into build/win64/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in win32 win64; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

. tests/win32/wine_env.sh
template=$PWD/build/wine-template
prefix=$PWD/build/win64/wineprefix
if [ ! -f "$template/.zantor-windows-ready" ]; then
  echo "=== Wine: preparing a prefix"
  tests/win32/wine_prefix.sh "$template"
fi
rm -rf "$prefix"
cp -a "$template" "$prefix"

xvfb=""
stop() {
  WINEPREFIX=$prefix "$server" -k 2>/dev/null || true
  if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null || true; fi
}
trap stop EXIT
if [ -z "${DISPLAY:-}" ]; then
  read -r display xvfb < <(tests/win32/virtual_display.sh)
  export DISPLAY=$display
fi

status=0
echo "=== win64: test under Wine"
ctest --preset win64 || status=1
echo "=== win64: the benchmarks under Wine"
tests/win32/wine_run.sh "$prefix" build/win64/bench/win32/win_pipe_bench.exe || status=1
tests/win32/wine_run.sh "$prefix" build/win64/bench/win32/win_console_bench.exe || status=1
exit $status
