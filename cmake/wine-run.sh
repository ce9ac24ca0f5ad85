#!/bin/sh
# Runs a Windows program under Wine: quietly, in a prefix of its own, made ready once. Wine's
# server and its services are started apart from the caller, with no stdio of the caller's: a
# test runner would otherwise wait for ever on pipes they hold. "wine-run.sh --stop" ends the
# server.
set -e
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/blkswap-wine}"
export WINEPREFIX
bin=/usr/lib/wine
if [ ! -x "$bin/wine64" ]; then
  bin=$(dirname "$(dpkg -L wine64 | grep '/wine64$' | head -n 1)")
fi
if [ "${1:-}" = --stop ]; then
  "$bin/wineserver" -k </dev/null >/dev/null 2>&1 || true
  exit 0
fi
mkdir -p "$WINEPREFIX"
# One caller at a time makes the prefix, or starts the server and the services it runs, each
# with no stdio of the caller's: a service started by the program itself would keep the
# caller's pipes (or this lock) open, and whoever waits on them would wait for ever.
(
  flock 9
  if [ ! -f "$WINEPREFIX/.blkswap-ready" ]; then
    "$bin/wineserver" -p </dev/null >/dev/null 2>&1 9>&- || true
    "$bin/wine64" wineboot -i </dev/null >/dev/null 2>&1 9>&-
    touch "$WINEPREFIX/.blkswap-ready"
  elif "$bin/wineserver" -p </dev/null >/dev/null 2>&1 9>&-; then
    "$bin/wine64" wineboot </dev/null >/dev/null 2>&1 9>&-
  fi
) 9>"$WINEPREFIX/.blkswap-lock"
exec "$bin/wine64" "$@"
