#!/usr/bin/env bash
# Runs a Windows test program under Wine with a private prefix in the build tree.
#   wine-run.sh WINE_LOADER PROGRAM [ARGS...]
# WINE_LOADER is /usr/lib/wine/wine64 for the win64 build and /usr/lib/wine/wine (32-bit Wine,
# from wine32:i386) for the win32 build; both share one 64-bit (WoW64) prefix layout.
# MOBILEINFO_WINEPREFIX overrides the prefix (the test command sets it per build directory).
set -u
loader=$1
shift
prefix=${MOBILEINFO_WINEPREFIX:-$(pwd)/wineprefix}
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec "$loader" "$@"
