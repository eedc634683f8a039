#!/bin/sh
# Every fixed message in the sources must appear in the manual's DIAGNOSTICS.
root=$1
export LC_ALL=C.UTF-8   # man fails where LANG names a locale that is not generated
man=$(MANWIDTH=2000 man -l "$root/docs/harlune.1" 2>/dev/null | tr -s ' ')
fail=0
for text in "Problem opening" "Problem claiming" "No target answering on" "usually means that no target answers" \
    "instead of 0x0d in" "Timed out waiting for in-busy to clear" "Timed out waiting for out-ready" \
    "Timed out waiting for the WAIT field of a data frame" "c2_block_read error in readprg" \
    "I can't allocate the memory" "I can't read data from the device" "I can't read the data from the device" \
    "I was not able to allocate memory in the" "Comparison error at" "Programming stopped" \
    "the data to be programmed" "bytes that C2 flash addresses reach" "I can't write data" "I can't read data" \
    "Interrupted by" "The flash content is incomplete" " redone " " in this run: " "given up after" "did not answer its restart" "the device erase did not complete" \
    "line does not start with" "not a hex digit in column" "odd number of hex digits" "record cut short: " \
    " but the line holds " "checksum 0x" "record type 0x" " with byte count 0x" " beyond 64 KiB" \
    "written twice (overlapping records)" "no end-of-file record" "data after the end-of-file record" \
    "no data bytes: nothing to program" "is named" "too slow for C2: a " " request takes " \
    "harlune: waiting for " "another program or driver holds the port" "another program or driver held the port for" \
    "the port is gone, or another program holds it for itself alone" "not a ppdev port: a printer device (/dev/lp0)" \
    "this kernel predates the GPIO v2 interface (Linux 5.10)" "the chip's driver cannot pull C2D up" " failed: " \
    "malformed pin list: " "malformed device: " "no permission to open the " "could not be claimed (" \
    "the kernel's serial driver (ftdi_sio) holds it" "did not answer the check for a bad command 0x" \
    "answered the check for a bad command 0x" "it is out of step (another program left it" \
    "replug the chip, check its hub and cable, then run the command again" "no answer in 2 s" "which has no MPSSE engine of the H series" "has no interface B" \
    "has no pins 8 to 15 (ACBUS)" "is not a pin number (0 to 15)" "are on different buses" \
    "is not an interface (A or B)" "the chip refused MPSSE mode: " "the chip took no MPSSE command: " \
    "USB transfer to the FTDI chip failed" " too late: reads go on one answer at a time"; do
    src=${text#Timed out waiting for }
    grep -rqF -- "$src" "$root/app" "$root/image" "$root/fpi" "$root/link" || { echo "not in the sources: $text"; fail=1; }
    printf '%s' "$man" | grep -qF -- "$text" || { echo "not in the manual: $text"; fail=1; }
done
exit $fail
