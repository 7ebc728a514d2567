#!/usr/bin/env bash
# The Windows installer as a user gets it, under Wine in a fresh prefix (no
# path to the build's DLLs: the installed folder must hold all it loads):
# silent install, vr480-cli.exe from the installed folder (--version, --help,
# create-upg byte for byte the same as the Linux build's), the window started
# from its Start-menu entry in Xvfb, shown with its title, then closed by its
# process id, the registry switch that names a VR480 by its port, and a
# silent uninstall that leaves nothing behind. Prints one
# line per check and "N passed, M failed"; exits non-zero on any failure.
#
#   tests/package/test-installer.sh INSTALLER.exe LINUX_VR480_CLI [SCREENSHOT.png]
#
# LINUX_VR480_CLI is the Linux build's vr480-cli, the reference. With
# SCREENSHOT.png the screen with the window is saved there (ImageMagick's
# convert). Needs wine, xvfb, x11-utils and locales
# (scripts/install-deps.sh --windows).
set -euo pipefail
cd "$(dirname "$0")/../.."
installer=$(realpath "$1")
linux_cli=$(realpath "$2")
screenshot=${3:+$(realpath -m "$3")}
source_dir=$PWD

source tests/package/check.sh

work=$(mktemp -d)
export WINEPREFIX=$work/wine WINEDEBUG=-all
unset WINEPATH
xvfb=""
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "test-installer.sh: stopped by a failure at line $LINENO" >&2' ERR

echo "Testing $installer ($(stat -c %s "$installer") bytes)"
wineboot -i 2>/dev/null
wineserver -w
folder="$WINEPREFIX/drive_c/Program Files/VR480 Bootloader"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/VR480 Bootloader"
win_folder='C:\Program Files\VR480 Bootloader'
run() { wine "$win_folder\\$1" "${@:2}" 2>"$work/stderr" | tr -d '\r'; }

# Silent install: NSIS's /S.
wine "$installer" /S
wineserver -w
installed_files() {
    for file in vr480_bootloader.exe vr480-cli.exe vr480_pl.qm Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
        platforms/qwindows.dll styles/qwindowsvistastyle.dll libusb-1.0.dll libstdc++-6.dll \
        libgcc_s_seh-1.dll libwinpthread-1.dll licences/LGPL-3.txt licences/LGPL-2.1.txt \
        licences/GPL-3.txt licences/SOURCES.txt licences/qt6-base.copyright.txt \
        licences/libusb-1.0.copyright.txt Uninstall.exe; do
        [ -f "$folder/$file" ] || { echo "missing: $file" >&2; return 1; }
    done
}
check "installed into Program Files\\VR480 Bootloader" installed_files
check "Start-menu entry" test -f "$menu/VR480 Bootloader.lnk"
usb_flag() { # IgnoreHWSerNum16C00A73's type and value as reg prints them; nothing without it
    wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\UsbFlags' /v IgnoreHWSerNum16C00A73 2>/dev/null |
        tr -d '\r' | awk '$1 == "IgnoreHWSerNum16C00A73" { print $2, $3 }'
}
check "registry: UsbFlags\\IgnoreHWSerNum16C00A73 = REG_BINARY 01" test "$(usb_flag)" = "REG_BINARY 01"
du -sh "$folder" | cut -f1 | sed 's/^/installed size: /'

# The command line from the installed folder, against the Linux build.
check "vr480-cli.exe --version" test "$(run vr480-cli.exe --version)" = "$("$linux_cli" --version)"
same_help() {
    diff <(run vr480-cli.exe --help) <("$linux_cli" --help)
}
check "vr480-cli.exe --help" same_help
same_upg() {
    mkdir -p "$work/linux" "$work/windows"
    "$linux_cli" create-upg "$source_dir/tests/fixtures/firmware.hex" -o "$work/linux/fw.upg" >/dev/null &&
        run vr480-cli.exe create-upg "Z:$source_dir/tests/fixtures/firmware.hex" -o "Z:$work/windows/fw.upg" >/dev/null &&
        cmp "$work/linux/fw.upg" "$work/windows/fw.upg"
}
check "create-upg: the same bytes as on Linux" same_upg

# The window, from its Start-menu entry, in Polish (a locale of our own).
localedef -i pl_PL -f UTF-8 "$work/pl_PL.UTF-8" 2>/dev/null || true
window_pid() { # the Windows process id of the window's program
    wine wmic process get Name,ProcessId 2>/dev/null | iconv -f UTF-16LE -t UTF-8 | tr -d '\r' |
        awk '$1 == "vr480_bootloader.exe" { print $2 }'
}
window_shown() { # the X window with the program's title, mapped
    local tries
    for tries in $(seq 60); do
        xwininfo -root -tree | grep -q '"Vr480 v3.00"' && return 0
        sleep 1
    done
    return 1
}
started_window() {
    LOCPATH=$work LANG=pl_PL.UTF-8 LC_ALL=pl_PL.UTF-8 \
        wine start "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\VR480 Bootloader\\VR480 Bootloader.lnk" &&
        window_shown &&
        { [ -z "$screenshot" ] || { sleep 2; xwd -root -silent | convert xwd:- "$screenshot"; }; }
}
closed_window() {
    local pid tries
    pid=$(window_pid)
    [ -n "$pid" ] || return 1
    echo "window: Windows process $pid"
    wine taskkill /PID "$pid" >/dev/null 2>&1
    for tries in $(seq 30); do
        [ -z "$(window_pid)" ] && return 0
        sleep 1
    done
    return 1
}
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for tries in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
check "window from the Start menu, titled \"Vr480 v3.00\"" started_window
check "window closed by its process id" closed_window
timeout 60 wineserver -w || wineserver -k
kill "$xvfb"
wait "$xvfb" 2>/dev/null || true
xvfb=""

# Silent uninstall (the uninstaller copies itself away and runs from there).
wine "$win_folder\\Uninstall.exe" /S
wineserver -w
nothing_left() {
    [ ! -e "$folder" ] || { find "$folder" >&2; return 1; }
    [ ! -e "$menu" ] || { find "$menu" >&2; return 1; }
}
check "uninstalled: nothing left in Program Files nor the Start menu" nothing_left
check "uninstalled: UsbFlags\\IgnoreHWSerNum16C00A73 removed" test -z "$(usb_flag)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
