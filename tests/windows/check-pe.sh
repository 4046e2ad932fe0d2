#!/bin/bash
# check-pe.sh EXE OBJDUMP
#
# Checks the Windows executable in its binary form, as a user's machine will
# load it:
#   - a 32-bit (i386) PE of the GUI subsystem (no console window);
#   - its resources hold the file icon (one 64 x 64 image of 32 bits) and the
#     application manifest (asInvoker, Common Controls 6.0);
#   - it imports only Windows' own DLLs: no MinGW runtime (libgcc, libstdc++,
#     winpthreads), no Qt or hidapi DLL to be carried beside it;
#   - Qt's Windows platform plugin is linked in (without it a static Qt
#     program starts and ends at once, "could not find the Qt platform
#     plugin").
# Prints what it found; exit status 0 only if every check passed.

set -u
EXE=${1:?usage: check-pe.sh EXE OBJDUMP}
OBJDUMP=${2:?usage: check-pe.sh EXE OBJDUMP}
FAILS=0
pass() { echo "check-pe: ok   - $*"; }
fail() { echo "check-pe: FAIL - $*"; FAILS=$((FAILS + 1)); }
for tool in "$OBJDUMP" wrestool icotool; do
    command -v "$tool" >/dev/null || { echo "check-pe: $tool not found (binutils-mingw-w64-i686, icoutils)"; exit 2; }
done
[ -f "$EXE" ] || { echo "check-pe: no $EXE"; exit 2; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "check-pe: $EXE ($(stat -c %s "$EXE") bytes)"
"$OBJDUMP" -f -p "$EXE" >"$WORK/headers" 2>&1 || { echo "check-pe: objdump cannot read $EXE"; exit 1; }

format=$(sed -n 's/.*file format \(.*\)$/\1/p' "$WORK/headers" | head -n1)
magic=$(awk '$1 == "Magic" { print $2, $3 }' "$WORK/headers")
machine=$(sed -n 's/^architecture: \([^,]*\),.*/\1/p' "$WORK/headers")
[ "$format" = pei-i386 ] && [ "$magic" = "010b (PE32)" ] && [ "$machine" = i386 ] \
    && pass "32-bit PE for i386 (format $format, magic $magic)" \
    || fail "not a 32-bit i386 PE: format '$format', magic '$magic', architecture '$machine'"

subsystem=$(awk '$1 == "Subsystem" { $1 = ""; $2 = ""; sub(/^ +/, ""); print }' "$WORK/headers")
[ "$subsystem" = "(Windows GUI)" ] && pass "GUI subsystem $subsystem" || fail "subsystem is '$subsystem', not (Windows GUI)"

mapfile -t dlls < <(sed -n 's/^\s*DLL Name: //p' "$WORK/headers" | sort -fu)
echo "check-pe: imports ${dlls[*]}"
foreign=()
for dll in "${dlls[@]}"; do
    case "${dll,,}" in
        lib*|qt5*|*hidapi*|mingw*) foreign+=("$dll");;
    esac
done
[ ${#dlls[@]} -gt 0 ] && [ ${#foreign[@]} -eq 0 ] \
    && pass "imports Windows DLLs only (no MinGW runtime, Qt or hidapi DLL)" \
    || fail "imports DLLs that a bare Windows lacks: ${foreign[*]:-none listed at all}"

# Resources: icon group (14) with its images (3), manifest (24).
wrestool -l "$EXE" >"$WORK/resources" 2>&1
sed 's/^/check-pe:   /' "$WORK/resources"
if wrestool -x -t 14 "$EXE" >"$WORK/icon.ico" 2>/dev/null && [ -s "$WORK/icon.ico" ]; then
    icons=$(icotool -l "$WORK/icon.ico")
    echo "check-pe:   icon: $icons"
    [ "$(grep -c . <<<"$icons")" -eq 1 ] && grep -q -- '--width=64 --height=64 --bit-depth=32' <<<"$icons" \
        && pass "file icon: one 64 x 64 image, 32 bits" || fail "the icon is not one 64 x 64 32-bit image"
else
    fail "no icon group resource"
fi
if wrestool -x --raw -t 24 "$EXE" >"$WORK/manifest" 2>/dev/null && [ -s "$WORK/manifest" ]; then
    grep -q 'requestedExecutionLevel level="asInvoker"' "$WORK/manifest" \
        && pass "manifest: execution level asInvoker" || fail "manifest without asInvoker"
    grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$WORK/manifest" \
        && pass "manifest: Common Controls 6.0" || fail "manifest without Common Controls 6.0"
else
    fail "no manifest resource"
fi

grep -aq QWindowsIntegrationPlugin "$EXE" \
    && pass "Qt's Windows platform plugin is linked in" || fail "no Qt Windows platform plugin in the program"

[ "$FAILS" -eq 0 ] && echo "check-pe: all checks passed" || echo "check-pe: $FAILS check(s) failed"
exit $(( FAILS > 0 ))
