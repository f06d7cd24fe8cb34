#!/usr/bin/env bash
# Installs what is needed, builds, and runs the filter service in the foreground on a fresh
# simulated computer with three addresses. Ctrl-C ends it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ZantorSvc zpacket zreg

root=${ZANTOR_ROOT:-$(mktemp -d -t zantor-computer-XXXXXX)}
mkdir -p "$root/system32"
if [ ! -e "$root/ipaddrtable" ]; then
  cat > "$root/ipaddrtable" <<'TABLE'
# address      mask            interface index
10.0.0.5       255.255.255.0   2
192.168.1.20   255.255.255.0   3
127.0.0.1      255.0.0.0       1
TABLE
fi
cp build/default/service/ZantorSvc "$root/system32/"

echo "Computer root:   $root"
echo "Control pipe:    $root/pipe/qzw2kflt   (\\\\.\\Pipe\\qzw2kflt)"
echo "Service log:     $root/system32/ZantorSvc.Log"
echo "Deny log:        $root/system32/IPDenyLog.Log"
echo "Address table:   $root/ipaddrtable"
echo
echo "From another shell, with ZANTOR_ROOT=$root:"
echo "  $PWD/build/default/tools/zpacket --help      ask whether a packet would pass"
echo "  $PWD/build/default/tools/zreg export HKLM\\SYSTEM   read the stored configuration"
echo
cd "$root/system32"
export ZANTOR_ROOT="$root"
exec ./ZantorSvc -run
