// C2 frame decoder, advanced one C2CK wire edge at a time.
//
// Frame: START, INS (2 bits), then per instruction
//   Address Write  INS 1,1: address (8 bits, host), STOP
//   Address Read   INS 0,1: address (8 bits, target), STOP
//   Data Write     INS 1,0: LENGTH (2 bits), data (8 * (n + 1) bits), WAIT, STOP
//   Data Read      INS 0,0: LENGTH, WAIT, data (8 * (n + 1) bits, target), STOP
// Bits go LSB first. Host fields are sampled on rising edges; the target
// drives its fields from each falling edge, and releases C2D on STOP's
// falling edge. C2CK low for 20 us or more resets the target.
//
// Without a target (detached, C2D low, scripted) the target fields are
// decoded from what the host's status reads return.
#pragma once

#include <cstdint>

#include "adapter.h"
#include "core.h"
#include "target.h"

namespace harlune_sim {

class Wire {
public:
    Wire(Core& core, Adapter& adapter, Target& target)
        : core_(core), adapter_(adapter), target_(target) {}

    void reset();
    // A C2CK wire edge; rising or falling.
    void edge(bool rising);
    // The C2CK driver was switched off: any frame in progress is lost.
    void released();
    // The host read the status register and saw C2D at `level`.
    void sampled(int level);

private:
    enum class Field : uint8_t { idle, ins, address, length, host_data, wait, target_data, stop };
    enum class Kind : uint8_t { address_write, address_read, data_write, data_read };

    static const char* name(Field field);
    void rising();
    void falling();
    int host_bit();
    void end_wait();
    void end_frame();
    bool has_target() const { return core_.cfg.attach == Attach::target; }

    Core& core_;
    Adapter& adapter_;
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
    bool target_on_ = false;
    int sample_bit_ = -1;     // no target: the bit the next status read gives
    bool wait_sample_ = false;
    uint64_t low_since_ns_ = 0;
};

}  // namespace harlune_sim
