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

# Compilations are cached (ccache), so that a run after an earlier one on the same machine, from
# any clone, builds only what changed: paths are taken relative to the clone, and debug
# information does not tie an object to the folder it was built in.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache

# Each phase says when it began, so that a slow run shows where its time went.
phase() { echo "=== [$(date -u +%H:%M:%S), ${SECONDS}s] $*"; }

status=0
for preset in default release asan; do
  phase "$preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  phase "$preset: test"
  ctest --preset "$preset" || status=1
  if [ "$preset" = release ]; then
    phase "release: Debian package"
    if scripts/package.sh; then
      phase "release: the package installed into a test host"
      build/release/tests/package_host_tests || status=1
    else
      status=1
    fi
  fi
done
phase "fuzz, with the Windows builds and tests beside it"
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
phase "windows"
cat build/test-windows.log
phase "done"
[ "$windows_status" -eq 0 ] || status=1
exit $status
