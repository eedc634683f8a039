// Configuration from the HARLUNE_SIM_* environment variables.
#include <linux/gpio.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim.h"

namespace harlune_sim {

namespace {

[[noreturn]] void reject(const char* name, const char* value, const char* expected)
{
    fprintf(stderr, "harlune-sim: %s=\"%s\": expected %s\n", name, value, expected);
    exit(2);
}

// Whole-string unsigned number (strtoul base 0) no larger than max, or nullopt-like failure.
bool parse_number(const char* text, int base, uint64_t max, uint64_t& out)
{
    if (!*text || !(text[0] >= '0' && text[0] <= '9'))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long n = strtoull(text, &end, base);
    if (errno || *end || n > max)
        return false;
    out = n;
    return true;
}

template <typename T>
void number(const char* name, T& field, uint64_t min, uint64_t max, const char* expected)
{
    const char* value = getenv(name);
    if (!value)
        return;
    uint64_t n = 0;
    if (!parse_number(value, 0, max, n) || n < min)
        reject(name, value, expected);
    field = static_cast<T>(n);
}

// One of `names`, listed in the order of the enum's values.
template <typename E, size_t N>
void choice(const char* name, E& field, const char* const (&names)[N], const char* expected)
{
    const char* value = getenv(name);
    if (!value)
        return;
    for (size_t i = 0; i < N; ++i)
        if (!strcmp(value, names[i])) {
            field = static_cast<E>(i);
            return;
        }
    reject(name, value, expected);
}

void flag(const char* name, bool& field)
{
    const char* value = getenv(name);
    if (!value)
        return;
    if (strcmp(value, "0") && strcmp(value, "1"))
        reject(name, value, "0 or 1");
    field = value[0] == '1';
}

std::string text(const char* name)
{
    const char* value = getenv(name);
    if (!value)
        return {};
    if (!*value)
        reject(name, value, "a file name");
    return value;
}

// Split on commas; empty items are an error for the caller to report.
template <typename F>
bool each_item(const char* list, F&& f)
{
    std::string all(list);
    size_t start = 0;
    for (;;) {
        size_t comma = all.find(',', start);
        std::string item = all.substr(start, comma == std::string::npos ? comma : comma - start);
        if (item.empty() || !f(item))
            return false;
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

// Strobe numbers from 1, comma separated.
bool strobe_list(const char* list, std::vector<uint64_t>& out)
{
    return each_item(list, [&](const std::string& s) {
        uint64_t n = 0;
        if (!parse_number(s.c_str(), 10, UINT64_MAX, n) || n < 1)
            return false;
        out.push_back(n);
        return true;
    });
}

// CC:N:P:SS: hex command, decimal nth, point 1 or 2, hex status.
bool parse_refusal(const std::string& item, Refusal& r)
{
    char command[8], nth[12], point[4], code[8];
    char rest;
    if (sscanf(item.c_str(), "%7[^:]:%11[^:]:%3[^:]:%7[^:]%c", command, nth, point, code,
               &rest) != 4)
        return false;
    uint64_t c = 0, n = 0, p = 0, s = 0;
    if (!parse_number(command, 16, 0xFF, c) || !parse_number(nth, 10, 0xFFFFFFFF, n) ||
        !parse_number(point, 10, 2, p) || !parse_number(code, 16, 0xFF, s))
        return false;
    if (!(c == 0x06 || c == 0x07 || c == 0x08 || c == 0x03) || n < 1 || p < 1 ||
        (c == 0x03 && p == 2))
        return false;
    r.command = static_cast<uint8_t>(c);
    r.nth = static_cast<unsigned>(n);
    r.point = static_cast<unsigned>(p);
    r.code = static_cast<uint8_t>(s);
    return true;
}

// ck=N,d=N[,rst=N]: distinct offsets below `lines`, each key once.
bool parse_wiring(const char* text, uint32_t lines, GpioWiring& w)
{
    uint32_t found[3] = {kNoLine, kNoLine, kNoLine};  // ck, d, rst
    static const char* const keys[] = {"ck", "d", "rst"};
    bool ok = each_item(text, [&](const std::string& item) {
        size_t eq = item.find('=');
        uint64_t offset = 0;
        if (eq == std::string::npos || !parse_number(item.c_str() + eq + 1, 10, lines - 1, offset))
            return false;
        for (int k = 0; k < 3; ++k)
            if (item.compare(0, eq, keys[k]) == 0 && found[k] == kNoLine) {
                for (uint32_t other : found)
                    if (other == offset)
                        return false;
                found[k] = static_cast<uint32_t>(offset);
                return true;
            }
        return false;
    });
    if (!ok || found[0] == kNoLine || found[1] == kNoLine)
        return false;
    w = {found[0], found[1], found[2]};
    return true;
}

// VID:PID[:SERIAL], the ids in hex.
bool parse_ftdi_device(const std::string& item, FtdiDevice& d)
{
    size_t first = item.find(':');
    if (first == std::string::npos)
        return false;
    size_t second = item.find(':', first + 1);
    std::string vendor = item.substr(0, first);
    std::string product =
        item.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    auto hex_id = [](const std::string& text, uint16_t& id) {
        if (text.empty() || text.size() > 4 ||
            text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        id = static_cast<uint16_t>(strtoul(text.c_str(), nullptr, 16));
        return true;
    };
    if (!hex_id(vendor, d.vendor) || !hex_id(product, d.product))
        return false;
    d.serial = second == std::string::npos ? "" : item.substr(second + 1);
    return second == std::string::npos || !d.serial.empty();
}

// The FTDI chips: devices present, wiring, open failures, the link's speed and
// timing, an unplug.
void ftdi_from_env(Config& c)
{
    if (const char* list = getenv("HARLUNE_SIM_FTDI")) {
        c.ftdi_devices.clear();
        bool ok = !*list || each_item(list, [&](const std::string& item) {
            FtdiDevice d;
            if (!parse_ftdi_device(item, d))
                return false;
            c.ftdi_devices.push_back(d);
            return true;
        });
        if (!ok)
            reject("HARLUNE_SIM_FTDI", list,
                   "VID:PID[:SERIAL] items (hexadecimal ids), comma separated, or nothing");
    }
    if (const char* wiring = getenv("HARLUNE_SIM_FTDI_WIRING")) {
        if (!parse_wiring(wiring, 16, c.ftdi_wiring))
            reject("HARLUNE_SIM_FTDI_WIRING", wiring,
                   "ck=N,d=N or ck=N,d=N,rst=N: distinct pins 0 to 15");
    }
    static const char* const fail_names[] = {"none", "perm", "busy"};
    choice("HARLUNE_SIM_FTDI_FAIL", c.ftdi_fail, fail_names, "perm, busy or none");
    static const char* const interface_names[] = {"A", "B"};
    choice("HARLUNE_SIM_FTDI_INTERFACE", c.ftdi_interface, interface_names, "A or B");
    uint64_t rtt_us = c.ftdi_rtt_ns / 1000;
    number("HARLUNE_SIM_FTDI_RTT_US", rtt_us, 0, 10000000, "microseconds from 0 to 10000000");
    c.ftdi_rtt_ns = rtt_us * 1000;
    static const char* const speed_names[] = {"high", "full"};
    choice("HARLUNE_SIM_FTDI_SPEED", c.ftdi_full_speed, speed_names, "high or full");
    uint64_t gap_us = c.ftdi_packet_gap_ns / 1000;
    number("HARLUNE_SIM_FTDI_PACKET_GAP_US", gap_us, 0, 1000000,
           "microseconds from 0 to 1000000");
    c.ftdi_packet_gap_ns = gap_us * 1000;
    number("HARLUNE_SIM_FTDI_COMMAND_NS", c.ftdi_command_ns, 1, 100000,
           "nanoseconds from 1 to 100000");
    number("HARLUNE_SIM_FTDI_UNPLUG_AT", c.ftdi_unplug_at, 1, UINT64_MAX,
           "a bulk transfer number from 1");
}

}  // namespace

Config config_from_env()
{
    Config c;
    if (const char* device = getenv("HARLUNE_SIM_DEVICE")) {
        if (!*device)
            reject("HARLUNE_SIM_DEVICE", device, "a device path");
        c.device = device;
    }
    static const char* const attach_names[] = {"target", "detached", "c2d_low", "scripted"};
    choice("HARLUNE_SIM_ATTACH", c.attach, attach_names, "target, detached, c2d_low or scripted");
    if (const char* samples = getenv("HARLUNE_SIM_SAMPLES")) {
        bool ok = !*samples || each_item(samples, [&](const std::string& s) {
            if (s != "0" && s != "1")
                return false;
            c.samples.push_back(s == "1");
            return true;
        });
        if (!ok)
            reject("HARLUNE_SIM_SAMPLES", samples, "a comma list of 0 and 1");
    }
    flag("HARLUNE_SIM_CLAIM_FAIL", c.claim_fails);
    if (const char* chip = getenv("HARLUNE_SIM_GPIO_CHIP")) {
        if (!*chip)
            reject("HARLUNE_SIM_GPIO_CHIP", chip, "a device path");
        c.gpio_chip = chip;
    }
    number("HARLUNE_SIM_GPIO_LINES", c.gpio_lines, 1, 65535, "a line count from 1 to 65535");
    if (const char* wiring = getenv("HARLUNE_SIM_GPIO_WIRING")) {
        if (!parse_wiring(wiring, c.gpio_lines, c.gpio_wiring))
            reject("HARLUNE_SIM_GPIO_WIRING", wiring,
                   "ck=N,d=N or ck=N,d=N,rst=N: distinct line offsets on the chip");
    }
    if (const char* busy = getenv("HARLUNE_SIM_GPIO_BUSY")) {
        bool ok = each_item(busy, [&](const std::string& item) {
            uint64_t offset = 0;
            if (!parse_number(item.c_str(), 10, c.gpio_lines - 1, offset))
                return false;
            c.gpio_busy.push_back(static_cast<uint32_t>(offset));
            return true;
        });
        if (!ok)
            reject("HARLUNE_SIM_GPIO_BUSY", busy, "line offsets on the chip, comma separated");
    }
    ftdi_from_env(c);
    if (const char* names = getenv("HARLUNE_SIM_GPIO_NAMES")) {
        bool ok = each_item(names, [&](const std::string& item) {
            size_t eq = item.find('=');
            uint64_t offset = 0;
            if (eq == std::string::npos || eq + 1 == item.size() || item.size() - eq - 1 >= GPIO_MAX_NAME_SIZE ||
                !parse_number(item.substr(0, eq).c_str(), 10, c.gpio_lines - 1, offset))
                return false;
            c.gpio_names.emplace_back(static_cast<uint32_t>(offset), item.substr(eq + 1));
            return true;
        });
        if (!ok)
            reject("HARLUNE_SIM_GPIO_NAMES", names, "N=NAME items (a line offset, a name of 1 to 31 characters), comma separated");
    }
    uint64_t gpio_request_us = 0;
    number("HARLUNE_SIM_GPIO_REQUEST_US", gpio_request_us, 1, 1000000, "microseconds from 1 to 1000000");
    c.gpio_request_ns = gpio_request_us * 1000;
    number("HARLUNE_SIM_DEVICE_ID", c.device_id, 0, 0xFF, "a byte (0 to 0xFF)");
    number("HARLUNE_SIM_FLASH_SIZE", c.flash_size, 1, 0x10000, "a size from 1 to 0x10000");
    number("HARLUNE_SIM_PAGE_SIZE", c.page_size, 1, 0x10000, "a size from 1 to 0x10000");
    number("HARLUNE_SIM_WAIT", c.wait_strobes, 0, 1000000, "a strobe count (0: never)");
    number("HARLUNE_SIM_BUSY_POLLS", c.busy_polls, 0, 1000000, "a poll count");
    number("HARLUNE_SIM_READY_POLLS", c.ready_polls, 0, 1000000, "a poll count");
    number("HARLUNE_SIM_ERASE_POLLS", c.erase_polls, 0, 100000000, "a poll count");
    number("HARLUNE_SIM_SEED", c.seed, 0, 0xFFFFFFFF, "a 32-bit seed");
    number("HARLUNE_SIM_REQUEST_NS", c.request_ns, 0, 0xFFFFFFFF, "nanoseconds per request");
    number("HARLUNE_SIM_CLOCK_STEP_NS", c.clock_step_ns, 0, 0xFFFFFFFF,
           "nanoseconds per clock read");
    if (const char* freeze = getenv("HARLUNE_SIM_FREEZE")) {
        bool ok = each_item(freeze, [&](const std::string& s) {
            if (s == "busy")
                c.freeze_busy = true;
            else if (s == "ready")
                c.freeze_ready = true;
            else
                return false;
            return true;
        });
        if (!ok)
            reject("HARLUNE_SIM_FREEZE", freeze, "busy, ready or busy,ready");
    }
    if (const char* refuse = getenv("HARLUNE_SIM_REFUSE")) {
        bool ok = each_item(refuse, [&](const std::string& s) {
            Refusal r;
            if (!parse_refusal(s, r))
                return false;
            c.refusals.push_back(r);
            return true;
        });
        if (!ok)
            reject("HARLUNE_SIM_REFUSE", refuse,
                   "items CC:N:P:SS (hex command 03/06/07/08, nth from 1, point 1 or 2, hex "
                   "status), comma separated");
    }
    c.clock = Clock::wire;  // preloaded runs: the wire on the real clock
    static const char* const clock_names[] = {"virtual", "wire", "real"};
    choice("HARLUNE_SIM_CLOCK", c.clock, clock_names, "virtual, wire or real");
    if (const char* old = getenv("HARLUNE_SIM_REAL_TIME"))
        reject("HARLUNE_SIM_REAL_TIME", old, "nothing: it is gone, use HARLUNE_SIM_CLOCK=real");
    flag("HARLUNE_SIM_ALLOW_RT", c.allow_rt);
    uint64_t stall_us = 0;
    number("HARLUNE_SIM_STALL_US", stall_us, 1, 60000000, "microseconds from 1 to 60000000");
    c.stall_ns = stall_us * 1000;
    if (const char* at = getenv("HARLUNE_SIM_STALL_AT"))
        if (!strobe_list(at, c.stall_at))
            reject("HARLUNE_SIM_STALL_AT", at, "strobe numbers from 1, comma separated");
    number("HARLUNE_SIM_STALL_EVERY", c.stall_every, 1, UINT64_MAX, "a strobe count from 1");
    number("HARLUNE_SIM_STALL_ONE_IN", c.stall_one_in, 1, 0xFFFFFFFF, "a number from 1 to 2^32-1");
    number("HARLUNE_SIM_STALL_SEED", c.stall_seed, 0, 0xFFFFFFFF, "a 32-bit seed");
    for (const char* selector :
         {"HARLUNE_SIM_STALL_AT", "HARLUNE_SIM_STALL_EVERY", "HARLUNE_SIM_STALL_ONE_IN"}) {
        if (getenv(selector) && !c.stall_ns)
            reject(selector, getenv(selector), "HARLUNE_SIM_STALL_US as well");
    }
    static const char* const mid_low_names[] = {"edge", "reset", "random"};
    choice("HARLUNE_SIM_MID_LOW", c.mid_low, mid_low_names, "edge, reset or random");
    number("HARLUNE_SIM_MID_LOW_SEED", c.mid_low_seed, 0, 0xFFFFFFFF, "a 32-bit seed");
    uint64_t hold_us = 0;
    number("HARLUNE_SIM_HOLD_US", hold_us, 1, 60000000, "microseconds from 1 to 60000000");
    c.hold_ns = hold_us * 1000;
    if (const char* at = getenv("HARLUNE_SIM_HOLD_AT"))
        if (!strobe_list(at, c.hold_at))
            reject("HARLUNE_SIM_HOLD_AT", at, "strobe numbers from 1, comma separated");
    if (const char* after = getenv("HARLUNE_SIM_HOLD_AFTER")) {
        if (strcmp(after, "commands"))
            reject("HARLUNE_SIM_HOLD_AFTER", after, "commands");
        c.hold_after_commands = true;
    }
    for (const char* selector : {"HARLUNE_SIM_HOLD_AT", "HARLUNE_SIM_HOLD_AFTER"}) {
        if (getenv(selector) && !c.hold_ns)
            reject(selector, getenv(selector), "HARLUNE_SIM_HOLD_US as well");
    }
    if (const char* sig = getenv("HARLUNE_SIM_SIGNAL")) {
        const char* at = strchr(sig, '@');
        uint64_t number_of_signal = 0, request = 0;
        if (!at || !parse_number(std::string(sig, at).c_str(), 10, 64, number_of_signal) ||
            number_of_signal < 1 || !parse_number(at + 1, 10, UINT64_MAX, request) || request < 1)
            reject("HARLUNE_SIM_SIGNAL", sig, "SIGNAL@REQUEST, e.g. 2@100000");
        c.signal = static_cast<int>(number_of_signal);
        c.signal_at = request;
    }
    c.trace_file = text("HARLUNE_SIM_TRACE");
    c.frames_file = text("HARLUNE_SIM_FRAMES");
    c.report_file = text("HARLUNE_SIM_REPORT");
    c.flash_file = text("HARLUNE_SIM_FLASH");
    c.trace = !c.trace_file.empty() || !c.frames_file.empty();
    return c;
}

}  // namespace harlune_sim
