#!/bin/bash
# installer.sh BUILD_DIR VERSION VENDOR   (inside wine-session.sh, in the guest)
#
# The NSIS installer that CPack made in BUILD_DIR, round trip under Wine:
#   - run silently (/S), it puts the tool, its licence and notices into
#     "C:\Program Files\Tarnvik Upgrade Tool" (not the demo, the tests or
#     their DLL fixtures), registers it in the list of installed programs
#     with the name, version and publisher of the program's own version
#     information (Tarnvik Upgrade Tool, VERSION, VENDOR), puts a
#     Start-menu shortcut to the tool that starts it in the shared work
#     folder "Tarnvik Upgrade Tool" under Public Documents (with update\ made
#     there), and an uninstaller;
#   - the tool started through that shortcut shows its window and exits with
#     status 0 when closed through it;
#   - the uninstaller, run silently, removes the tool, the shortcut, the
#     installation folder and the entry in the list of installed programs,
#     and leaves the work folder's content alone.

set -u
TAG=installer
. "$(dirname "$0")/window-lib.sh"
usage="usage: installer.sh BUILD_DIR VERSION VENDOR"
BUILD=${1:?$usage}
VERSION=${2:?$usage}
VENDOR=${3:?$usage}
mapfile -t found < <(ls "$BUILD"/tarnvik-upgrade-tool-*-win32.exe 2>/dev/null)
[ ${#found[@]} -eq 1 ] || { fail "expected one installer in $BUILD, found ${#found[@]}"; exit 1; }
SETUP=${found[0]}
C=$WINEPREFIX/drive_c
DIR="$C/Program Files/Tarnvik Upgrade Tool"
LNK="$C/ProgramData/Microsoft/Windows/Start Menu/Programs/Tarnvik Upgrade Tool/Tarnvik Upgrade Tool.lnk"
WORKDIR="$C/users/Public/Documents/Tarnvik Upgrade Tool"

wine "$SETUP" /S >/run/work/setup.log 2>&1
rc=$?
[ "$rc" -eq 0 ] && pass "$(basename "$SETUP") /S: exit status 0" || fail "installer exit status $rc"
( cd "$DIR" 2>/dev/null && find . -type f | sort | sed 's/^/  installed: /' )
for f in tarnvik-upgrade-tool.exe tarnvik-upgrade.exe Uninstall.exe LICENSE.txt THIRD-PARTY-NOTICES.txt tarnvik-upgrade.txt; do
    [ -f "$DIR/$f" ] && pass "installed $f" || fail "$f missing from the installation"
done
extra=$(cd "$DIR" 2>/dev/null && find . -iname '*demo*' -o -iname 'tst_*' -o -iname '*.dll' -o -iname 'loadprobe*')
[ -z "$extra" ] && pass "no demo, test program or DLL fixture installed" || fail "installed: $extra"

# The entry in the list of installed programs (per machine or per user).
UNINST='Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnvik Upgrade Tool'
entry() { wine reg query "HKLM\\$UNINST" 2>/dev/null | tr -d '\r'; wine reg query "HKCU\\$UNINST" 2>/dev/null | tr -d '\r'; }
value() { awk -v k="$1" '$1 == k && $2 == "REG_SZ" { sub(/^[ \t]*[^ \t]+[ \t]+REG_SZ[ \t]+/, ""); print; exit }' <<<"$ENTRY"; }
ENTRY=$(entry)
sed -n 's/^ *\(Display\|Publisher\)/  registered: \1/p' <<<"$ENTRY"
[ "$(value DisplayName)" = "Tarnvik Upgrade Tool" ] && [ "$(value DisplayVersion)" = "$VERSION" ] \
    && [ "$(value Publisher)" = "$VENDOR" ] \
    && pass "installed programs: Tarnvik Upgrade Tool, version $VERSION, publisher $VENDOR" \
    || fail "installed programs entry: name '$(value DisplayName)', version '$(value DisplayVersion)', publisher '$(value Publisher)'"
[[ "$(value DisplayIcon)" == *'Tarnvik Upgrade Tool\tarnvik-upgrade-tool.exe' ]] \
    && pass "installed programs: the tool's own icon" || fail "installed programs icon: '$(value DisplayIcon)'"
cmp -s "$DIR/tarnvik-upgrade-tool.exe" "$BUILD/tarnvik-upgrade-tool.exe" \
    && fail "the installed tool is the unstripped build" || pass "the installed tool is the packaged (stripped) one"
if [ -f "$LNK" ]; then
    # The link names its target as one path or as the path's parts in turn.
    targets=$(strings -e l "$LNK" | tr '\n' '|')
    grep -qiE 'Program Files(\\|\|)Tarnvik Upgrade Tool(\\|\|)tarnvik-upgrade-tool\.exe' <<<"$targets" \
        && pass "Start-menu shortcut to the tool" || fail "shortcut does not name the tool: $targets"
    grep -qi 'Public\\Documents\\Tarnvik Upgrade Tool|' <<<"$targets" \
        && pass "shortcut starts it in the work folder" || fail "shortcut's start folder: $targets"
else
    fail "no Start-menu shortcut $LNK"
fi
[ -d "$WORKDIR/update" ] && pass "work folder with update\\ made" || fail "no $WORKDIR/update"

# Start it through the shortcut, as the operator does. The shell does not
# hand back the started process, so its end is seen in the process list.
if [ -f "$LNK" ]; then
    timeout 120 wine start /unix "$LNK" >/run/work/installed.log 2>&1
    if WID=$(wait_window '^Tarnvik Upgrade Tool$' 90); then
        pass "the installed tool started from its shortcut shows its window"
        sleep 1
        close_window "$WID"
        wait_gone 'Tarnvik Upgrade Tool.tarnvik-upgrade-tool\.exe' 60 \
            && pass "closed through its window, the program ended" || fail "still running after Alt+F4"
    else
        fail "the installed tool showed no window"
    fi
fi
pkill -f 'Tarnvik Upgrade Tool.tarnvik-upgrade-tool\.exe'

echo keep >"$WORKDIR/update/image.bin"
wine "$DIR/Uninstall.exe" /S >/run/work/uninstall.log 2>&1
# The uninstaller copies itself away and runs from there: wait for it.
for ((i = 0; i < 600; i++)); do
    [ -e "$DIR" ] || break
    sleep 0.1
done
[ ! -e "$DIR" ] && pass "uninstalled: the installation folder is gone" \
    || fail "left behind: $(cd "$DIR" && find . | tr '\n' ' ')"
[ ! -e "$LNK" ] && [ ! -e "$(dirname "$LNK")" ] && pass "Start-menu shortcut and folder removed" \
    || fail "the Start-menu entry is still there"
ENTRY=$(entry)
[ -z "$(value DisplayName)" ] && pass "the entry in the list of installed programs is gone" \
    || fail "the list of installed programs still has the tool: $(tr "\n" " " <<<"$ENTRY")"
[ -f "$WORKDIR/update/image.bin" ] && pass "the work folder's image was left alone" \
    || fail "the uninstaller removed the operator's image"
[ "$FAILS" -eq 0 ]
