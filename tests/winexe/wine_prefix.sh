#!/bin/sh
# wine_prefix.sh PREFIX: makes a fresh Wine prefix at PREFIX for the tests that run the
# Windows binaries under Wine, and waits until Wine has finished setting it up. The Wine that
# runs here is picked by wine_pick.sh (32-bit, or 64-bit where 32-bit code cannot run). Where
# none can run, it says why and leaves the tests to skip themselves with the same reason.
set -eu
prefix="$1"
here="$(dirname "$0")"
. "$here/wine_pick.sh"
if [ -z "$WINE_LOADER" ]; then
    echo "$WINE_WHY: the tests under Wine will be skipped"
    exit 0
fi
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER="$WINE_LOADER"
start=$(date +%s)
"$WINE_LOADER" wineboot --init
"$WINE_SERVER" --wait
echo "Wine prefix $prefix made by the $WINE_BITS-bit Wine in $(( $(date +%s) - start )) s"
