#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program.
#   ./run.sh          the program, for a VR480 on this machine's USB
#   ./run.sh --demo   the same window with a simulated VR480 on the bus
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --parallel

program=vr480_bootloader
[ "${1:-}" = "--demo" ] && program=vr480_bootloader_sim
# The program looks for its translation (vr480_<locale>.qm) in the working directory.
cd build
exec "./$program"
