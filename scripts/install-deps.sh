#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Packages already present are left
# alone, so a second run costs nothing and needs no network.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
          libbenchmark-dev libsqlite3-dev clang-format clang libclang-rt-14-dev)
# The compiler cache that scripts/test.sh builds through.
packages+=(ccache)
# The packet filter driver's kernel backend (nftables rules, the nflog filter log); its tests
# make network namespaces with iproute2 and read the kernel's table with nft.
packages+=(libnftables-dev libnetfilter-log-dev libnfnetlink-dev nftables iproute2)
# The service control manager's systemd backend (sd-bus, notifications, the journal), and
# systemd-analyze for the tests of the unit it writes.
packages+=(libsystemd-dev systemd)
# The console: Qt 6 Widgets (its CMake files include QtTest), a font for offscreen rendering,
# and a virtual display for running the windows where there is no screen.
console_packages=(qt6-base-dev fonts-dejavu-core xvfb xauth)
# The Windows build: mingw-w64's cross compilers (the -posix thread model) and Wine to run the
# x86-64 programs and their tests. Not wine32: this machine cannot run 32-bit x86 code, and with
# it /usr/bin/wine would pick the 32-bit loader. Wine's own fonts (Tahoma, MS Sans Serif, Marlett,
# a recommendation of libwine) for the console's windows: without them every window falls back
# to a wider font and its caption buttons show letters.
console_packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 libwine
                   fonts-wine)
# The Debian package (scripts/package.sh): man pages from scdoc, cpack's dependency list from
# dpkg-shlibdeps (which it feeds with what `file` finds), and lintian's verdict on the result.
packages+=(dpkg-dev file scdoc lintian)
# The fleet of test hosts: systemd-nspawn boots them, each runs sshd, and the tests reach them
# with the ssh client (util-linux's nsenter runs it inside the fleet's network namespace).
# Without recommendations: systemd-container's would add a name service module to the machine's
# nsswitch.conf, openssh-server's a desktop's worth of terminal data.
# sudo: a host's account that is not root reaches the service through `sudo -n`.
fleet_packages=(systemd-container openssh-server openssh-client util-linux sudo)
# The Ansible collection (ansible/): Debian's ansible-core runs its playbooks on the fleet and
# checks it (ansible-doc, ansible-test), and its role's apt tasks need python3-apt on the hosts
# (which share this machine's packages). Without recommendations, as the fleet's.
fleet_packages+=(ansible-core python3-apt)

missing_from() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# openssh-server's maintainer scripts start sshd through its init script, and on a machine whose
# PID 1 is not systemd nothing would stop it again: this machine must not serve ssh. The
# policy-rc.d hook tells invoke-rc.d that no service may start (101) while the packages go in; one
# the machine already has is left as it is.
policy_placed=""
remove_placed_policy() {
  if [ -n "$policy_placed" ]; then "${sudo_cmd[@]}" rm -f "$policy_placed"; fi
  policy_placed=""
}
install_fleet_packages() {
  local policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    # Also taken away when the install fails or is interrupted.
    trap remove_placed_policy EXIT
    policy_placed=$policy
    printf '#!/bin/sh\n# Placed by Zantor install-deps.sh while it installs packages.\nexit 101\n' |
      "${sudo_cmd[@]}" tee "$policy" >/dev/null
    "${sudo_cmd[@]}" chmod 755 "$policy"
  fi
  local status=0
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing_fleet[@]}" || status=$?
  remove_placed_policy
  return $status
}

mapfile -t missing < <(missing_from "${packages[@]}")
mapfile -t missing_console < <(missing_from "${console_packages[@]}")
mapfile -t missing_fleet < <(missing_from "${fleet_packages[@]}")
if [ ${#missing[@]} -gt 0 ] || [ ${#missing_console[@]} -gt 0 ] || [ ${#missing_fleet[@]} -gt 0 ]
then
  echo "Installing: ${missing[*]} ${missing_console[*]} ${missing_fleet[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
  fi
  # Qt's and Wine's recommendations are a desktop's worth of packages neither uses.
  if [ ${#missing_console[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing_console[@]}"
  fi
  if [ ${#missing_fleet[@]} -gt 0 ]; then
    install_fleet_packages
  fi
fi
