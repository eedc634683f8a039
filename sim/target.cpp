// The C2 target: registers, the flash programming interface, the flash.
#include "target.h"

#include <algorithm>

namespace harlune_sim {

namespace {
constexpr uint8_t kDeviceIdRegister = 0x00;
constexpr uint8_t kControlRegister = 0x02;
constexpr uint8_t kFpdat = 0xB4;

constexpr uint8_t kOutReady = 0x01;
constexpr uint8_t kInBusy = 0x02;

constexpr uint8_t kAccepted = 0x0D;
constexpr uint8_t kOutOfRange = 0x02;

constexpr uint8_t kBlockRead = 0x06;
constexpr uint8_t kBlockWrite = 0x07;
constexpr uint8_t kPageErase = 0x08;
constexpr uint8_t kDeviceErase = 0x03;

constexpr uint8_t kArming[3] = {0xDE, 0xAD, 0xA5};
}  // namespace

void Target::configure()
{
    flash.assign(core_.cfg.flash_size, 0xFF);
    std::fill(std::begin(counts_), std::end(counts_), 0u);
    reset();
}

void Target::reset()
{
    address_ = 0;
    std::fill(std::begin(registers_), std::end(registers_), uint8_t{0});
    control_ = Control::after_reset;
    settle_fault_ = false;
    in_busy_ = false;
    offered_ = false;
    ready_ = false;
    fpdat_ = 0;
    step_ = Step::idle;
}

unsigned Target::wait_length()
{
    if (core_.cfg.seed)
        return core_.draw(1, 8);
    return core_.cfg.wait_strobes;
}

uint8_t Target::address_read()
{
    if (control_ != Control::on)
        return 0x00;
    if (in_busy_) {
        if (busy_left_ > 0)
            --busy_left_;
        else if (!core_.cfg.freeze_busy && core_.now_ns >= busy_until_ns_) {
            in_busy_ = false;
            take(in_byte_);
        }
    }
    if (offered_ && !ready_) {
        if (ready_left_ > 0)
            --ready_left_;
        else if (!core_.cfg.freeze_ready && core_.now_ns >= ready_at_ns_) {
            ready_ = true;
            fpdat_ = out_byte_;
        }
    }
    return static_cast<uint8_t>((ready_ ? kOutReady : 0) | (in_busy_ ? kInBusy : 0));
}

bool Target::fpdat_ready()
{
    if (control_ != Control::on) {
        core_.protocol("FPDAT accessed outside programming mode");
        return false;
    }
    if (!settle_fault_ && core_.now_ns - on_since_ns_ < kProgrammingSettleNs) {
        settle_fault_ = true;
        core_.protocol("FPDAT accessed %llu us after programming mode was switched on (20 ms needed)",
                    static_cast<unsigned long long>((core_.now_ns - on_since_ns_) / 1000));
    }
    return true;
}

void Target::data_write(uint32_t value, unsigned code)
{
    auto low = static_cast<uint8_t>(value);
    if (code > 0 && (address_ == kFpdat || address_ == kControlRegister))
        core_.protocol("Data Write of %u bytes to register 0x%02X", code + 1, address_);
    if (address_ == kFpdat) {
        if (!fpdat_ready())
            return;
        if (in_busy_) {
            core_.protocol("FPDAT written while in-busy (0x%02X lost)", low);
            return;
        }
        in_busy_ = true;
        in_byte_ = low;
        busy_left_ = core_.cfg.seed ? core_.draw(0, 4) : core_.cfg.busy_polls;
        busy_until_ns_ = core_.now_ns + core_.response(core_.cfg.busy_time);
        if (step_ == Step::idle) {
            offered_ = false;  // a new command drops a byte nobody read
            ready_ = false;
        }
        return;
    }
    if (address_ == kControlRegister) {
        write_register(kControlRegister, low);
        return;
    }
    for (unsigned i = 0; i <= code; ++i)
        write_register(static_cast<uint8_t>(address_ + i), static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t Target::data_read(unsigned code)
{
    if (address_ == kFpdat) {
        if (code > 0)
            core_.protocol("Data Read of %u bytes from FPDAT", code + 1);
        if (!fpdat_ready())
            return 0x00;
        if (!ready_) {
            core_.protocol("FPDAT read while out-ready is clear");
            return fpdat_;
        }
        ready_ = false;
        offered_ = false;
        uint8_t value = fpdat_;
        offered_byte_read();
        return value;
    }
    uint32_t value = 0;
    for (unsigned i = 0; i <= code; ++i)
        value |= uint32_t{read_register(static_cast<uint8_t>(address_ + i))} << (8 * i);
    return value;
}

void Target::write_register(uint8_t address, uint8_t value)
{
    if (address == kDeviceIdRegister)
        return;
    registers_[address] = value;
    if (address != kControlRegister)
        return;
    // Programming mode: 0x02, 0x01 or 0x02, 0x04, 0x01 as the first writes
    // after a reset.
    if (value == 0x02 && control_ == Control::after_reset)
        control_ = Control::armed;
    else if (value == 0x04 && control_ == Control::armed)
        control_ = Control::armed_more;
    else if (value == 0x01 && (control_ == Control::armed || control_ == Control::armed_more)) {
        control_ = Control::on;
        on_since_ns_ = core_.now_ns;
    } else
        control_ = Control::off;
}

uint8_t Target::read_register(uint8_t address) const
{
    if (address == kDeviceIdRegister)
        return core_.cfg.device_id;
    return registers_[address];
}

void Target::offer(uint8_t byte, unsigned extra_polls)
{
    offered_ = true;
    ready_ = false;
    out_byte_ = byte;
    ready_left_ = (core_.cfg.seed ? core_.draw(0, 4) : core_.cfg.ready_polls) + extra_polls;
    ready_at_ns_ = core_.now_ns + core_.response(core_.cfg.ready_time);
}

int Target::refusal(unsigned point) const
{
    for (const Refusal& r : core_.cfg.refusals)
        if (r.command == code_ && r.point == point && r.nth == counts_[code_])
            return r.code;
    return -1;
}

void Target::command(uint8_t code)
{
    switch (code) {
    case kBlockRead: ++core_.stats.block_reads; break;
    case kBlockWrite: ++core_.stats.block_writes; break;
    case kPageErase: ++core_.stats.page_erases; break;
    case kDeviceErase: ++core_.stats.device_erases; break;
    default:
        offer(0x00);  // unknown command
        step_ = Step::idle;
        return;
    }
    code_ = code;
    ++counts_[code];
    int refused = refusal(1);
    accepted_ = refused < 0;
    offer(accepted_ ? kAccepted : static_cast<uint8_t>(refused));
    step_ = Step::status1;
}

void Target::second_status(bool in_range)
{
    int refused = refusal(2);
    accepted_ = refused < 0 && in_range;
    offer(refused >= 0 ? static_cast<uint8_t>(refused) : in_range ? kAccepted : kOutOfRange);
    step_ = Step::status2;
}

void Target::take(uint8_t byte)
{
    switch (step_) {
    case Step::status1:
    case Step::status2:
    case Step::read_data:
        core_.protocol("FPDAT byte 0x%02X written while the target's byte 0x%02X waits to be read",
                    byte, out_byte_);
        [[fallthrough]];
    case Step::idle:
        command(byte);  // its status replaces any byte offered before
        break;
    case Step::address_hi:
        flash_address_ = uint32_t{byte} << 8;
        step_ = Step::address_lo;
        break;
    case Step::address_lo:
        flash_address_ |= byte;
        step_ = Step::length;
        break;
    case Step::length:
        length_ = byte ? byte : 256;
        second_status(flash_address_ + length_ <= flash.size());
        break;
    case Step::page:
        flash_address_ = uint32_t{byte} * core_.cfg.page_size;
        length_ = core_.cfg.page_size;
        second_status(flash_address_ + length_ <= flash.size());
        break;
    case Step::write_data:
        flash[flash_address_ + done_] &= byte;  // programming only clears bits
        if (++done_ == length_) {
            offer(kAccepted);
            step_ = Step::idle;
            core_.command_completed = true;
        }
        break;
    case Step::confirm:
        step_ = Step::idle;
        if (byte != 0x00) {
            core_.protocol("page erase confirmed with 0x%02X instead of 0x00", byte);
            break;
        }
        std::fill_n(flash.begin() + flash_address_, length_, uint8_t{0xFF});
        offer(kAccepted);
        core_.command_completed = true;
        break;
    case Step::arm1:
    case Step::arm2:
    case Step::arm3: {
        unsigned i = static_cast<unsigned>(step_) - static_cast<unsigned>(Step::arm1);
        if (byte != kArming[i]) {
            core_.protocol("device erase armed with 0x%02X instead of 0x%02X", byte, kArming[i]);
            step_ = Step::idle;
        } else if (step_ == Step::arm3) {
            std::fill(flash.begin(), flash.end(), uint8_t{0xFF});
            offer(kAccepted, core_.cfg.erase_polls);
            step_ = Step::idle;
            core_.command_completed = true;
        } else
            step_ = static_cast<Step>(static_cast<unsigned>(step_) + 1);
        break;
    }
    }
}

void Target::offered_byte_read()
{
    switch (step_) {
    case Step::status1:
        if (!accepted_)
            step_ = Step::idle;
        else if (code_ == kPageErase)
            step_ = Step::page;
        else if (code_ == kDeviceErase)
            step_ = Step::arm1;
        else
            step_ = Step::address_hi;
        break;
    case Step::status2:
        done_ = 0;
        if (!accepted_)
            step_ = Step::idle;
        else if (code_ == kBlockRead) {
            offer(flash[flash_address_]);
            step_ = Step::read_data;
        } else if (code_ == kBlockWrite)
            step_ = Step::write_data;
        else
            step_ = Step::confirm;
        break;
    case Step::read_data:
        if (++done_ < length_)
            offer(flash[flash_address_ + done_]);
        else {
            step_ = Step::idle;
            core_.command_completed = true;  // the last data byte read
        }
        break;
    default:
        break;  // a final status, or the answer to an unknown command
    }
}

}  // namespace harlune_sim
