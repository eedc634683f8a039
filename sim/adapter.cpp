// The adapter: data-register bits to the wires, C2D to the status register.
#include "adapter.h"

namespace harlune_sim {

namespace {
constexpr uint8_t kUnused = 0x07;

constexpr uint8_t kStatusIdle = 0x78;
constexpr uint8_t kStatusC2dLow = 0x80;
}  // namespace

void Adapter::reset()
{
    data_ = kResetReleased | kC2ckDriverOff | kC2dDriverOff;
    c2ck_ = 1;
    target_on_ = false;
    target_level_ = 1;
    reset_since_ns_ = 0;
    reset_in_low_ = false;
    reset_control_ = true;
    next_sample_ = 0;
}

bool Adapter::reset_active() const { return !(data_ & kResetReleased); }
bool Adapter::host_drives_c2d() const { return !(data_ & kC2dDriverOff); }

int Adapter::host_c2d() const { return host_drives_c2d() ? ((data_ & kC2dLevel) ? 1 : 0) : -1; }

int Adapter::c2ck_wire() const
{
    if (reset_active())
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

Lines Adapter::lines() const
{
    Lines l;
    l.attached = attached();
    l.host_drives_c2d = host_drives_c2d();
    l.c2d = c2d();
    l.reset_held = reset_in_low_;
    l.reset_control = reset_control_;
    return l;
}

void Adapter::apply(const TargetDrive& drive)
{
    if (drive.act == TargetDrive::Act::keep)
        return;
    bool was_conflict = conflict();
    target_on_ = drive.act == TargetDrive::Act::drive;
    target_level_ = drive.level;
    if (!was_conflict && conflict())
        core_.protocol("C2D driven by host and target at once");
}

Adapter::Result Adapter::write(uint8_t data, bool reset_control)
{
    reset_control_ = reset_control;
    if (data & kUnused)
        core_.fault("unused data-register bits set: 0x%02X", data);
    bool was_conflict = conflict();
    bool was_reset = reset_active();
    bool was_ck_on = !(data_ & kC2ckDriverOff);
    int was_host_c2d = host_c2d();
    data_ = data;
    if (host_c2d() != was_host_c2d)
        wire_.host_c2d_changed();
    bool reset = reset_active();
    if (reset)
        reset_in_low_ = true;
    if (reset && !was_reset)
        reset_since_ns_ = core_.now_ns;
    if (!reset && was_reset && core_.now_ns - reset_since_ns_ < kResetLowNs)
        core_.fault("reset pulse shorter than 20 us (%llu ns)",
                    static_cast<unsigned long long>(core_.now_ns - reset_since_ns_));

    Result result;
    int ck = c2ck_wire();
    int edge = ck - c2ck_;
    c2ck_ = ck;
    result.rose = edge > 0;
    if (!was_conflict && conflict())
        core_.protocol("C2D driven by host and target at once");
    if (was_ck_on && (data_ & kC2ckDriverOff)) {
        // The pull-up edge, if any, is no clock edge.
        apply(wire_.released(lines(), edge > 0));
    } else if (edge > 0) {
        apply(wire_.rising(lines()));
    } else if (edge < 0) {
        result.strobe = !reset;
        apply(wire_.falling(lines(), result.strobe));
    }
    if (ck)
        reset_in_low_ = false;
    if (!reset && was_reset)
        core_.desync = false;  // the host's reset-control pulse: it starts afresh
    return result;
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

uint8_t Adapter::read_status()
{
    int level = sample();
    if (!attached())
        wire_.sampled(level);
    return static_cast<uint8_t>(kStatusIdle | (level ? 0 : kStatusC2dLow));
}

}  // namespace harlune_sim
