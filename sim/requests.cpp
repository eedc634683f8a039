// The device and its port requests: the layer between the interposed calls
// and the adapter. Requests go down to the adapter (then the wire and the
// target) and are timed by the Timebase.
#include "requests.h"

#include <sys/ioctl.h>
#include <linux/ppdev.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "record.h"
#include "state.h"

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
    bool first = c.requests++ == 0;
    s.clock.request_start();
    bool slept = s.clock.take_slept();
    if (!s.clock.is_virtual() && !first) {
        uint64_t gap = c.now_ns - s.last_start_ns;
        if (gap >= kHostHoldNs && !slept && !s.adapter.reset_active()) {
            ++c.stats.host_holds;
            c.stats.longest_hold_ns = std::max(c.stats.longest_hold_ns, gap);
        }
    }
    s.last_start_ns = c.now_ns;
    trace_gap(c, c.now_ns - s.last_end_ns);
}

void end_request(Sim& s, bool counted)
{
    s.clock.request_end();
    s.last_end_ns = s.core.now_ns;
    s.dirty = true;
    if (!counted || !s.core.cfg.signal_at)
        return;
    const Stats& st = s.core.stats;
    if (st.claims + st.writes + st.reads == s.core.cfg.signal_at)
        raise(s.core.cfg.signal);
}

bool stall_selected(Sim& s, uint64_t strobe)
{
    const Config& c = s.core.cfg;
    bool selected = std::find(c.stall_at.begin(), c.stall_at.end(), strobe) != c.stall_at.end() ||
                    (c.stall_every && strobe % c.stall_every == 0);
    // Drawn for every strobe, so strobe n gets the same draw whatever else is set.
    if (c.stall_one_in && s.stall_rng.next() % c.stall_one_in == 0)
        selected = true;
    return selected;
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
    int result = 0;
    bool stall = false;
    switch (request) {
    case kClaim:
        ++c.stats.claims;
        if (c.cfg.trace)
            append_token(c.trace, "C", 1);
        if (c.cfg.claim_fails) {
            errno = EBUSY;
            result = -1;
        } else
            s.claimed = true;
        break;
    case kWriteData: {
        ++c.stats.writes;
        uint8_t data = *static_cast<const uint8_t*>(arg);
        trace_byte(c, 'W', data);
        check_claimed(s, "PPWDATA");
        if (s.adapter.write(data).strobe)
            stall = stall_selected(s, ++c.stats.strobes) && c.cfg.stall_ns;
        break;
    }
    case kReadStatus: {
        ++c.stats.reads;
        check_claimed(s, "PPRSTATUS");
        uint8_t status = s.adapter.read_status();
        *static_cast<uint8_t*>(arg) = status;
        trace_byte(c, 'R', status);
        break;
    }
    default: {
        ++c.stats.others;
        if (c.cfg.trace) {
            char token[9] = {'X'};
            put_hex(token + 1, request, 8);
            append_token(c.trace, token, 9);
        }
        c.fault("unexpected ioctl request 0x%08lX", request);
        errno = ENOTTY;
        end_request(s, false);
        return -1;
    }
    }
    end_request(s, true);
    if (stall) {
        // The host held right after its write: a gap before the next request.
        ++c.stats.stalls;
        s.clock.hold(c.cfg.stall_ns);
    }
    return result;
}

bool replaced_clock(clockid_t clock) { return Timebase::replaced(clock); }

uint64_t clock_read(clockid_t clock) { return sim().clock.read(clock); }

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
