#!/usr/bin/env bash
# Builds the Debian package from the release build: the programs, their man pages and the rest
# that the package holds (no tests), then `cpack -G DEB`, then checks it with lintian (any error
# fails; warnings are printed) and with tests/package/check_deb.sh. Prints the package's path:
# build/release/zantor_VERSION_amd64.deb.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset release >/dev/null
cmake --build --preset release --target zantor_package_contents
rm -f build/release/zantor_*.deb
(cd build/release && cpack -G DEB >/dev/null)
debs=(build/release/zantor_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "package.sh: cpack made no package" >&2; exit 1; }
deb=${debs[0]}

echo "=== lintian $deb"
# Lintian refuses to run as root unless told it may; CI runs as root.
lintian --allow-root --fail-on error --display-info "$deb"
echo "=== package check"
tests/package/check_deb.sh "$deb"
echo "Package: $deb"
