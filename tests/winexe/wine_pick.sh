# wine_pick.sh - sourced by the Wine tests' scripts (and asked by wine_support.cpp): which Wine
# runs Windows programs on this machine. Sets
#   WINE_LOADER  the loader that starts a program (/usr/lib/wine/wine or .../wine64), or empty
#   WINE_SERVER  the distribution's server beside it
#   WINE_BITS    32 or 64: which build of the Windows binaries runs (build/win32 or build/win64)
#   WINE_WHY     why no Wine runs here, empty when one does
# A machine that runs 32-bit code takes the 32-bit Wine, as the release's binaries are 32-bit
# (the drivers both); a machine that cannot (some hypervisors refuse 32-bit code: the loader
# fails with "Exec format error") takes Debian's wine64 and the 64-bit builds.
WINE_LOADER=""
WINE_SERVER=""
WINE_BITS=""
WINE_WHY=""
wine_dir="${MURVO_WINE_DIR:-/usr/lib/wine}"
if [ -x "$wine_dir/wine" ] && "$wine_dir/wine" --version >/dev/null 2>&1; then
    WINE_LOADER="$wine_dir/wine"
    WINE_BITS=32
elif [ -x "$wine_dir/wine64" ] && "$wine_dir/wine64" --version >/dev/null 2>&1; then
    WINE_LOADER="$wine_dir/wine64"
    WINE_BITS=64
elif [ -x "$wine_dir/wine" ] || [ -x "$wine_dir/wine64" ]; then
    WINE_WHY="Wine is installed, but neither its 32-bit loader runs here (this machine's kernel does not run 32-bit x86 programs) nor a 64-bit one (install wine64)"
else
    WINE_WHY="wine is not installed, and scripts/install-deps could not install it here"
fi
if [ -n "$WINE_LOADER" ]; then
    if [ -x "$wine_dir/wineserver$WINE_BITS" ]; then
        WINE_SERVER="$wine_dir/wineserver$WINE_BITS"
    else
        WINE_SERVER="$wine_dir/wineserver"
    fi
fi
