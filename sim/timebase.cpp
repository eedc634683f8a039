// Wire time, the host's clocks and sleeps in the three time modes.
#include "timebase.h"

#include <cerrno>

#include "libc.h"

namespace harlune_sim {

namespace {
// The end of a USB transfer's wait that is spun, not slept.
constexpr uint64_t kSpinNs = 200000;
}  // namespace

void Timebase::configure()
{
    core_.now_ns = 0;
    origin_ns_ = libc::now_ns();
    skipped_ns_ = 0;
    slept_ = false;
}

uint64_t Timebase::wire_now() const
{
    return libc::now_ns() - origin_ns_ + skipped_ns_;
}

void Timebase::request_start()
{
    if (!is_virtual())
        core_.now_ns = wire_now();
    start_ns_ = core_.now_ns;
}

void Timebase::request_middle(uint64_t took_ns)
{
    if (is_virtual()) {
        core_.now_ns = start_ns_ + (took_ns ? took_ns : core_.cfg.request_ns) / 2;
        return;
    }
    while (wire_now() - start_ns_ < took_ns / 2) {
    }
    core_.now_ns = wire_now();
}

void Timebase::request_end(uint64_t took_ns)
{
    if (is_virtual()) {
        core_.now_ns = start_ns_ + (took_ns ? took_ns : core_.cfg.request_ns);
        return;
    }
    while (wire_now() - start_ns_ < took_ns) {
    }
    core_.now_ns = wire_now();
}

void Timebase::hold(uint64_t ns)
{
    if (is_virtual()) {
        core_.now_ns += ns;
        return;
    }
    // Spin: the host is busy, not asleep, however the machine schedules it.
    uint64_t until = libc::now_ns() + ns;
    while (libc::now_ns() < until) {
    }
}

bool Timebase::replaced(clockid_t clock)
{
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_BOOTTIME;
}

uint64_t Timebase::read(clockid_t clock)
{
    if (is_virtual())
        core_.now_ns += core_.cfg.clock_step_ns;
    return peek(clock);
}

uint64_t Timebase::peek(clockid_t clock) const
{
    if (is_virtual())
        return core_.now_ns;
    return libc::now_ns(clock) + skipped_ns_;
}

void Timebase::asked(uint64_t ns)
{
    ++core_.stats.sleep_calls;
    core_.stats.sleep_us += (ns + 999) / 1000;
    slept_ = true;
}

bool Timebase::pass(uint64_t ns)
{
    switch (core_.cfg.clock) {
    case Clock::virtual_time:
        core_.now_ns += ns;
        return true;
    case Clock::wire:
        skipped_ns_ += ns;
        return true;
    case Clock::real:
        break;
    }
    return false;
}

bool Timebase::skip(uint64_t ns)
{
    if (!pass(ns))
        return false;
    asked(ns);
    return true;
}

void Timebase::slept(uint64_t ns, uint64_t real_ns)
{
    asked(ns);
    core_.stats.sleep_real_us += real_ns / 1000;
}

void Timebase::wait(uint64_t ns)
{
    if (pass(ns))
        return;
    // A sleep alone overshoots by the timer slack and the scheduler's
    // latency, often hundreds of microseconds on a busy machine: thousands
    // of round trips would be a different link. Sleep to just before the
    // end, then spin to it.
    uint64_t end = libc::now_ns() + ns;
    if (ns > kSpinNs) {
        uint64_t wake = end - kSpinNs;
        struct timespec at = {static_cast<time_t>(wake / 1000000000), static_cast<long>(wake % 1000000000)};
        while (libc::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    while (libc::now_ns() < end) {
    }
}

bool Timebase::take_slept()
{
    bool slept = slept_;
    slept_ = false;
    return slept;
}

}  // namespace harlune_sim
