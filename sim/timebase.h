// Wire time and the clocks and sleeps the host sees, in the three modes of
// Config::clock:
//
//   virtual_time  wire time is counted: request_ns per port request,
//                 clock_step_ns per clock read, every sleep whole; nothing is
//                 slept and the host's clocks read wire time.
//   wire          wire time is the real monotonic time since configure() plus
//                 every sleep skipped; sleeps return at once and the host's
//                 clocks jump forward by what was skipped.
//   real          wire time is real time; sleeps really sleep.
//
// In wire and real mode everything the host does between two port requests,
// preemption included, is wire time, as it would be on the cable.
// Internal to libharlune_sim.
#pragma once

#include <cstdint>
#include <ctime>

#include "core.h"

namespace harlune_sim {

class Timebase {
public:
    explicit Timebase(Core& core) : core_(core) {}

    // Wire time 0 is now.
    void configure();
    bool is_virtual() const { return core_.cfg.clock == Clock::virtual_time; }

    // Port requests: wire time at the start and at the end of one. One that
    // takes `took_ns` (non-zero) lasts that long instead of request_ns in
    // virtual time, and at least that long in wire and real time.
    void request_start();
    // The request's line change or sample: halfway through it (a system
    // call, the driver's lock, then the I/O access, then the way back).
    void request_middle(uint64_t took_ns = 0);
    void request_end(uint64_t took_ns = 0);
    // The host held for `ns` after a request (an injected stall or hold).
    void hold(uint64_t ns);

    // The host's clocks this simulator replaces.
    static bool replaced(clockid_t clock);
    // A clock read by the host; in virtual time it takes clock_step_ns.
    uint64_t read(clockid_t clock);
    // What that clock shows now, without a read's cost.
    uint64_t peek(clockid_t clock) const;

    // A sleep of `ns` asked for. True: it is over (recorded, not slept); false
    // (real mode): the caller sleeps and then reports with slept().
    bool skip(uint64_t ns);
    void slept(uint64_t ns, uint64_t real_ns);
    // The host blocked for `ns` in a USB transfer: virtual time advances, the
    // host's clocks jump in wire time, real time passes.
    void wait(uint64_t ns);
    // Whether the host slept since the last call.
    bool take_slept();

private:
    // Virtual and wire time: `ns` passes without sleeping (true); real: false.
    bool pass(uint64_t ns);
    void asked(uint64_t ns);
    uint64_t wire_now() const;

    Core& core_;
    uint64_t origin_ns_ = 0;   // real CLOCK_MONOTONIC at wire time 0
    uint64_t skipped_ns_ = 0;  // wire mode: sleeps skipped so far
    uint64_t start_ns_ = 0;    // wire time at the start of the request
    bool slept_ = false;
};

}  // namespace harlune_sim
