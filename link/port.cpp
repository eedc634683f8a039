// The port seam: the port that takes C2_PROG_DEV's form, and the calls the
// link makes through it.
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
const PortOps *port = &ppdev_port;  // the one C2_PROG_DEV named
bool is_open = false;                // its open went through, no close yet
const PortOps *added = nullptr;      // asked before the built-in ones

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

int port_refused(PortProblem *problem, int err, const std::string &detail, const std::string &hint)
{
    problem->detail = detail;
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

void port_add(const PortOps *extra) { added = extra; }

const PortOps *port_taking(const char *device)
{
    if (added && added->takes(device))
        return added;
    // The parallel port, first listed, takes any name: the ports are asked
    // from the last listed, the FTDI prefix before a GPIO chip's colon.
    for (size_t i = std::size(all_ports); i-- > 0;)
        if (all_ports[i]->takes(device))
            return all_ports[i];
    return &ppdev_port;
}

int port_open(const char *device, PortProblem *problem)
{
    port = port_taking(device);
    if (port->parse(device, problem) != 0 || port->open(problem) != 0)
        return -1;
    is_open = true;
    return 0;
}

int port_claim(PortProblem *problem) { return port->claim(problem); }

uint64_t port_request_floor()
{
    if (port->keeps_time)
        return 0;
    uint64_t least = UINT64_MAX;
    uint64_t last = watch_now_ns();
    for (unsigned i = 0; i < FLOOR_SAMPLES; ++i) {
        port->read_status();
        uint64_t now = watch_now_ns();
        least = std::min(least, now - last);
        last = now;
    }
    return least;
}

void port_too_slow(uint64_t floor_ns, PortProblem *problem)
{
    char text[200];
    snprintf(text, sizeof text,
             "too slow for C2: a %s request takes %.1f us (the least of %u), and a clock pulse, low for "
             "about one, must stay under 5 us",
             port->request_noun ? port->request_noun : "port", static_cast<double>(floor_ns) / 1000.0,
             FLOOR_SAMPLES);
    problem->detail = text;
    problem->hint = port->slow_hint ? port->slow_hint : "";
}

void port_write_data(uint8_t value) { port->write_data(value); }

uint8_t port_read_status() { return port->read_status(); }

void port_read_into(uint8_t *byte, uint8_t mask)
{
    if (port->queues_requests)
        port->read_into(byte, mask);
    else if (!(port->read_status() & STATUS_BUSY))
        *byte = static_cast<uint8_t>(*byte | mask);
}

void port_sync()
{
    if (port->queues_requests)
        port->sync();
}

bool port_hold(uint32_t us)
{
    return port->keeps_time && port->hold(us);
}

bool port_keeps_time() { return port->keeps_time; }

size_t port_answer_room()
{
    return port->answer_room ? port->answer_room() : 0;
}

void port_close()
{
    if (is_open)
        port->close();
    is_open = false;
}

const char *c2_port_name(int i)
{
    return i >= 0 && i < static_cast<int>(std::size(all_ports)) ? all_ports[i]->name : nullptr;
}
