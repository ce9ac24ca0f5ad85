#!/bin/sh
# Runs a Windows program under Wine: quietly, in a prefix of its own, made ready once. Wine's
# server and its services are started apart from the caller, with no stdio of the caller's: a
# test runner would otherwise wait for ever on pipes they hold.
set -e
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
: "${WINEPREFIX:=${XDG_CACHE_HOME:-$HOME/.cache}/blkswap-wine}"
export WINEPREFIX
bin=/usr/lib/wine
if [ ! -x "$bin/wine64" ]; then
  bin=$(dirname "$(dpkg -L wine64 | grep '/wine64$' | head -n 1)")
fi
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/.blkswap-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.blkswap-ready" ]; then
      "$bin/wineserver" -p </dev/null >/dev/null 2>&1 || true
      "$bin/wine64" wineboot -i </dev/null >/dev/null 2>&1
      touch "$WINEPREFIX/.blkswap-ready"
    fi
  ) 9>"$WINEPREFIX/.blkswap-lock"
fi
"$bin/wineserver" -p </dev/null >/dev/null 2>&1 || true
exec "$bin/wine64" "$@"
