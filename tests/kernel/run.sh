#!/usr/bin/env bash
# The program on a real USB stack: boots Debian's kernel under QEMU (software
# emulation), puts simulated VR480 devices on the guest's USB through USB/IP
# (vr480-usbip), and runs the real vr480-cli, linked with the system's libusb
# 0.1 (or, in a build configured with VR480_LIBUSB0_COMPAT, with libusb0/ over
# libusb-1.0), against them: once as root, once as a user in plugdev with the
# udev rule installed and udevd running, and without the rule for the
# permission messages. Prints one line per case and "N passed, M failed";
# exits non-zero on any failure.
#
#   tests/kernel/run.sh [BUILD_DIR [--installed]]   (default: build, already built)
#
# --installed: only a user's pass with the udev rule and vr480-cli of the Debian
# package installed on this machine (the guest sees this machine's /usr).
#
# Installs qemu-system-x86 and busybox-static when missing; downloads the
# kernel and udev packages and unpacks them (dpkg-deb -x) under
# BUILD_DIR/kernel-test, which also keeps the guest's logs (out/).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$source_dir/build}" && pwd)
mode=""
[ "${2:-}" = --installed ] && mode=installed
work=$build/kernel-test

for program in vr480-cli vr480-usbip vr480_kernel_check vr480_kernel_upgrade_log; do
    [ -x "$build/$program" ] || { echo "$build/$program is missing: build first" >&2; exit 2; }
done
echo "vr480-cli uses $(ldd "$build/vr480-cli" | grep -o 'libusb[^ ]*' | head -1)"

# --- What the guest needs from Debian --------------------------------------------

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
missing=()
for package in qemu-system-x86 busybox-static; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi

mkdir -p "$work/debs"
kernel_package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
if [ -z "$kernel_package" ]; then
    $sudo apt-get update -q >/dev/null
    kernel_package=$(apt-cache depends linux-image-amd64 | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -1)
fi
version=${kernel_package#linux-image-}
root=$work/root-$version
if [ ! -d "$root/lib/modules/$version" ]; then
    echo "Downloading $kernel_package and udev"
    rm -rf "$work/debs"/*.deb "$work"/root-*
    # apt-get download writes into the current folder as the _apt user when it can.
    (cd "$work/debs" && chmod 777 . && apt-get download -q "$kernel_package" udev >/dev/null)
    for deb in "$work/debs"/*.deb; do dpkg-deb -x "$deb" "$root.tmp"; done
    mv "$root.tmp" "$root"
fi

# --- The initramfs: busybox, the modules to load, the first process ----------------

modules_dir=$root/lib/modules/$version
module_path() { find "$modules_dir/kernel" -name "$1.ko" -o -name "${1//_/-}.ko" | head -1; }
# A module after those it depends on (read from its .modinfo section).
declare -A listed=()
order=()
add_module() {
    local file depends dep
    file=$(module_path "$1")
    [ -n "$file" ] || { echo "module $1 not found in $kernel_package" >&2; exit 1; }
    [ -n "${listed[$file]:-}" ] && return
    depends=$(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | head -1)
    for dep in ${depends//,/ }; do add_module "$dep"; done
    listed[$file]=1
    order+=("$file")
}
for module in virtio_pci 9pnet_virtio 9p vhci-hcd; do add_module "$module"; done

initramfs=$work/initramfs
rm -rf "$initramfs"
mkdir -p "$initramfs"/{bin,sbin,etc,modules,proc,sys,dev,tmp,run,usr,out,udev}
cp /bin/busybox "$initramfs/bin/busybox"
for applet in $(/bin/busybox --list); do [ "$applet" = busybox ] || ln -s busybox "$initramfs/bin/$applet"; done
ln -s usr/lib "$initramfs/lib"
ln -s usr/lib64 "$initramfs/lib64"
for file in "${order[@]}"; do
    cp "$file" "$initramfs/modules/"
    basename "$file" >>"$initramfs/modules/order"
done
cp "$here/init" "$initramfs/init"
chmod 755 "$initramfs/init"
printf 'root:x:0:0:root:/root:/bin/sh\ntester:x:1000:1000:tester:/tmp:/bin/sh\n' >"$initramfs/etc/passwd"
printf 'root:x:0:\nplugdev:x:46:tester\ntester:x:1000:\n' >"$initramfs/etc/group"
(cd "$initramfs" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initramfs.gz"

# --- The guest -------------------------------------------------------------------

rm -rf "$work/out"
mkdir -p "$work/out"
shares=()
share() { shares+=(-virtfs "local,path=$1,mount_tag=$2,security_model=none${3:+,$3}"); }
share /usr usr readonly=on
share "$source_dir" source readonly=on
share "$build" build readonly=on
share "$root" udev readonly=on
share "$work/out" out
echo "Booting $kernel_package under QEMU (software emulation)"
timeout 900 qemu-system-x86_64 -machine q35 -accel tcg,thread=multi -smp 2 -m 1536 \
    -display none -serial stdio -monitor none -no-reboot "${shares[@]}" \
    -kernel "$root/boot/vmlinuz-$version" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 vr480.source=$source_dir vr480.build=$build vr480.mode=$mode" \
    </dev/null | sed -u 's/\r$//' | tee "$work/out/console.log" || true

status=$(cat "$work/out/status" 2>/dev/null || echo 1)
[ -f "$work/out/status" ] || echo "The guest ended without a result; see $work/out/console.log" >&2
exit "$status"
