#!/bin/bash
# check-pe.sh EXE OBJDUMP VERSION VENDOR [console]
#
# (With "console": the command-line program, checked the same way except that
# it is of the console subsystem, describes itself as "Tarnvik Upgrade Tool
# (command line)" and has no Qt platform plugin in it: it needs no display.)
# Checks the Windows executable in its binary form, as a user's machine will
# load it:
#   - a 32-bit (i386) PE of the GUI subsystem (no console window);
#   - its resources hold the file icon (one 64 x 64 image of 32 bits) and the
#     application manifest (asInvoker, Common Controls 6.0);
#   - its version information (what Explorer's properties, Task Manager and
#     inventory tools show): file description and product name "Tarnvik
#     Upgrade Tool", VERSION as product version and in the fixed file and
#     product version, VENDOR as company, the licence's copyright line;
#   - it imports only Windows' own DLLs: no MinGW runtime (libgcc, libstdc++,
#     winpthreads), no Qt or hidapi DLL to be carried beside it; and at start
#     only Windows' known DLLs, which always come from System32 (any other
#     system DLL is delay-loaded, after the program has limited the DLL
#     search to System32, so that a DLL of that name left in the program's
#     folder is never taken);
#   - Qt's Windows platform plugin is linked in (without it a static Qt
#     program starts and ends at once, "could not find the Qt platform
#     plugin").
# Prints what it found; exit status 0 only if every check passed.

set -u
usage="usage: check-pe.sh EXE OBJDUMP VERSION VENDOR"
EXE=${1:?$usage}
OBJDUMP=${2:?$usage}
VERSION=${3:?$usage}
VENDOR=${4:?$usage}
KIND=${5:-gui}
if [ "$KIND" = console ]; then
    SUBSYSTEM="(Windows CUI)" DESCRIPTION="Tarnvik Upgrade Tool (command line)"
else
    SUBSYSTEM="(Windows GUI)" DESCRIPTION="Tarnvik Upgrade Tool"
fi
LICENSE=$(dirname "$0")/../../LICENSE
FAILS=0
pass() { echo "check-pe: ok   - $*"; }
fail() { echo "check-pe: FAIL - $*"; FAILS=$((FAILS + 1)); }
for tool in "$OBJDUMP" wrestool icotool python3; do
    command -v "$tool" >/dev/null || { echo "check-pe: $tool not found (binutils-mingw-w64-i686, icoutils, python3)"; exit 2; }
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
[ "$subsystem" = "$SUBSYSTEM" ] && pass "subsystem $subsystem" || fail "subsystem is '$subsystem', not $SUBSYSTEM"

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
# Windows' known DLLs on Windows 7 to 11 (HKLM\SYSTEM\CurrentControlSet\
# Control\Session Manager\KnownDLLs), as far as this program can need them.
known=" advapi32.dll comdlg32.dll gdi32.dll imm32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll \
setupapi.dll shell32.dll shlwapi.dll user32.dll ws2_32.dll "
unknown=()
for dll in "${dlls[@]}"; do
    [[ "$known" == *" ${dll,,} "* ]] || unknown+=("$dll")
done
[ ${#unknown[@]} -eq 0 ] \
    && pass "loads only known DLLs at start (always from System32; the rest on first use)" \
    || fail "imports at start DLLs that Windows would look for in the program's folder first: ${unknown[*]}"

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

# Version information (resource type 16): the fixed part and the strings.
if wrestool -x --raw -t 16 "$EXE" >"$WORK/version" 2>/dev/null && [ -s "$WORK/version" ]; then
    copyright=$(grep -m1 '^Copyright ' "$LICENSE")
    python3 - "$WORK/version" "$VERSION" "$VENDOR" "$copyright" "$DESCRIPTION" "$(basename "$EXE")" \
        >"$WORK/version.txt" <<'PY'
import re, struct, sys
blob, version, vendor, copyright = open(sys.argv[1], 'rb').read(), sys.argv[2], sys.argv[3], sys.argv[4]
want = {'FileDescription': sys.argv[5], 'ProductName': 'Tarnvik Upgrade Tool',
        'ProductVersion': version, 'FileVersion': version + '.0', 'CompanyName': vendor,
        'LegalCopyright': copyright, 'OriginalFilename': sys.argv[6]}
at = blob.find(struct.pack('<I', 0xFEEF04BD))
parts = [int(p) for p in version.split('.')] + [0]
expect = ((parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3])
fixed = struct.unpack_from('<4I', blob, at + 8) if at >= 0 else None
print('fixed', 'ok' if fixed and fixed[0:2] == expect and fixed[2:4] == expect else 'BAD %r' % (fixed,))
# String entries: wLength, wValueLength, wType, key (UTF-16, NUL), padding, value.
text = blob.decode('utf-16-le', 'replace')
for key, value in want.items():
    m = re.search(re.escape(key) + r'\x00+([^\x00]*)\x00', text)
    got = m.group(1) if m else None
    print(key, 'ok' if got == value else 'BAD %r (want %r)' % (got, value))
PY
    sed 's/^/check-pe:   version: /' "$WORK/version.txt"
    ! grep -q ' BAD' "$WORK/version.txt" \
        && pass "version information: $DESCRIPTION $VERSION, $VENDOR, $copyright" \
        || fail "version information differs from what is expected"
else
    fail "no version information resource"
fi

if [ "$KIND" = console ]; then
    ! grep -aq QWindowsIntegrationPlugin "$EXE" \
        && pass "no Qt platform plugin: it needs no display" || fail "Qt's Windows platform plugin is linked in"
else
    grep -aq QWindowsIntegrationPlugin "$EXE" \
        && pass "Qt's Windows platform plugin is linked in" || fail "no Qt Windows platform plugin in the program"
fi

[ "$FAILS" -eq 0 ] && echo "check-pe: all checks passed" || echo "check-pe: $FAILS check(s) failed"
exit $(( FAILS > 0 ))
