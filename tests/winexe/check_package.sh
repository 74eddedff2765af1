#!/bin/sh
# check_package.sh ZIP CERTIFICATE
#
# Checks the release package that scripts/package made: its name (which says when the USB IDs
# are placeholders) and file list; both drivers (headers, imports, version resource;
# tests/driver/check_driver_image.sh), each in the folder the INF file names for its
# architecture; their signatures, which osslsigncode verifies against CERTIFICATE (PEM) and
# which sign this tree's build of each driver; the catalog murvousb.cat, which osslsigncode
# verifies each driver against (and no longer once a byte of it changed), with the INF file's
# and both drivers' SHA-256 hashes, the Windows versions and the hardware ID; vardel.exe, its
# signature, manifest and version resource; the text for Windows users.
zip="$1"
certificate="$2"
sources=$(cd "$(dirname "$0")/../.." && pwd)

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -f "$zip" ] || { echo "FAIL: $zip not found; make it with ./scripts/package" >&2; exit 1; }
[ -f "$certificate" ] || { echo "FAIL: certificate $certificate not found" >&2; exit 1; }

define() { sed -n "s/^#define $1 *//p" "$sources/common/murvo_version.h"; }
version="$(define MURVO_VERSION_MAJOR).$(define MURVO_VERSION_MINOR).$(define MURVO_VERSION_PATCH)"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked" || { echo "FAIL: cannot unpack $zip" >&2; exit 1; }

# The hardware ID the INF file installs for, and whether it is the placeholder one of
# common/murvo_public.h: then the name and the first line of INSTALL.txt say so.
hardware_id=$(tr -d '\r' <"$unpacked/murvousb.inf" | sed -n 's/^%MurvoUnit.DeviceDesc% = MurvoUsb_Install, //p' | head -1)
placeholder() { sed -n "s/^#define $1 *0x\([0-9A-Fa-f]*\).*/\1/p" "$sources/common/murvo_public.h" | tr a-f A-F; }
placeholder_id="USB\\VID_$(placeholder MURVO_USB_VENDOR_ID)&PID_$(placeholder MURVO_USB_PRODUCT_ID)"
if [ "$hardware_id" = "$placeholder_id" ]; then
    expected_name="murvo-flash-$version-windows-placeholder-ids.zip"
else
    expected_name="murvo-flash-$version-windows.zip"
fi
[ -n "$hardware_id" ] || fail "murvousb.inf names no hardware ID"
[ "$(basename "$zip")" = "$expected_name" ] || fail "$zip is not named $expected_name (hardware ID $hardware_id)"

# The file list: these and nothing else.
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
expected="INSTALL.txt amd64/murvousb.sys murvousb.cat murvousb.inf vardel.exe x86/murvousb.sys "
[ "$listed" = "$expected" ] || fail "the package holds: $listed; expected: $expected"

# The catalog's text: its member tags (hashes in hexadecimal) and the values of its
# name-value attributes are UTF-16LE strings in the DER, the names BMPStrings (UTF-16BE).
catalog_tags() { strings -e l -n 40 "$unpacked/murvousb.cat" | grep -E '^[0-9A-F]{40}([0-9A-F]{24})?$'; }
catalog_text() { strings -e l -n 2 "$unpacked/murvousb.cat"; }
if [ -f "$unpacked/murvousb.cat" ]; then
    cat_verified=$(osslsigncode verify -in "$unpacked/murvousb.cat" -CAfile "$certificate" 2>&1)
    echo "$cat_verified" | grep -q '^Succeeded$' || fail "the signature of murvousb.cat does not verify"
    inf_sha256=$(sha256sum <"$unpacked/murvousb.inf" | cut -c1-64 | tr a-f A-F)
    catalog_tags | grep -qx "$inf_sha256" || fail "murvousb.cat lacks the SHA-256 hash of murvousb.inf"
    [ "$(catalog_tags | wc -l)" -eq 6 ] || fail "murvousb.cat holds $(catalog_tags | wc -l) members, not 3 files by SHA-1 and SHA-256"
    for name in File OSAttr OS HWID1; do
        strings -e b -n 2 "$unpacked/murvousb.cat" | grep -qx "$name" || fail "murvousb.cat has no attribute $name"
    done
    for text in "2:6.1,2:6.2,2:6.3,2:10.0" "7X86,7X64,8X86,8X64,_v63,_v63_X64,_v100,_v100_X64" \
        "$(echo "$hardware_id" | tr A-Z a-z)" murvousb.inf x86/murvousb.sys amd64/murvousb.sys; do
        catalog_text | grep -qxF "$text" || fail "murvousb.cat does not carry '$text'"
    done
fi

# The build's INF file, unchanged; for each architecture the folder named in its
# SourceDisksNames section holds that architecture's driver.
cmp -s "$unpacked/murvousb.inf" "$sources/build/win32/bin/murvousb.inf" || fail "murvousb.inf is not the build's"
folder_of() {
    tr -d '\r' <"$unpacked/murvousb.inf" | awk -v section="[sourcedisksnames.$1]" '
        /^\[/ { inside = (tolower($0) == section) }
        inside && /^1 *=/ { split($0, fields, ","); print fields[4] }' | sed 's/^\\//'
}
for arch in x86 amd64; do
    case $arch in x86) preset=win32 ;; amd64) preset=win64 ;; esac
    folder=$(folder_of $arch)
    driver="$unpacked/$folder/murvousb.sys"
    if [ -z "$folder" ] || [ ! -f "$driver" ]; then
        fail "the INF file takes the $arch driver from '$folder', which the package lacks"
        continue
    fi
    sh "$sources/tests/driver/check_driver_image.sh" "$driver" $arch >/dev/null || fail "$folder/murvousb.sys is no sound $arch driver"

    verified=$(osslsigncode verify -in "$driver" -CAfile "$certificate" 2>&1)
    echo "$verified" | grep -q '^Signature verification: ok$' && echo "$verified" | grep -q '^Succeeded$' ||
        fail "the signature of $folder/murvousb.sys does not verify: $(echo "$verified" | grep -iE 'error|fail' | head -3)"

    # The catalog: osslsigncode finds the driver's Authenticode hash in it and verifies its
    # signature; a copy of the driver with one byte changed is no longer found. The SHA-256
    # member (osslsigncode takes the first that matches, the SHA-1 one) is the driver's
    # SHA-256 Authenticode hash as osslsigncode computes it.
    in_catalog=$(osslsigncode verify -catalog "$unpacked/murvousb.cat" -in "$driver" -CAfile "$certificate" 2>&1)
    echo "$in_catalog" | grep -q '^Signature verification: ok$' && echo "$in_catalog" | grep -q '^Succeeded$' ||
        fail "murvousb.cat does not verify $folder/murvousb.sys: $(echo "$in_catalog" | grep -iE 'error|fail' | head -3)"
    cp "$driver" "$unpacked/changed.sys"
    byte=$(od -An -tu1 -j1100 -N1 "$driver" | tr -d ' ')
    printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$unpacked/changed.sys" bs=1 seek=1100 conv=notrunc 2>/dev/null
    if osslsigncode verify -catalog "$unpacked/murvousb.cat" -in "$unpacked/changed.sys" -CAfile "$certificate" >/dev/null 2>&1; then
        fail "murvousb.cat still verifies $folder/murvousb.sys after a byte of it changed"
    fi
    rm -f "$unpacked/changed.sys"
    sha256=$(echo "$verified" | sed -n 's/^Calculated message digest *: *\([0-9A-F]*\) *$/\1/p' | head -1)
    [ ${#sha256} -eq 64 ] && catalog_tags | grep -qx "$sha256" ||
        fail "murvousb.cat lacks the SHA-256 hash of $folder/murvousb.sys ($sha256)"

    # Without its signature the driver is the build's, but for the image checksum, which covers
    # the file's length, and the zero bytes that align the signature to eight.
    built="$sources/build/$preset/bin/murvousb.sys"
    osslsigncode remove-signature -in "$driver" -out "$unpacked/unsigned.sys" >/dev/null 2>&1 ||
        fail "cannot take the signature off $folder/murvousb.sys"
    if [ -f "$built" ] && [ -f "$unpacked/unsigned.sys" ]; then
        pe=$(od -An -tu4 -j60 -N4 "$built" | tr -d ' ')
        size=$(wc -c <"$built")
        padding=$(( $(wc -c <"$unpacked/unsigned.sys") - size ))
        differing=$(head -c "$size" "$unpacked/unsigned.sys" | cmp -l - "$built" |
            awk -v low=$((pe + 89)) -v high=$((pe + 92)) '$1 < low || $1 > high' | wc -l)
        tail_bytes=$(tail -c "$padding" "$unpacked/unsigned.sys" | od -An -tx1 | tr -d ' 0\n')
        [ "$differing" -eq 0 ] && [ "$padding" -ge 0 ] && [ "$padding" -lt 8 ] && [ -z "$tail_bytes" ] ||
            fail "$folder/murvousb.sys does not sign build/$preset/bin/murvousb.sys"
    fi
    rm -f "$unpacked/unsigned.sys"
done

# vardel.exe: the 32-bit console program, signed, with its manifest (run as the invoker, the
# Windows versions it supports) and the release in its version resource.
exe="$unpacked/vardel.exe"
if [ -f "$exe" ]; then
    verified=$(osslsigncode verify -in "$exe" -CAfile "$certificate" 2>&1)
    echo "$verified" | grep -q '^Succeeded$' || fail "the signature of vardel.exe does not verify"
    osslsigncode remove-signature -in "$exe" -out "$unpacked/unsigned.exe" >/dev/null 2>&1 ||
        fail "cannot take the signature off vardel.exe"
    built="$sources/build/win32/bin/vardel.exe"
    size=$(wc -c <"$built")
    pe=$(od -An -tu4 -j60 -N4 "$built" | tr -d ' ')
    differing=$(head -c "$size" "$unpacked/unsigned.exe" | cmp -l - "$built" |
        awk -v low=$((pe + 89)) -v high=$((pe + 92)) '$1 < low || $1 > high' | wc -l)
    [ "$differing" -eq 0 ] || fail "vardel.exe does not sign the win32 build's"
    rm -f "$unpacked/unsigned.exe"
    manifest=$(strings -n 8 "$exe")
    for part in 'requestedExecutionLevel level="asInvoker"' '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' \
        '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}' '{1f676c76-80e1-4239-95bb-83d0f6d0da78}' \
        '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'; do
        echo "$manifest" | grep -qF "$part" || fail "vardel.exe's manifest lacks $part"
    done
    i686-w64-mingw32-objdump -p "$exe" | grep -q '(Windows CUI)' || fail "vardel.exe is not a console program"
    i686-w64-mingw32-windres -J coff -O rc -i "$exe" | grep -qF "VALUE \"FileVersion\", \"$version\"" ||
        fail "vardel.exe's version resource does not carry $version"
fi

# The text for Windows users: Windows line ends, the release filled in.
text="$unpacked/INSTALL.txt"
if [ -f "$text" ]; then
    [ "$(tr -cd '\n' <"$text" | wc -c)" -eq "$(tr -cd '\r' <"$text" | wc -c)" ] || fail "INSTALL.txt has lines without CR LF"
    grep -q "@" "$text" && fail "INSTALL.txt has an unreplaced template variable"
    first=$(head -1 "$text" | tr -d '\r')
    if [ "$hardware_id" = "$placeholder_id" ]; then
        case "$first" in
        "WARNING: PLACEHOLDER USB IDs ("*) ;;
        *) fail "INSTALL.txt does not begin with the placeholder warning: $first" ;;
        esac
        head -2 "$text" | tail -1 | grep -qF "$version" || fail "INSTALL.txt does not name release $version"
    else
        echo "$first" | grep -qF "$version" || fail "INSTALL.txt does not name release $version"
    fi
    grep -qF "$hardware_id" "$text" || fail "INSTALL.txt does not name the hardware ID $hardware_id"
    # Each reason vardel gives for an open that failed, and the Device Manager codes.
    for reason in "No MURVO unit found" "Access to the MURVO unit denied" "The MURVO unit is in use by another" \
        "The MURVO unit could not be opened" "code 52" "code 10" "pnputil /add-driver murvousb.inf /install" \
        "pnputil -i -a murvousb.inf" "bcdedit /set testsigning on"; do
        tr -d '\r' <"$text" | grep -qF "$reason" || fail "INSTALL.txt does not mention '$reason'"
    done
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "$(basename "$zip"): $(echo $listed); both drivers and vardel.exe signed and verified; the catalog verified against both drivers; release $version, $hardware_id"
