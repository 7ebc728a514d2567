#!/usr/bin/env bash
# The Windows release, built and tested on this Debian machine: the cross
# toolchain (packaging/windows/build-toolchain.sh, cached), the cross build
# with warnings as errors, the tests and the simulator, the suite under Wine
# (CTest), the NSIS installer, and the installer under Wine
# (tests/package/test-installer.sh). Prints each step's time.
#
#   packaging/windows/test-windows.sh [LINUX_BUILD_DIR]
#
# LINUX_BUILD_DIR (default build) holds the Linux vr480-cli that the installed
# one is compared with; it is built there when missing. The Windows build goes
# to build-win (VR480_WIN_BUILD to change it). VR480_WIN_SCREENSHOT=FILE.png
# saves the screen with the installed window.
set -euo pipefail
cd "$(dirname "$0")/../.."
readonly build=${VR480_WIN_BUILD:-build-win}
readonly linux_build=${1:-build}
readonly jobs=$(nproc)

timed() { # timed NAME COMMAND...
    local name=$1 started=$SECONDS
    shift
    printf '[%(%H:%M:%S)T] test-windows: %s\n' -1 "$name" >&2
    "$@"
    printf '[%(%H:%M:%S)T] test-windows: %s took %d s\n' -1 "$name" $((SECONDS - started)) >&2
}

timed dependencies scripts/install-deps.sh --windows
toolchain=$(timed toolchain packaging/windows/build-toolchain.sh)

launcher=()
command -v ccache >/dev/null &&
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
timed configure cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DVR480_WERROR=ON -DVR480_BUILD_BENCHMARKS=OFF "${launcher[@]}" >/dev/null
timed build cmake --build "$build" --parallel "$jobs"
timed suite ctest --test-dir "$build" --output-on-failure --parallel "$jobs"
timed installer cpack --config "$build/CPackConfig.cmake" -B "$build" >/dev/null
installer=$(ls "$build"/vr480-bootloader-*-win64.exe)
if [ ! -x "$linux_build/vr480-cli" ]; then
    [ -e "$linux_build/CMakeCache.txt" ] ||
        cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    timed linux-cli cmake --build "$linux_build" --target vr480-cli
fi
timed installer-test tests/package/test-installer.sh "$installer" "$linux_build/vr480-cli" \
    ${VR480_WIN_SCREENSHOT:+"$VR480_WIN_SCREENSHOT"}
