#!/usr/bin/env bash
# Says at once, in one line, when the test command cannot work from where the
# clone lies (run by tools/test.sh and tools/test-windows.sh before any long
# step); exit status 1 then, 0 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

# The few places a clone cannot be tested from, said at once rather than
# deep into the run.
here=$(pwd -P)
cannot() { echo "test: cannot run in $here: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || cannot "run it as root"
bad=${here//[!];#\$\"\'\\&()*?<>|\`:[]/}
[ -z "$bad" ] || cannot "CMake's makefiles cannot take \"$bad\" in its path; clone it elsewhere"
[ -z "${here//[![:cntrl:]]/}" ] || cannot "its path holds a control character; clone it elsewhere"
case "$here/" in
    /run/*|/dev/*|/proc/*|/sys/*)
        cannot "the test guest has its own /run, /dev, /proc and /sys and would not see the clone; clone it elsewhere";;
esac
case ",$(findmnt -n -o OPTIONS -T "$here")," in
    *,noexec,*) cannot "its file system is mounted noexec, so the programs built there could not run";;
esac
# Free space, in GB: the build trees and the guest's kernel in the clone
# (under 2 GB); until Qt for Windows is cached, its sources and build tree
# and the packages of the Windows stage as well.
wincache=${TARNVIK_WIN_CACHE:-/var/cache/tarnvik-win}
cachefs=$wincache
while [ ! -d "$cachefs" ]; do cachefs=$(dirname "$cachefs"); done
gb_free() { df -k --output=avail "$1" | awk 'NR == 2 { print int($1 / 1048576) }'; }
need=3 need_qt=0
ls "$wincache"/qt-*/.done >/dev/null 2>&1 || need_qt=5
[ "$(stat -c %d "$here")" != "$(stat -c %d "$cachefs")" ] || need=$((need + need_qt)) need_qt=0
[ "$(gb_free "$here")" -ge "$need" ] || cannot "it needs $need GB free, it has $(gb_free "$here") GB"
[ "$(gb_free "$cachefs")" -ge "$need_qt" ] || cannot "Qt for Windows needs $need_qt GB free in $cachefs, it has $(gb_free "$cachefs") GB"
