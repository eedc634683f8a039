#!/usr/bin/env bash
# Build harlune and run it.
#
#   scripts/run.sh              no board: program, verify and read back a
#                               random image on the simulated target; with a
#                               board: read the flash back into readback.bin
#   scripts/run.sh p fw.bin     any harlune command line
#   scripts/run.sh --gpio ...   the same on a simulated GPIO chip (lines 17, 27)
#   scripts/run.sh --ftdi ...   the same on a simulated FTDI FT232H (pins 0, 1)
#
# C2_PROG_DEV names the port (default /dev/parport0). The simulated adapter
# and target (flash kept in build/sim-flash.bin) stand in only when
# C2_PROG_DEV is unset and /dev/parport0 does not exist: a port you name is
# always the real one, and a missing one is an error.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" --demo
bin="$root/build/app/harlune"
sim="$root/build/sim/libharlune_sim.so"
# The build says what it does only when there is something to build: a
# binary missing or a source newer than it (its errors always show).
if [ ! -e "$bin" ] || [ ! -e "$sim" ] ||
    [ -n "$(cd "$root" && find CMakeLists.txt app image fpi link -newer "$bin" -print -quit)" ] ||
    [ -n "$(cd "$root" && find sim -newer "$sim" -print -quit)" ]; then
    if [ -e "$bin" ]; then
        echo "building harlune and the simulator in build/ (sources changed)..." >&2
    else
        echo "building harlune and the simulator in build/ (about a minute the first time)..." >&2
    fi
    "$root/scripts/build.sh" harlune harlune_sim >/dev/null
elif ! log=$("$root/scripts/build.sh" harlune harlune_sim 2>&1 >/dev/null); then
    echo "$log" >&2
    exit 1
fi

gpio=
case "${1-}" in
    --gpio) gpio=gpio; shift ;;
    --ftdi) gpio=ftdi; shift ;;
esac
if [ -z "$gpio" ] && { [ -n "${C2_PROG_DEV+set}" ] || [ -e /dev/parport0 ]; }; then
    if [ $# -eq 0 ]; then set -- r readback.bin; fi
    exec "$bin" "$@"
fi

if [ "$gpio" = gpio ]; then
    export C2_PROG_DEV=/dev/gpiochip0:ck=17,d=27
    echo "Running on a SIMULATED GPIO chip ($C2_PROG_DEV) and target, not a board (flash in build/sim-flash.bin)."
elif [ "$gpio" = ftdi ]; then
    export C2_PROG_DEV=ftdi:ck=0,d=1 HARLUNE_SIM_FTDI_WIRING=ck=0,d=1
    echo "Running on a SIMULATED FTDI FT232H ($C2_PROG_DEV) and target, not a USB chip (flash in build/sim-flash.bin)."
else
    # Named, so that harlune's "using ..." line names the simulated port.
    export C2_PROG_DEV=/dev/parport0
    echo "No parallel port at /dev/parport0: running on a SIMULATED one ($C2_PROG_DEV) with the adapter and target, not a board (flash in build/sim-flash.bin)."
fi
export LD_PRELOAD="$sim"
export HARLUNE_SIM_DEVICE=/dev/parport0
export HARLUNE_SIM_FLASH="$root/build/sim-flash.bin"
# Counted time keeps the demo's output clean; HARLUNE_SIM_CLOCK=wire shows what
# this machine's own hold-ups inside clock pulses do (redos on stderr).
export HARLUNE_SIM_CLOCK="${HARLUNE_SIM_CLOCK:-virtual}"
if [ $# -gt 0 ]; then
    exec "$bin" "$@"
fi

demo="$root/build/demo"
mkdir -p "$demo"
head -c 15872 /dev/urandom >"$demo/image.bin"
step() {
    echo "\$ harlune $*"
    "$bin" "$@" || { echo "Demo failed: harlune $* exited with status $?" >&2; exit 1; }
}
step p "$demo/image.bin"
step v "$demo/image.bin"
step r "$demo/readback.bin"
if ! cmp -s "$demo/image.bin" "$demo/readback.bin"; then
    echo "Demo failed: the read-back differs from the image ($demo/readback.bin)" >&2
    exit 1
fi
echo "Demo done: a random 15872-byte image was programmed into the simulated target, verified, and read back identical (build/demo/)."
