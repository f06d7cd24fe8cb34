#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: in the default build, in the
# optimised release build a user makes (and makes and checks the Debian package from it,
# scripts/package.sh, and installs it into a test host), and under the address and
# undefined-behaviour sanitizers; then runs each
# fuzz target for half a minute (scripts/fuzz.sh), while the Windows builds are made and their
# tests run under Wine (scripts/test-windows.sh).
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
  if [ "$preset" = release ]; then
    echo "=== release: Debian package"
    if scripts/package.sh; then
      echo "=== release: the package installed into a test host"
      build/release/tests/package_host_tests || status=1
    else
      status=1
    fi
  fi
done
echo "=== fuzz, with the Windows builds and tests beside it"
# The fuzz targets run one at a time on one core for three minutes: the Windows builds take the
# other. Their output follows once both are done.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build
scripts/test-windows.sh >build/test-windows.log 2>&1 &
windows=$!
scripts/fuzz.sh 30 || status=1
windows_status=0
wait "$windows" || windows_status=$?
echo "=== windows"
cat build/test-windows.log
[ "$windows_status" -eq 0 ] || status=1
exit $status
