// The parallel port through Linux ppdev. The only file that includes the
// ppdev headers.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "port_backends.h"

// The request numbers the adapter protocol is built on.
static_assert(PPCLAIM == 0x708B);
static_assert(PPWDATA == 0x40017086);
static_assert(PPRSTATUS == 0x80017081);

namespace {

int ppdev_open(const char *path, PortProblem *problem)
{
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        std::string name = path;
        // A name that is nowhere near a device file may have meant another port.
        bool elsewhere = errno == ENOENT && strncmp(path, "/dev/", 5) != 0;
        return port_failed(problem,
                           elsewhere ? "  Check that the device exists (modprobe ppdev), that you may open it\n"
                                       "  (the lp group or a udev rule) and that C2_PROG_DEV names the right port.\n"
                                       "  C2_PROG_DEV takes one of three forms: a parallel port (/dev/parport0),\n"
                                       "  GPIO lines (/dev/gpiochipN:ck=LINE,d=LINE) or an FTDI chip (ftdi:ck=PIN,d=PIN).\n"
                                     : "  Check that the device exists (modprobe ppdev), that you may open it\n"
                                       "  (the lp group or a udev rule) and that C2_PROG_DEV names the right port.\n",
                           &name);
    }
    return fd;
}

int ppdev_claim(int fd, PortProblem *problem)
{
    if (ioctl(fd, PPCLAIM) != 0)
        return port_failed(problem, "  Check that no other driver or program holds the port (lp, a printer daemon).\n");
    return 0;
}

void ppdev_write_data(int fd, uint8_t value) { ioctl(fd, PPWDATA, &value); }

uint8_t ppdev_read_status(int fd)
{
    // Stays 0x80 when the request fails: C2D reads 0, so a WAIT field or an
    // out-ready poll keeps waiting (and times out) rather than going on.
    unsigned char status = 0x80;
    ioctl(fd, PPRSTATUS, &status);
    return status;
}

void ppdev_close(int fd) { close(fd); }

// Each request at once, each wait the host's own.

}  // namespace

const PortOps ppdev_port = {"parallel port (Linux ppdev)", ppdev_open, ppdev_claim, ppdev_write_data,
                            ppdev_read_status, ppdev_close, nullptr, nullptr, nullptr};
