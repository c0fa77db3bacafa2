#!/bin/sh
# The tool's libraries reach Windows only through the OS boundary and the C runtime:
# every symbol they leave undefined is defined by one of them, by the OS boundary's
# library, or by the C and C++ runtime libraries the toolchain links. A direct call
# to a Windows function (its __imp_ symbol, from a system DLL's import library) fails.
# usage: boundary.sh NM CXX OS_LIBRARY TOOL_LIBRARY...
set -eu
nm=$1 cxx=$2 boundary=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
defined() { "$nm" --defined-only -g --quiet "$@" 2>/dev/null | awk 'NF == 3 { print $3 }'; }
{
  defined "$boundary" "$@"
  for runtime in crt2.o libmsvcrt.a libmingwex.a libmingw32.a libstdc++.a libgcc.a libgcc_eh.a; do
    defined "$("$cxx" -print-file-name=$runtime)"
  done
} | sort -u >"$work/allowed"
"$nm" --undefined-only --quiet "$@" | awk 'NF == 2 { print $2 }' | sort -u >"$work/used"
comm -23 "$work/used" "$work/allowed" >"$work/outside"
if [ -s "$work/outside" ]; then
  echo "called past the OS boundary and the C runtime:"
  cat "$work/outside"
  exit 1
fi
echo "$(wc -l <"$work/used") symbols used, each from the tool, the OS boundary or the C runtime"
