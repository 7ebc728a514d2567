#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every test,
# then does the same under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh --tests
jobs=$(nproc)

run_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DVR480_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" --parallel "$jobs"
    ctest --test-dir "$dir" --output-on-failure --parallel "$jobs"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVR480_SANITIZE=ON

# The readers of outside files under libFuzzer for a bounded time: the Intel
# HEX conversion seeded with the HEX fixtures, the upgrade-file reader with a
# file the writer made; then the device played by the fuzzer, seeded with a
# correct exchange, each input bounded (-timeout: as long as one transfer's
# time-out, which the stand-in never waits out).
cmake -S . -B build-fuzz -G Ninja -DVR480_WERROR=ON -DVR480_FUZZ=ON -DVR480_BUILD_SIMULATOR=OFF -DVR480_BUILD_TESTS=OFF -DVR480_BUILD_BENCHMARKS=OFF \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target fuzz_intelhex fuzz_upgradefile fuzz_device fuzz_device_seed
seconds=${VR480_FUZZ_SECONDS:-60}
mkdir -p build-fuzz/corpus build-fuzz/corpus-upg
build-fuzz/fuzz_intelhex -max_total_time="$seconds" -print_final_stats=1 \
    -dict=tests/fuzz/intelhex.dict build-fuzz/corpus tests/fixtures
cp build/vr480_demo.upg build-fuzz/corpus-upg/
build-fuzz/fuzz_upgradefile -max_total_time="$(( (seconds + 2) / 3 ))" -max_len=393282 -print_final_stats=1 \
    build-fuzz/corpus-upg
# The played device's corpus starts afresh each run: replaying one grown over
# many runs would take longer than the fuzzing.
rm -rf build-fuzz/corpus-device
mkdir build-fuzz/corpus-device
build-fuzz/fuzz_device_seed build-fuzz/corpus-device/sound >/dev/null
build-fuzz/fuzz_device -max_total_time="$(( (seconds + 2) / 3 ))" -max_len=8192 -timeout=2 -print_final_stats=1 \
    build-fuzz/corpus-device
