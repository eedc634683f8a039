// The simulator's state, its port requests, files and public interface.
#include "sim.h"

#include <fcntl.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <linux/ppdev.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "adapter.h"
#include "core.h"
#include "state.h"
#include "target.h"
#include "wire.h"

namespace harlune_sim {

namespace {

// The three requests the host uses (ppdev), by number.
constexpr unsigned long kClaim = 0x708B;
constexpr unsigned long kWriteData = 0x40017086;
constexpr unsigned long kReadStatus = 0x80017081;
static_assert(PPCLAIM == kClaim && PPWDATA == kWriteData && PPRSTATUS == kReadStatus);

// Status register: bits 3-6 idle high, bit 7 BUSY inverted: set when C2D is low.
constexpr uint8_t kStatusIdle = 0x78;
constexpr uint8_t kStatusC2dLow = 0x80;

constexpr uint32_t kMaxFlash = 0x10000;  // 16-bit flash addresses
constexpr size_t kTraceReserve = 1 << 20;

struct Sim {
    Core core;
    Adapter adapter{core};
    Target target{core};
    Wire wire{core, adapter, target};
    int device_fd = -1;
    bool claimed = false;
    bool unclaimed_fault = false;
    bool active = false;
    bool dirty = false;
    uint64_t last_end_ns = 0;
    uint64_t last_real_end_ns = 0;  // real_time: real clock at the end of the last request
    bool waited = false;            // real_time: the host read the clock or slept since
};

// Never destroyed: C library calls keep arriving until the process is gone.
Sim* g_sim = nullptr;

Sim& sim()
{
    if (!g_sim)
        g_sim = new Sim;
    return *g_sim;
}

char* put_decimal(char* out, uint64_t value)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (n)
        *out++ = digits[--n];
    return out;
}

// real_time mode: wire time is virtual, plus the real time of every gap in
// which the host waited on purpose (read the clock or slept), so delays spun
// or slept count while a preemption between two requests does not.
uint64_t real_now_ns()
{
    struct timespec ts;
    detail::real_clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Start of a port request: the gap token, and the request's number.
void begin_request(Sim& s)
{
    ++s.core.requests;
    if (s.core.cfg.real_time && s.waited) {
        s.core.now_ns += real_now_ns() - s.last_real_end_ns;
        s.waited = false;
    }
    if (!s.core.cfg.trace)
        return;
    uint64_t gap_us = (s.core.now_ns - s.last_end_ns) / 1000;
    if (gap_us) {
        char token[24] = {'D'};
        char* end = put_decimal(token + 1, gap_us);
        append_token(s.core.trace, token, static_cast<size_t>(end - token));
    }
}

void end_request(Sim& s, bool counted)
{
    s.core.now_ns += s.core.cfg.request_ns;
    s.last_end_ns = s.core.now_ns;
    if (s.core.cfg.real_time)
        s.last_real_end_ns = real_now_ns();
    s.dirty = true;
    if (!counted || !s.core.cfg.signal_at)
        return;
    const Stats& st = s.core.stats;
    if (st.claims + st.writes + st.reads == s.core.cfg.signal_at)
        raise(s.core.cfg.signal);
}

void trace_byte(Sim& s, char kind, uint8_t value)
{
    if (!s.core.cfg.trace)
        return;
    char token[3] = {kind};
    put_hex(token + 1, value, 2);
    append_token(s.core.trace, token, 3);
}

void check_claimed(Sim& s, const char* request)
{
    if (!s.claimed && !s.unclaimed_fault) {
        s.unclaimed_fault = true;
        s.core.fault("%s before a successful PPCLAIM", request);
    }
}

bool write_file(const std::string& path, const void* data, size_t size)
{
    int fd = detail::real_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "harlune-sim: cannot write %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    auto p = static_cast<const char*>(data);
    bool ok = true;
    while (size) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "harlune-sim: cannot write %s: %s\n", path.c_str(), strerror(errno));
            ok = false;
            break;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    detail::real_close(fd);
    return ok;
}

void load_flash(Sim& s)
{
    const std::string& path = s.core.cfg.flash_file;
    if (path.empty())
        return;
    int fd = detail::real_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno != ENOENT)
            s.core.fault("cannot read flash file %s: %s", path.c_str(), strerror(errno));
        return;  // a new file: erased flash
    }
    std::vector<uint8_t>& flash = s.target.flash;
    size_t got = 0;
    for (;;) {
        char extra;
        ssize_t n = got < flash.size() ? ::read(fd, flash.data() + got, flash.size() - got)
                                       : ::read(fd, &extra, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            s.core.fault("cannot read flash file %s: %s", path.c_str(), strerror(errno));
        if (n <= 0)
            break;
        if (got >= flash.size()) {
            s.core.fault("flash file %s is longer than the flash (%zu bytes); the rest is ignored",
                         path.c_str(), flash.size());
            break;
        }
        got += static_cast<size_t>(n);
    }
    detail::real_close(fd);
}

void check_config(Core& core)
{
    Config& c = core.cfg;
    if (c.flash_size == 0 || c.flash_size > kMaxFlash) {
        core.fault("configuration: flash size %u outside 1..65536; using 65536", c.flash_size);
        c.flash_size = kMaxFlash;
    }
    if (c.page_size == 0) {
        core.fault("configuration: page size 0; using 512");
        c.page_size = 512;
    }
    for (const Refusal& r : c.refusals) {
        if (r.nth == 0 || r.point < 1 || r.point > 2 || (r.command == 0x03 && r.point == 2))
            core.fault("configuration: refusal %02X:%u:%u:%02X never applies", r.command, r.nth,
                       r.point, r.code);
    }
}

std::string report(const Core& core)
{
    const Stats& s = core.stats;
    const std::pair<const char*, uint64_t> counters[] = {
        {"opens", s.opens},
        {"closes", s.closes},
        {"claims", s.claims},
        {"writes", s.writes},
        {"reads", s.reads},
        {"others", s.others},
        {"sleep_calls", s.sleep_calls},
        {"sleep_us", s.sleep_us},
        {"sleep_real_us", s.sleep_real_us},
        {"address_writes", s.address_writes},
        {"address_reads", s.address_reads},
        {"data_writes", s.data_writes},
        {"data_reads", s.data_reads},
        {"wait_strobes", s.wait_strobes},
        {"resets", s.resets},
        {"block_reads", s.block_reads},
        {"block_writes", s.block_writes},
        {"page_erases", s.page_erases},
        {"device_erases", s.device_erases},
    };
    std::string out;
    for (const auto& [key, value] : counters)
        out += std::string(key) + " " + std::to_string(value) + "\n";
    out += "faults " + std::to_string(core.fault_total) + "\n";
    for (const std::string& f : core.faults)
        out += "fault " + f + "\n";
    if (core.fault_total > core.faults.size())
        out += "fault (" + std::to_string(core.fault_total - core.faults.size()) +
               " more not listed)\n";
    return out;
}

__attribute__((constructor)) void load_from_environment()
{
    configure(config_from_env());
}

__attribute__((destructor)) void save_at_exit()
{
    if (g_sim && g_sim->active && g_sim->dirty)
        save();
}

}  // namespace

// --- Core -------------------------------------------------------------------

void Core::fault(const char* format, ...)
{
    ++fault_total;
    if (faults.size() >= kFaultsKept)
        return;
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    faults.push_back(std::string(text) + " (request " + std::to_string(requests) + ")");
}

void Core::frame(const char* kind, uint32_t value, unsigned bytes)
{
    if (!cfg.trace)
        return;
    char token[16];
    size_t n = strlen(kind);
    memcpy(token, kind, n);
    token[n++] = ':';
    char* end = put_hex(token + n, value, 2 * bytes);
    append_token(frames, token, static_cast<size_t>(end - token));
}

void Core::frame(const char* word)
{
    if (cfg.trace)
        append_token(frames, word, strlen(word));
}

unsigned Core::draw(unsigned lo, unsigned hi)
{
    // splitmix64
    uint64_t z = (rng += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return lo + static_cast<unsigned>(z % (hi - lo + 1));
}

void append_token(std::string& trace, const char* text, size_t length)
{
    if (!trace.empty())
        trace.push_back(' ');
    trace.append(text, length);
}

char* put_hex(char* out, uint64_t value, unsigned digits)
{
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned i = digits; i-- > 0;)
        *out++ = hex[(value >> (4 * i)) & 0xF];
    return out;
}

// --- Interposed calls -------------------------------------------------------

namespace detail {

bool active() { return g_sim && g_sim->active; }
bool real_time() { return g_sim->core.cfg.real_time; }

bool is_device_path(const char* path)
{
    const std::string& device = g_sim->core.cfg.device;
    return path && !device.empty() && device == path;
}

bool is_device(int fd) { return fd >= 0 && g_sim && g_sim->device_fd == fd; }

void device_opened(int fd)
{
    Sim& s = *g_sim;
    if (s.device_fd >= 0)
        s.core.fault("device opened again while open");
    s.device_fd = fd;
    s.claimed = false;
    s.unclaimed_fault = false;
    ++s.core.stats.opens;
    s.dirty = true;
}

void device_closing(int fd)
{
    Sim& s = *g_sim;
    (void)fd;
    s.device_fd = -1;
    s.claimed = false;
    ++s.core.stats.closes;
    s.dirty = true;
    save();
}

int port_request(unsigned long request, void* arg)
{
    Sim& s = *g_sim;
    begin_request(s);
    int result = 0;
    switch (request) {
    case kClaim:
        ++s.core.stats.claims;
        if (s.core.cfg.trace)
            append_token(s.core.trace, "C", 1);
        if (s.core.cfg.claim_fails) {
            errno = EBUSY;
            result = -1;
        } else
            s.claimed = true;
        break;
    case kWriteData: {
        ++s.core.stats.writes;
        uint8_t data = *static_cast<const uint8_t*>(arg);
        trace_byte(s, 'W', data);
        check_claimed(s, "PPWDATA");
        Adapter::Change change = s.adapter.write(data);
        if (change.ck_released)
            s.wire.released();  // the pull-up edge, if any, is no clock edge
        else if (change.edge)
            s.wire.edge(change.edge > 0);
        break;
    }
    case kReadStatus: {
        ++s.core.stats.reads;
        check_claimed(s, "PPRSTATUS");
        int level = s.adapter.sample();
        if (s.core.cfg.attach != Attach::target)
            s.wire.sampled(level);
        auto status = static_cast<uint8_t>(kStatusIdle | (level ? 0 : kStatusC2dLow));
        *static_cast<uint8_t*>(arg) = status;
        trace_byte(s, 'R', status);
        break;
    }
    default: {
        ++s.core.stats.others;
        if (s.core.cfg.trace) {
            char token[9] = {'X'};
            put_hex(token + 1, request, 8);
            append_token(s.core.trace, token, 9);
        }
        s.core.fault("unexpected ioctl request 0x%08lX", request);
        errno = ENOTTY;
        result = -1;
        end_request(s, false);
        return result;
    }
    }
    end_request(s, true);
    return result;
}

bool virtual_clock(clockid_t clock)
{
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_BOOTTIME;
}

uint64_t clock_read()
{
    Sim& s = *g_sim;
    s.core.now_ns += s.core.cfg.clock_step_ns;
    return s.core.now_ns;
}

void clock_read_real() { g_sim->waited = true; }

uint64_t clock_now() { return g_sim->core.now_ns; }

void sleep_virtual(uint64_t ns)
{
    Sim& s = *g_sim;
    ++s.core.stats.sleep_calls;
    s.core.stats.sleep_us += (ns + 999) / 1000;
    s.core.now_ns += ns;
    s.dirty = true;
}

void sleep_real(uint64_t ns, uint64_t real_ns)
{
    Sim& s = *g_sim;
    ++s.core.stats.sleep_calls;
    s.core.stats.sleep_us += (ns + 999) / 1000;
    s.core.stats.sleep_real_us += real_ns / 1000;
    s.waited = true;
    s.dirty = true;
}

}  // namespace detail

// --- Public interface -------------------------------------------------------

void configure(const Config& config)
{
    Sim& s = sim();
    Core& c = s.core;
    c.cfg = config;
    c.stats = Stats{};
    c.now_ns = 0;
    c.requests = 0;
    c.trace.clear();
    c.frames.clear();
    c.faults.clear();
    c.fault_total = 0;
    c.rng = config.seed;
    if (c.cfg.trace) {
        c.trace.reserve(kTraceReserve);
        c.frames.reserve(kTraceReserve / 8);
    }
    check_config(c);
    s.adapter.reset();
    s.target.configure();
    s.wire.reset();
    load_flash(s);
    s.last_end_ns = 0;
    s.waited = false;
    s.unclaimed_fault = false;
    s.dirty = true;
    s.active = true;
}

const Config& config() { return sim().core.cfg; }
std::string trace() { return sim().core.trace; }
std::string frames() { return sim().core.frames; }
const std::vector<std::string>& faults() { return sim().core.faults; }
uint64_t fault_count() { return sim().core.fault_total; }
const Stats& stats() { return sim().core.stats; }
std::vector<uint8_t>& flash() { return sim().target.flash; }
bool programming_mode() { return sim().target.programming_mode(); }

void save()
{
    Sim& s = sim();
    const Config& c = s.core.cfg;
    if (!c.flash_file.empty())
        write_file(c.flash_file, s.target.flash.data(), s.target.flash.size());
    if (!c.trace_file.empty()) {
        std::string text = s.core.trace + "\n";
        write_file(c.trace_file, text.data(), text.size());
    }
    if (!c.frames_file.empty()) {
        std::string text = s.core.frames + "\n";
        write_file(c.frames_file, text.data(), text.size());
    }
    if (!c.report_file.empty()) {
        std::string text = report(s.core);
        write_file(c.report_file, text.data(), text.size());
    }
    s.dirty = false;
}

}  // namespace harlune_sim
