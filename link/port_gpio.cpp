// The adapter on GPIO lines of a Linux GPIO chip, through the character
// device's v2 line requests. The only file that includes the GPIO headers.
//
// Each data-register byte becomes exactly one line request that gives every
// line its direction and, when driven, its level:
//   C2CK  reset active (bit 3 clear): driven low without a reset line, an
//         input with one (rst holds the pin low; C2CK driven high would fight
//         it); otherwise driver on (bit 4 clear): driven at bit 5, else input
//   C2D   driver on (bit 6 clear): driven at bit 7, else input
//   rst   reset active: driven low, else input
// The request is GPIO_V2_LINE_SET_VALUES_IOCTL when the directions are those
// of the last write and some line is driven (a strobe, a data bit: the
// kernel's cheap path), else GPIO_V2_LINE_SET_CONFIG_IOCTL. Inputs have the
// chip's pull-up where it has one, as the adapter has on both wires: a
// released C2CK lets the target run, a released C2D idles high.
// A status read is one GPIO_V2_LINE_GET_VALUES_IOCTL of C2D, returned on
// bit 7 inverted as the parallel port's BUSY input shows it.
//
// The chip may be named bare (gpiochip0: /dev/gpiochip0), a line by the
// name the chip reports for it (GPIO17) as well as by its offset. A chip
// too slow for a clock pulse (an expander behind I2C or USB) is refused at
// the claim, after a few requests that change nothing.
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "port_backends.h"

namespace {

// Positions of the lines in the request; rst only when it is given.
enum { CK = 0, D = 1, RST = 2 };
const char *const role_name[] = {"ck", "d", "rst"};

struct Lines {
    uint32_t offset[3] = {};
    std::string name[3];  // the line's name when given by name, else empty
    unsigned count = 0;   // 2, or 3 with a reset line
};

constexpr uint64_t INPUT_FLAGS = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;

// A clock pulse is two line requests, C2CK low from the first to the second,
// and must stay under 5 us. A chip whose requests take more than half of
// that is refused: an SoC's own chip answers in 1 to 2 us, an expander behind
// I2C, SPI or USB in tens to hundreds. The median of an odd number of
// requests ignores the few that a busy machine holds up.
constexpr unsigned SPEED_SAMPLES = 9;
constexpr uint64_t SLOW_REQUEST_NS = 2500;

int line_fd = -1;
bool has_rst = false;
gpio_v2_line_config config;
uint64_t last_driven = ~uint64_t{0};  // none yet: the first write configures

std::string line_list;  // what follows the colon

// "ck=17,d=27[,rst=22]", in any order, each once, decimal offsets or line
// names (anything else but a comma). An empty string, or why the list is not
// one.
std::string parse_lines(const std::string &list, Lines *lines)
{
    bool seen[3] = {};
    std::string why = for_each_entry(list, "line", [&](const std::string &key, const std::string &value) -> std::string {
        int role = -1;
        for (int r = 0; r < 3; ++r)
            if (key == role_name[r])
                role = r;
        if (role < 0)
            return "\"" + key + "\" is not a line name (ck, d or rst)";
        if (seen[role])
            return std::string(role_name[role]) + " is given twice";
        bool digits = value.find_first_not_of("0123456789") == std::string::npos;
        if (value.empty() || (digits && value.size() > 9))
            return "\"" + value + "\" is not a line number";
        seen[role] = true;
        if (digits)
            lines->offset[role] = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
        else
            lines->name[role] = value;
        return {};
    });
    if (!why.empty())
        return why;
    if (!seen[CK] || !seen[D])
        return "both ck and d are needed";
    lines->count = seen[RST] ? 3 : 2;
    return {};
}

// Two roles on one line, once every line has its offset: why, or empty.
std::string same_line(const Lines &lines)
{
    for (unsigned a = 0; a < lines.count; ++a)
        for (unsigned b = a + 1; b < lines.count; ++b)
            if (lines.offset[a] == lines.offset[b])
                return std::string(role_name[a]) + " and " + role_name[b] + " are the same line";
    return {};
}

void not_a_chip(int err, PortProblem *problem)
{
    problem->detail = std::string("not a GPIO chip (") + strerror(err) + ")";
    problem->hint = "  Name a GPIO character device (ls /dev/gpiochip*) before the colon.\n";
}

// The offsets of the lines given by name, from the names the chip reports
// (GPIO v2 line info). False, with errno and *problem set, when a name is
// carried by no line or by several.
bool find_named_lines(int chip, Lines *lines, PortProblem *problem)
{
    if (std::all_of(lines->name, lines->name + lines->count, [](const std::string &n) { return n.empty(); }))
        return true;
    gpiochip_info chipinfo{};
    if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &chipinfo) != 0) {
        int err = errno;
        not_a_chip(err, problem);
        errno = err;
        return false;
    }
    std::vector<uint32_t> found[3];
    for (uint32_t offset = 0; offset < chipinfo.lines; ++offset) {
        gpio_v2_line_info info{};
        info.offset = offset;
        if (ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) != 0)
            continue;
        for (unsigned r = 0; r < lines->count; ++r)
            if (!lines->name[r].empty() && strncmp(info.name, lines->name[r].c_str(), sizeof info.name) == 0)
                found[r].push_back(offset);
    }
    for (unsigned r = 0; r < lines->count; ++r) {
        if (lines->name[r].empty())
            continue;
        if (found[r].size() == 1) {
            lines->offset[r] = found[r][0];
            continue;
        }
        char text[160];
        if (found[r].empty()) {
            snprintf(text, sizeof text, "no line of %.32s is named \"%.40s\" (%s)", chipinfo.name,
                     lines->name[r].c_str(), role_name[r]);
        } else {
            snprintf(text, sizeof text, "%zu lines of %.32s are named \"%.40s\" (%s): %u, %u%s", found[r].size(),
                     chipinfo.name, lines->name[r].c_str(), role_name[r], found[r][0], found[r][1],
                     found[r].size() > 2 ? ", ..." : "");
        }
        problem->detail = text;
        problem->hint =
            "  gpioinfo lists each chip's lines with their names (names are case-sensitive);\n"
            "  give a line by its number where its name is missing or shared.\n";
        errno = found[r].empty() ? ENOENT : EINVAL;
        return false;
    }
    return true;
}

// The median time of a line request, from requests that change nothing
// (GET_VALUES of C2CK, an input): nothing is driven, no edge made, no
// sample of C2D taken. CLOCK_MONOTONIC counts the time the request sleeps.
uint64_t request_time_ns()
{
    uint64_t took[SPEED_SAMPLES];
    gpio_v2_line_values values{};
    uint64_t last = clock_now_ns();
    for (uint64_t &t : took) {
        values.bits = 0;
        values.mask = 1u << CK;
        ioctl(line_fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values);
        uint64_t now = clock_now_ns();
        t = now - last;
        last = now;
    }
    std::nth_element(took, took + SPEED_SAMPLES / 2, took + SPEED_SAMPLES);
    return took[SPEED_SAMPLES / 2];
}

// Why the chip refused the lines, from what it says about itself.
void explain_refusal(int chip, int err, const Lines &lines, PortProblem *problem)
{
    gpiochip_info chipinfo{};
    bool known = ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &chipinfo) == 0;
    for (unsigned r = 0; r < lines.count && known; ++r) {
        char text[160];
        if (lines.offset[r] >= chipinfo.lines) {
            snprintf(text, sizeof text, "line %u (%s) is out of range: %.32s has %u lines (0 to %u)",
                     lines.offset[r], role_name[r], chipinfo.name, chipinfo.lines,
                     chipinfo.lines ? chipinfo.lines - 1 : 0);
            problem->detail = text;
            problem->hint = "  gpioinfo (or /sys/kernel/debug/gpio) lists each chip's lines.\n";
            return;
        }
        gpio_v2_line_info info{};
        info.offset = lines.offset[r];
        if (err == EBUSY && ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0 &&
            (info.flags & GPIO_V2_LINE_FLAG_USED)) {
            if (info.consumer[0])
                snprintf(text, sizeof text, "line %u (%s) is in use by \"%.32s\"", lines.offset[r],
                         role_name[r], info.consumer);
            else
                snprintf(text, sizeof text, "line %u (%s) is in use by another program or driver",
                         lines.offset[r], role_name[r]);
            problem->detail = text;
            problem->hint =
                "  Stop the program or driver that holds it, or wire the adapter to free lines\n"
                "  (gpioinfo shows which lines are in use and by whom).\n";
            return;
        }
    }
    if (!known) {
        not_a_chip(err, problem);
        return;
    }
    problem->detail = strerror(err);
    problem->hint = "  Check the line numbers with gpioinfo (or /sys/kernel/debug/gpio).\n";
}

int gpio_open(const char *device, PortProblem *problem)
{
    const char *colon = strrchr(device, ':');  // a line list holds none
    std::string chip(device, static_cast<size_t>(colon - device));
    if (!chip.empty() && chip.find('/') == std::string::npos)
        chip = "/dev/" + chip;  // a bare name, as the GPIO tools take it
    line_list = colon + 1;
    int fd = open(chip.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return port_failed(problem,
                           "  Check that the chip exists (ls /dev/gpiochip*), that you may open it\n"
                           "  (the gpio group or a udev rule) and that C2_PROG_DEV names the right chip.\n",
                           &chip);
    return fd;
}

int gpio_claim(int fd, PortProblem *problem)
{
    Lines lines;
    std::string wrong = parse_lines(line_list, &lines);
    if (wrong.empty() && !find_named_lines(fd, &lines, problem))
        return -1;
    if (wrong.empty())
        wrong = same_line(lines);
    if (!wrong.empty()) {
        problem->detail = "malformed line list: " + wrong;
        problem->hint =
            "  Name the lines as C2_PROG_DEV=/dev/gpiochipN:ck=LINE,d=LINE[,rst=LINE],\n"
            "  for example /dev/gpiochip0:ck=17,d=27 or gpiochip0:ck=GPIO17,d=GPIO27.\n";
        errno = EINVAL;
        return -1;
    }

    // Every line an input: nothing is driven until the first write.
    gpio_v2_line_request request{};
    for (unsigned r = 0; r < lines.count; ++r)
        request.offsets[r] = lines.offset[r];
    request.num_lines = lines.count;
    strncpy(request.consumer, "harlune", sizeof request.consumer - 1);
    request.config.flags = INPUT_FLAGS;
    if (ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        int err = errno;
        explain_refusal(fd, err, lines, problem);
        errno = err;
        return -1;
    }
    line_fd = request.fd;
    has_rst = lines.count == 3;
    last_driven = 0;
    config = {};
    config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;

    uint64_t took = request_time_ns();
    if (took > SLOW_REQUEST_NS) {
        char text[160];
        snprintf(text, sizeof text,
                 "too slow for C2: a line request takes %.1f us (median of %u), a clock pulse needs two within 5 us",
                 static_cast<double>(took) / 1000.0, SPEED_SAMPLES);
        problem->detail = text;
        problem->hint =
            "  Wire the adapter to GPIO lines of the board's own SoC (gpioinfo shows each chip's\n"
            "  label); an expander behind I2C, SPI or USB makes every clock pulse reset the target.\n";
        close(line_fd);
        line_fd = -1;
        errno = ETIMEDOUT;
        return -1;
    }
    return 0;
}

void gpio_write_data(uint8_t value)
{
    uint64_t driven = 0, high = 0;
    bool reset = !(value & RST_BIT);
    if (reset) {
        if (!has_rst)
            driven |= 1u << CK;
    } else if (!(value & CK_NEN)) {
        driven |= 1u << CK;
        high |= (value & CK_LEVEL) ? 1u << CK : 0;
    }
    if (!(value & D_NEN)) {
        driven |= 1u << D;
        high |= (value & D_LEVEL) ? 1u << D : 0;
    }
    if (reset && has_rst)
        driven |= 1u << RST;

    if (driven == last_driven && driven) {
        gpio_v2_line_values values{};
        values.bits = high;
        values.mask = driven;
        ioctl(line_fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values);
        return;
    }
    config.flags = INPUT_FLAGS;
    config.num_attrs = driven ? 2 : 0;
    config.attrs[0].mask = driven;
    config.attrs[1].attr.values = high;
    config.attrs[1].mask = driven;
    // A refused configuration leaves the directions unknown: configure again.
    last_driven = ioctl(line_fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &config) == 0 ? driven : ~uint64_t{0};
}

uint8_t gpio_read_status()
{
    // A failed request reads C2D low, as on the parallel port.
    gpio_v2_line_values values{};
    values.mask = 1u << D;
    if (ioctl(line_fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0)
        return STATUS_BUSY;
    return (values.bits & (1u << D)) ? 0x00 : STATUS_BUSY;
}

void gpio_close(int fd)
{
    if (line_fd >= 0)
        close(line_fd);
    line_fd = -1;
    last_driven = ~uint64_t{0};
    close(fd);
}

// Each request at once, each wait the host's own.

}  // namespace

const PortOps gpio_port = {"GPIO lines (Linux GPIO character device)", gpio_open, gpio_claim,
                           [](int, uint8_t value) { gpio_write_data(value); },
                           [](int) { return gpio_read_status(); }, gpio_close, nullptr, nullptr, nullptr};
