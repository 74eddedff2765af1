#!/bin/sh
# check_driver_image.sh IMAGE [OBJDUMP] [NM]
#
# Checks the Windows build of murvousb.sys: a PE32 image of the native subsystem, entry
# point at DriverEntry (stdcall, _DriverEntry@8), imports only from ntoskrnl.exe, HAL.dll
# and USBD.SYS, and no section that would need a C++ runtime (static constructors, TLS).
# Exits 77 (skipped) when the image has not been built.
image="$1"
objdump="${2:-i686-w64-mingw32-objdump}"
nm="${3:-i686-w64-mingw32-nm}"

if [ ! -f "$image" ]; then
    echo "SKIP: $image not found; build it with: cmake --preset win32 && cmake --build build/win32" >&2
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

echo "$headers" | grep -Eq '^Magic[[:space:]]+010b' || fail "not a PE32 image"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+0*1[[:space:]]' || fail "subsystem is not NT native"

entry=$(echo "$headers" | awk '$1 == "AddressOfEntryPoint" { print $2 }')
base=$(echo "$headers" | awk '$1 == "ImageBase" { print $2 }')
symbol=$("$nm" "$image" 2>/dev/null | awk '$3 == "_DriverEntry@8" { print $1 }')
if [ -z "$symbol" ]; then
    fail "no _DriverEntry@8 symbol in the image"
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

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "murvousb.sys: PE32, native subsystem, entry DriverEntry, imports: $(echo $dlls)"
