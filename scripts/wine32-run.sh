#!/bin/sh
# wine32-run.sh WINE32_DIR PREFIX prog.exe [args]
# Runs a 32-bit Windows program headless with the private 32-bit Wine that
# setup-wine32.sh prepared in WINE32_DIR, in the Wine prefix PREFIX.
wine32=$1
export WINEPREFIX=$2
shift 2
exec "$wine32/wine32-run" "$@"
