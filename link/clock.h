// The link's clock: the time base of udelay and of the strobe watchdog.
// Private to link/ (and its tests and the benchmark).
#pragma once

#include <cstdint>
#include <ctime>

#include "c2.h"

inline uint64_t clock_now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Strobe watchdog. The clock is read right before each strobe's C2CK_LOW,
// never between C2CK_LOW and C2CK_HIGH. Two readings at least
// C2_STROBE_LIMIT_NS apart mean that the strobe between them may have stayed
// low long enough to reset the target.
struct strobe_watch {
    uint64_t last_ns;  // the previous reading
    uint64_t held_ns;  // longest suspect gap since c2_watch_start; 0: none
    bool armed;        // last_ns belongs to the watched sequence
    bool on;           // inside a watched sequence
};
extern strobe_watch watch;

// Read the clock, check the gap since the previous reading; the reading.
inline uint64_t watch_tick()
{
    uint64_t now = clock_now_ns();
    uint64_t gap = now - watch.last_ns;
    if (watch.armed && gap >= C2_STROBE_LIMIT_NS && gap > watch.held_ns)
        watch.held_ns = gap;
    watch.last_ns = now;
    watch.armed = watch.on;
    return now;
}
