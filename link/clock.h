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

// The strobe watchdog's clock: it also counts a suspend, so a host suspended
// inside a strobe is seen.
inline uint64_t watch_now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Held pulses: the longest of the watched sequence, and the run's totals.
struct strobe_watch {
    uint64_t held_ns;     // longest held pulse since c2_watch_start; 0: none
    uint64_t pulses;      // held pulses since the program started
    uint64_t longest_ns;  // the longest of them
};
extern strobe_watch watch;
// The port's request floor, taken off each strobe's bracket.
extern uint64_t watch_floor_ns;

// A strobe's low phase, its bracket less the floor, of `ns` reached C2_STROBE_LIMIT_NS. Out of line: the
// strobe's own path stays two clock reads and a compare.
void watch_note(uint64_t ns);
