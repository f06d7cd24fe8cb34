#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Packages already present are left
# alone, so a second run costs nothing and needs no network.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev libsqlite3-dev clang-format clang libclang-rt-14-dev)
# The packet filter driver's kernel backend (nftables rules, the nflog filter log); its tests
# make network namespaces with iproute2 and read the kernel's table with nft.
packages+=(libnftables-dev libnetfilter-log-dev libnfnetlink-dev nftables iproute2)
# The console: Qt 6 Widgets (its CMake files include QtTest), a font for offscreen rendering,
# and a virtual display for running the windows where there is no screen.
console_packages=(qt6-base-dev fonts-dejavu-core xvfb xauth)

missing_from() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

mapfile -t missing < <(missing_from "${packages[@]}")
mapfile -t missing_console < <(missing_from "${console_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_console[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]} ${missing_console[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
  fi
  # Qt's recommendations are a desktop's worth of packages the console does not use.
  if [ ${#missing_console[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing_console[@]}"
  fi
fi
