// C2 frame decoder, advanced one C2CK wire edge at a time by the adapter.
//
// Frame: START, INS (2 bits), then per instruction
//   Address Write  INS 1,1: address (8 bits, host), STOP
//   Address Read   INS 0,1: address (8 bits, target), STOP
//   Data Write     INS 1,0: LENGTH (2 bits), data (8 * (n + 1) bits), WAIT, STOP
//   Data Read      INS 0,0: LENGTH, WAIT, data (8 * (n + 1) bits, target), STOP
// Bits go LSB first. Host fields are sampled on rising edges; the target
// drives its fields from each falling edge, and releases C2D on STOP's
// falling edge.
//
// C2CK low for 20 us or more resets the target when it goes high again: the
// frame in progress is cut and the next strobe is a fresh START, which must
// not fall sooner than 2 us after that. A reset during which the reset
// control was never active is one the host did not plan: host and target are
// then out of step until the host's next reset-control pulse.
//
// A strobe low for 5 us up to 20 us, where silicon promises nothing, is a
// clock edge or that unplanned reset as Config::mid_low says; on a port
// without a reset control too.
//
// A port without a reset control (a GPIO chip without a reset line) resets
// with the C2CK driver alone. Its low of 20 us or more begun between frames
// (or after a reset) is then the host's reset pulse: no strobe, a planned
// reset that ends the out-of-step state; unless the next START falls less
// than 2 us after it, when it was a stalled START strobe after all and is
// counted as the unplanned reset it was.
//
// Without a target (detached, C2D low, scripted) the target fields are
// decoded from what the host's status reads return.
#pragma once

#include <cstdint>

#include "core.h"
#include "target.h"

namespace harlune_sim {

// The adapter's lines as the decoder needs them at an edge.
struct Lines {
    bool attached = false;         // a target model answers on C2D
    bool host_drives_c2d = false;
    int c2d = 1;                   // the C2D wire level
    bool reset_held = false;       // the reset control was active in this C2CK low phase
    bool reset_control = true;     // the port has a reset control
};

// What the target does with C2D after an edge.
struct TargetDrive {
    enum class Act : uint8_t { keep, drive, release };
    Act act = Act::keep;
    int level = 1;
};

class Wire {
public:
    Wire(Core& core, Target& target) : core_(core), target_(target) {}

    void reset();
    // C2CK wire edges; `strobe`: the fall came from the clock level or driver.
    TargetDrive falling(const Lines& lines, bool strobe);
    TargetDrive rising(const Lines& lines);
    // The C2CK driver was switched off (the pull-up raised C2CK if `rose`):
    // any frame in progress is lost.
    TargetDrive released(const Lines& lines, bool rose);
    // No target: the host read the status register and saw C2D at `level`.
    void sampled(int level);
    // The host switched its C2D driver or changed the level it drives.
    void host_c2d_changed();
    // The C2CK low phase under way (or the last one) began between frames.
    bool low_from_idle() const { return low_from_idle_; }
    // Driver pulses taken for the host's reset pulse that a START then showed
    // to be stalled START strobes, so far.
    uint64_t pulses_recounted() const { return pulses_recounted_; }

private:
    enum class Field : uint8_t { idle, ins, address, length, host_data, wait, target_data, stop };
    enum class Kind : uint8_t { address_write, address_read, data_write, data_read };

    static const char* name(Field field);
    static TargetDrive drive(int level) { return {TargetDrive::Act::drive, level ? 1 : 0}; }
    static TargetDrive release() { return {TargetDrive::Act::release, 1}; }
    // The end of a C2CK low phase: true when it reset the target.
    bool low_ended(const Lines& lines);
    // A strobe low for 5 us up to 20 us ended: true when it resets the target.
    bool mid_low_resets();
    void count_low(uint64_t low);
    void start();
    int host_bit(const Lines& lines);
    void end_wait(bool attached);
    void end_frame();
    // A write frame (Address or Data Write) decoded: counted when the host
    // had not read every earlier answer of the FTDI chip.
    void unseen_write();

    Core& core_;
    Target& target_;

    Field field_ = Field::idle;
    Kind kind_ = Kind::address_write;
    unsigned bits_ = 0;       // bits done in the current field
    unsigned total_ = 0;      // bits of the current field
    unsigned ins_ = 0;
    unsigned code_ = 0;       // LENGTH
    uint32_t value_ = 0;
    unsigned wait_length_ = 0;
    unsigned wait_done_ = 0;
    uint64_t wait_until_ns_ = 0;  // no WAIT strobe ends the field sooner
    bool wait_ends_ = false;      // the target drove 1 on this WAIT strobe
    int sample_bit_ = -1;     // no target: the bit the next status read gives
    bool wait_sample_ = false;
    uint64_t low_since_ns_ = 0;
    bool low_strobe_ = false;     // the current low phase began with a strobe
    bool low_from_idle_ = false;  // and began between frames
    bool pulse_pending_ = false;  // the last reset was a driver pulse; the next START tells
    bool c2d_after_pulse_ = false; // the host changed C2D since that pulse ended
    uint64_t pulse_low_ns_ = 0;   // that pulse's low phase
    uint64_t pulses_recounted_ = 0;
    bool after_reset_ = false;    // no START since the last reset
    uint64_t reset_end_ns_ = 0;
};

}  // namespace harlune_sim
