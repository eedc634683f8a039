#include "adapter.h"

namespace harlune_sim {

namespace {
constexpr uint8_t kUnused = 0x07;
constexpr uint8_t kResetReleased = 0x08;
constexpr uint8_t kC2ckDriverOff = 0x10;
constexpr uint8_t kC2ckLevel = 0x20;
constexpr uint8_t kC2dDriverOff = 0x40;
constexpr uint8_t kC2dLevel = 0x80;
}  // namespace

void Adapter::reset()
{
    data_ = kResetReleased | kC2ckDriverOff | kC2dDriverOff;
    c2ck_ = 1;
    target_on_ = false;
    target_level_ = 1;
    reset_since_ns_ = 0;
    next_sample_ = 0;
}

int Adapter::c2ck_wire() const
{
    if (!(data_ & kResetReleased))
        return 0;
    if (data_ & kC2ckDriverOff)
        return 1;
    return (data_ & kC2ckLevel) ? 1 : 0;
}

int Adapter::c2d() const
{
    if (core_.cfg.attach == Attach::c2d_low)
        return 0;
    int host = (data_ & kC2dLevel) ? 1 : 0;
    if (host_drives_c2d() && target_on_)
        return host & target_level_;  // a fight: the low side wins
    if (host_drives_c2d())
        return host;
    if (target_on_)
        return target_level_;
    return 1;
}

Adapter::Change Adapter::write(uint8_t data)
{
    if (data & kUnused)
        core_.fault("unused data-register bits set: 0x%02X", data);
    bool was_conflict = conflict();
    bool was_reset = !(data_ & kResetReleased);
    bool was_ck_on = !(data_ & kC2ckDriverOff);
    data_ = data;

    bool reset = !(data_ & kResetReleased);
    if (reset && !was_reset)
        reset_since_ns_ = core_.now_ns;
    if (!reset && was_reset && core_.now_ns - reset_since_ns_ < kResetLowNs)
        core_.fault("reset pulse shorter than 20 us (%llu ns)",
                    static_cast<unsigned long long>(core_.now_ns - reset_since_ns_));

    Change change;
    int ck = c2ck_wire();
    change.edge = ck - c2ck_;
    change.ck_released = was_ck_on && (data_ & kC2ckDriverOff);
    c2ck_ = ck;
    if (!was_conflict && conflict())
        core_.fault("C2D driven by host and target at once");
    return change;
}

void Adapter::target_drive(bool on, int level)
{
    bool was_conflict = conflict();
    target_on_ = on && core_.cfg.attach == Attach::target;
    target_level_ = level ? 1 : 0;
    if (!was_conflict && conflict())
        core_.fault("C2D driven by host and target at once");
}

int Adapter::sample()
{
    if (core_.cfg.attach != Attach::scripted)
        return c2d();
    const std::vector<int>& samples = core_.cfg.samples;
    if (next_sample_ >= samples.size()) {
        if (next_sample_++ == samples.size())
            core_.fault("scripted samples exhausted after %zu reads", samples.size());
        return 1;
    }
    return samples[next_sample_++] ? 1 : 0;
}

}  // namespace harlune_sim
