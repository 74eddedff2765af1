#!/usr/bin/env bash
# cmake --install of the libusb build into a scratch root: vardel and the udev rule land
# where they belong, and the rule names the unit's IDs as sysfs spells them (four lower-case
# hexadecimal digits) with the uaccess tag. The vardel installed was linked from nothing
# under host/ (the stand-in of Windows for the tests): its link map names no object or archive
# there, and does name the tool's own objects and the console of posix/.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" --prefix /usr/local >/dev/null
fail() { echo "check_install: $*" >&2; exit 1; }

[ -x "$root/usr/local/bin/vardel" ] || fail "vardel is not installed in /usr/local/bin"
rule="$root/etc/udev/rules.d/70-murvo.rules"
[ -f "$rule" ] || fail "the udev rule is not installed in /etc/udev/rules.d"

# The IDs are the build's settings (its CMake cache).
id_of() { sed -n "s/^$1:STRING=0x\([0-9A-Fa-f]*\)$/\1/p" "$build/CMakeCache.txt" | tr 'A-F' 'a-f'; }
vid=$(printf '%04x' "0x$(id_of MURVO_USB_VENDOR_ID)")
pid=$(printf '%04x' "0x$(id_of MURVO_USB_PRODUCT_ID)")
line=$(grep -v '^#' "$rule" | grep -v '^$')
[ "$(printf '%s\n' "$line" | wc -l)" = 1 ] || fail "the rule file should hold one rule: $line"
for part in 'SUBSYSTEM=="usb"' "ATTR{idVendor}==\"$vid\"" "ATTR{idProduct}==\"$pid\"" 'TAG+="uaccess"'; do
  case "$line" in
    *"$part"*) ;;
    *) fail "the rule lacks $part: $line" ;;
  esac
done
map="$build/vardel.map"
[ -f "$map" ] || fail "no link map of vardel: $map"
grep -q 'vardel_main\.cpp\.o' "$map" || fail "$map is not the link map of vardel"
grep -q 'posix/libmurvo_posix\.a(console\.cpp\.o)' "$map" || fail "vardel's console is not the one of posix/"
from_host=$(grep -oE '(^|[ /(])host/[^ ()]*\.(a|o)' "$map" | sed 's/^[ /(]//' | sort -u || true)
[ -z "$from_host" ] || fail "vardel links from host/: $(printf '%s ' $from_host)"

echo "check_install: vardel and 70-murvo.rules installed; the rule matches $vid:$pid"
