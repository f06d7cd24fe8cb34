#!/usr/bin/env bash
# Installs what is needed, builds, starts the filter service on a fresh simulated computer with
# three addresses, and opens the console connected to it. Closing the console ends both; where
# there is no display, the service runs until Ctrl-C and the console can be seen another way.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ZantorSvc ZantorManager zpacket zreg

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
manager=$PWD/build/default/console/qt/ZantorManager

echo "Computer root:   $root"
echo "Control pipe:    $root/pipe/qzw2kflt   (\\\\.\\Pipe\\qzw2kflt)"
echo "Service log:     $root/system32/ZantorSvc.Log"
echo "Deny log:        $root/system32/IPDenyLog.Log"
echo "Address table:   $root/ipaddrtable"
echo
echo "From another shell, with ZANTOR_ROOT=$root:"
echo "  $PWD/build/default/tools/zpacket --help      ask whether a packet would pass"
echo "  $PWD/build/default/tools/zreg export HKLM\\SYSTEM   read the stored configuration"
echo "  $manager   another console (one connection at a time)"
echo

export ZANTOR_ROOT="$root"
(cd "$root/system32" && exec ./ZantorSvc -run) &
service=$!
trap 'kill "$service" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -S "$root/pipe/qzw2kflt" ] && break
  kill -0 "$service" 2>/dev/null || { echo "ZantorSvc ended before its pipe was up" >&2; exit 1; }
  sleep 0.1
done

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$manager" || true
  exit 0
fi

picture="$root/console.png"
cat <<TEXT
There is no display here (DISPLAY and WAYLAND_DISPLAY are not set), so the console cannot open
its window. To see it anyway:
  xvfb-run -a scripts/run.sh                      the same, with the console on a virtual display
  ZANTOR_ROOT=$root \\
    $manager --screenshot FILE.png
                                                  a picture of the console connected to this service
TEXT
if "$manager" --screenshot "$picture"; then
  echo "Here is one already: $picture"
fi
echo
echo "The service goes on running; Ctrl-C ends it."
wait "$service"
