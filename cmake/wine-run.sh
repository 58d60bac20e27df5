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
mkdir -p "$prefix"
flock "$prefix/.init-lock" sh -c \
    '[ -f "$WINEPREFIX/system.reg" ] || "$1" wineboot --init >/dev/null 2>&1' sh "$wine"
exec "$wine" "$@"
