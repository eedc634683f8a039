#!/usr/bin/env bash
# Build harlune and run it. With a parallel port (/dev/parport0, or
# C2_PROG_DEV) it talks to the board; without one it runs on the simulated
# adapter and target, whose flash is kept in build/sim-flash.bin.
#
#   scripts/run.sh              no board: program, verify and read back a
#                               random image; with a board: read the flash
#                               back into readback.bin (reading only)
#   scripts/run.sh p fw.bin     any harlune command line
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
"$root/scripts/build.sh" >/dev/null
bin="$root/build/app/harlune"
port=${C2_PROG_DEV:-/dev/parport0}

if [ -c "$port" ]; then
    if [ $# -eq 0 ]; then set -- r readback.bin; fi
    exec "$bin" "$@"
fi

echo "no parallel port at $port: using the simulated target (flash in build/sim-flash.bin)" >&2
export LD_PRELOAD="$root/build/sim/libharlune_sim.so"
export HARLUNE_SIM_DEVICE="$port"
export HARLUNE_SIM_FLASH="$root/build/sim-flash.bin"
if [ $# -gt 0 ]; then
    exec "$bin" "$@"
fi

demo="$root/build/demo"
mkdir -p "$demo"
head -c 15872 /dev/urandom >"$demo/image.bin"
set -x
"$bin" p "$demo/image.bin"
"$bin" v "$demo/image.bin"
"$bin" r "$demo/readback.bin"
cmp "$demo/image.bin" "$demo/readback.bin"
