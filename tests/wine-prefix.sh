#!/bin/sh
# Creates the Wine prefix that the tests run in, once; later runs find it ready.
# $2: the simulated machine's WDFLDR.SYS, put where that machine has it (System32),
# so that a real-shaped driver image loads ordinarily, as on Windows.
set -e
prefix="$1"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  WINEPREFIX="$prefix" WINEDEBUG=-all wineboot -i >"$prefix.boot.log" 2>&1 </dev/null
fi
WINEPREFIX="$prefix" wineserver -w
if [ -n "$2" ]; then cp "$2" "$prefix/drive_c/windows/system32/WDFLDR.SYS"; fi
