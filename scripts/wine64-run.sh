#!/bin/sh
# wine64-run.sh PREFIX prog.exe [args]
# Runs a 64-bit Windows program headless in the Wine prefix PREFIX.
prefix=$1
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WINEARCH
exec /usr/lib/wine/wine64 "$@"
