// What every port hands the adapter and gets back from it: the parallel
// port's PPWDATA and PPRSTATUS, the GPIO chip's line requests and the FTDI
// chip's set-bits, read-bits and clocking commands all come through here.
//
// A data write is counted, traced with the port's own token and its byte
// applied to the adapter; a byte that takes C2CK low through the clock
// level or driver is a strobe, numbered from 1 since configure() and picked
// here for stalls (Config::stall_at, stall_every, stall_one_in) and holds
// (Config::hold_at). A status read is counted, samples C2D and is traced.
// The stall time owed and the hold due are taken by whoever times the host:
// the port requests, or the FTDI chip's USB side after a transfer.
// Internal to libharlune_sim.
#pragma once

#include <cstdint>
#include <string_view>

#include "adapter.h"
#include "core.h"
#include "timebase.h"

namespace harlune_sim {

class Feed {
public:
    Feed(Core& core, Timebase& clock, Adapter& adapter)
        : core_(core), clock_(clock), adapter_(adapter)
    {
    }

    // configure(): strobe numbers, the stall generator, nothing due.
    void reset();

    // The adapter's state, for the chips: C2CK, the reset control, how the
    // low phase under way began.
    const Adapter& adapter() const { return adapter_; }
    // The strobe that began the C2CK low phase now (0: none).
    uint64_t low_strobe() const { return low_strobe_; }

    // A data write: counted, `token` traced, the byte applied. `reset_control`:
    // the port has one (GPIO lines or FTDI pins without a reset line have not).
    void write(uint8_t data, bool reset_control, std::string_view token);
    // The byte applied without counting a write (a GPIO claim's lines, an
    // FTDI clocking edge); `token` traced unless empty.
    void drive(uint8_t data, bool reset_control, std::string_view token = {});
    // A parallel-port status read: counted, traced as Rxx.
    uint8_t read_status();
    // A chip's read of its lines: counted, traced as `kind` and C2D's level
    // ('-' when the C2D line is not among them, and then not sampled).
    // C2D as sampled, 1 when not sampled.
    int read_c2d(char kind, bool with_c2d);

    // Stall time owed by the strobes picked since the last take.
    uint64_t take_stall();
    // A request has returned: a hold due (the end of a strobe picked by
    // hold_at, the first since a flash command completed) becomes pending if
    // it left C2CK high.
    void returned();
    // The host's next clock read or request: a pending hold holds it now.
    void take_hold();

private:
    bool stall_selected(uint64_t strobe);

    Core& core_;
    Timebase& clock_;
    Adapter& adapter_;
    Rng stall_rng_;                // Config::stall_one_in (stall_seed)
    uint64_t strobes_picked_ = 0;  // strobe numbers considered for a stall so far
    uint64_t low_strobe_ = 0;      // the strobe that began the C2CK low phase now (0: none)
    uint64_t holds_picked_ = 0;    // strobe numbers considered for a hold so far
    uint64_t stall_owed_ns_ = 0;   // stalls picked and not yet taken
    bool hold_due_ = false;        // the last write ended a strobe picked for a hold
    bool hold_pending_ = false;    // a hold at the next clock read or request
};

}  // namespace harlune_sim
