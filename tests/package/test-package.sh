#!/usr/bin/env bash
# The Debian package as a user gets it: built by packaging/build-deb.sh,
# checked by lintian, installed on this machine, used by a user who is not
# root, and removed again without a trace. Prints one line per check and
# "N passed, M failed"; exits non-zero on any failure.
#
#   tests/package/test-package.sh [PACKAGE.deb]   (default: build it)
#
# Needs root or sudo (apt-get, useradd). Installs what it needs when missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD
started=$SECONDS

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
scripts/install-deps.sh --package --package-checks
if [ $# -gt 0 ]; then
    deb=$(realpath "$1")
else
    deb=$(packaging/build-deb.sh | tail -1)
    deb=$source_dir/$deb
fi
package=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    echo "$package is installed on this machine: remove it first (the test installs and purges it)" >&2
    exit 2
fi
echo "Testing $deb ($(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends))"

source tests/package/check.sh

user=vr480-package-test
work=$(mktemp -d)
chmod 755 "$work"
installed=0
created_user=0
traced="" program_pid=""
cleanup() {
    [ -n "$program_pid" ] && $sudo kill "$program_pid" 2>/dev/null
    [ -n "$traced" ] && wait "$traced" 2>/dev/null
    [ "$installed" = 1 ] && $sudo dpkg --purge "$package" >/dev/null 2>&1
    [ "$created_user" = 1 ] && $sudo userdel "$user" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "test-package.sh: stopped by a failure at line $LINENO" >&2' ERR

# A user in plugdev, as the udev rule expects, working in a folder of its own.
if ! id "$user" >/dev/null 2>&1; then
    $sudo useradd --no-create-home --home-dir "$work/home" --groups plugdev --shell /bin/sh "$user"
    created_user=1
fi
mkdir -p "$work/home" "$work/run" "$work/prefix"
cp tests/fixtures/firmware.hex "$work/run/"
$sudo chown -R "$user" "$work/home" "$work/run"
as_user() { (cd "$work/run" && $sudo runuser -u "$user" -- env HOME="$work/home" "$@"); }

# --- The package file ---------------------------------------------------------------

lintian_ok() {
    # Errors and warnings fail; the informational tags stand in docs/packaging.md.
    as_user lintian --display-level ">=pedantic" "$deb" | tee "$work/lintian" | sed 's/^/    /'
    ! grep -q '^[EW]:' "$work/lintian"
}
check "lintian: no errors or warnings" lintian_ok

dpkg-deb -x "$deb" "$work/prefix"
check "desktop entry validates" desktop-file-validate "$work/prefix/usr/share/applications/$package.desktop"

no_demos() {
    ! dpkg-deb -c "$deb" | grep -E -- '_sim|-sim|demo|usbip|bench|tst_'
}
check "no demo program, simulated device or test in the package" no_demos

# --- Installed ----------------------------------------------------------------------

DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; exit 1; }
installed=1
dpkg-query -L "$package" >"$work/files"

version_shown() {
    [ "$(as_user vr480-cli --version)" = "vr480-cli $version" ]
}
check "vr480-cli --version shows the package's version $version" version_shown

help_shown() {
    as_user vr480-cli --help >"$work/help" && grep -q '^Usage: vr480-cli ' "$work/help"
}
check "vr480-cli --help as $user" help_shown

# The same upgrade file as a vr480-cli built from this tree makes.
reference_cli=$source_dir/build-deb/vr480-cli
[ -x "$reference_cli" ] || reference_cli=$source_dir/build/vr480-cli
upgrade_file_made() {
    as_user vr480-cli create-upg firmware.hex -o firmware.upg >/dev/null &&
        "$reference_cli" create-upg "$work/run/firmware.hex" -o "$work/reference.upg" >/dev/null &&
        cmp "$work/run/firmware.upg" "$work/reference.upg"
}
check "vr480-cli create-upg as $user: the upgrade file of $reference_cli" upgrade_file_made

no_device() {
    local status=0
    as_user vr480-cli info >/dev/null 2>"$work/info.err" || status=$?
    [ "$status" = 5 ] && grep -q 'no VR480 found' "$work/info.err"
}
check "vr480-cli info as $user without a device: status 5, no VR480 found" no_device

# bash-completion's loader finds the completion by the command's name, and it
# offers the upgrade files of the folder after "upgrade".
completion_loaded() {
    local offered
    offered=$(as_user bash -c 'source /usr/share/bash-completion/bash_completion &&
        __load_completion vr480-cli && complete -p vr480-cli | grep -q -- "-F _vr480_cli " &&
        COMP_WORDS=(vr480-cli upgrade "") COMP_CWORD=2 && _vr480_cli vr480-cli "" upgrade &&
        printf "%s\n" "${COMPREPLY[@]}"')
    [ "$offered" = firmware.upg ] || { echo "    offered: $offered"; return 1; }
}
check "bash completion in /usr/share/bash-completion/completions: upgrade offers firmware.upg" completion_loaded

# A manual page renders without a warning.
page_renders() {
    as_user env MANWIDTH=200 LC_ALL=C man --warnings -l "$1" >"$work/page" 2>"$work/page.err" || return 1
    [ ! -s "$work/page.err" ] || { sed 's/^/    /' "$work/page.err"; return 1; }
}
# Words, one a line, in lower case and without the punctuation around them.
words() {
    tr -s ' \t' '\n\n' | sed -E "s/^[(\"']+//; s/[).,;:\"']+$//; /^$/d" | tr '[:upper:]' '[:lower:]'
}
# vr480-cli's page holds every word of the program's help, and each command's
# help word for word in the command's subsection (the page's usage lines
# without "Usage:").
cli_page_complete() {
    local command missing
    page_renders "$1" || return 1
    missing=$(comm -23 <(as_user vr480-cli --help | words | grep -vx usage | sort -u) <(words <"$work/page" | sort -u))
    [ -z "$missing" ] || { echo "    not in the manual page: $(echo $missing)"; return 1; }
    for command in $commands; do
        diff <(as_user vr480-cli "$command" --help | sed '1s/^Usage: //' | words) \
            <(awk -v heading="   $command" '$0 == heading { on = 1; next } on && /^(   )?[^ ]/ { on = 0 } on' \
                "$work/page" | words) >"$work/page.diff" ||
            { echo "    $command differs from its help:"; sed 's/^/    /' "$work/page.diff"; return 1; }
    done
}
commands=$(sed -n '/^Commands:$/,/^$/s/^  \([a-z0-9-]*\) .*/\1/p' "$work/help")
check "man -l vr480-cli.1: every command, option and exit status of the help" \
    cli_page_complete /usr/share/man/man1/vr480-cli.1.gz
check "man -l vr480_bootloader.1" page_renders /usr/share/man/man1/vr480_bootloader.1.gz
found_by_name() { as_user man -w vr480-cli vr480_bootloader >/dev/null; }
check "man finds both pages by name" found_by_name

# The window, started with the menu entry's command line in a folder without
# a translation under a Polish locale, loads the installed Polish translation;
# so does a copy of the package unpacked under another prefix. Watched with
# strace until it has looked for the file; the program is then ended.
opens_translation() {
    local program=$1 expected=$2 log=$work/run/trace waited=0
    rm -f "$log"
    (cd "$work/run" && exec $sudo runuser -u "$user" -- env HOME="$work/home" LANG=pl_PL.UTF-8 \
        QT_QPA_PLATFORM=offscreen strace -f -e trace=openat,access -o "$log" "$program") >/dev/null 2>&1 &
    traced=$!
    # Until it opens the file, or looks for the fallback vr480_en: then it has not found it.
    until grep -q -e 'vr480_pl.qm", O_RDONLY.*= [0-9]' -e 'vr480_en' "$log" 2>/dev/null ||
        ! kill -0 "$traced" 2>/dev/null; do
        sleep 0.2
        waited=$((waited + 1))
        [ "$waited" -lt 600 ] || break # a guard against a hang, not a speed limit
    done
    # strace's log starts each line with the process id: the first is the program's.
    program_pid=$(awk 'NR == 1 { print $1 }' "$log" 2>/dev/null)
    [ -n "$program_pid" ] && $sudo kill "$program_pid" 2>/dev/null
    wait "$traced" 2>/dev/null || true
    traced="" program_pid=""
    grep 'vr480_pl.qm", O_RDONLY.*= [0-9]' "$log" | head -1 | tee "$work/opened" | sed 's/^/    /'
    [ "$(grep -o '"[^"]*"' "$work/opened" | tr -d '"' | xargs -r realpath)" = "$expected" ]
}
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/"$package".desktop)
check "menu entry's command \"$exec_line\" in $work/run under LANG=pl_PL.UTF-8: installed Polish translation" \
    opens_translation "$(command -v "$exec_line")" /usr/share/$package/translations/vr480_pl.qm
check "the same from the package unpacked under another prefix" \
    opens_translation "$work/prefix/usr/bin/$exec_line" "$work/prefix/usr/share/$package/translations/vr480_pl.qm"

# The kernel test once more, with the installed rule and vr480-cli, when the
# suite's build (with the simulated devices served over USB/IP) is there.
if [ -x "$source_dir/build/vr480-usbip" ]; then
    check "kernel test with the installed udev rule and vr480-cli" "$source_dir/tests/kernel/run.sh" \
        "$source_dir/build" --installed
else
    echo "(no $source_dir/build/vr480-usbip: the kernel test with the installed rule is left out)"
fi

# --- Removed --------------------------------------------------------------------------

$sudo dpkg --purge "$package" >/dev/null
installed=0
nothing_left() {
    local path left=0
    dpkg-query -W "$package" >/dev/null 2>&1 && { echo "    $package still known to dpkg"; return 1; }
    while read -r path; do
        [ -e "$path" ] || continue
        dpkg-query -S "$path" >/dev/null 2>&1 && continue # shared with another package
        echo "    left behind: $path"
        left=1
    done <"$work/files"
    [ "$left" = 0 ]
}
check "purged: nothing left behind" nothing_left

echo "$passed passed, $failed failed ($((SECONDS - started)) s)"
[ "$failed" = 0 ] || exit 1
