#!/bin/sh
# Compile an 8051 program with sdcc, convert its Intel HEX to a raw image with
# 0xFF gaps, program it into the simulated target, verify it and read it back;
# then program and verify the Intel HEX file itself into a fresh target.
set -eu
src=$1 bin=$2 lib=$3
if ! command -v sdcc >/dev/null 2>&1; then
    echo "sdcc is not installed (apt-get install sdcc): skipping"
    exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
sdcc "$src/tests/firmware/blink.c" >/dev/null
objcopy -I ihex -O binary --gap-fill 0xff blink.ihx blink.bin
size=$(wc -c <blink.bin)
[ "$size" -gt 0 ]
unset C2_PROG_DEV
# harlune on the simulated target whose flash is in $flash; the simulator is
# preloaded into it alone.
flash=flash.bin
harlune() {
    LD_PRELOAD="$lib" HARLUNE_SIM_CLOCK=virtual HARLUNE_SIM_FLASH="$dir/$flash" \
        ASAN_OPTIONS=verify_asan_link_order=0${ASAN_OPTIONS:+:$ASAN_OPTIONS} "$bin" "$@"
}
harlune p blink.bin >p.out
grep -q "Succesfully verified $size bytes" p.out
harlune v blink.bin >v.out
grep -q "Succesfully verified $size bytes" v.out
harlune r back.bin "$size" >/dev/null
cmp blink.bin back.bin
# The simulated flash holds the program and is erased beyond it.
head -c "$size" flash.bin | cmp - blink.bin
# The Intel HEX file programs and verifies as the raw image did.
flash=flash-ihx.bin
harlune p blink.ihx >p-ihx.out
cmp p.out p-ihx.out
harlune v blink.ihx >v-ihx.out
cmp v.out v-ihx.out
cmp flash.bin flash-ihx.bin
echo "firmware of $size bytes programmed, verified and read back; programmed and verified from blink.ihx"
