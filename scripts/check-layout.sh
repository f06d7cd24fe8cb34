#!/usr/bin/env bash
# Checks that the tree keeps its one axis (README, "The tree"): the programs and tools include
# only the port headers at the top of platform/; the top includes nothing below it; win32/
# includes nothing of linux/; and no two folders of platform/ include each other. Prints every
# include that breaks a rule and exits 1. CTest runs it (platform_layout).
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

status=0
fail() {
  echo "$1"
  status=1
}

# "file:target" for every include of ours in the folders given.
includes() {
  grep -rHo --include='*.h' --include='*.cpp' '^#include "platform/[^"]*"' "$@" |
    sed 's|:#include "|:|; s|"$||' || true
}

while IFS=: read -r file target; do
  case "$target" in
    platform/*/*) fail "$file includes $target: above the platform layer only platform/*.h" ;;
  esac
done < <(includes service shared console tools)

edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
while IFS=: read -r file target; do
  from=$(dirname "$file")
  to=$(dirname "$target")
  [ "$from" = "$to" ] && continue
  [ "$from" = platform ] && fail "$file includes $target: the top includes nothing below it"
  case "$from:$to" in
    platform/win32*:platform/linux*) fail "$file includes $target: win32/ includes nothing of linux/" ;;
  esac
  echo "$from $to" >>"$edges"
done < <(includes platform)

# A pair of folders that include each other, each way once.
while read -r a b; do
  if grep -qx "$b $a" "$edges" && [[ "$a" < "$b" ]]; then
    fail "$a and $b include each other: $(grep -l "#include \"$b/" "$a"/*.* | head -1) and $(grep -l "#include \"$a/" "$b"/*.* | head -1)"
  fi
done < <(sort -u "$edges")

exit $status
