// The adapter on GPIO lines of a Linux GPIO chip, through the character
// device's v2 line requests. The only file that includes the GPIO headers.
//
// Each data-register byte becomes exactly one line request that gives every
// line its direction and, when driven, its level, as line_roles.h decodes
// the byte. The request is GPIO_V2_LINE_SET_VALUES_IOCTL when the
// directions are those of the last write and some line is driven (a strobe,
// a data bit: the kernel's cheap path), else GPIO_V2_LINE_SET_CONFIG_IOCTL.
// Inputs have the chip's pull-up where it has one, as the adapter has on
// both wires: a released C2CK lets the target run, a released C2D idles high.
// A status read is one GPIO_V2_LINE_GET_VALUES_IOCTL of C2D, returned on
// bit 7 inverted as the parallel port's BUSY input shows it.
//
// The chip may be named bare (gpiochip0: /dev/gpiochip0), a line by the
// name the chip reports for it (GPIO17) as well as by its offset. A chip
// too slow for a clock pulse (an expander behind I2C or USB) is refused once
// claimed, after a few reads that change nothing (port_request_floor).
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
#include "line_roles.h"
#include "port_form.h"

namespace {

// Positions of the lines in the request, those of their roles; rst only
// when it is given.
enum { CK = ROLE_CK, D = ROLE_D, RST = ROLE_RST };
const unsigned request_bit[ROLE_COUNT] = {CK, D, RST};

struct Lines {
    uint32_t offset[3] = {};
    std::string name[3];  // the line's name when given by name, else empty
    unsigned count = 0;   // 2, or 3 with a reset line
};

// Inputs have the chip's pull-up, where its driver can make one.
constexpr uint64_t PULLED_UP = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
uint64_t input_flags = PULLED_UP;

int chip_fd = -1;
int line_fd = -1;
std::string chip_path;  // the chip's device
bool has_rst = false;
gpio_v2_line_config config;
uint64_t last_driven = ~uint64_t{0};  // none yet: the first write configures

Lines wiring;            // from what follows the colon
std::string list_error;  // why that is no line list (the claim says it), or empty

// "ck=17,d=27[,rst=22]", in any order, each once, decimal offsets or line
// names (anything else but a comma). An empty string, or why the list is not
// one.
std::string parse_lines(const std::string &list, Lines *lines)
{
    bool seen[3] = {};
    std::string why = for_each_entry(list, "line", [&](const std::string &key, const std::string &value) -> std::string {
        int role = role_of(key);
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
    return refused_pair(lines.count, [&lines](unsigned a, unsigned b) {
        return lines.offset[a] == lines.offset[b] ? "are the same line" : nullptr;
    });
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

// A kernel before Linux 5.10 answers the chip's info but knows no v2 request.
bool predates_v2(int chip)
{
    gpiochip_info chipinfo{};
    if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &chipinfo) != 0 || chipinfo.lines == 0)
        return false;
    gpio_v2_line_info info{};
    return ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info) != 0 && errno == EINVAL;
}

[[noreturn]] void lost(const char *request)
{
    c2_port_lost(chip_path + ": " + request + " failed: " + strerror(errno),
                 "  The GPIO chip stopped answering (its driver unbound, an expander unplugged); the\n"
                 "  target is not to blame.\n");
}

// The chip's driver refused a pull-up: inputs go without one from now on.
void drop_bias()
{
    input_flags = GPIO_V2_LINE_FLAG_INPUT;
    fprintf(stderr,
            "harlune: %s: the chip's driver cannot pull C2D up (it refused the pull-up): C2D needs\n"
            "  an external pull-up (10 kOhm to the target's supply).\n",
            chip_path.c_str());
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

// A colon, and no FTDI prefix (that port is asked first).
bool gpio_takes(const char *device) { return strchr(device, ':') != nullptr; }

int gpio_parse(const char *device, PortProblem *)
{
    const char *colon = strrchr(device, ':');  // a line list holds none
    std::string chip(device, static_cast<size_t>(colon - device));
    if (!chip.empty() && chip.find('/') == std::string::npos)
        chip = "/dev/" + chip;  // a bare name, as the GPIO tools take it
    chip_path = chip;
    wiring = Lines{};
    list_error = parse_lines(colon + 1, &wiring);
    return 0;
}

int gpio_open(PortProblem *problem)
{
    chip_fd = open(chip_path.c_str(), O_RDWR | O_CLOEXEC);
    if (chip_fd < 0)
        return port_failed(problem,
                           "  Check that the chip exists (ls /dev/gpiochip*), that you may open it\n"
                           "  (the gpio group or a udev rule) and that C2_PROG_DEV names the right chip.\n",
                           &chip_path);
    return 0;
}

int gpio_claim(PortProblem *problem)
{
    if (predates_v2(chip_fd))
        return port_refused(problem, EINVAL,
                            "this kernel predates the GPIO v2 interface (Linux 5.10): the chip answers, its line "
                            "requests do not",
                            "  Upgrade the kernel to Linux 5.10 or later (uname -r shows the one running), or use\n"
                            "  the parallel port or an FTDI chip.\n");
    std::string wrong = list_error;
    if (wrong.empty() && !find_named_lines(chip_fd, &wiring, problem))
        return -1;
    if (wrong.empty())
        wrong = same_line(wiring);
    if (!wrong.empty())
        return port_refused(problem, EINVAL, "malformed line list: " + wrong,
                            "  Name the lines as C2_PROG_DEV=/dev/gpiochipN:ck=LINE,d=LINE[,rst=LINE],\n"
                            "  for example /dev/gpiochip0:ck=17,d=27 or gpiochip0:ck=GPIO17,d=GPIO27.\n");

    // Every line an input: nothing is driven until the first write.
    gpio_v2_line_request request{};
    for (unsigned r = 0; r < wiring.count; ++r)
        request.offsets[r] = wiring.offset[r];
    request.num_lines = wiring.count;
    strncpy(request.consumer, "harlune", sizeof request.consumer - 1);
    input_flags = PULLED_UP;
    request.config.flags = input_flags;
    int rc = ioctl(chip_fd, GPIO_V2_GET_LINE_IOCTL, &request);
    if (rc != 0 && errno == EINVAL) {
        // Some drivers answer EINVAL to a bias they cannot make (the kernel
        // passes on all but ENOTSUPP): once more without.
        request.config.flags = GPIO_V2_LINE_FLAG_INPUT;
        rc = ioctl(chip_fd, GPIO_V2_GET_LINE_IOCTL, &request);
        if (rc == 0)
            drop_bias();
    }
    if (rc != 0) {
        int err = errno;
        explain_refusal(chip_fd, err, wiring, problem);
        errno = err;
        return -1;
    }
    line_fd = request.fd;
    has_rst = wiring.count == 3;
    last_driven = 0;
    config = {};
    config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;

    return 0;
}

void gpio_write_data(uint8_t value)
{
    LineMasks m = line_masks(value, request_bit, has_rst);
    uint64_t driven = m.driven, high = m.high;

    if (driven == last_driven && driven) {
        gpio_v2_line_values values{};
        values.bits = high;
        values.mask = driven;
        if (ioctl(line_fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0)
            lost("SET_VALUES");
        return;
    }
    config.flags = input_flags;
    config.num_attrs = driven ? 2 : 0;
    config.attrs[0].mask = driven;
    config.attrs[1].attr.values = high;
    config.attrs[1].mask = driven;
    if (ioctl(line_fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &config) != 0) {
        if (errno != EINVAL || input_flags != PULLED_UP)
            lost("SET_CONFIG");
        drop_bias();  // as at the claim: once more without
        config.flags = input_flags;
        if (ioctl(line_fd, GPIO_V2_LINE_SET_CONFIG_IOCTL, &config) != 0)
            lost("SET_CONFIG");
    }
    last_driven = driven;
}

uint8_t gpio_read_status()
{
    gpio_v2_line_values values{};
    values.mask = 1u << D;
    if (ioctl(line_fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) != 0)
        lost("GET_VALUES");
    return (values.bits & (1u << D)) ? 0x00 : STATUS_BUSY;
}

void gpio_close()
{
    if (line_fd >= 0)
        close(line_fd);
    line_fd = -1;
    last_driven = ~uint64_t{0};
    close(chip_fd);
    chip_fd = -1;
}

}  // namespace

// Each request at once, each wait the host's own.
const PortOps gpio_port = {
    .name = "GPIO lines (Linux GPIO character device)",
    .request_noun = "line",
    .slow_hint = "  Wire the adapter to GPIO lines of the board's own SoC (gpioinfo shows each chip's\n"
                 "  label); an expander behind I2C, SPI or USB makes every clock pulse reset the target.\n",
    .takes = gpio_takes,
    .parse = gpio_parse,
    .open = gpio_open,
    .claim = gpio_claim,
    .write_data = gpio_write_data,
    .read_status = gpio_read_status,
    .close = gpio_close,
};
