#!/bin/sh
# Runs a Windows program under Wine in a prefix of the build tree's own,
# creating the prefix once (serialised, since tests may start in parallel).
# Usage: wine-run.sh PREFIX PROGRAM [ARG...]
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all
if command -v wine >/dev/null 2>&1; then
    wine=wine
else
    wine=/usr/lib/wine/wine64
fi
if command -v wineserver >/dev/null 2>&1; then
    wineserver=wineserver
else
    wineserver=/usr/lib/wine/wineserver64
fi
mkdir -p "$prefix"
flock "$prefix/.init-lock" sh -c \
    '[ -f "$WINEPREFIX/system.reg" ] || "$1" wineboot --init >/dev/null 2>&1' sh "$wine"
# One server for a whole run of tests: kept a minute after its last client
# (the default is three seconds), so that a test starting just as the last
# one ended never meets a server on its way out ("recvmsg: Connection reset
# by peer"). With a server already running this returns at once.
"$wineserver" -p60 </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"
