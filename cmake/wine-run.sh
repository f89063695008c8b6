#!/usr/bin/env bash
# Runs a win64 test program under 64-bit Wine with a private prefix in the build tree.
# MOBILEINFO_WINEPREFIX overrides the prefix (the test command sets it per build directory).
set -u
prefix=${MOBILEINFO_WINEPREFIX:-$(pwd)/wineprefix}
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec /usr/lib/wine/wine64 "$@"
