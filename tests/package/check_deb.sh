#!/usr/bin/env bash
# Checks a built zantor .deb: it holds exactly the files of contents.txt with the owners and modes
# a package wants, its programs are stripped and run against the libraries its Depends names, it
# carries no maintainer script (installing it starts and enables nothing), and a zadmin unpacked
# from it deploys the packaged ZantorSvc onto a simulated computer from a directory without one.
# Usage: check_deb.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=$(mktemp -d -t zantor-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() {  # check NAME COMMAND...: runs the command, counts and reports the outcome
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    passed=$((passed + 1))
    echo "ok      $name"
  else
    failed=$((failed + 1))
    echo "FAILED  $name"
    sed 's/^/        /' "$work/out"
  fi
}

contents_match() {
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/files"
  sort "$here/contents.txt" | diff -u - "$work/files"
}
owners_and_modes() {
  # Programs rwxr-xr-x, everything else rw-r--r-- or a directory rwxr-xr-x, all root's.
  dpkg-deb -c "$deb" | awk '
    $2 != "root/root" { print "owner " $2 ": " $6; bad = 1 }
    $1 ~ /^d/ && $1 != "drwxr-xr-x" { print $1 ": " $6; bad = 1 }
    $1 ~ /^-/ && $6 ~ /\/s?bin\// && $1 != "-rwxr-xr-x" { print $1 ": " $6; bad = 1 }
    $1 ~ /^-/ && $6 !~ /\/s?bin\// && $1 != "-rw-r--r--" { print $1 ": " $6; bad = 1 }
    END { exit bad }'
}
control_field() { dpkg-deb -f "$deb" "$1"; }
version_is_the_changelogs() {
  local want
  want=$(dpkg-parsechangelog -l "$top/packaging/changelog" -S Version)
  [ "$(control_field Package)" = zantor ] && [ "$(control_field Version)" = "$want" ] &&
    [ "$(control_field Architecture)" = "$(dpkg --print-architecture)" ] &&
    [ "$(basename "$deb")" = "zantor_${want}_$(dpkg --print-architecture).deb" ]
}
depends_on_what_the_programs_load() {
  local names lib
  control_field Depends
  # The package names alone, one a line, without their versions.
  names=$(control_field Depends | tr ',|' '\n\n' | awk '{print $1}')
  for lib in libc6 libstdc++6 libsqlite3-0 libnftables1 libnetfilter-log1 libsystemd0 libqt6core6 \
             libqt6gui6 libqt6widgets6 qt6-qpa-plugins; do
    grep -Fxq "$lib" <<<"$names" || { echo "no $lib"; return 1; }
  done
  # Nothing a test or benchmark links.
  ! grep -Eq "gtest|gmock|benchmark" <<<"$names"
}
no_maintainer_scripts() {
  # The control archive: control and md5sums, nothing that runs at installation.
  mkdir -p "$work/control"
  dpkg-deb -e "$deb" "$work/control"
  [ "$(ls "$work/control" | tr '\n' ' ')" = "control md5sums " ]
}
programs_stripped() {
  local program status=0
  for program in "$work/root"/usr/bin/* "$work/root"/usr/sbin/*; do
    if readelf -S "$program" | grep -Eq '\.symtab|\.debug_'; then
      echo "not stripped: $program"
      status=1
    fi
  done
  return $status
}
programs_run() {
  local root=$work/root
  "$root/usr/sbin/ZantorSvc" -help | grep -q -- -install
  "$root/usr/bin/ZantorManager" --help | grep -q -- --screenshot
  "$root/usr/bin/zadmin" --help | grep -q "install"
  "$root/usr/bin/zreg" --help | grep -q "export"
  "$root/usr/bin/zpacket" --help | grep -q -- "--computer"
}
zadmin_deploys_the_packaged_service() {
  # The directory zadmin runs in has no ZantorSvc: the packaged one goes onto PC1.
  local net=$work/network empty=$work/empty status=0
  mkdir -p "$net/PC1/system32" "$work/local" "$empty"
  echo "172.16.0.10 255.255.0.0 4" >"$net/PC1/ipaddrtable"
  export ZANTOR_ROOT=$work/local ZANTOR_NETWORK=$net
  (cd "$empty" && "$work/root/usr/bin/zadmin" --computer PC1 install) || status=1
  cmp "$work/root/usr/sbin/ZantorSvc" "$net/PC1/system32/ZantorSvc" || status=1
  (cd "$empty" && "$work/root/usr/bin/zadmin" --computer PC1 list) | grep -q 172.16.0.10 ||
    status=1
  # Removed again, so that no service of the check outlives it.
  (cd "$empty" && "$work/root/usr/bin/zadmin" --computer PC1 remove) || status=1
  [ ! -e "$net/PC1/system32/ZantorSvc" ] || status=1
  return $status
}

dpkg-deb -x "$deb" "$work/root"
check "the files of contents.txt, no others" contents_match
check "root's files, programs 0755, the rest 0644" owners_and_modes
check "package zantor, version from packaging/changelog" version_is_the_changelogs
check "Depends: the libraries the programs load" depends_on_what_the_programs_load
check "no maintainer scripts" no_maintainer_scripts
check "programs stripped" programs_stripped
check "programs run from the package" programs_run
check "zadmin deploys the packaged ZantorSvc" zadmin_deploys_the_packaged_service
echo "package check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
