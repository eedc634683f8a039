// The one simulator instance: every layer, built once and wired downward
// (ports and chips, then the feed, the adapter, the wire and the target),
// and the parallel-port device's own state. Internal to libharlune_sim.
#pragma once

#include <cstdint>

#include "adapter.h"
#include "core.h"
#include "feed.h"
#include "gpio.h"
#include "target.h"
#include "timebase.h"
#include "usb.h"
#include "wire.h"

namespace harlune_sim {

struct Sim {
    Core core;
    Timebase clock{core};
    Target target{core};
    Wire wire{core, target};
    Adapter adapter{core, wire};
    Feed feed{core, clock, adapter};
    GpioChip gpio{core, feed};
    Usb usb{core, clock, feed};

    int device_fd = -1;
    bool claimed = false;
    bool unclaimed_fault = false;
    bool active = false;          // configure() has run: the interposed calls are served
    bool dirty = false;           // output files are behind
    bool used = false;            // the device or the chip was opened in this process
    uint64_t last_start_ns = 0;   // wire time at the start of the last request
    uint64_t last_end_ns = 0;     // and at its end
};

// Created on first use and never destroyed: C library calls keep arriving
// until the process is gone.
Sim& sim();
// nullptr before the first use.
Sim* sim_if_created();

}  // namespace harlune_sim
