// The parallel-port adapter: data-register bits to C2CK and C2D wire levels,
// and C2D back to the status register.
//
//   bit 0-2  unused, never set by the host
//   bit 3    reset control: 1 released, 0 active (holds the C2CK wire low)
//   bit 4    C2CK driver enable, active low
//   bit 5    C2CK level
//   bit 6    C2D driver enable, active low
//   bit 7    C2D level
//
// Both wires have pull-ups. C2D is shared with the target, which drives it in
// its own frame fields; both sides driving at once is a fault.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"

namespace harlune_sim {

class Adapter {
public:
    explicit Adapter(Core& core) : core_(core) {}

    // Power-on state: nothing driven, reset released.
    void reset();

    struct Change {
        int edge = 0;              // C2CK wire: +1 rising, -1 falling, 0 none
        bool ck_released = false;  // the C2CK driver was just switched off
    };
    // Apply a data-register byte at the current wire time.
    Change write(uint8_t data);

    int c2ck() const { return c2ck_; }
    // The C2D wire level.
    int c2d() const;
    bool host_drives_c2d() const { return !(data_ & 0x40); }
    // The target takes (on) or releases (off) C2D.
    void target_drive(bool on, int level);
    // C2D as a status read sees it: the wire, or the next scripted sample.
    int sample();

private:
    bool conflict() const { return host_drives_c2d() && target_on_; }
    int c2ck_wire() const;

    Core& core_;
    uint8_t data_ = 0x58;
    int c2ck_ = 1;
    bool target_on_ = false;
    int target_level_ = 1;
    uint64_t reset_since_ns_ = 0;
    size_t next_sample_ = 0;
};

}  // namespace harlune_sim
