#!/bin/sh
# Creates the Wine prefix that the tests run in, once; later runs find it ready.
set -e
prefix="$1"
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  WINEPREFIX="$prefix" WINEDEBUG=-all wineboot -i >"$prefix.boot.log" 2>&1 </dev/null
fi
WINEPREFIX="$prefix" wineserver -w
