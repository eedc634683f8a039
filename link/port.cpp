// The port seam: one of the three ports, chosen by the form of C2_PROG_DEV.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "c2.h"
#include "clock.h"
#include "port.h"
#include "port_form.h"

const PortOps *const all_ports[3] = {&ppdev_port, &gpio_port, &ftdi_port};

namespace {
const PortOps *port = &ppdev_port;

// Reads timed for the floor: the least of them ignores the few that a busy
// machine holds up.
constexpr unsigned FLOOR_SAMPLES = 9;
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

std::string for_each_entry(const std::string &list, const char *unit,
                           const std::function<std::string(const std::string &key, const std::string &value)> &entry)
{
    std::string upper = unit;
    for (char &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (list.empty())
        return std::string("no ") + unit + "s given";
    for (size_t pos = 0; pos <= list.size();) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty())
            return "an empty entry (a stray comma)";
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            return "\"" + item + "\" is not NAME=" + upper;
        std::string why = entry(item.substr(0, eq), item.substr(eq + 1));
        if (!why.empty())
            return why;
    }
    return {};
}

int port_open(const char *device, PortProblem *problem)
{
    if (strncmp(device, "ftdi:", 5) == 0)
        port = &ftdi_port;
    else if (strchr(device, ':') != nullptr)
        port = &gpio_port;
    else
        port = &ppdev_port;
    return port->open(device, problem);
}

int port_claim(int fd, PortProblem *problem) { return port->claim(fd, problem); }

uint64_t port_request_floor(int fd)
{
    if (port->hold)
        return 0;
    uint64_t least = UINT64_MAX;
    uint64_t last = watch_now_ns();
    for (unsigned i = 0; i < FLOOR_SAMPLES; ++i) {
        port->read_status(fd);
        uint64_t now = watch_now_ns();
        least = std::min(least, now - last);
        last = now;
    }
    return least;
}

void port_too_slow(uint64_t floor_ns, PortProblem *problem)
{
    bool gpio = port == &gpio_port;
    char text[200];
    snprintf(text, sizeof text,
             "too slow for C2: a %s request takes %.1f us (the least of %u), and a clock pulse, low for "
             "about one, must stay under 5 us",
             gpio ? "line" : "port", static_cast<double>(floor_ns) / 1000.0, FLOOR_SAMPLES);
    problem->detail = text;
    problem->hint = gpio ? "  Wire the adapter to GPIO lines of the board's own SoC (gpioinfo shows each chip's\n"
                           "  label); an expander behind I2C, SPI or USB makes every clock pulse reset the target.\n"
                         : "  A port on the mainboard or on a PCI or PCIe card answers in 1 to 3 us; a port behind\n"
                           "  USB or one a virtual machine emulates is slower. Use such a port, or GPIO lines of\n"
                           "  an SoC or an FTDI MPSSE chip.\n";
}

void port_write_data(int fd, uint8_t value) { port->write_data(fd, value); }

uint8_t port_read_status(int fd) { return port->read_status(fd); }

void port_read_into(int fd, uint8_t *byte, uint8_t mask)
{
    if (port->read_into)
        port->read_into(byte, mask);
    else if (!(port->read_status(fd) & STATUS_BUSY))
        *byte = static_cast<uint8_t>(*byte | mask);
}

void port_sync()
{
    if (port->sync)
        port->sync();
}

bool port_hold(uint32_t us)
{
    return port->hold && port->hold(us);
}

bool port_keeps_time() { return port->hold != nullptr; }

void port_close(int fd) { port->close(fd); }

const char *c2_port_name(int i)
{
    return i >= 0 && i < static_cast<int>(std::size(all_ports)) ? all_ports[i]->name : nullptr;
}
