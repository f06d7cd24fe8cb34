#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: in the default build, in the
# optimised release build a user makes, and under the address and undefined-behaviour
# sanitizers; then runs each fuzz target for half a minute (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

status=0
for preset in default release asan; do
  echo "=== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset" || status=1
done
echo "=== fuzz"
scripts/fuzz.sh 30 || status=1
exit $status
