// The port seam: one of the two ports, chosen by the form of C2_PROG_DEV.
#include <cerrno>
#include <cstring>

#include "port.h"
#include "port_backends.h"

namespace {
bool on_gpio = false;
}  // namespace

int port_failed(PortProblem *problem, const char *hint, const std::string *name)
{
    int err = errno;
    if (name)
        problem->name = *name;
    problem->detail = strerror(err);
    problem->hint = hint;
    errno = err;
    return -1;
}

int port_open(const char *device, PortProblem *problem)
{
    on_gpio = strchr(device, ':') != nullptr;
    return on_gpio ? gpio_open(device, problem) : ppdev_open(device, problem);
}

int port_claim(int fd, PortProblem *problem)
{
    return on_gpio ? gpio_claim(fd, problem) : ppdev_claim(fd, problem);
}

void port_write_data(int fd, uint8_t value)
{
    if (on_gpio)
        gpio_write_data(value);
    else
        ppdev_write_data(fd, value);
}

uint8_t port_read_status(int fd) { return on_gpio ? gpio_read_status() : ppdev_read_status(fd); }

void port_close(int fd)
{
    if (on_gpio)
        gpio_close(fd);
    else
        ppdev_close(fd);
}
