// C2 flash programming interface: target start-up, status polls and the
// flash commands, spoken through the programming data register.
#pragma once

#include <cstdint>

#include "c2_result.h"

// Target registers.
constexpr uint8_t C2_DEVICEID = 0x00;
constexpr uint8_t C2_FPCTL = 0x02;   // programming control
constexpr uint8_t C2_FPDAT = 0xB4;   // programming data

// Interface status (Address Read) flags.
constexpr uint8_t C2_OUT_READY = 0x01;
constexpr uint8_t C2_IN_BUSY = 0x02;

// Status byte with which the target accepts a command or its arguments.
constexpr uint8_t C2_COMMAND_OK = 0x0D;

// Flash command codes.
constexpr uint8_t C2_BLOCK_READ = 0x06;
constexpr uint8_t C2_BLOCK_WRITE = 0x07;
constexpr uint8_t C2_PAGE_ERASE = 0x08;
constexpr uint8_t C2_DEVICE_ERASE = 0x03;

// Poll limits. The target's flags change within 10 us and a page erase takes
// up to 40 ms: a second is generous for every poll. A device erase of the
// largest parts takes up to 10 s; its final poll gets twice that.
constexpr uint32_t C2_POLL_LIMIT_MS = 1000;
constexpr uint32_t C2_ERASE_LIMIT_MS = 20000;


// Recovery. A try of a command during which a clock pulse was held too long
// (see the link's strobe watchdog) may have been cut by a target reset: the
// target is restarted and the command redone, a block from its first byte
// that may not have gone through. A disturbed block write is read back and
// rewritten only from its first wrong byte, in pieces of C2_REPAIR_PIECE
// bytes from then on. C2_REDO_LIMIT disturbed tries in a row without
// progress, or C2_RUN_REDO_LIMIT redos in a run, give the command up.
constexpr int C2_REDO_LIMIT = 32;
constexpr int C2_RUN_REDO_LIMIT = 5000;
constexpr int32_t C2_REPAIR_PIECE = 32;

// Reset the target and switch on its programming interface. 0, -1 when the
// target did not end a WAIT field (nothing answering), or C2_DISTURBED.
int c2_init();
// Device ID (0 to 255), -1 when the target did not answer, or C2_DISTURBED.
int c2_device_id();

// Poll the interface status until in-busy is clear / out-ready is set.
// 0, -1 when the flag did not come within the limit, or C2_DISTURBED when
// the strobe watchdog tripped. Print nothing.
int c2_wait_in_busy();
int c2_wait_out_ready(uint32_t limit_ms = C2_POLL_LIMIT_MS);

// Flash commands. 0 when the exchange completed; -1 when the target refused
// (status other than 0x0D) or did not answer; C2_DISTURBED when the command
// was given up after its redos or the target's restart failed: the target
// is then in no known state. Each prints at most one line on stderr about
// its redos. Block reads and writes print one "#" progress mark on stdout
// per call when done, however many tries it took. The commands that change
// the flash make an interruption say so.
// address: bits 0-15 are sent; length: 1 to 256.
int c2_block_write(int32_t address, const uint8_t *data, int32_t length);
int c2_block_read(int32_t address, uint8_t *buffer, int32_t length);
int c2_page_erase(uint8_t page);
int c2_device_erase();

// End the line of progress marks on stdout with a newline.
void c2_progress_end();
// Before a message on stderr: stdout flushed, and where both streams are one
// terminal or one file (2>&1) a line of progress marks still open is ended
// on stderr, so that the message starts a line of its own. Stdout is not
// written.
void c2_note_start();
// At the end of a run that redid anything: one line on stderr with the
// clock pulses held too long, the longest, and what helps.
void c2_redo_summary();
