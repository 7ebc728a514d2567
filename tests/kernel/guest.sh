#!/usr/bin/env bash
# The kernel test's cases, run as root inside the guest by its init:
#   guest.sh BUILD_DIR OUT_DIR [installed]
# With "installed", only a user's pass with the udev rule that the Debian
# package installed on the host (seen through its /usr) and the package's
# vr480-cli.
# Each case starts vr480-usbip with its devices and faults, waits until the
# kernel has enumerated them, runs vr480-cli (or the window's upgrade worker)
# as the pass's user and checks what it printed, its exit status and, from the
# state vr480-usbip saves when it ends, the devices' memories. One line per
# case, then "N passed, M failed"; details of each case in OUT_DIR/*.log.
set -u

build=$1
out=$2
mode=${3:-}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
export PATH=$build:/usr/bin:/usr/sbin:/bin:/sbin LANG=C.UTF-8 HOME=/tmp
[ "$mode" = installed ] && PATH=/usr/bin:$PATH
work=/tmp/vr480
mkdir -p "$work" && chmod 777 "$work"

passed=0
failed=0
user=root
udevd_pid=""
server_pid=""
log=/dev/null

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
echo "boot: $(cut -d' ' -f1 /proc/uptime) s to the first case"

# --- Helpers ---------------------------------------------------------------------

as_user() {
    if [ "$user" = root ]; then
        "$@"
    else
        setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"
    fi
}

# start_server ARGS...: vr480-usbip with a fresh state file.
start_server() {
    rm -f "$work/state" "$work/server.log"
    vr480-usbip --state "$work/state" "$@" >"$work/server.log" 2>&1 &
    server_pid=$!
}

stop_server() {
    [ -n "$server_pid" ] || return 0
    kill -TERM "$server_pid" 2>/dev/null
    wait "$server_pid"
    server_pid=""
    wait_devices 0 >/dev/null
    { echo "--- vr480-usbip"; cat "$work/server.log"; } >>"$log"
}

# wait_devices N: until exactly N VR480s are enumerated and configured (and
# udev has dealt with them), at most 30 s.
wait_devices() {
    local deadline=$((SECONDS + 30)) count device vendor configuration
    while :; do
        count=0
        for device in /sys/bus/usb/devices/*; do
            vendor="" configuration=""
            read -r vendor 2>/dev/null <"$device/idVendor"
            read -r configuration 2>/dev/null <"$device/bConfigurationValue"
            [ "$vendor" = 16c0 ] && [ "$configuration" = 1 ] && count=$((count + 1))
        done
        [ "$count" -eq "$1" ] && break
        [ "$SECONDS" -ge "$deadline" ] && { echo "$1 device(s) not enumerated within 30 s"; return 1; }
        sleep 0.05
    done
    [ -z "$udevd_pid" ] || /udev/bin/udevadm settle --timeout=10
}

# cli STATUS ARGS...: vr480-cli as the pass's user; output in $work/stdout and
# $work/stderr; fails unless it exits with STATUS.
cli() {
    local want=$1 got start
    shift
    start=$(now)
    (cd "$work" && as_user vr480-cli "$@" >"$work/stdout" 2>"$work/stderr")
    got=$?
    { echo "\$ vr480-cli $* -> $got ($(since "$start") s)"; cat "$work/stdout" "$work/stderr"; } >>"$log"
    [ "$got" = "$want" ] || { echo "vr480-cli $* exited $got, not $want: $(tail -1 "$work/stderr")"; return 1; }
}

# has LINE FILE: FILE holds LINE as a whole line.
has() { grep -qxF -- "$1" "$2" || { echo "no line \"$1\" in $(basename "$2")"; return 1; }; }
# mentions TEXT FILE: FILE holds TEXT somewhere.
mentions() { grep -qF -- "$1" "$2" || { echo "\"$1\" not in $(basename "$2")"; return 1; }; }

# devices LINE...: the saved devices, as vr480_kernel_check describes them, are LINE...
devices() {
    vr480_kernel_check "$work/state" "$work/firmware.upg" >"$work/devices" 2>>"$log" || { echo "no saved state"; return 1; }
    { echo "--- devices"; cat "$work/devices"; } >>"$log"
    printf '%s\n' "$@" | cmp -s - "$work/devices" || { echo "devices: $(paste -sd'|' "$work/devices")"; return 1; }
}

run_case() { # NAME FUNCTION
    local start reason
    start=$(now)
    log=$out/$user-$2.log
    : >"$log"
    "$2" >"$work/reason" 2>>"$log" # not in a subshell: the case's server is stopped here
    local status=$?
    reason=$(cat "$work/reason")
    stop_server
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        echo "PASS $user: $1 ($(since "$start") s)"
    else
        failed=$((failed + 1))
        echo "FAIL $user: $1 ($(since "$start") s): ${reason:-exit status $status}"
    fi
}

# --- The cases -----------------------------------------------------------------------

info_and_restarts() {
    start_server --device mode=application && wait_devices 1 || return 1
    cli 0 info && has "Serial: VR4800001" "$work/stdout" && has "Mode: application" "$work/stdout" &&
        has "Bootloader version: BOOT v2.04" "$work/stdout" || return 1
    cli 0 restart && has "Mode: bootloader" "$work/stdout" && has "Serial: VR4800001b" "$work/stdout" || return 1
    cli 0 info && has "Serial: VR4800001b" "$work/stdout" && has "Mode: bootloader" "$work/stdout" &&
        has "Bootloader version: BOOT v2.04" "$work/stdout" || return 1
    cli 0 restart && has "Mode: application" "$work/stdout" && has "Serial: VR4800001" "$work/stdout" || return 1
    stop_server
    devices "device 0 VR4800001 application restarts=2 upgraded=no"
}

upgrade() {
    start_server --device mode=application && wait_devices 1 || return 1
    cli 0 upgrade firmware.upg && has "Upgrade complete: the new application is running" "$work/stdout" || return 1
    stop_server
    devices "device 0 VR4800001 application restarts=2 upgraded=yes"
}

external_flash() {
    # One read answered with a stall, which the retries absorb.
    start_server --device mode=bootloader --fault stall,request=5,skip=240 && wait_devices 1 || return 1
    cli 0 write-ext external.bin &&
        has "Written and verified: 114688 bytes at external-flash address 0" "$work/stdout" || return 1
    cli 0 read-ext 0 114688 -o back.bin && cmp "$work/external.bin" "$work/back.bin" >>"$log" ||
        { echo "read-ext did not give back what write-ext wrote"; return 1; }
}

timeout_absorbed() {
    # The device does not answer one external-flash write: the kernel's
    # 2 s time-out fires, it unlinks the transfer, and the retry succeeds.
    start_server --device mode=application --fault timeout,request=6,type=0x40,skip=100 && wait_devices 1 ||
        return 1
    cli 0 upgrade firmware.upg && has "Upgrade complete: the new application is running" "$work/stdout" || return 1
    stop_server
    mentions "was given up by the host" "$work/server.log" &&
        devices "device 0 VR4800001 application restarts=2 upgraded=yes"
}

unplug_then_upgrade() {
    start_server --device mode=application --fault unplug,request=3,skip=40 && wait_devices 1 || return 1
    cli 1 upgrade firmware.upg && has "ERROR" "$work/stdout" && mentions "the upgrade failed" "$work/stderr" ||
        return 1
    wait_devices 0 || return 1
    kill -USR1 "$server_pid" # the cable back in
    wait_devices 1 || return 1
    cli 0 upgrade firmware.upg && has "Bootloader mode" "$work/stdout" &&
        has "Upgrade complete: the new application is running" "$work/stdout" || return 1
    stop_server
    devices "device 0 VR4800001 application restarts=2 upgraded=yes"
}

never_comes_back() {
    start_server --device mode=application,comes-back=no && wait_devices 1 || return 1
    cli 1 upgrade firmware.upg && has "USB timout" "$work/stdout" &&
        mentions "nothing was written: the device was told to restart into its bootloader and has not come back" \
            "$work/stderr"
}

two_devices() {
    start_server --device serial=VR4800001 --device serial=VR4800002 && wait_devices 2 || return 1
    # No guess between them: the list instead.
    cli 2 info && mentions "2 VR480 are attached; choose one with --serial SERIAL" "$work/stderr" || return 1
    cli 0 list && [ "$(grep -cE '^[0-9]+ +[0-9]{3} +VR480000[12] +application +BOOT' "$work/stdout")" = 2 ] ||
        { echo "list: $(paste -sd'|' "$work/stdout")"; return 1; }
    # The one named, followed through its restarts; then both at once.
    cli 0 upgrade firmware.upg --serial VR4800002 &&
        has "Upgrade complete: the new application is running" "$work/stdout" || return 1
    cli 0 upgrade firmware.upg --all &&
        [ "$(grep -cE '^VR480000[12] +[0-9.]+  upgraded: the new application is running$' "$work/stdout")" = 2 ] ||
        { echo "summary: $(tail -3 "$work/stdout" | paste -sd'|')"; return 1; }
    stop_server
    devices "device 0 VR4800001 application restarts=2 upgraded=yes" \
        "device 1 VR4800002 application restarts=4 upgraded=yes"
}

station() {
    # The second device is plugged in while the first one's upgrade runs, once
    # the first is back in its bootloader (SIGUSR1 would cut its restart short).
    start_server --device serial=VR4800001 --device serial=VR4800002,plugged=no && wait_devices 1 || return 1
    local start=$(now) pid status deadline=$((SECONDS + 60))
    (cd "$work" && as_user vr480-cli station firmware.upg --count 2 >"$work/stdout" 2>"$work/stderr") &
    pid=$!
    until grep -q "^VR4800001: Writting firmware" "$work/stdout"; do
        [ "$SECONDS" -lt "$deadline" ] && kill -0 "$pid" 2>/dev/null ||
            { echo "the first device's upgrade did not start"; wait "$pid"; return 1; }
        sleep 0.1
    done
    kill -USR1 "$server_pid" # the second one plugged in
    wait "$pid"
    status=$?
    { echo "\$ vr480-cli station firmware.upg --count 2 -> $status ($(since "$start") s)"
      cat "$work/stdout" "$work/stderr"; } >>"$log"
    [ "$status" = 0 ] || { echo "vr480-cli station exited $status: $(tail -1 "$work/stderr")"; return 1; }
    [ "$(grep -cE '^VR480000[12] +[0-9.]+  upgraded: the new application is running$' "$work/stdout")" = 2 ] &&
        has "2 upgraded, 0 failed" "$work/stdout" || return 1
    stop_server
    devices "device 0 VR4800001 application restarts=2 upgraded=yes" \
        "device 1 VR4800002 application restarts=2 upgraded=yes"
}

rollback() {
    # The first state: a device as vr480-usbip makes it, saved untouched.
    start_server --device mode=application && wait_devices 1 || return 1
    stop_server
    cp "$work/state" "$work/first.state" || return 1
    start_server --device mode=application && wait_devices 1 || return 1
    # Its blank flash does not match its checksum words: kept all the same.
    cli 0 backup -o first.upg && mentions "upgrade refuses it without --ignore-checksum" "$work/stdout" || return 1
    cli 0 upgrade firmware.upg && has "Upgrade complete: the new application is running" "$work/stdout" || return 1
    cli 6 verify first.upg --ignore-checksum &&
        mentions "the device does not hold the firmware of first.upg" "$work/stderr" || return 1
    cli 3 upgrade first.upg && mentions "wrong checksum" "$work/stderr" || return 1
    cli 0 upgrade first.upg --ignore-checksum &&
        has "Upgrade complete: the new application is running" "$work/stdout" || return 1
    cli 0 verify first.upg --ignore-checksum &&
        has "Matches: the device holds the firmware of first.upg" "$work/stdout" || return 1
    stop_server
    # The first state and the last both hold exactly what first.upg holds.
    vr480_kernel_check "$work/first.state" "$work/first.upg" >"$work/devices" 2>>"$log" &&
        has "device 0 VR4800001 application restarts=0 upgraded=yes" "$work/devices" || return 1
    vr480_kernel_check "$work/state" "$work/first.upg" >"$work/devices" 2>>"$log" &&
        has "device 0 VR4800001 application restarts=10 upgraded=yes" "$work/devices"
}

no_permission_cli() {
    start_server && wait_devices 1 || return 1
    cli 5 info && mentions "a VR480 is on the bus (bus 001, device 0" "$work/stderr" &&
        mentions "but this user may not open it: install the udev rule 60-vr480.rules" "$work/stderr"
}

no_permission_window() {
    start_server && wait_devices 1 || return 1
    (cd "$work" && as_user vr480_kernel_upgrade_log firmware.upg >"$work/stdout" 2>>"$log")
    { echo "\$ vr480_kernel_upgrade_log firmware.upg"; cat "$work/stdout"; } >>"$log"
    has "USB Timeout" "$work/stdout" && has "Check USB Cable" "$work/stdout" &&
        mentions "VR480 found (bus 001, device 0" "$work/stdout" &&
        mentions "), but it could not be opened: no permission" "$work/stdout"
}

all_cases() {
    run_case "info in both modes, restart both ways" info_and_restarts
    run_case "full upgrade, memories checked" upgrade
    run_case "write-ext and read-ext, a stall absorbed" external_flash
    run_case "a time-out absorbed by the retries" timeout_absorbed
    run_case "unplug during the page writes, then an upgrade" unplug_then_upgrade
    run_case "a device that never comes back" never_comes_back
    run_case "two devices: refused without --serial, listed, one by --serial, both at once" two_devices
    run_case "station: two devices plugged in one after the other" station
    run_case "backup, another release, verify, roll back, verify: the first memories" rollback
}

# --- The passes ------------------------------------------------------------------------

start=$(now)
(cd "$work" && vr480-cli create-upg "$source_dir/tests/fixtures/firmware.hex" -o firmware.upg >/dev/null &&
    vr480-cli hex2bin "$source_dir/tests/fixtures/firmware.hex" --first 0x08040000 --last 0x0805BFFF \
        -o external.bin >/dev/null) || echo "cannot make the test files"
chmod 644 "$work"/*

# udevd with Debian's default rules, and any rule under the host's /usr.
start_udevd() {
    mkdir -p /etc/udev/rules.d /run/udev
    cp /udev/lib/udev/rules.d/50-udev-default.rules /etc/udev/rules.d/
    (exec -a systemd-udevd /udev/bin/udevadm --daemon) >"$out/udevd.log" 2>&1
    udevd_pid=$(pidof systemd-udevd || true)
    [ -n "$udevd_pid" ] || echo "udevd did not start"
}
installed_rule=/usr/lib/udev/rules.d/60-vr480.rules

if [ "$mode" = installed ]; then
    # The package's rule and program, for a member of plugdev.
    if [ -f "$installed_rule" ] && [ "$(command -v vr480-cli)" = /usr/bin/vr480-cli ]; then
        start_udevd
        user=tester
        run_case "installed rule and vr480-cli: info in both modes, restart both ways" info_and_restarts
        run_case "installed rule and vr480-cli: full upgrade, memories checked" upgrade
    else
        echo "FAIL: the package's $installed_rule and /usr/bin/vr480-cli are not both installed"
        failed=1
    fi
else
    [ ! -f "$installed_rule" ] || echo "$installed_rule is installed: the cases without it will fail"
    user=root
    all_cases

    # Without udev the device node is root's alone: libusb 0.1 does not even list
    # it; libusb0/ lists it, and the opening is refused.
    user=tester
    run_case "no permission, no udev: vr480-cli says so" no_permission_cli
    run_case "no permission, no udev: the window's log says so" no_permission_window

    # udevd with Debian's default rules: the node may be read but not written.
    start_udevd
    run_case "no permission, Debian's rules: vr480-cli says so" no_permission_cli
    run_case "no permission, Debian's rules: the window's log says so" no_permission_window

    # With the rule, a member of plugdev may open it.
    cp "$source_dir/packaging/udev/60-vr480.rules" /etc/udev/rules.d/
    /udev/bin/udevadm control --reload
    all_cases
fi

dmesg >"$out/dmesg.log"
echo "time: $(since "$start") s for all cases"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
