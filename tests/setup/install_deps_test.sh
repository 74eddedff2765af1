#!/bin/sh
# install_deps_test.sh SCRIPT: runs scripts/install-deps against fakes of apt-get, dpkg-query,
# dpkg and sudo placed first on PATH, and checks for each case the apt commands called, in
# order, the exit status and what the script says.
#
# The fakes log one line per apt call: "update", or "install" with "-t CODENAME" when a
# target release was given and "wine" or "no-wine" for whether Wine was among the packages.
# FAKE_UPDATE_FAILURES: how many apt-get updates fail (with a failed index) before one works.
# FAKE_INSTALL: ok | needs-target (held broken packages unless -t is given) | no-wine (any
# install holding Wine fails) | no-wine32 (any install holding the 32-bit Wine fails).
# FAKE_INSTALLED: all | none.
set -u
script="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"

cat > "$work/bin/apt-get" <<'FAKE'
#!/bin/sh
log="$FAKE_DIR/calls"
case " $* " in
*" update "*)
    count=$(cat "$FAKE_DIR/updates" 2>/dev/null || echo 0)
    echo $((count + 1)) > "$FAKE_DIR/updates"
    echo update >> "$log"
    if [ "$count" -lt "${FAKE_UPDATE_FAILURES:-0}" ]; then
        echo "E: Failed to fetch http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi
    exit 0 ;;
*" install "*)
    target=""
    case " $* " in *" -t bookworm "*) target=" -t bookworm" ;; esac
    wine=no-wine
    case " $* " in *" wine"*) wine=wine ;; esac
    echo "install$target $wine" >> "$log"
    case "${FAKE_INSTALL:-ok}" in
    needs-target)
        if [ -z "$target" ]; then
            echo "E: Unable to correct problems, you have held broken packages." >&2
            exit 100
        fi ;;
    no-wine)
        if [ "$wine" = wine ]; then
            echo "E: Package 'wine32:i386' has no installation candidate" >&2
            exit 100
        fi ;;
    no-wine32)
        case " $* " in *" wine32:i386 "*)
            echo "E: Package 'wine32:i386' has no installation candidate" >&2
            exit 100 ;;
        esac ;;
    esac
    exit 0 ;;
esac
echo "fake apt-get: unexpected call: $*" >&2
exit 1
FAKE

cat > "$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
if [ "${FAKE_INSTALLED:-none}" = all ]; then
    printf 'install ok installed'
    exit 0
fi
exit 1
FAKE

cat > "$work/bin/dpkg" <<'FAKE'
#!/bin/sh
case "$1" in
--print-architecture) echo amd64 ;;
--print-foreign-architectures) [ -f "$FAKE_DIR/i386" ] && echo i386 ;;
--add-architecture) echo "add-architecture $2" >> "$FAKE_DIR/calls"; touch "$FAKE_DIR/i386" ;;
esac
exit 0
FAKE

printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
chmod +x "$work/bin/"*
printf 'ID=debian\nVERSION_CODENAME=bookworm\n' > "$work/os-release"

failures=0
# check NAME EXPECTED_STATUS EXPECTED_CALLS EXPECTED_TEXT [VAR=VALUE ...]
check() {
    name="$1" want_status="$2" want_calls="$3" want_text="$4"
    shift 4
    dir="$work/$name"
    mkdir -p "$dir"
    : > "$dir/calls"
    env PATH="$work/bin:$PATH" FAKE_DIR="$dir" MURVO_APT_RETRY_PAUSE=0 \
        MURVO_OS_RELEASE="$work/os-release" "$@" bash "$script" > "$dir/out" 2>&1
    status=$?
    calls=$(tr '\n' ';' < "$dir/calls")
    ok=1
    [ "$status" -eq "$want_status" ] || ok=0
    [ "$calls" = "$want_calls" ] || ok=0
    if [ -n "$want_text" ] && ! grep -qF "$want_text" "$dir/out"; then
        ok=0
    fi
    if [ $ok -eq 1 ]; then
        echo "ok: $name"
    else
        echo "FAILED: $name"
        echo "  status $status, wanted $want_status"
        echo "  calls  $calls"
        echo "  wanted $want_calls"
        [ -z "$want_text" ] || echo "  wanted the text: $want_text"
        sed 's/^/  | /' "$dir/out"
        failures=$((failures + 1))
    fi
}

check nothing-missing 0 "" "" FAKE_INSTALLED=all
check update-fails-then-works 0 "add-architecture i386;update;update;install wine;" \
    "apt-get update failed (try 1 of 3)" FAKE_UPDATE_FAILURES=1
check update-always-fails 0 "add-architecture i386;update;update;update;install wine;" \
    "http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz" \
    FAKE_UPDATE_FAILURES=99
check held-packages-then-target-release 0 \
    "add-architecture i386;update;install wine;install -t bookworm wine;" \
    "Trying again with the machine's release as target release (-t bookworm)" \
    FAKE_INSTALL=needs-target
check wine-cannot-be-installed 0 \
    "add-architecture i386;update;install wine;install -t bookworm wine;install no-wine;install wine;install -t bookworm wine;" \
    "Wine could not be installed on this machine" FAKE_INSTALL=no-wine
check no-release-known 0 "add-architecture i386;update;install wine;install no-wine;install wine;" \
    "Wine could not be installed on this machine" FAKE_INSTALL=no-wine MURVO_OS_RELEASE=/nonexistent
check only-the-64-bit-wine 0 \
    "add-architecture i386;update;install wine;install -t bookworm wine;install no-wine;install wine;" \
    "The 64-bit Wine is installed without the 32-bit one" FAKE_INSTALL=no-wine32

if [ $failures -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "every case passed"
