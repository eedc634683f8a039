// The parallel-port device and the GPIO chip, and their requests: the layer
// between the interposed calls and the ports. A request is timed by the
// Timebase; its data write or status read goes down through the Feed to the
// adapter (then the wire and the target).
#include "requests.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <linux/gpio.h>
#include <linux/ppdev.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "libc.h"
#include "record.h"
#include "instance.h"

namespace harlune_sim {

namespace {

// The three requests the host uses (ppdev), by number.
constexpr unsigned long kClaim = 0x708B;
constexpr unsigned long kWriteData = 0x40017086;
constexpr unsigned long kReadStatus = 0x80017081;
static_assert(PPCLAIM == kClaim && PPWDATA == kWriteData && PPRSTATUS == kReadStatus);

// A gap from one request's start to the next this long, neither asleep nor
// in a reset pulse, is the host held (wire and real mode).
constexpr uint64_t kHostHoldNs = 5000;

// Start of a port request: wire time, the gap token, the request's number.
void begin_request(Sim& s)
{
    Core& c = s.core;
    s.feed.take_hold();  // a hold due since the last request: C2CK still high
    bool first = c.requests++ == 0;
    s.clock.request_start();
    bool slept = s.clock.take_slept();
    if (!s.clock.is_virtual() && !first) {
        uint64_t gap = c.now_ns - s.last_start_ns;
        if (gap >= kHostHoldNs && !slept && !s.feed.adapter().reset_active()) {
            ++c.stats.host_holds;
            c.stats.longest_hold_ns = std::max(c.stats.longest_hold_ns, gap);
        }
    }
    s.last_start_ns = c.now_ns;
    trace_gap(c, c.now_ns - s.last_end_ns);
}

void end_request(Sim& s, bool counted, uint64_t took_ns = 0)
{
    s.clock.request_end(took_ns);
    s.last_end_ns = s.core.now_ns;
    s.dirty = true;
    if (!counted || !s.core.cfg.signal_at)
        return;
    const Stats& st = s.core.stats;
    if (st.claims + st.writes + st.reads == s.core.cfg.signal_at)
        raise(s.core.cfg.signal);
}

// The end of a served request (one of `took_ns`, see Timebase); a stall its
// write picked holds the host right after it, inside the request. A request
// that leaves C2CK high makes a hold pending when one is due (the end of a
// strobe picked, the first since a flash command completed, or both at once).
void finish(Sim& s, uint64_t took_ns = 0)
{
    end_request(s, true, took_ns);
    if (uint64_t stall = s.feed.take_stall())
        s.clock.hold(stall);
    s.feed.returned();
}

// A request not served (its fault recorded): Xnnnnnnnn, failing with `error`.
int unserved(Sim& s, unsigned long request, int error)
{
    Core& c = s.core;
    ++c.stats.others;
    if (c.cfg.trace) {
        char token[9] = {'X'};
        put_hex(token + 1, request, 8);
        append_token(c.trace, token, 9);
    }
    end_request(s, false);
    errno = error;
    return -1;
}

// The port or chip gone (Config::gone_after): every request ENODEV.
bool gone(const Sim& s)
{
    const Config& c = s.core.cfg;
    const Stats& st = s.core.stats;
    return c.gone_after && st.claims + st.writes + st.reads >= c.gone_after;
}

// The time one line request of this kind takes (0: request_ns).
uint64_t gpio_cost(const Config& c, unsigned long request)
{
    uint64_t kind = request == GPIO_V2_LINE_SET_VALUES_IOCTL   ? c.gpio_set_values_ns
                    : request == GPIO_V2_LINE_SET_CONFIG_IOCTL ? c.gpio_set_config_ns
                                                               : c.gpio_get_values_ns;
    return kind ? kind : c.gpio_request_ns;
}

// Any bias flag in a configuration of `lines` lines.
bool carries_bias(const gpio_v2_line_config& config, unsigned lines)
{
    constexpr uint64_t kBias = GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                               GPIO_V2_LINE_FLAG_BIAS_DISABLED;
    uint64_t flags = config.flags;
    for (uint32_t i = 0; i < config.num_attrs && i < GPIO_V2_LINE_NUM_ATTRS_MAX; ++i)
        if (config.attrs[i].attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS &&
            (config.attrs[i].mask & ((lines < 64 ? uint64_t{1} << lines : 0) - 1)))
            flags |= config.attrs[i].attr.flags;
    return flags & kBias;
}

// 0, or -1 with errno set to `error`.
int answer(int error)
{
    if (!error)
        return 0;
    errno = error;
    return -1;
}

const char* gpio_name(unsigned long request)
{
    switch (request) {
    case GPIO_V2_LINE_SET_CONFIG_IOCTL: return "GPIO_V2_LINE_SET_CONFIG_IOCTL";
    case GPIO_V2_LINE_SET_VALUES_IOCTL: return "GPIO_V2_LINE_SET_VALUES_IOCTL";
    case GPIO_V2_LINE_GET_VALUES_IOCTL: return "GPIO_V2_LINE_GET_VALUES_IOCTL";
    default: return nullptr;
    }
}

// GPIO_V2_GET_LINE_IOCTL: the claim.
int get_line(Sim& s, gpio_v2_line_request& request)
{
    Core& c = s.core;
    begin_request(s);
    if (c.cfg.gpio_bias_refused && carries_bias(request.config, request.num_lines))
        return unserved(s, GPIO_V2_GET_LINE_IOCTL, EINVAL);  // as the driver answers, no fault
    ++c.stats.claims;
    if (c.cfg.trace)
        append_token(c.trace, "L", 1);
    int error = s.gpio.check_request(request);
    if (!error) {
        int fd = libc::open("/dev/null", O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
        } else {
            s.gpio.hold(fd, request);
            request.fd = fd;
            s.clock.request_middle();
            s.gpio.drive();
        }
    }
    finish(s);
    return answer(error);
}

int chip_request(Sim& s, unsigned long request, void* arg)
{
    bool v2 = request == GPIO_V2_GET_LINEINFO_IOCTL || request == GPIO_V2_GET_LINE_IOCTL;
    if (gone(s) || (v2 && s.core.cfg.gpio_v1_only)) {
        begin_request(s);
        return unserved(s, request, gone(s) ? ENODEV : EINVAL);  // the kernel's answers, no fault
    }
    switch (request) {
    case GPIO_GET_CHIPINFO_IOCTL:
        return answer(s.gpio.chip_info(*static_cast<gpiochip_info*>(arg)));
    case GPIO_V2_GET_LINEINFO_IOCTL:
        return answer(s.gpio.line_info(*static_cast<gpio_v2_line_info*>(arg)));
    case GPIO_V2_GET_LINE_IOCTL:
        return get_line(s, *static_cast<gpio_v2_line_request*>(arg));
    default:
        break;
    }
    begin_request(s);
    if (const char* name = gpio_name(request))
        s.core.fault("%s on the chip, before GPIO_V2_GET_LINE_IOCTL", name);
    else
        s.core.fault("unexpected ioctl request 0x%08lX", request);
    return unserved(s, request, ENOTTY);
}

// SET_CONFIG and SET_VALUES are data writes, GET_VALUES a status read.
int line_request(Sim& s, int fd, unsigned long request, void* arg)
{
    Core& c = s.core;
    begin_request(s);
    if (gone(s))
        return unserved(s, request, ENODEV);
    int error = 0;
    uint64_t took = gpio_cost(c.cfg, request);
    switch (request) {
    case GPIO_V2_LINE_SET_CONFIG_IOCTL:
    case GPIO_V2_LINE_SET_VALUES_IOCTL: {
        if (request == GPIO_V2_LINE_SET_CONFIG_IOCTL && c.cfg.gpio_bias_refused &&
            carries_bias(*static_cast<const gpio_v2_line_config*>(arg), s.gpio.line_count(fd)))
            return unserved(s, request, EINVAL);
        s.clock.request_middle(took);
        error = request == GPIO_V2_LINE_SET_CONFIG_IOCTL
                    ? s.gpio.set_config(fd, *static_cast<const gpio_v2_line_config*>(arg))
                    : s.gpio.set_values(fd, *static_cast<const gpio_v2_line_values*>(arg));
        if (error)
            break;
        finish(s, took);
        return 0;
    }
    case GPIO_V2_LINE_GET_VALUES_IOCTL: {
        s.clock.request_middle(took);
        error = s.gpio.get_values(fd, *static_cast<gpio_v2_line_values*>(arg));
        if (error)
            break;
        finish(s, took);
        return 0;
    }
    default:
        c.fault("unexpected ioctl request 0x%08lX", request);
        return unserved(s, request, ENOTTY);
    }
    c.fault("%s refused: %s", gpio_name(request), strerror(error));
    return unserved(s, request, error);
}

void check_claimed(Sim& s, const char* request)
{
    if (!s.claimed && !s.unclaimed_fault) {
        s.unclaimed_fault = true;
        s.core.fault("%s before a successful PPCLAIM", request);
    }
}

}  // namespace

namespace detail {

bool active()
{
    Sim* s = sim_if_created();
    return s && s->active;
}

bool is_device_path(const char* path)
{
    const std::string& device = sim().core.cfg.device;
    return path && !device.empty() && device == path;
}

bool is_device(int fd)
{
    Sim* s = sim_if_created();
    return fd >= 0 && s && s->device_fd == fd;
}

void device_opened(int fd)
{
    Sim& s = sim();
    if (s.device_fd >= 0)
        s.core.fault("device opened again while open");
    s.device_fd = fd;
    s.claimed = false;
    s.unclaimed_fault = false;
    ++s.core.stats.opens;
    s.used = true;
    s.dirty = true;
}

void device_closing(int)
{
    Sim& s = sim();
    s.device_fd = -1;
    s.claimed = false;
    ++s.core.stats.closes;
    s.dirty = true;
    save();
}

int port_request(unsigned long request, void* arg)
{
    Sim& s = sim();
    Core& c = s.core;
    begin_request(s);
    if (gone(s))
        return unserved(s, request, ENODEV);
    int result = 0;
    uint64_t took = c.cfg.ppdev_request_ns;
    s.clock.request_middle(took);
    switch (request) {
    case kClaim:
        ++c.stats.claims;
        if (c.cfg.trace)
            append_token(c.trace, "C", 1);
        if (c.cfg.claim == Claim::granted) {
            s.claimed = true;
            break;
        }
        result = -1;
        errno = c.cfg.claim == Claim::enxio ? ENXIO : EINVAL;
        if (c.cfg.claim == Claim::block) {
            // Asleep in the kernel until a signal is taken: -EINTR.
            sigset_t now;
            sigprocmask(SIG_BLOCK, nullptr, &now);
            sigsuspend(&now);
            errno = EINTR;
        }
        break;
    case kWriteData: {
        uint8_t data = *static_cast<const uint8_t*>(arg);
        check_claimed(s, "PPWDATA");
        char token[3] = {'W'};
        put_hex(token + 1, data, 2);
        s.feed.write(data, true, {token, 3});
        break;
    }
    case kReadStatus:
        check_claimed(s, "PPRSTATUS");
        *static_cast<uint8_t*>(arg) = s.feed.read_status();
        break;
    default:
        c.fault("unexpected ioctl request 0x%08lX", request);
        return unserved(s, request, ENOTTY);
    }
    int error = errno;
    finish(s, took);
    errno = error;
    return result;
}

bool is_chip_path(const char* path)
{
    const Config& c = sim().core.cfg;
    return path && !c.gpio_chip.empty() && c.gpio_chip == path && c.gpio_chip != c.device;
}

bool is_gpio(int fd)
{
    Sim* s = sim_if_created();
    return fd >= 0 && s && (s->gpio.is_chip(fd) || s->gpio.is_request(fd));
}

void chip_opened(int fd)
{
    Sim& s = sim();
    s.gpio.opened(fd);
    ++s.core.stats.opens;
    s.used = true;
    s.dirty = true;
}

void gpio_closing(int fd)
{
    Sim& s = sim();
    s.dirty = true;
    if (!s.gpio.closed(fd)) {
        ++s.core.stats.closes;
        return;
    }
    ++s.core.stats.releases;
    save();
}

int gpio_request(int fd, unsigned long request, void* arg)
{
    Sim& s = sim();
    if (s.gpio.is_chip(fd))
        return chip_request(s, request, arg);
    return line_request(s, fd, request, arg);
}

void bad_descriptor(int fd, unsigned long request)
{
    Sim* s = sim_if_created();
    if (!s || !s->active || !s->gpio.was_request(fd))
        return;
    int saved = errno;
    const char* name = gpio_name(request);
    s->core.fault("%s on a released line request", name ? name : "ioctl");
    s->dirty = true;
    errno = saved;
}

bool replaced_clock(clockid_t clock) { return Timebase::replaced(clock); }

uint64_t clock_read(clockid_t clock)
{
    Sim& s = sim();
    uint64_t now = s.clock.read(clock);
    s.feed.take_hold();  // after the reading: the host held right after it
    return now;
}

uint64_t clock_peek(clockid_t clock) { return sim().clock.peek(clock); }

bool sleep_skipped(uint64_t ns)
{
    Sim& s = sim();
    s.dirty = true;
    return s.clock.skip(ns);
}

void slept(uint64_t ns, uint64_t real_ns)
{
    Sim& s = sim();
    s.dirty = true;
    s.clock.slept(ns, real_ns);
}

bool rt_request()
{
    Sim& s = sim();
    ++s.core.stats.rt_requests;
    s.dirty = true;
    return s.core.cfg.allow_rt;
}

}  // namespace detail

}  // namespace harlune_sim
