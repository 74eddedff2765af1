#!/bin/sh
# check_driver_image.sh IMAGE [ARCH]
#
# Checks a Windows build of murvousb.sys, ARCH x86 (the default; PE32) or amd64 (PE32+): an
# image of the native subsystem, entry point at DriverEntry (_DriverEntry@8 on x86), imports
# only from ntoskrnl.exe, HAL.dll and USBD.SYS, no section that would need a C++ runtime
# (static constructors, TLS), and a version resource carrying the release number of
# common/murvo_version.h. On amd64 also: unwind data for the kernel's stack walks, and only
# 64-bit base relocations (a 32-bit one cannot be applied to an image above 4 GiB).
# Exits 77 (skipped) when the image has not been built.
image="$1"
arch="${2:-x86}"
sources=$(cd "$(dirname "$0")/../.." && pwd)

case $arch in
x86) prefix=i686-w64-mingw32 magic=010b format=pei-i386 entry_symbol=_DriverEntry@8 preset=win32 ;;
amd64) prefix=x86_64-w64-mingw32 magic=020b format=pei-x86-64 entry_symbol=DriverEntry preset=win64 ;;
*) echo "usage: $0 IMAGE [x86|amd64]" >&2; exit 2 ;;
esac
objdump=$prefix-objdump
nm=$prefix-nm
windres=$prefix-windres

if [ ! -f "$image" ]; then
    echo "SKIP: $image not found; build it with: cmake --preset $preset && cmake --build --preset $preset" >&2
    exit 77
fi
if ! command -v "$objdump" >/dev/null 2>&1; then
    echo "SKIP: $objdump not installed" >&2
    exit 77
fi

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

headers=$("$objdump" -p "$image") || { echo "FAIL: $objdump cannot read $image" >&2; exit 1; }

echo "$headers" | grep -q "file format $format\$" || fail "not a $format image"
echo "$headers" | grep -Eq "^Magic[[:space:]]+$magic" || fail "optional header magic is not $magic"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' || fail "subsystem is not NT native"

entry=$(echo "$headers" | awk '$1 == "AddressOfEntryPoint" { print $2 }')
base=$(echo "$headers" | awk '$1 == "ImageBase" { print $2 }')
symbol=$("$nm" "$image" 2>/dev/null | awk -v name="$entry_symbol" '$3 == name { print $1 }')
if [ -z "$symbol" ]; then
    fail "no $entry_symbol symbol in the image"
elif [ $((0x$entry + 0x$base)) -ne $((0x$symbol)) ]; then
    fail "entry point 0x$entry is not DriverEntry (0x$symbol, image base 0x$base)"
fi

dlls=$(echo "$headers" | awk '/DLL Name:/ { print $3 }')
[ -n "$dlls" ] || fail "no imports at all"
for dll in $dlls; do
    case $(echo "$dll" | tr 'A-Z' 'a-z') in
    ntoskrnl.exe | hal.dll | usbd.sys) ;;
    *) fail "imports from $dll" ;;
    esac
done
echo "$dlls" | grep -qi '^ntoskrnl.exe$' || fail "no imports from ntoskrnl.exe"

sections=$("$objdump" -h "$image" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
for section in $sections; do
    case $section in
    .ctors | .dtors | .CRT | .tls | .init_array | .fini_array | .eh_frame | .gcc_except_table)
        fail "section $section needs a runtime the kernel does not have" ;;
    esac
done

if [ "$arch" = amd64 ]; then
    pdata=$(echo "$headers" | awk '$1 == "Entry" && $2 == "3" { print $4 }')
    [ -n "$pdata" ] && [ $((0x$pdata)) -ne 0 ] || fail "no unwind data (empty exception directory)"
    relocations=$(echo "$headers" | awk '$1 == "reloc" { print $NF }' | sort -u)
    for type in $relocations; do
        [ "$type" = DIR64 ] || [ "$type" = ABSOLUTE ] || fail "base relocation of type $type"
    done
fi

# The version resource, as the resource compiler reads it back from the image.
define() { sed -n "s/^#define $1 *//p" "$sources/common/murvo_version.h"; }
version="$(define MURVO_VERSION_MAJOR).$(define MURVO_VERSION_MINOR).$(define MURVO_VERSION_PATCH)"
resources=$("$windres" -J coff -O rc -i "$image" 2>/dev/null) || fail "no resources"
numbers=$(echo "$version" | sed 's/\./, /g')
echo "$resources" | grep -q "^ FILEVERSION $numbers, 0\$" || fail "FILEVERSION is not $version.0"
echo "$resources" | grep -q "^ PRODUCTVERSION $numbers, 0\$" || fail "PRODUCTVERSION is not $version.0"
echo "$resources" | grep -q "^ FILETYPE 0x3\$" || fail "file type is not VFT_DRV"
for value in "FileVersion\", \"$version" "ProductVersion\", \"$version" \
    "CompanyName\", $(define MURVO_COMPANY_NAME)" "ProductName\", $(define MURVO_PRODUCT_NAME)" \
    'OriginalFilename", "murvousb.sys' 'FileDescription", "'; do
    echo "$resources" | grep -qF "VALUE \"$value" || fail "version resource lacks VALUE \"$value"
done

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "murvousb.sys ($arch): $format, native subsystem, entry $entry_symbol, version $version, imports: $(echo $dlls)"
