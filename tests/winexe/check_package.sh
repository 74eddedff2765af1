#!/bin/sh
# check_package.sh ZIP CERTIFICATE
#
# Checks the release package that scripts/package made: its name and file list; both drivers
# (headers, imports, version resource; tests/driver/check_driver_image.sh), each in the folder
# the INF file names for its architecture; their signatures, which osslsigncode verifies
# against CERTIFICATE (PEM) and which sign this tree's build of each driver; vardel.exe and its
# version resource; the text for Windows users.
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
[ "$(basename "$zip")" = "murvo-flash-$version-windows.zip" ] || fail "$zip is not named for release $version"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked" || { echo "FAIL: cannot unpack $zip" >&2; exit 1; }

# The file list: these and nothing else.
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
expected="INSTALL.txt amd64/murvousb.sys murvousb.inf vardel.exe x86/murvousb.sys "
[ "$listed" = "$expected" ] || fail "the package holds: $listed; expected: $expected"

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

# vardel.exe: the 32-bit console program, with the release in its version resource.
exe="$unpacked/vardel.exe"
if [ -f "$exe" ]; then
    cmp -s "$exe" "$sources/build/win32/bin/vardel.exe" || fail "vardel.exe is not the win32 build's"
    i686-w64-mingw32-objdump -p "$exe" | grep -q '(Windows CUI)' || fail "vardel.exe is not a console program"
    i686-w64-mingw32-windres -J coff -O rc -i "$exe" | grep -qF "VALUE \"FileVersion\", \"$version\"" ||
        fail "vardel.exe's version resource does not carry $version"
fi

# The text for Windows users: Windows line ends, the release filled in.
text="$unpacked/INSTALL.txt"
if [ -f "$text" ]; then
    [ "$(tr -cd '\n' <"$text" | wc -c)" -eq "$(tr -cd '\r' <"$text" | wc -c)" ] || fail "INSTALL.txt has lines without CR LF"
    grep -q "@" "$text" && fail "INSTALL.txt has an unreplaced template variable"
    head -1 "$text" | grep -qF "$version" || fail "INSTALL.txt does not name release $version"
fi

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "$(basename "$zip"): $(echo $listed); both drivers signed and verified; release $version"
