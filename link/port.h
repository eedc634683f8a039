// The port seam: the only calls through which the link reaches the adapter.
// Three ports sit behind it, each a table of operations (PortOps): a
// parallel port through Linux ppdev, GPIO lines on a Linux GPIO chip, and an
// FTDI MPSSE chip through libftdi; the benchmark adds a counting port. The
// link above the seam is the same for all: it writes the adapter's
// data-register byte and reads its status register. Nothing outside link/
// (but the link's tests and the benchmark) can include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "c2.h"

// The adapter's data register, the byte every write carries:
constexpr uint8_t RST_BIT = 0x08;   // C2CK reset control: released when set, active (C2CK low) when clear
constexpr uint8_t CK_NEN = 0x10;    // C2CK driver off when set
constexpr uint8_t CK_LEVEL = 0x20;
constexpr uint8_t D_NEN = 0x40;     // C2D driver off when set
constexpr uint8_t D_LEVEL = 0x80;
// The status register: C2D on bit 7, inverted (the port's BUSY input).
constexpr uint8_t STATUS_BUSY = 0x80;

// One port: a table of operations, each port's handle kept in its own file.
// A table names only what its port has: the members it leaves out keep
// their defaults, false or null.
// port_open asks each port in turn whether C2_PROG_DEV is its form; the one
// that takes it parses it, then opens, then claims. A port that does each
// request at once (ppdev, GPIO) leaves read_into, sync and hold null: the
// link then reads each bit at once and waits itself. A port that queues its
// requests (FTDI) delivers queued reads when an answer is needed, and keeps
// the link's delays on its own clock.
struct PortOps {
    const char *name;              // as --version lists it
    bool keeps_time = false;       // times each clock pulse and every delay itself (hold)
    bool queues_requests = false;  // reads answered later (read_into, sync)
    // A request of this port in the "too slow for C2" text ("port", "line"),
    // and the remedy under it; null on a port that keeps time.
    const char *request_noun = nullptr;
    const char *slow_hint = nullptr;
    // True when C2_PROG_DEV has this port's form.
    bool (*takes)(const char *device);
    // Read the form. 0, or -1 with errno set and *problem filled (the open
    // fails). A fault it finds that the claim reports is kept for the claim.
    int (*parse)(const char *device, PortProblem *problem);
    // 0, or -1 with errno set and *problem filled.
    int (*open)(PortProblem *problem);
    int (*claim)(PortProblem *problem);
    void (*write_data)(uint8_t value);
    uint8_t (*read_status)();  // answered now
    void (*close)();           // gives up what open and claim took
    // queues_requests: queue a read of C2D that ORs mask into *byte if C2D
    // reads 1; done by the next read_status or sync at the latest.
    void (*read_into)(uint8_t *byte, uint8_t mask) = nullptr;
    // queues_requests: every queued request done and every queued read delivered.
    void (*sync)() = nullptr;
    // keeps_time: hold the lines as they are for `us`: true when held on the
    // port's own time, false when the host must wait itself (the lines stay
    // as they are).
    bool (*hold)(uint32_t us) = nullptr;
    // queues_requests: the reads one transfer may carry before the chip's
    // answer buffer would fill (it stops running commands until the host
    // reads); null: no read is queued ahead of the answers it depends on.
    size_t (*answer_room)() = nullptr;
};
extern const PortOps ppdev_port, gpio_port, ftdi_port;
// Every port built in, in the order --version lists them.
extern const PortOps *const all_ports[3];

// A port asked before those built in (the benchmark's counting port).
void port_add(const PortOps *port);
// The port whose form C2_PROG_DEV has: the one added, else the FTDI prefix,
// else a colon (GPIO), else the parallel port, which takes any name.
const PortOps *port_taking(const char *device);
// device: C2_PROG_DEV. "ftdi:..." names an FTDI chip and its pins; any other
// value with a colon ("/dev/gpiochipN:ck=LINE,d=LINE[,rst=LINE]") a GPIO chip
// and its lines; anything else a parallel port device. 0, or -1 with errno
// set and *problem filled.
int port_open(const char *device, PortProblem *problem);
// Take the port: PPCLAIM, the GPIO line request, or the FTDI chip in MPSSE
// mode (every line an input until the first write). 0 on success, non-zero
// with errno set and *problem filled.
int port_claim(PortProblem *problem);
// The least time of one request that changes no line (a status read), of
// several made after the claim, on the strobe watchdog's clock: no request
// of the port is faster. 0 on a port that keeps time.
uint64_t port_request_floor();
// *problem says that the port is too slow for C2: each request takes
// `floor_ns` at least.
void port_too_slow(uint64_t floor_ns, PortProblem *problem);
// One request that puts the data-register byte on the lines. A failed one
// ends the run (c2_port_lost).
void port_write_data(uint8_t value);
// One request that reads the status register; C2D on bit 7, inverted. A
// failed one ends the run (c2_port_lost).
uint8_t port_read_status();
// One request that reads C2D: mask is ORed into *byte if C2D reads 1, at
// once or by the next port_read_status or port_sync.
void port_read_into(uint8_t *byte, uint8_t mask);
// Every read queued by port_read_into delivered.
void port_sync();
// True when the port held the lines `us` on its own clock (the host need
// not wait); false when the host must wait itself (no such clock, or a long
// hold the port leaves to the host's sleep).
bool port_hold(uint32_t us);
// True when the port times each clock pulse itself, so no hold-up of the
// host can stretch one (the link's strobe watchdog then stays off).
bool port_keeps_time();
// The reads one transfer may carry ahead of their answers; 0 on a port that
// answers each read at once, or one that cannot hold a batch.
size_t port_answer_room();
// Gives up the port (and its lines); nothing when none is open.
void port_close();

// A port request failed in a way no retry mends (the device unplugged, its
// driver gone): print "harlune: <why>" and the remedy on stderr and end the
// run at once with status 255, with no further request and no wait. The
// stop clean-up runs (a read-back's file is removed), and a command that had
// begun to change the flash says so. Called by the ports.
[[noreturn]] void c2_port_lost(const std::string &why, const char *remedy);
