// The one simulator instance: shared state, the layers and the device.
// Internal to libharlune_sim.
#pragma once

#include <cstdint>

#include "adapter.h"
#include "timebase.h"
#include "core.h"
#include "mpsse.h"
#include "gpio.h"
#include "target.h"
#include "wire.h"

namespace harlune_sim {

struct Sim {
    Core core;
    Timebase clock{core};
    Target target{core};
    Wire wire{core, target};
    Adapter adapter{core, wire};
    Chip chip{core};
    Ftdi ftdi{*this};
    Rng stall_rng;                // Config::stall_one_in (stall_seed)
    uint64_t strobes_picked = 0;  // strobe numbers considered for a stall so far
    uint64_t low_strobe = 0;      // the strobe that began the C2CK low phase now (0: none)
    uint64_t holds_picked = 0;    // strobe numbers considered for a hold so far
    bool hold_due = false;        // the last write ended a strobe picked for a hold
    bool hold_pending = false;    // a hold at the next clock read or request

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
