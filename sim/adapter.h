// The adapter between every port and the target's wires: the parallel
// port's data-register bits (the byte the GPIO and FTDI chips' wired lines
// make too, through the Feed) to C2CK and C2D wire levels, and C2D back to
// the status register.
//
//   bit 0-2  unused, never set by the host
//   bit 3    reset control: 1 released, 0 active (holds the C2CK wire low)
//   bit 4    C2CK driver enable, active low
//   bit 5    C2CK level
//   bit 6    C2D driver enable, active low
//   bit 7    C2D level
//
// Status register: 0x78, with bit 7 set when C2D is low (BUSY is inverted by
// the port).
//
// Both wires have pull-ups. C2D is shared with the target, which drives it in
// its own frame fields; both sides driving at once is a fault. The adapter
// alone knows what is attached (Config::attach) and who drives C2D; it feeds
// the C2CK edges to the wire decoder and applies what the target drives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core.h"
#include "wire.h"

namespace harlune_sim {

// Data-register bits.
inline constexpr uint8_t kResetReleased = 0x08;
inline constexpr uint8_t kC2ckDriverOff = 0x10;
inline constexpr uint8_t kC2ckLevel = 0x20;
inline constexpr uint8_t kC2dDriverOff = 0x40;
inline constexpr uint8_t kC2dLevel = 0x80;

class Adapter {
public:
    Adapter(Core& core, Wire& wire) : core_(core), wire_(wire) {}

    // Power-on state: nothing driven, reset released.
    void reset();

    struct Result {
        bool strobe = false;  // C2CK went high to low through its level or driver
        bool rose = false;    // C2CK went low to high, by whatever means
    };
    // Apply a data-register byte at the current wire time. `reset_control`:
    // the port has one (a GPIO chip without a reset line has not).
    Result write(uint8_t data, bool reset_control = true);
    // The status register as a read returns it.
    uint8_t read_status();

    bool reset_active() const;
    int c2ck() const { return c2ck_; }
    // The C2CK low phase under way (or the last one) began between frames.
    bool low_from_idle() const { return wire_.low_from_idle(); }
    // Driver pulses taken for the host's reset pulse that a START then showed
    // to be stalled START strobes, so far.
    uint64_t pulses_recounted() const { return wire_.pulses_recounted(); }

private:
    bool attached() const { return core_.cfg.attach == Attach::target; }
    bool host_drives_c2d() const;
    // What the host does with C2D: -1 not driven, else the level it drives.
    int host_c2d() const;
    bool conflict() const { return host_drives_c2d() && target_on_; }
    int c2ck_wire() const;
    int c2d() const;
    Lines lines() const;
    void apply(const TargetDrive& drive);
    // C2D as a status read sees it: the wire, or the next scripted sample.
    int sample();

    Core& core_;
    Wire& wire_;
    uint8_t data_ = 0x58;
    int c2ck_ = 1;
    bool target_on_ = false;
    int target_level_ = 1;
    uint64_t reset_since_ns_ = 0;
    bool reset_in_low_ = false;  // the reset control was active in this C2CK low phase
    bool reset_control_ = true;  // the last write's port has a reset control
    size_t next_sample_ = 0;
};

}  // namespace harlune_sim
