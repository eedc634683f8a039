// Trace tokens, the report, the flash file and the output files.
#include "record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libc.h"

namespace harlune_sim {

namespace {

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

bool write_file(const std::string& path, const void* data, size_t size)
{
    int fd = libc::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
    libc::close(fd);
    return ok;
}

}  // namespace

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

void trace_byte(Core& core, char kind, uint8_t value)
{
    if (!core.cfg.trace)
        return;
    char token[3] = {kind};
    put_hex(token + 1, value, 2);
    append_token(core.trace, token, 3);
}

void trace_gap(Core& core, uint64_t ns)
{
    uint64_t us = ns / 1000;
    if (!core.cfg.trace || !us)
        return;
    char token[24] = {'D'};
    char* end = put_decimal(token + 1, us);
    append_token(core.trace, token, static_cast<size_t>(end - token));
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
        {"strobes", s.strobes},
        {"stalls", s.stalls},
        {"holds", s.holds},
        {"unplanned_resets", s.unplanned_resets},
        {"cut_frames", s.cut_frames},
        {"desync_events", s.desync_events},
        {"early_frames", s.early_frames},
        {"lows_over_5us", s.lows_over_5us},
        {"lows_over_20us", s.lows_over_20us},
        {"longest_low_ns", s.longest_low_ns},
        {"shortest_low_ns", s.shortest_low_ns},
        {"host_holds", s.host_holds},
        {"longest_hold_ns", s.longest_hold_ns},
        {"usb_writes", s.usb_writes},
        {"usb_bytes_out", s.usb_bytes_out},
        {"usb_reads", s.usb_reads},
        {"round_trips", s.round_trips},
        {"mpsse_commands", s.mpsse_commands},
        {"transfer_lows", s.transfer_lows},
        {"packet_lows", s.packet_lows},
        {"answer_stalls", s.answer_stalls},
        {"unseen_writes", s.unseen_writes},
        {"rt_requests", s.rt_requests},
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

void load_flash(Core& core, std::vector<uint8_t>& flash)
{
    const std::string& path = core.cfg.flash_file;
    if (path.empty())
        return;
    int fd = libc::open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno != ENOENT)
            core.fault("cannot read flash file %s: %s", path.c_str(), strerror(errno));
        return;  // a new file: erased flash
    }
    size_t got = 0;
    for (;;) {
        char extra;
        ssize_t n = got < flash.size() ? ::read(fd, flash.data() + got, flash.size() - got)
                                       : ::read(fd, &extra, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            core.fault("cannot read flash file %s: %s", path.c_str(), strerror(errno));
        if (n <= 0)
            break;
        if (got >= flash.size()) {
            core.fault("flash file %s is longer than the flash (%zu bytes); the rest is ignored",
                       path.c_str(), flash.size());
            break;
        }
        got += static_cast<size_t>(n);
    }
    libc::close(fd);
}

void save_files(const Core& core, const std::vector<uint8_t>& flash)
{
    const Config& c = core.cfg;
    if (!c.flash_file.empty())
        write_file(c.flash_file, flash.data(), flash.size());
    if (!c.trace_file.empty()) {
        std::string text = core.trace + "\n";
        write_file(c.trace_file, text.data(), text.size());
    }
    if (!c.frames_file.empty()) {
        std::string text = core.frames + "\n";
        write_file(c.frames_file, text.data(), text.size());
    }
    if (!c.report_file.empty()) {
        std::string text = report(core);
        write_file(c.report_file, text.data(), text.size());
    }
}

}  // namespace harlune_sim
