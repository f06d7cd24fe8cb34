#!/usr/bin/env bash
# Starts a virtual display (Xvfb) for Wine's windows, and prints its name and the server's
# process id once it takes clients:
#   read -r display pid < <(tests/win32/virtual_display.sh)
# The caller ends the server (kill PID). The screen is larger than any of the console's windows.
set -euo pipefail
number=$(mktemp)
trap 'rm -f "$number"' EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 200); do
  if [ -s "$number" ]; then
    echo ":$(tr -d '[:space:]' <"$number") $pid"
    exit 0
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
kill "$pid" 2>/dev/null || true
echo "virtual_display.sh: Xvfb did not start (is the package xvfb installed?)" >&2
exit 1
