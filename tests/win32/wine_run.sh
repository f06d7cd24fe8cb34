#!/usr/bin/env bash
# Runs a Windows test program under wine64: CTest's emulator for the win64 build.
#   wine_run.sh PREFIX PROGRAM [ARGS...]
# PREFIX is the build's own Wine prefix (scripts/test-windows.sh makes it fresh for each run by
# copying a prepared one; a missing one is prepared here, by wine_prefix.sh). One wineserver stays
# up between programs, which saves a second or more per test (wine_env.sh says how Wine runs).
# Windows need a display: DISPLAY names it (scripts/test-windows.sh starts one for the run), or a
# virtual one is started for this program.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
here=$(dirname "$0")
. "$here/wine_env.sh"
if [ ! -f "$prefix/.zantor-windows-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    "$here/wine_prefix.sh" "$prefix"
  ) 9>"$prefix.lock"
fi
if [ -z "${DISPLAY:-}" ]; then
  # A display for this program alone. Wine's own processes (its desktop) take the display they
  # start with and must not outlive it: the prefix's server is stopped before and after.
  "$server" -k 2>/dev/null || true
  read -r display xvfb < <("$here/virtual_display.sh")
  export DISPLAY=$display
  status=0
  "${wine[@]}" "$@" || status=$?
  "$server" -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  exit $status
fi
# One server for the whole run, lingering five minutes after its last program (starting one while
# one runs is refused, quietly). When this call started it, Wine's own system processes are
# started here too, with nothing of the caller's: they live as long as the server, and had they
# inherited the test's output, CTest would wait for them to close it.
if "$server" -p300 </dev/null >/dev/null 2>&1; then
  "${wine[@]}" wineboot </dev/null >/dev/null 2>&1
fi
# The program's output reaches CTest through a file of this script's, never through CTest's own
# pipe: Wine's helper processes inherit what the program holds, and one can outlive it. A child
# terminated while it was still starting leaves its console's conhost.exe behind for as long as
# the server lives, and had that held CTest's pipe, CTest would wait for it to close until the
# test's time-out and call a passed test failed. tail follows the file while the program runs, so
# a test that hangs still shows how far it got.
out=$(mktemp "${TMPDIR:-/tmp}/wine_run.XXXXXX")
"${wine[@]}" "$@" >"$out" 2>&1 &
program=$!
trap 'kill "$program" 2>/dev/null || true; rm -f "$out"' EXIT
trap 'exit 143' TERM INT
tail -n +1 -s 0.1 --pid="$program" -f "$out"
status=0
wait "$program" || status=$?
exit $status
