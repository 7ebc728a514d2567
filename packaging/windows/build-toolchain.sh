#!/usr/bin/env bash
# Builds the Windows (x86_64-w64-mingw32) toolchain the cross build needs: a
# minimal Qt 6, libusb-1.0 and a static zlib (for the simulator), all from
# Debian's own source packages, built
# with Debian's MinGW -posix compilers and Debian's host Qt tools, and a CMake
# toolchain file for the project. Prints the toolchain file's path on stdout
# (progress goes to stderr):
#
#     cmake -S . -B build-win -G Ninja \
#           -DCMAKE_TOOLCHAIN_FILE="$(packaging/windows/build-toolchain.sh)"
#
# The result lives outside any clone, in a cache that survives on the machine:
#     $VR480_WIN_CACHE (default /var/cache/vr480-windows)/
#         <key>/               one toolchain, reused while its key holds
#             mingw.cmake      the compilers and MinGW's own root, Qt's build
#             toolchain.cmake  mingw.cmake plus Qt, libusb-1.0 and pkg-config
#             prefix/          Qt and libusb-1.0 installed (bin, lib, include,
#                              plugins, lib/pkgconfig)
#             log/             the output of every step
#             complete         stamp, written last: the toolchain is whole
#         <key>.lock           held while a run builds or checks <key>
#         work/<key>/          sources and build trees, removed on success
# The key names the Debian versions of qt6-base, libusb-1.0, zlib and the MinGW
# compiler and a hash of the configuration (the configure lines and
# mingw.cmake), so a change to any of them builds a new toolchain beside the old
# ones; a key whose stamp is missing (an interrupted run) is built again from
# scratch. Two runs at once take turns on the lock; the second finds the first
# one's result.
#
# A seed folder (--seed DIR, or VR480_WIN_SEED) may hold cache entries packed
# as they stand in the cache, one per file named <key>.tar.zst: when the key
# computed here has no complete entry and the seed has its file, the entry is
# unpacked (and its stamp checked) instead of built. Any other key builds.
#
# Environment: VR480_WIN_CACHE (the cache folder), VR480_WIN_SEED (the seed
# folder), VR480_WIN_JOBS (parallel compile jobs, default 2). The Qt build takes 40-90 minutes on two cores: run
# it early, in the background and niced, e.g.
#     mkdir -p /var/cache/vr480-windows
#     setsid nohup nice -n 19 packaging/windows/build-toolchain.sh \
#         >/var/cache/vr480-windows/build-toolchain.log 2>&1 </dev/null &
# Needs root, or sudo, for apt-get (packages and a deb-src entry).
# `build-toolchain.sh --packages` only installs the packages and the deb-src
# entry, so that a build in the background needs apt's locks no more.
set -euo pipefail

readonly cache=${VR480_WIN_CACHE:-/var/cache/vr480-windows}
readonly jobs=${VR480_WIN_JOBS:-2}
readonly target=x86_64-w64-mingw32
readonly host_cmake_dir=/usr/lib/x86_64-linux-gnu/cmake
readonly packages=(
    g++-mingw-w64-x86-64-posix mingw-w64-tools dpkg-dev perl ninja-build cmake
    qt6-base-dev qt6-base-dev-tools zstd
)
readonly src_list=/etc/apt/sources.list.d/vr480-debian-src.sources

# Qt: release DLLs of Core, Gui, Widgets and Test with the windows and
# offscreen platform plugins and the Vista style, everything else off. Debian's
# source drops the Wintab headers, hence no tablet events; without Direct2D the
# windows plugin only links without DirectWrite 3 as well.
readonly qt_configure=(
    -release -shared -xplatform win32-g++ -qt-host-path /usr
    -nomake examples -nomake tests
    -no-dbus -no-opengl -no-icu -no-fontconfig -no-glib -no-pch -no-libjpeg
    -no-feature-network -no-feature-sql -no-feature-printsupport
    -no-feature-concurrent -no-feature-xml
    -no-feature-tabletevent -no-feature-direct2d -no-feature-directwrite3
    -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -qt-doubleconversion
)
readonly libusb_configure=(--host=$target --disable-static)

say() { printf '[%(%H:%M:%S)T] build-toolchain: %s\n' -1 "$*" >&2; }
die() { say "$*"; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_get() {
    # Waits for another apt run (other sessions share the machine) instead of failing.
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=1200 "$@"
}

# The compilers and MinGW's own root: the toolchain Qt is built with, and the
# base of the project's toolchain file.
mingw_toolchain() {
    cat <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER /usr/bin/$target-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/$target-g++-posix)
set(CMAKE_RC_COMPILER /usr/bin/$target-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$target $*)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

project_toolchain() {
    local prefix=$1
    mingw_toolchain "$prefix"
    cat <<EOF
set(CMAKE_PREFIX_PATH $prefix)
# Qt's tools (moc, rcc, uic, lrelease) are the host's, the same Debian version.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR $host_cmake_dir)
# MinGW's pkg-config, looking at the toolchain only (the host's would find
# Linux libraries).
set(PKG_CONFIG_EXECUTABLE /usr/bin/$target-pkg-config CACHE FILEPATH "")
set(ENV{PKG_CONFIG_LIBDIR} $prefix/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Debian's source packages (name=version) of what the programs carry: Qt and
# libusb-1.0 built here, the MinGW runtime DLLs from the compiler's packages.
set(VR480_WIN_SOURCE_PACKAGES qt6-base=$qt_version libusb-1.0=$libusb_version $(runtime_sources))
EOF
}

# The source packages of the MinGW runtime DLLs (libstdc++, libgcc_s,
# libwinpthread) that a program built here carries.
runtime_sources() {
    local dll package
    for dll in /usr/lib/gcc/$target/*-posix/libstdc++-6.dll /usr/$target/lib/libwinpthread-1.dll; do
        package=$(dpkg -S "$dll" | cut -d: -f1)
        dpkg-query -W -f='${source:Package}=${source:Version} ' "$package"
    done
}

install_packages() {
    local missing=() package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    local need_update=0
    if [ ! -e "$src_list" ]; then
        say "adding Debian 12's source archive ($src_list)"
        printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" \
            "Suites: bookworm" "Components: main" \
            "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
            as_root tee "$src_list.tmp" >/dev/null
        as_root mv "$src_list.tmp" "$src_list"
        need_update=1
    fi
    # A missing package, or apt's lists without the sources (never updated
    # since the entry was added): read the archive again.
    [ ${#missing[@]} -gt 0 ] && need_update=1
    [ -n "$(apt-cache showsrc --only-source libusb-1.0 2>/dev/null)" ] || need_update=1
    [ $need_update -eq 1 ] && apt_get update >&2
    if [ ${#missing[@]} -gt 0 ]; then
        say "installing ${missing[*]}"
        apt_get install -y --no-install-recommends "${missing[@]}" >&2
    fi
}

# The newest version of a source package in apt's lists.
source_version() {
    local version newest=""
    for version in $(apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p'); do
        if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then
            newest=$version
        fi
    done
    printf '%s\n' "$newest"
}

# Runs a step with its output in log/<name>.log; on failure shows its end.
step() {
    local name=$1; shift
    say "$name"
    if ! "$@" >"$log/$name.log" 2>&1; then
        tail -n 40 "$log/$name.log" >&2
        die "$name failed, see $log/$name.log"
    fi
}

fetch() {  # package version folder
    mkdir -p "$3"
    (cd "$3" && apt-get source --only-source "$1=$2")
}

build_qt() {
    local source
    source=$(find "$work/qt" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')
    mkdir -p "$work/qt-build"
    cd "$work/qt-build"
    step qt-configure "$source/configure" -prefix "$prefix" "${qt_configure[@]}" \
        -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$dir/mingw.cmake" \
        -DQT_HOST_PATH_CMAKE_DIR="$host_cmake_dir"
    step qt-build cmake --build . --parallel "$jobs"
    step qt-install cmake --install .
}

# Static, so that nothing but the simulator carries it.
build_zlib() {
    local source
    source=$(find "$work/zlib" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*')
    cd "$source"
    step zlib-configure env CHOST=$target CC=$target-gcc-posix ./configure --static --prefix="$prefix"
    step zlib-build make -j"$jobs" libz.a
    step zlib-install make install
}

build_libusb() {
    local source
    source=$(find "$work/libusb" -mindepth 1 -maxdepth 1 -type d -name 'libusb-1.0-*')
    cd "$source"
    step libusb-configure ./configure "${libusb_configure[@]}" --prefix="$prefix" \
        CC=$target-gcc-posix CXX=$target-g++-posix
    step libusb-build make -j"$jobs"
    step libusb-install make install
}

# Unpacks the seed's packed entry for `key` into the cache, beside it first,
# then renamed into place: true when the seed has it and it unpacked whole
# (one top folder, the key's, with its stamp). The lock of the key is held.
unpack_seed() {
    local packed=$seed/$key.tar.zst staging=$cache/work/$key.seed
    [ -n "$seed" ] && [ -f "$packed" ] || return 1
    say "unpacking $packed"
    rm -rf "$staging"
    mkdir -p "$staging"
    if ! tar -C "$staging" --zstd --no-same-owner -xf "$packed" ||
        [ "$(ls -A "$staging")" != "$key" ] || [ ! -s "$staging/$key/complete" ]; then
        rm -rf "$staging"
        say "$packed is not a complete entry for $key: building instead"
        return 1
    fi
    rm -rf "$dir"
    mv "$staging/$key" "$dir"
    rmdir "$staging"
}

main() {
    local started=$SECONDS
    install_packages

    local qt_version libusb_version zlib_version mingw_version
    # The cross-built Qt must be the host tools' exact version.
    qt_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev-tools)
    libusb_version=$(source_version libusb-1.0)
    zlib_version=$(source_version zlib)
    mingw_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
    [ -n "$libusb_version" ] || die "no source of libusb-1.0 in apt's lists"
    [ -n "$zlib_version" ] || die "no source of zlib in apt's lists"

    local config_hash key
    config_hash=$( { printf '%s\n' "${qt_configure[@]}" -- "${libusb_configure[@]}" --
                     mingw_toolchain; } | sha256sum | cut -c1-12)
    # Epochs left out: they never tell two builds of one upstream version apart.
    key=$(printf 'qt%s_libusb%s_zlib%s_mingw%s_%s' "${qt_version#*:}" "${libusb_version#*:}" \
              "${zlib_version#*:}" "${mingw_version#*:}" "$config_hash" | tr '~' '_')
    dir=$cache/$key
    prefix=$dir/prefix
    log=$dir/log
    work=$cache/work/$key

    mkdir -p "$cache"
    exec 9>>"$cache/$key.lock"
    flock 9
    if [ -e "$dir/complete" ]; then
        say "reusing $dir"
    elif unpack_seed; then
        say "unpacked $dir"
    else
        say "building $dir"
        rm -rf "$dir" "$work"
        mkdir -p "$log" "$work"
        mingw_toolchain >"$dir/mingw.cmake"
        step qt-source fetch qt6-base "$qt_version" "$work/qt"
        step libusb-source fetch libusb-1.0 "$libusb_version" "$work/libusb"
        step zlib-source fetch zlib "$zlib_version" "$work/zlib"
        build_zlib
        build_libusb
        build_qt
        cd "$cache"
        rm -rf "$work"
    fi

    # Written on every run, so it follows this script; replaced atomically.
    project_toolchain "$prefix" >"$dir/toolchain.cmake.tmp"
    mv "$dir/toolchain.cmake.tmp" "$dir/toolchain.cmake"
    [ -e "$dir/complete" ] || date -u +%FT%TZ >"$dir/complete"
    say "done in $((SECONDS - started)) s"
    printf '%s\n' "$dir/toolchain.cmake"
}

# All of the script is read before it runs: an edit while it builds cannot
# change the run.
seed=${VR480_WIN_SEED:-}
mode=build
while [ $# -gt 0 ]; do
    case $1 in
    --packages) mode=packages ;;
    --seed) [ $# -ge 2 ] || die "--seed needs a folder"; seed=$2; shift ;;
    *) die "unknown option $1" ;;
    esac
    shift
done
if [ -n "$seed" ]; then
    [ -d "$seed" ] || die "no seed folder $seed"
    seed=$(cd "$seed" && pwd)
fi
if [ $mode = packages ]; then
    install_packages
else
    main
fi
exit
