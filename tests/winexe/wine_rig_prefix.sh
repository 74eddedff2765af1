#!/bin/sh
# wine_rig_prefix.sh PREFIX WIN32_BIN: makes a fresh Wine prefix at PREFIX with the Wine rig
# installed: murvousb.inf and murvousb.sys, then the rig's bus murvorig, each through Wine's
# INF installer (rigctl install), from a folder C:\rig laid out as the release package is
# (the driver in x86\) with the win32 build's files.
# Wine's INF installer refuses an INF file whose catalog is missing, and murvousb.cat is only
# made when the driver is signed, so the folder gets an empty one.
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
cp "$bin/murvousb.sys" "$rig/x86/"
cp "$bin/murvousb.sys" "$rig/"
: > "$rig/murvousb.cat"
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
