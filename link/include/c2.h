// The C2 link over the adapter's data register, on a PC parallel port
// (ppdev), on GPIO lines of a Linux GPIO chip or on an FTDI MPSSE chip. This
// header is the only way to the port: open and claim it, drive and release
// the C2 lines, pulse the reset, run the four C2 frames.
#pragma once

#include <cstdint>
#include <string>

#include "c2_result.h"

// Result of a data frame.
enum { C2_OK = 0, C2_TIMEOUT = -1, C2_LATE = -3 };  // or C2_DISTURBED

// How long a WAIT field may last before the frame gives up. The target
// answers within 10 us; a second leaves room for a slow adapter or host.
constexpr uint32_t C2_WAIT_LIMIT_MS = 1000;

// Why the port could not be had, for the caller to print.
struct PortProblem {
    bool claiming = false;  // the open went through, the claim did not
    std::string name;       // the device for "Problem opening/claiming %s"
    std::string detail;     // the cause, one line without a newline
    std::string hint;       // advice, whole lines
};

// Open and claim the port, and time its cheapest request (the watchdog's
// floor). 0, or -1 with *problem filled when the port cannot be opened or
// claimed or is too slow for C2; nothing is printed and nothing driven.
// Registers ClosePorts with atexit once the port is open.
int OpenPorts(const char *path, PortProblem *problem);
// Close the port (the exit handler).
void ClosePorts();

// C2CK high, then its driver on.
void c2_open();
// C2D driver off, then C2CK driver off.
void c2_release();

// Clock strobe: C2CK low, then high, nothing in between.
void C2CK_low_pulse();
// Reset pulse: reset control active for 40 us, released, 3 us settle.
void C2CK_reset();

void AddressWrite(uint8_t address);
// Returns the target's interface status.
uint8_t AddressRead();
// Length code n carries 8 * (n + 1) bits. Both return C2_OK, C2_TIMEOUT
// when the WAIT field did not end within C2_WAIT_LIMIT_MS (frame completed
// with its STOP, *value left 0), or C2_DISTURBED when the strobe watchdog tripped
// early in the WAIT field and the field was given up.
// DataWrite's hold_us: C2CK held high that long (on a port that keeps time)
// before the WAIT field's first sample.
int DataWrite(uint8_t code, uint32_t value, uint32_t hold_us = 0);
int DataRead(uint8_t code, uint32_t *value);
// A Data Read in one exchange on a port that queues its reads: its WAIT
// field is one sample after a hold of hold_us with C2CK high, and the data
// bits are strobed and read whatever that sample shows. C2_OK, or C2_LATE:
// the field had not ended, so the target took the frame's rest out of step
// and is in no known state (restart it); *value is then not to be trusted.
int DataReadHeld(uint8_t code, uint32_t *value, uint32_t hold_us);
// A one-byte Data Read whose byte may land in *byte only by the next frame
// that needs an answer (a WAIT field, an Address Read) or by c2_sync: a port
// that queues its requests (FTDI) sends it with the next USB transfer it
// makes anyway. At once on the other ports. *byte must outlive that.
int DataReadByte(uint8_t *byte);
// Every byte of an earlier DataReadByte delivered.
void c2_sync();
// The most WAIT strobes one field took since the last call.
uint32_t c2_wait_most();

// Read batches: on a port that queues its reads and times its own holds
// (FTDI), the frames of several bytes of a block read go out in one
// transfer, each byte an out-ready poll and a one-byte Data Read, each poll
// and each WAIT field after a hold of C2CK high, and the answers are judged
// once the batch is back. Nothing of a batch writes to the target.
constexpr int C2_BATCH_MAX = 256;
// The bytes one batch may carry (the chip's answer buffer bounds it); 0 on
// a port that answers each read at once.
int c2_batch_bytes();
// Read up to n (at most c2_batch_bytes()) bytes, polling for ready_mask in
// the interface status; every byte delivered. The count of bytes before the
// first whose poll or WAIT sample did not show the target ready: that byte
// and those after it are not to be trusted, and the target is in no known
// state (restart it). *wait_late: that byte's poll showed ready but its
// WAIT field had not ended, so the target took the frames after it out of
// step (it may have taken some for writes).
int c2_read_batch(uint8_t *bytes, int n, uint8_t ready_mask, uint32_t hold_us, bool *wait_late);
// The ports built in, one line each, for --version.
const char *c2_port_name(int i);  // nullptr past the last

// Strobe watchdog. C2CK is also the target's reset pin: a strobe is promised
// only up to 5 us low, 20 us low resets the target, and in between nothing is
// promised; a preempted host can hold C2CK low that long between C2CK_LOW and
// C2CK_HIGH. The link reads the clock right before each strobe's C2CK_LOW and
// right after the request that raises C2CK returns: the bracket holds the
// whole low phase. It also holds the part of the request that takes C2CK
// low before the line changes, and the part of the one that raises it after:
// together about one request, and never less than the port's request floor
// (the cheapest request it made at the claim). A bracket less that floor of
// C2_STROBE_LIMIT_NS or more is a held pulse: a low of 5 us or more on the
// wire is always seen. Holds with C2CK high (between strobes, in polls and delays) are harmless and
// not seen. Reset pulses are not strobes.
constexpr uint64_t C2_STROBE_LIMIT_NS = 5000;
// The port's request floor in ns (port_request_floor), set once the port is
// claimed; 0 judges whole brackets.
void c2_watch_floor(uint64_t ns);
// Start a watched sequence (a command, the start-up); forget earlier pulses.
void c2_watch_start();
// The longest held pulse in ns since c2_watch_start, 0 if none.
uint64_t c2_watch_held();
// End the sequence: the longest held pulse in ns, 0 if none.
uint64_t c2_watch_end();
// Held pulses since the program started, watched or not, and the longest.
struct c2_watch_totals {
    uint64_t pulses;
    uint64_t longest_ns;
};
c2_watch_totals c2_watch_run();
// A target answers a WAIT field or a status poll within a few frames: a
// hold in the first this many strobes or polls of a wait ends it at once.
constexpr uint32_t C2_ANSWER_WINDOW = 256;
// The process runs at real-time priority: at frame boundaries (command
// starts, every 256 polls) the link then pauses 3 ms after each 40 ms of
// running, so that the kernel's real-time throttling never stops it inside
// a strobe.
void c2_set_realtime(bool on);

// Suspend for at least `us` microseconds; short delays spin on the monotonic
// clock so they do not oversleep.
void udelay(uint32_t us);
// The monotonic clock udelay keeps, in ns.
uint64_t c2_now_ns();

// A bounded wait that reads the clock only every C2_DEADLINE_STRIDE checks.
constexpr uint32_t C2_DEADLINE_STRIDE = 256;
struct c2_deadline {
    uint32_t limit_ms;
    uint32_t count;
    uint64_t start_ns;  // 0 until the first clock read
};
void c2_deadline_start(c2_deadline *d, uint32_t limit_ms);
// True once limit_ms have passed since the first clock read.
bool c2_deadline_passed(c2_deadline *d);
