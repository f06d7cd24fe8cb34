#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Packages already present are left
# alone, so a second run costs nothing and needs no network.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev libsqlite3-dev clang-format clang libclang-rt-14-dev)
# The packet filter driver's kernel backend (nftables rules, the nflog filter log); its tests
# make network namespaces with iproute2 and read the kernel's table with nft.
packages+=(libnftables-dev libnetfilter-log-dev libnfnetlink-dev nftables iproute2)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
