#!/usr/bin/env bash
# Builds the Debian package of vr480_bootloader and vr480-cli from this tree:
# build-deb/vr480-bootloader_<version>_<architecture>.deb. Compiled with
# Debian's hardening flags; without the tests, the demos and the simulated
# device, which the package does not carry.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --package
# Dates in the package (its changelog) from the last commit, when there is one.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR480_WERROR=ON \
    -DVR480_BUILD_SIMULATOR=OFF -DVR480_BUILD_TESTS=OFF -DVR480_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-deb --parallel "${VR480_JOBS:-$(nproc)}"
rm -f build-deb/*.deb
(cd build-deb && cpack -G DEB >/dev/null)
ls build-deb/*.deb
