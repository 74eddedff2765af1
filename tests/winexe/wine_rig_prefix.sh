#!/bin/sh
# wine_rig_prefix.sh PREFIX WIN32_BIN: makes a fresh Wine prefix at PREFIX with the Wine rig
# installed: murvousb.inf and murvousb.sys, then the rig's bus murvorig, each through Wine's
# INF installer (rigctl install), from a folder C:\rig laid out as the release package is
# (the driver in x86\). The package's own INF file, catalog and signed x86 driver are taken
# from the package's folder (build/package/stage, which scripts/package fills before the
# tests run); without a package, the win32 build's files and an empty catalog (Wine's INF
# installer refuses an INF file whose catalog is missing, but does not check it).
set -eu
prefix="$1"
bin="$2"
here="$(dirname "$0")"
"$here/wine_prefix.sh" "$prefix"
if [ ! -d "$prefix/drive_c" ]; then
    exit 0 # Wine cannot run here; wine_prefix.sh said why
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rig="$prefix/drive_c/rig"
mkdir -p "$rig/x86"
cp "$bin/murvousb.inf" "$bin/vardel.exe" "$bin/winerig/murvorig.inf" "$bin/winerig/murvorig.sys" \
   "$bin/winerig/rigctl.exe" "$rig/"
# The INF file takes each architecture's driver from its own folder ([SourceDisksNames.x86]);
# Wine 8's installer reads only the undecorated sections and looks for it beside the INF file.
package="$here/../../build/package/stage"
if [ -f "$package/murvousb.cat" ] && [ -f "$package/x86/murvousb.sys" ]; then
    cp "$package/murvousb.inf" "$package/murvousb.cat" "$rig/"
    cp "$package/x86/murvousb.sys" "$rig/x86/"
    cp "$package/x86/murvousb.sys" "$rig/"
else
    cp "$bin/murvousb.sys" "$rig/x86/"
    cp "$bin/murvousb.sys" "$rig/"
    : > "$rig/murvousb.cat"
fi
start=$(date +%s)
wineserver --persistent
wine 'C:\rig\rigctl.exe' install 'C:\rig'
# The bus reports the unit once it has started, and Wine installs murvousb for it only then:
# the session ends once the unit's interface is there, not before (a session ended half way
# through the unit's installation leaves a prefix in which murvousb never loads).
found=no
for _ in $(seq 120); do
    if wine 'C:\rig\rigctl.exe' probe 2>/dev/null | grep -q '^interface: \\'; then
        found=yes
        break
    fi
    sleep 0.5
done
wineserver --kill || true
wineserver --wait
if [ "$found" != yes ]; then
    echo "the unit's interface did not appear after the rig was installed" >&2
    exit 1
fi
echo "Wine rig installed in $(( $(date +%s) - start )) s"
