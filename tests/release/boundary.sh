#!/bin/sh
# The tool's libraries reach Windows only through the OS boundary and the C runtime:
# every symbol they leave undefined is defined by one of them, by the OS boundary's
# library, or by the C and C++ runtime the toolchain links. A direct call to Windows
# (an __imp_ symbol of a system DLL's import library) is named and fails the check.
# usage: boundary.sh NM CXX OS_LIBRARY TOOL_LIBRARY...
set -eu
nm=$1 cxx=$2 boundary=$3
shift 3
runtimes=$(for r in crt2.o libmsvcrt.a libmingwex.a libmingw32.a libstdc++.a libgcc.a libgcc_eh.a; do
  "$cxx" -print-file-name=$r; done)
outside=$({ "$nm" --defined-only -g --quiet "$boundary" "$@" $runtimes; echo @used; "$nm" -u --quiet "$@"; } |
  awk '$0 == "@used" { used = 1 } !used && NF == 3 { known[$3] = 1 } used && NF == 2 && !($2 in known) { print $2 }')
[ -z "$outside" ] || { printf 'called past the OS boundary and the C runtime:\n%s\n' "$outside"; exit 1; }
echo "the tool's libraries call Windows only through the OS boundary and the C runtime"
