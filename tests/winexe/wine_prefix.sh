#!/bin/sh
# wine_prefix.sh PREFIX: makes a fresh Wine prefix at PREFIX for the tests that run the
# Windows binaries under Wine, and waits until Wine has finished setting it up. Where Wine
# cannot run, it says why and leaves the tests to skip themselves with the same reason.
set -eu
prefix="$1"
if ! command -v wine >/dev/null 2>&1; then
    echo "wine is not installed: the tests under Wine will be skipped"
    exit 0
fi
# The 32-bit loader itself must start: wineserver may be the 64-bit one (wine64 installed).
if ! wine --version >/dev/null 2>&1; then
    echo "this machine's kernel does not run 32-bit x86 programs: the tests under Wine will be skipped"
    exit 0
fi
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
start=$(date +%s)
wineboot --init
wineserver --wait
echo "Wine prefix $prefix made in $(( $(date +%s) - start )) s"
