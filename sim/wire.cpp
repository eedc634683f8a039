// The C2 frame decoder, one C2CK edge at a time.
#include "wire.h"

#include <algorithm>

namespace harlune_sim {

void Wire::reset()
{
    field_ = Field::idle;
    sample_bit_ = -1;
    wait_sample_ = false;
    low_since_ns_ = 0;
    low_strobe_ = false;
    low_from_idle_ = false;
    pulse_pending_ = false;
    c2d_after_pulse_ = false;
    pulse_low_ns_ = 0;
    after_reset_ = false;
    reset_end_ns_ = 0;
}

const char* Wire::name(Field field)
{
    switch (field) {
    case Field::idle: return "idle";
    case Field::ins: return "INS";
    case Field::address: return "address";
    case Field::length: return "LENGTH";
    case Field::host_data: return "data";
    case Field::wait: return "WAIT";
    case Field::target_data: return "target data";
    case Field::stop: return "STOP";
    }
    return "?";
}

void Wire::count_low(uint64_t low)
{
    Stats& st = core_.stats;
    st.lows_over_5us += low >= kStrobeLowNs;
    st.lows_over_20us += low >= kResetLowNs;
    st.longest_low_ns = std::max(st.longest_low_ns, low);
    if (!st.shortest_low_ns || low < st.shortest_low_ns)
        st.shortest_low_ns = low;
}

bool Wire::mid_low_resets()
{
    switch (core_.cfg.mid_low) {
    case MidLow::edge: return false;
    case MidLow::reset: return true;
    case MidLow::random: return core_.mid_low_rng.next() % 2 == 0;
    }
    return false;
}

bool Wire::low_ended(const Lines& lines)
{
    uint64_t low = core_.now_ns - low_since_ns_;
    Stats& st = core_.stats;
    // Without a reset control the host resets through the C2CK driver.
    bool pulse = low >= kResetLowNs && low_strobe_ && low_from_idle_ && !lines.reset_control;
    bool strobe = low_strobe_ && !lines.reset_held;
    if (low_strobe_) {
        if (pulse)
            --st.strobes;  // not a strobe after all
        else
            count_low(low);
        low_strobe_ = false;
    }
    if (low < kStrobeLowNs || (low < kResetLowNs && !(strobe && mid_low_resets())))
        return false;
    bool planned = lines.reset_held || pulse;
    if (field_ != Field::idle) {
        ++st.cut_frames;
        if (planned)
            core_.protocol("frame cut by reset in %s", name(field_));
    }
    if (!planned) {
        ++st.unplanned_resets;
        core_.desync = true;
    }
    pulse_pending_ = pulse;
    c2d_after_pulse_ = false;
    pulse_low_ns_ = low;
    if (pulse)
        core_.desync = false;  // the host's reset pulse: it starts afresh
    field_ = Field::idle;
    ++st.resets;
    core_.frame("RESET");
    target_.reset();
    after_reset_ = true;
    reset_end_ns_ = core_.now_ns;
    return true;
}

TargetDrive Wire::released(const Lines& lines, bool rose)
{
    if (rose && low_ended(lines))
        return release();
    if (field_ != Field::idle)
        core_.protocol("frame aborted: C2CK driver switched off in %s", name(field_));
    field_ = Field::idle;
    return release();
}

int Wire::host_bit(const Lines& lines)
{
    if (!lines.host_drives_c2d)
        core_.protocol("C2D not driven in %s", name(field_));
    return lines.c2d;
}

TargetDrive Wire::falling(const Lines& lines, bool strobe)
{
    low_since_ns_ = core_.now_ns;
    low_strobe_ = strobe;
    // Out of step, the decoder's field means nothing to the host: a long low
    // then is its reset pulse as well.
    low_from_idle_ = field_ == Field::idle || core_.desync;
    wait_sample_ = false;
    sample_bit_ = -1;
    switch (field_) {
    case Field::target_data:
        if (lines.attached)
            return drive(static_cast<int>((value_ >> bits_) & 1));
        break;
    case Field::wait:
        ++wait_done_;
        ++core_.stats.wait_strobes;
        // 0 (busy) on every WAIT strobe up to the last, which drives 1.
        wait_ends_ = wait_length_ != 0 && wait_done_ >= wait_length_ && core_.now_ns >= wait_until_ns_;
        if (lines.attached)
            return drive(wait_ends_);
        break;
    case Field::stop:
        return release();
    default:
        break;
    }
    return {};
}

void Wire::host_c2d_changed()
{
    if (pulse_pending_ && after_reset_)
        c2d_after_pulse_ = true;
}

void Wire::start()
{
    field_ = Field::ins;
    bits_ = 0;
    ins_ = 0;
    value_ = 0;
    code_ = 0;
    if (!after_reset_)
        return;
    after_reset_ = false;
    uint64_t since = low_since_ns_ - reset_end_ns_;
    // After its reset pulse the host starts a frame with START at once; after
    // a START it drives the INS field. Either tells a stalled START strobe.
    if (pulse_pending_ && (since < kStartAfterResetNs || c2d_after_pulse_)) {
        // The driver pulse was a stalled START strobe: an unplanned reset.
        ++core_.stats.strobes;
        count_low(pulse_low_ns_);
        ++pulses_recounted_;
        ++core_.stats.unplanned_resets;
        core_.desync = true;
    }
    pulse_pending_ = false;
    if (since < kStartAfterResetNs) {
        ++core_.stats.early_frames;
        core_.protocol("frame started %llu ns after a reset (2 us needed)",
                       static_cast<unsigned long long>(since));
    }
}

TargetDrive Wire::rising(const Lines& lines)
{
    if (low_ended(lines))
        return release();
    switch (field_) {
    case Field::idle:  // START
        start();
        break;
    case Field::ins:
        ins_ |= static_cast<unsigned>(host_bit(lines)) << bits_;
        if (++bits_ < 2)
            break;
        bits_ = 0;
        switch (ins_) {  // first bit on the wire in bit 0
        case 3:
            kind_ = Kind::address_write;
            unseen_write();
            field_ = Field::address;
            break;
        case 2:
            kind_ = Kind::address_read;
            if (lines.attached)
                value_ = target_.address_read();
            field_ = Field::target_data;
            total_ = 8;
            break;
        case 1:
            kind_ = Kind::data_write;
            unseen_write();
            field_ = Field::length;
            break;
        default:
            kind_ = Kind::data_read;
            field_ = Field::length;
            break;
        }
        break;
    case Field::address:
        value_ |= static_cast<uint32_t>(host_bit(lines)) << bits_;
        if (++bits_ == 8) {
            if (lines.attached)
                target_.address_write(static_cast<uint8_t>(value_));
            field_ = Field::stop;
        }
        break;
    case Field::length:
        code_ |= static_cast<unsigned>(host_bit(lines)) << bits_;
        if (++bits_ < 2)
            break;
        bits_ = 0;
        total_ = 8 * (code_ + 1);
        if (kind_ == Kind::data_write)
            field_ = Field::host_data;
        else {
            field_ = Field::wait;
            wait_done_ = 0;
            wait_length_ = lines.attached ? target_.wait_length() : 0;
            wait_until_ns_ = core_.now_ns + (lines.attached ? target_.wait_time() : 0);
        }
        break;
    case Field::host_data:
        value_ |= static_cast<uint32_t>(host_bit(lines)) << bits_;
        if (++bits_ == total_) {
            if (lines.attached)
                target_.data_write(value_, code_);
            field_ = Field::wait;
            wait_done_ = 0;
            wait_length_ = lines.attached ? target_.wait_length() : 0;
            wait_until_ns_ = core_.now_ns + (lines.attached ? target_.wait_time() : 0);
        }
        break;
    case Field::wait:
        if (!lines.attached)
            wait_sample_ = true;  // the host's next read tells
        else if (wait_ends_)
            end_wait(true);
        break;
    case Field::target_data:
        if (!lines.attached)
            sample_bit_ = static_cast<int>(bits_);
        if (++bits_ == total_)
            field_ = Field::stop;
        break;
    case Field::stop:
        end_frame();
        break;
    }
    return {};
}

void Wire::end_wait(bool attached)
{
    bits_ = 0;
    if (kind_ == Kind::data_write) {
        field_ = Field::stop;
        return;
    }
    value_ = 0;
    if (attached)
        value_ = target_.data_read(code_);  // fetched when WAIT ends
    field_ = Field::target_data;
}

void Wire::sampled(int level)
{
    if (wait_sample_) {
        wait_sample_ = false;
        if (level)
            end_wait(false);
    } else if (sample_bit_ >= 0) {
        if (level)
            value_ |= uint32_t{1} << sample_bit_;
        sample_bit_ = -1;
    }
}

void Wire::unseen_write()
{
    if (core_.unseen_answers && core_.unseen_answers() > 0)
        ++core_.stats.unseen_writes;
}

void Wire::end_frame()
{
    field_ = Field::idle;
    unsigned bytes = code_ + 1;
    switch (kind_) {
    case Kind::address_write:
        ++core_.stats.address_writes;
        core_.frame("AW", value_, 1);
        break;
    case Kind::address_read:
        ++core_.stats.address_reads;
        core_.frame("AR", value_, 1);
        break;
    case Kind::data_write:
        ++core_.stats.data_writes;
        core_.frame("DW", value_, bytes);
        break;
    case Kind::data_read:
        ++core_.stats.data_reads;
        core_.frame("DR", value_, bytes);
        break;
    }
}

}  // namespace harlune_sim
