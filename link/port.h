// The port seam: the only calls through which the link reaches the adapter.
// Two ports sit behind it: a parallel port through Linux ppdev, and GPIO
// lines on a Linux GPIO chip. The link above the seam is the same for both:
// it writes the adapter's data-register byte and reads its status register.
// Nothing outside link/ (but the link's tests and the benchmark) can include
// this header.
#pragma once

#include <cstdint>
#include <string>

// The adapter's data register, the byte every write carries:
constexpr uint8_t RST_BIT = 0x08;   // C2CK reset control: released when set, active (C2CK low) when clear
constexpr uint8_t CK_NEN = 0x10;    // C2CK driver off when set
constexpr uint8_t CK_LEVEL = 0x20;
constexpr uint8_t D_NEN = 0x40;     // C2D driver off when set
constexpr uint8_t D_LEVEL = 0x80;
// The status register: C2D on bit 7, inverted (the port's BUSY input).
constexpr uint8_t STATUS_BUSY = 0x80;

// Why an open or a claim failed.
struct PortProblem {
    std::string name;    // the device for "Problem opening/claiming %s"
    std::string detail;  // the cause, one line without a newline
    std::string hint;    // advice, whole lines
};

// device: C2_PROG_DEV. "/dev/gpiochipN:ck=LINE,d=LINE[,rst=LINE]" (any value
// with a colon) names a GPIO chip and its lines; anything else is a parallel
// port device. The descriptor, or -1 with errno set and *problem filled.
int port_open(const char *device, PortProblem *problem);
// Take the port: PPCLAIM, or the GPIO line request (every line an input until
// the first write). 0 on success, non-zero with errno set and *problem filled.
int port_claim(int fd, PortProblem *problem);
// One request that puts the data-register byte on the lines. Not examined.
void port_write_data(int fd, uint8_t value);
// One request that reads the status register; C2D on bit 7, inverted. A
// failed request reads as 0x80 (C2D low).
uint8_t port_read_status(int fd);
// Gives up the port (and its lines).
void port_close(int fd);
