// Time in the link: udelay, the strobe watchdog's state, the pauses of a
// real-time run and bounded waits.
//
// udelay gives at least the asked time without the tens of microseconds of
// wake-up latency a sleep costs: short delays spin on the monotonic clock;
// long ones sleep, and sleep again if a signal cut the sleep short.
#include <unistd.h>

#include "c2.h"
#include "clock.h"
#include "port.h"

strobe_watch watch = {0, 0, 0};
uint64_t watch_floor_ns = 0;

namespace {

// Below this a sleep would mostly be wake-up latency.
constexpr uint32_t SPIN_LIMIT_US = 1000;

// Real-time throttling (by default 950 ms of CPU in every second) would stop
// a SCHED_FIFO host that never sleeps wherever it happens to be, a strobe
// included. At most 40 ms of CPU before a 3 ms pause keeps it below 93 %.
constexpr uint64_t RT_RUN_NS = 40000000;
constexpr uint32_t RT_PAUSE_US = 3000;

bool realtime = false;
uint64_t last_pause_ns = 0;  // CPU time

uint64_t cpu_now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// With real-time priority, pause briefly once the host has run for a while
// (see c2_set_realtime). Called only where C2CK is high.
void pause_if_due()
{
    if (!realtime || cpu_now_ns() - last_pause_ns < RT_RUN_NS)
        return;
    usleep(RT_PAUSE_US);
    last_pause_ns = cpu_now_ns();
}

}  // namespace

void udelay(uint32_t us)
{
    if (port_hold(us))  // held on the port's own clock (FTDI)
        return;
    uint64_t now = clock_now_ns();
    uint64_t end = now + static_cast<uint64_t>(us) * 1000u;
    if (us >= SPIN_LIMIT_US) {
        while (now < end) {
            usleep(static_cast<useconds_t>((end - now + 999) / 1000));
            now = clock_now_ns();
        }
    } else {
        while ((now = clock_now_ns()) < end) {
        }
    }
}

void c2_set_realtime(bool on)
{
    realtime = on;
    last_pause_ns = cpu_now_ns();
}

void watch_note(uint64_t ns)
{
    if (port_keeps_time())  // the chip times each pulse: a held host holds none
        return;
    ++watch.pulses;
    if (ns > watch.held_ns)
        watch.held_ns = ns;
    if (ns > watch.longest_ns)
        watch.longest_ns = ns;
}

void c2_watch_floor(uint64_t ns)
{
    watch_floor_ns = ns;
}

void c2_watch_start()
{
    pause_if_due();
    watch.held_ns = 0;
}

uint64_t c2_watch_held() { return watch.held_ns; }

uint64_t c2_watch_end()
{
    uint64_t held = watch.held_ns;
    watch.held_ns = 0;
    return held;
}

c2_watch_totals c2_watch_run() { return {watch.pulses, watch.longest_ns}; }

void c2_deadline_start(c2_deadline *d, uint32_t limit_ms)
{
    d->limit_ms = limit_ms;
    d->count = 0;
    d->start_ns = 0;
}

bool c2_deadline_passed(c2_deadline *d)
{
    if (++d->count % C2_DEADLINE_STRIDE != 0)
        return false;
    pause_if_due();
    uint64_t now = clock_now_ns();
    if (d->start_ns == 0) {
        d->start_ns = now;
        return false;
    }
    return now - d->start_ns >= static_cast<uint64_t>(d->limit_ms) * 1000000u;
}

uint64_t c2_now_ns() { return clock_now_ns(); }
