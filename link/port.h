// The port seam: the only calls through which the link reaches the parallel
// port. port_ppdev.cpp implements it on Linux ppdev; nothing outside link/
// (but the link's tests and the benchmark) can include this header.
#pragma once

#include <cstdint>

// open(path, O_RDWR); the descriptor, or -1 with errno set.
int port_open(const char *path);
// PPCLAIM; 0 on success, non-zero with errno set.
int port_claim(int fd);
// PPWDATA: one byte to the data register. The result is not examined.
void port_write_data(int fd, uint8_t value);
// PPRSTATUS: the status register. A failed request reads as 0x80 (C2D low).
uint8_t port_read_status(int fd);
void port_close(int fd);
