#!/usr/bin/env bash
# Runs a Windows test program under wine64: CTest's emulator for the win64 build.
#   wine_run.sh PREFIX PROGRAM [ARGS...]
# PREFIX is the build's own Wine prefix (scripts/test-windows.sh makes it fresh for each run by
# copying a booted one; a missing one is booted here). One wineserver stays up between programs,
# which saves a second or more per test. Wine's debugger is off: with it, a crash can end with
# status 0 and pass for success.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1
      "$server" -w
    fi
  ) 9>"$prefix.lock"
fi
# One server for the whole run, lingering five minutes after its last program (starting one while
# one runs is refused, quietly). When this call started it, Wine's own system processes are
# started here too, with nothing of the caller's: they live as long as the server, and had they
# inherited the test's output, CTest would wait for them to close it.
if "$server" -p300 </dev/null >/dev/null 2>&1; then
  "$wine" wineboot </dev/null >/dev/null 2>&1
fi
exec "$wine" "$@"
