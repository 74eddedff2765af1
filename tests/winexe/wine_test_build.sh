#!/bin/sh
# wine_test_build.sh SOURCE_DIR OUT: makes (or finds in its cache) the test build of Wine with
# scripts/wine-test-build and leaves in OUT either "dir", the build's folder, or "why", the
# reason it could not be made, which the tests quote when they skip. Where no Wine runs at all
# there is nothing to build for.
set -u
source_dir="$1"
out="$2"
here="$(dirname "$0")"
rm -rf "$out"
mkdir -p "$out"
. "$here/wine_pick.sh"
if [ -z "$WINE_LOADER" ]; then
    echo "$WINE_WHY" >"$out/why"
    echo "$WINE_WHY: no test build of Wine is made"
    exit 0
fi
start=$(date +%s)
status=0
"$source_dir/scripts/wine-test-build" >"$out/stdout" 2>"$out/stderr" || status=$?
reason=$(tail -n 1 "$out/stderr")
case $status in
0)
    tail -n 1 "$out/stdout" >"$out/dir"
    echo "test build of Wine: $(cat "$out/dir") ($(( $(date +%s) - start )) s)"
    ;;
2)
    # It cannot be made on this machine: the tests that need it skip, saying why.
    echo "the test build of Wine cannot be made here: $reason" >"$out/why"
    cat "$out/why"
    ;;
*)
    # It went wrong: the tests that need it must not pass quietly.
    echo "the test build of Wine failed: ${reason:-scripts/wine-test-build exited with $status}" >"$out/why"
    cat "$out/why" >&2
    exit 1
    ;;
esac
exit 0
