#include "wire.h"

namespace harlune_sim {

void Wire::reset()
{
    field_ = Field::idle;
    target_on_ = false;
    sample_bit_ = -1;
    wait_sample_ = false;
    low_since_ns_ = 0;
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

void Wire::edge(bool rising_edge)
{
    if (rising_edge)
        rising();
    else
        falling();
}

void Wire::released()
{
    if (field_ != Field::idle)
        core_.fault("frame aborted: C2CK driver switched off in %s", name(field_));
    field_ = Field::idle;
    if (target_on_) {
        target_on_ = false;
        adapter_.target_drive(false, 1);
    }
}

int Wire::host_bit()
{
    if (!adapter_.host_drives_c2d())
        core_.fault("C2D not driven in %s", name(field_));
    return adapter_.c2d();
}

void Wire::falling()
{
    low_since_ns_ = core_.now_ns;
    wait_sample_ = false;
    sample_bit_ = -1;
    switch (field_) {
    case Field::target_data:
        if (has_target()) {
            target_on_ = true;
            adapter_.target_drive(true, static_cast<int>((value_ >> bits_) & 1));
        }
        break;
    case Field::wait:
        ++wait_done_;
        ++core_.stats.wait_strobes;
        if (has_target()) {
            // 0 (busy) on every WAIT strobe up to the last, which drives 1.
            target_on_ = true;
            adapter_.target_drive(true, wait_length_ != 0 && wait_done_ >= wait_length_);
        }
        break;
    case Field::stop:
        if (target_on_) {
            target_on_ = false;
            adapter_.target_drive(false, 1);
        }
        break;
    default:
        break;
    }
}

void Wire::rising()
{
    if (core_.now_ns - low_since_ns_ >= kResetLowNs) {
        if (field_ != Field::idle)
            core_.fault("frame cut by reset in %s", name(field_));
        field_ = Field::idle;
        if (target_on_) {
            target_on_ = false;
            adapter_.target_drive(false, 1);
        }
        ++core_.stats.resets;
        core_.frame("RESET");
        target_.reset();
        return;
    }
    switch (field_) {
    case Field::idle:  // START
        field_ = Field::ins;
        bits_ = 0;
        ins_ = 0;
        value_ = 0;
        code_ = 0;
        break;
    case Field::ins:
        ins_ |= static_cast<unsigned>(host_bit()) << bits_;
        if (++bits_ < 2)
            break;
        bits_ = 0;
        switch (ins_) {  // first bit on the wire in bit 0
        case 3:
            kind_ = Kind::address_write;
            field_ = Field::address;
            break;
        case 2:
            kind_ = Kind::address_read;
            if (has_target())
                value_ = target_.address_read();
            field_ = Field::target_data;
            total_ = 8;
            break;
        case 1:
            kind_ = Kind::data_write;
            field_ = Field::length;
            break;
        default:
            kind_ = Kind::data_read;
            field_ = Field::length;
            break;
        }
        break;
    case Field::address:
        value_ |= static_cast<uint32_t>(host_bit()) << bits_;
        if (++bits_ == 8) {
            if (has_target())
                target_.address_write(static_cast<uint8_t>(value_));
            field_ = Field::stop;
        }
        break;
    case Field::length:
        code_ |= static_cast<unsigned>(host_bit()) << bits_;
        if (++bits_ < 2)
            break;
        bits_ = 0;
        total_ = 8 * (code_ + 1);
        if (kind_ == Kind::data_write)
            field_ = Field::host_data;
        else {
            field_ = Field::wait;
            wait_done_ = 0;
            wait_length_ = has_target() ? target_.wait_length() : 0;
        }
        break;
    case Field::host_data:
        value_ |= static_cast<uint32_t>(host_bit()) << bits_;
        if (++bits_ == total_) {
            if (has_target())
                target_.data_write(value_, code_);
            field_ = Field::wait;
            wait_done_ = 0;
            wait_length_ = has_target() ? target_.wait_length() : 0;
        }
        break;
    case Field::wait:
        if (!has_target())
            wait_sample_ = true;  // the host's next read tells
        else if (wait_length_ != 0 && wait_done_ >= wait_length_)
            end_wait();
        break;
    case Field::target_data:
        if (!has_target())
            sample_bit_ = static_cast<int>(bits_);
        if (++bits_ == total_)
            field_ = Field::stop;
        break;
    case Field::stop:
        end_frame();
        break;
    }
}

void Wire::end_wait()
{
    bits_ = 0;
    if (kind_ == Kind::data_write) {
        field_ = Field::stop;
        return;
    }
    value_ = 0;
    if (has_target())
        value_ = target_.data_read(code_);  // fetched when WAIT ends
    field_ = Field::target_data;
}

void Wire::sampled(int level)
{
    if (wait_sample_) {
        wait_sample_ = false;
        if (level)
            end_wait();
    } else if (sample_bit_ >= 0) {
        if (level)
            value_ |= uint32_t{1} << sample_bit_;
        sample_bit_ = -1;
    }
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
