// The port seam: one of the three ports, chosen by the form of C2_PROG_DEV.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "c2.h"
#include "port.h"
#include "port_backends.h"

const PortOps *const all_ports[3] = {&ppdev_port, &gpio_port, &ftdi_port};

namespace {
const PortOps *port = &ppdev_port;
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
