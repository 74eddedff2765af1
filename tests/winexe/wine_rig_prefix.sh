#!/bin/sh
# wine_rig_prefix.sh PREFIX SOURCE_DIR [TEST_WINE_RECORD]: makes a fresh Wine prefix at PREFIX with
# the Wine rig installed: murvousb.inf and murvousb.sys, then the rig's bus murvorig, each
# through Wine's INF installer (rigctl install), from a folder C:\rig laid out as the release
# package is (the driver in x86\ or amd64\), with the Windows build that this machine's Wine
# runs (wine_pick.sh: build/win32, or build/win64 under a 64-bit Wine).
# The package's own INF file, catalog and signed driver are taken from the package's folder
# (build/package/stage, which scripts/package fills before the tests run); without a package,
# the build's files and an empty catalog (Wine's INF installer refuses an INF file whose
# catalog is missing, but does not check it).
# With TEST_WINE_RECORD (wine_test_build.sh's record, whose file "dir" names the folder
# scripts/wine-test-build made, when it was made), that build's ntoskrnl.exe is put
# in system32 as a native DLL (the "Wine builtin DLL" mark at 0x40 cleared, or the driver host
# never comes up); sessions that ask for it (WINEDLLOVERRIDES ntoskrnl.exe=n, with the test
# build's server) load it, the others keep Wine's own.
set -eu
prefix="$1"
source_dir="$2"
test_wine=""
if [ -n "${3:-}" ] && [ -f "$3/dir" ]; then
    test_wine=$(cat "$3/dir")
fi
here="$(dirname "$0")"
"$here/wine_prefix.sh" "$prefix"
if [ ! -d "$prefix/drive_c" ]; then
    exit 0 # Wine cannot run here; wine_prefix.sh said why
fi
. "$here/wine_pick.sh"
bin="$source_dir/build/win$WINE_BITS/bin"
arch=x86
[ "$WINE_BITS" = 64 ] && arch=amd64
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER="$WINE_LOADER"
rig="$prefix/drive_c/rig"
mkdir -p "$rig/$arch"
cp "$bin/murvousb.inf" "$bin/vardel.exe" "$bin/winerig/murvorig.inf" "$bin/winerig/murvorig.sys" \
   "$bin/winerig/rigctl.exe" "$rig/"
# The INF file takes each architecture's driver from its own folder ([SourceDisksNames.x86]);
# Wine 8's installer reads only the undecorated sections and looks for it beside the INF file.
package="$source_dir/build/package/stage"
if [ -f "$package/murvousb.cat" ] && [ -f "$package/$arch/murvousb.sys" ]; then
    cp "$package/murvousb.inf" "$package/murvousb.cat" "$rig/"
    cp "$package/$arch/murvousb.sys" "$rig/$arch/"
    cp "$package/$arch/murvousb.sys" "$rig/"
else
    cp "$bin/murvousb.sys" "$rig/$arch/"
    cp "$bin/murvousb.sys" "$rig/"
    : > "$rig/murvousb.cat"
fi
if [ -n "$test_wine" ]; then
    if [ "$WINE_BITS" = 64 ]; then kernel="$test_wine/x86_64/ntoskrnl.exe"; else kernel="$test_wine/i386/ntoskrnl.exe"; fi
    if [ -f "$kernel" ]; then
        system32="$prefix/drive_c/windows/system32"
        cp "$kernel" "$system32/ntoskrnl.exe"
        dd if=/dev/zero of="$system32/ntoskrnl.exe" bs=1 seek=64 count=16 conv=notrunc 2>/dev/null
        echo "the test build's ntoskrnl.exe is in system32 for the sessions that ask for it"
    fi
fi
start=$(date +%s)
"$WINE_SERVER" --persistent
"$WINE_LOADER" 'C:\rig\rigctl.exe' install 'C:\rig'
# The bus reports the unit once it has started, and Wine installs murvousb for it only then:
# the session ends once the unit's interface is there, not before (a session ended half way
# through the unit's installation leaves a prefix in which murvousb never loads).
found=no
for _ in $(seq 120); do
    if "$WINE_LOADER" 'C:\rig\rigctl.exe' probe 2>/dev/null | grep -q '^interface: \\'; then
        found=yes
        break
    fi
    sleep 0.5
done
"$WINE_SERVER" --kill || true
"$WINE_SERVER" --wait
if [ "$found" != yes ]; then
    echo "the unit's interface did not appear after the rig was installed" >&2
    exit 1
fi
echo "Wine rig installed by the $WINE_BITS-bit Wine in $(( $(date +%s) - start )) s"
