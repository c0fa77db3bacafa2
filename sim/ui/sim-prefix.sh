#!/bin/sh
# sim-prefix.sh setup|stop <template prefix> <prefix>
# setup: the prefix becomes a fresh copy of the template (never hard links:
# Wine rewrites its registry files in place). stop: its wineserver ends.
set -e
action="$1" template="$2" prefix="$3"
stop() {
  if [ -d "$prefix" ]; then
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1 || true
  fi
}
case "$action" in
  setup)
    stop
    # Processes of the old copy may still be leaving it.
    for try in 1 2 3 4 5; do
      rm -rf "$prefix" 2>/dev/null && break
      sleep 1
    done
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    cp -a "$template" "$prefix" ;;
  stop) stop ;;
  *) echo "usage: $0 setup|stop <template prefix> <prefix>" >&2; exit 2 ;;
esac
