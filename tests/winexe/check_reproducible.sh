#!/bin/sh
# check_reproducible.sh
#
# Makes the release package twice from this tree's files: here, and in a copy of the tree in
# another folder, where both presets are built afresh. Both runs sign with the same
# certificate and SOURCE_DATE_EPOCH; the two archives must be the same bytes. When they are
# not, the files that differ are named.
set -eu
sources=$(cd "$(dirname "$0")/../.." && pwd)
cd "$sources"

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT

echo "reproducible: the package here"
SOURCE_DATE_EPOCH=$epoch ./scripts/package >/dev/null

echo "reproducible: the package from a copy in $copy/tree"
mkdir -p "$copy/tree/build/package"
git ls-files -z --cached --others --exclude-standard |
    tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null | tar -xf - -C "$copy/tree"
if [ -d build/package/test-signing ]; then
    cp -r build/package/test-signing "$copy/tree/build/package/"
fi
(cd "$copy/tree" && SOURCE_DATE_EPOCH=$epoch ./scripts/package >/dev/null)

name=$(cd dist && ls murvo-flash-*-windows*.zip)
if cmp -s "dist/$name" "$copy/tree/dist/$name"; then
    echo "reproducible: $name is the same in both ($(wc -c <"dist/$name") bytes, sha256 $(sha256sum <"dist/$name" | cut -c1-16)...)"
    exit 0
fi
echo "FAIL: the two builds of $name differ" >&2
mkdir "$copy/first" "$copy/second"
unzip -q "dist/$name" -d "$copy/first"
unzip -q "$copy/tree/dist/$name" -d "$copy/second"
if diff -r -q "$copy/first" "$copy/second" >&2; then
    echo "  the files are the same: the archive's entries (times, order, attributes) differ" >&2
fi
for preset in win32 win64; do
    for file in build/$preset/bin/*; do
        cmp -s "$file" "$copy/tree/$file" || echo "  and the builds' $file differ" >&2
    done
done
exit 1
