#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, if any is missing; with
# --tests also those the tests need (SRecord for the HEX cross-check, clang for
# the fuzzer, libusb-1.0 for libusb0/ and its test); with --package those that
# build the Debian package (dpkg-dev for its dependencies, file); with
# --package-checks those that check it (lintian, desktop-file-utils, man-db,
# strace, bash-completion); with --windows those that run the Windows build and its installer
# (Wine, NSIS, Xvfb and X tools, locales, fonts, and libusb-1.0 whose copyright file
# the installer carries; the cross toolchain is packaging/windows/build-toolchain.sh's).
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-qpa-plugins
    libusb-dev zlib1g-dev
)
for option in "$@"; do
    case $option in
    --tests) packages+=(srecord clang libclang-rt-14-dev libusb-1.0-0-dev) ;;
    --package) packages+=(dpkg-dev file) ;;
    --package-checks) packages+=(lintian desktop-file-utils man-db strace bash-completion) ;;
    --windows) packages+=(wine wine64 nsis xvfb xauth x11-utils x11-apps locales fonts-dejavu-core libusb-1.0-0) ;;
    *) echo "install-deps.sh: unknown option $option" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=1200 install -y -q --no-install-recommends "${missing[@]}"
