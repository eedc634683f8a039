// Linux ppdev implementation of the port seam. This is the only file that
// includes the ppdev and ioctl headers.
#include "port.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The request numbers the adapter protocol is built on.
static_assert(PPCLAIM == 0x708B);
static_assert(PPWDATA == 0x40017086);
static_assert(PPRSTATUS == 0x80017081);

int port_open(const char *path) { return open(path, O_RDWR); }

int port_claim(int fd) { return ioctl(fd, PPCLAIM); }

void port_write_data(int fd, uint8_t value) { ioctl(fd, PPWDATA, &value); }

uint8_t port_read_status(int fd)
{
    // Stays 0x80 when the request fails: C2D reads 0, so a WAIT field or an
    // out-ready poll keeps waiting (and times out) rather than going on.
    unsigned char status = 0x80;
    ioctl(fd, PPRSTATUS, &status);
    return status;
}

void port_close(int fd) { close(fd); }
