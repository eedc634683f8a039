// The MPSSE engine of one FTDI interface: commands, pins, answers, time.
#include "mpsse.h"

#include <algorithm>

#include "adapter.h"
#include "record.h"

namespace harlune_sim {

namespace {

// The MPSSE commands served.
constexpr uint8_t kSetLow = 0x80;         // value, direction of ADBUS0-7
constexpr uint8_t kReadLow = 0x81;        // answers ADBUS0-7
constexpr uint8_t kSetHigh = 0x82;        // value, direction of ACBUS0-7
constexpr uint8_t kReadHigh = 0x83;       // answers ACBUS0-7
constexpr uint8_t kLoopbackOff = 0x85;
constexpr uint8_t kDivisor = 0x86;        // low, high byte
constexpr uint8_t kSendImmediate = 0x87;  // the answers waiting go to the host now
constexpr uint8_t kDiv5Off = 0x8A;        // 60 MHz master clock
constexpr uint8_t kDiv5On = 0x8B;         // 12 MHz
constexpr uint8_t kThreePhaseOff = 0x8D;
constexpr uint8_t kClockBits = 0x8E;      // n: n + 1 bit periods, no data
constexpr uint8_t kClockBytes = 0x8F;     // low, high: (n + 1) * 8 bit periods, no data
constexpr uint8_t kAdaptiveOff = 0x97;
// A chip's answer to a command it does not know: this, then the command.
constexpr uint8_t kBadCommand = 0xFA;
// Bad commands a host sends on purpose to check that the engine is in step:
// answered as any unknown command, and no fault.
constexpr uint8_t kSyncFirst = 0xAA, kSyncSecond = 0xAB;

// Bit modes of the SIO set-bit-mode request.
constexpr uint8_t kModeReset = 0x00, kModeMpsse = 0x02;

constexpr uint64_t kMsNs = 1000000;

// Argument bytes after a command; -1: not a command served.
int arguments(uint8_t command)
{
    switch (command) {
    case kSetLow:
    case kSetHigh:
    case kDivisor:
    case kClockBytes:
        return 2;
    case kClockBits:
        return 1;
    case kReadLow:
    case kReadHigh:
    case kLoopbackOff:
    case kSendImmediate:
    case kDiv5Off:
    case kDiv5On:
    case kThreePhaseOff:
    case kAdaptiveOff:
        return 0;
    default:
        return -1;
    }
}

}  // namespace

void Mpsse::reset(bool wired)
{
    wired_ = wired;
    if (wired)
        core_.unseen_answers = [this] { return answers_.size(); };
    mpsse_ = false;
    value_[0] = value_[1] = 0;
    dir_[0] = dir_[1] = 0;
    divisor_ = 0;
    div5_ = true;
    latency_ms_ = 16;
    packet_ = 512;
    partial_.clear();
    answers_.clear();
    now_ns_ = 0;
    traced_end_ns_ = 0;
    packet_low_strobe_ = 0;
    packet_pulse_ = false;
}

uint64_t Mpsse::command_ns() const
{
    return core_.cfg.ftdi_command_ns ? core_.cfg.ftdi_command_ns : kCommandNs;
}

void Mpsse::start_at(uint64_t ns) { now_ns_ = std::max(now_ns_, ns); }

bool Mpsse::set_mode(uint8_t mode)
{
    if (mode != kModeMpsse && mode != kModeReset)
        core_.fault("bit mode 0x%02X not served", mode);
    if (!partial_.empty())
        core_.fault("MPSSE command 0x%02X left incomplete", partial_.front());
    // A new mode starts with every pin an input and the engine afresh.
    partial_.clear();
    answers_.clear();
    divisor_ = 0;
    div5_ = true;
    mpsse_ = mode == kModeMpsse;
    return dir_[0] || dir_[1];
}

// Released pins are a data write, at the host's time or the chip's, the later.
void Mpsse::release_pins(uint64_t host_ns)
{
    start_at(host_ns);
    dir_[0] = dir_[1] = 0;
    core_.now_ns = now_ns_;
    wrote();
    now_ns_ += command_ns();
    core_.now_ns = host_ns;
}

void Mpsse::abandon()
{
    if (!partial_.empty())
        core_.fault("MPSSE command 0x%02X left incomplete", partial_.front());
    partial_.clear();
}

void Mpsse::packet_boundary()
{
    const Adapter& a = feed_.adapter();
    if (wired_ && a.c2ck() == 0 && !a.reset_active())
        packet_low_strobe_ = feed_.low_strobe();
}

bool Mpsse::strobe_low() const
{
    const Adapter& a = feed_.adapter();
    return a.c2ck() == 0 && !a.reset_active() && (reset_wired() || !a.low_from_idle());
}

void Mpsse::decode(uint8_t byte)
{
    Core& c = core_;
    if (partial_.empty()) {
        ++c.stats.mpsse_commands;
        bool known = arguments(byte) >= 0 && (acbus_ || (byte != kSetHigh && byte != kReadHigh));
        if (!known) {
            c.now_ns = now_ns_;
            if (byte != kSyncFirst && byte != kSyncSecond)
                c.fault("unknown MPSSE command 0x%02X", byte);
            now_ns_ += command_ns();
            answer(kBadCommand, now_ns_);
            answer(byte, now_ns_);
            return;
        }
    }
    partial_.push_back(byte);
    if (partial_.size() == 1 + static_cast<size_t>(arguments(partial_.front()))) {
        run(partial_);
        partial_.clear();
    }
}

void Mpsse::run(const std::vector<uint8_t>& command)
{
    core_.now_ns = now_ns_;
    uint64_t took = command_ns();
    switch (command[0]) {
    case kSetLow:
    case kSetHigh: {
        int bank = command[0] == kSetHigh;
        value_[bank] = command[1];
        dir_[bank] = command[2];
        wrote();
        break;
    }
    case kReadLow:
    case kReadHigh:
        read_bits(command[0] == kReadHigh);
        break;
    case kSendImmediate:
        for (Answer& a : answers_)
            a.sendable_ns = std::min(a.sendable_ns, now_ns_ + took);
        break;
    case kDivisor:
        divisor_ = static_cast<uint16_t>(command[1] | command[2] << 8);
        break;
    case kDiv5Off:
        div5_ = false;
        break;
    case kDiv5On:
        div5_ = true;
        break;
    case kClockBits:
        clock(uint64_t{command[1]} + 1);
        took = 0;
        break;
    case kClockBytes:
        clock((uint64_t{command[1]} + (uint64_t{command[2]} << 8) + 1) * 8);
        took = 0;
        break;
    default:  // loopback, 3-phase and adaptive clocking off: nothing to do
        break;
    }
    now_ns_ += took;
}

int Mpsse::pin(uint32_t number) const
{
    if (number > 15 || (number > 7 && !acbus_))
        return -1;
    unsigned bank = number / 8, bit = number % 8;
    if (!(dir_[bank] >> bit & 1))
        return -1;
    return value_[bank] >> bit & 1;
}

bool Mpsse::reset_wired() const { return core_.cfg.ftdi_wiring.rst != kNoLine; }

uint8_t Mpsse::data() const
{
    const GpioWiring& w = core_.cfg.ftdi_wiring;
    uint8_t data = 0;
    if (w.rst == kNoLine || pin(w.rst) != 0)
        data |= kResetReleased;
    int ck = pin(w.ck);
    data |= ck < 0 ? kC2ckDriverOff | kC2ckLevel : ck ? kC2ckLevel : 0;
    int d = pin(w.d);
    data |= d < 0 ? kC2dDriverOff | kC2dLevel : d ? kC2dLevel : 0;
    return data;
}

void Mpsse::pin_token(char token[4], uint64_t at_ns)
{
    Core& c = core_;
    const GpioWiring& w = c.cfg.ftdi_wiring;
    token[0] = 'F';
    const uint32_t pins[] = {w.ck, w.d, w.rst};
    for (int i = 0; i < 3; ++i) {
        int level = pins[i] == kNoLine ? -2 : pin(pins[i]);
        token[1 + i] = level == -2 ? '-' : level < 0 ? 'z' : static_cast<char>('0' + level);
    }
    if (!c.cfg.trace)
        return;
    if (at_ns > traced_end_ns_)
        trace_gap(c, at_ns - traced_end_ns_);
    traced_end_ns_ = std::max(traced_end_ns_, at_ns + command_ns());
}

void Mpsse::feed(const char token[4], bool counted)
{
    const Adapter& a = feed_.adapter();
    Stats& st = core_.stats;
    bool low = a.c2ck() == 0;
    uint64_t strobes = st.strobes, recounted = a.pulses_recounted();
    if (counted)
        feed_.write(data(), reset_wired(), {token, 4});
    else
        feed_.drive(data(), reset_wired(), {token, 4});
    if (packet_pulse_ && a.pulses_recounted() > recounted) {
        // That pulse was a stalled START strobe after all.
        ++st.packet_lows;
        packet_pulse_ = false;
    }
    if (low && a.c2ck()) {
        // A low phase ended. One that spanned a packet is counted as a
        // strobe; taken for the host's reset pulse (its strobe taken back),
        // only if the next START shows it was a stalled one.
        packet_pulse_ = packet_low_strobe_ && st.strobes < strobes;
        if (packet_low_strobe_ && !packet_pulse_)
            ++st.packet_lows;
        packet_low_strobe_ = 0;
    }
}

void Mpsse::wrote()
{
    if (!wired_)
        return;
    ++core_.requests;
    char token[4];
    pin_token(token, now_ns_);
    feed(token, true);
}

void Mpsse::edge()
{
    char token[4];
    pin_token(token, core_.now_ns);
    feed(token, false);
}

void Mpsse::read_bits(int bank)
{
    Core& c = core_;
    const GpioWiring& w = c.cfg.ftdi_wiring;
    bool with_d = wired_ && w.d / 8 == static_cast<uint32_t>(bank);
    int c2d = 1;
    if (wired_) {
        if (c.cfg.trace && now_ns_ > traced_end_ns_)
            trace_gap(c, now_ns_ - traced_end_ns_);
        c2d = feed_.read_c2d('f', with_d);
        ++c.requests;
        if (c.cfg.trace)
            traced_end_ns_ = now_ns_ + command_ns();
    }
    uint8_t byte = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
        uint32_t number = static_cast<uint32_t>(bank) * 8 + bit;
        int level = pin(number);
        if (wired_ && number == w.d)
            level = c2d;
        else if (wired_ && number == w.ck)
            level = feed_.adapter().c2ck();
        else if (level < 0)
            level = 1;  // the chip's pull-up
        byte = static_cast<uint8_t>(byte | level << bit);
    }
    answer(byte, now_ns_ + command_ns() + latency_ms_ * kMsNs);
}

void Mpsse::answer(uint8_t byte, uint64_t sendable_ns)
{
    answers_.push_back({byte, sendable_ns});
    // A packet's worth waiting goes without waiting for the latency timer.
    if (answers_.size() % (packet_ - 2) == 0)
        for (Answer& a : answers_)
            a.sendable_ns = std::min(a.sendable_ns, now_ns_ + command_ns());
}

uint64_t Mpsse::half_periods_ns(uint64_t halves) const
{
    // A half period is 1 + divisor ticks of the 60 MHz (or 12 MHz) clock.
    uint64_t mhz = div5_ ? 12 : 60;
    return halves * (uint64_t{divisor_} + 1) * 1000 / mhz;
}

void Mpsse::clock(uint64_t bits)
{
    uint64_t start = now_ns_;
    const GpioWiring& w = core_.cfg.ftdi_wiring;
    bool on_wire = wired_ && (dir_[0] & 1) && (w.ck == 0 || w.d == 0 || w.rst == 0);
    if (on_wire) {
        // TCK (ADBUS0) leaves its level for the first half of each bit; each
        // edge shows in the trace as the line states it makes.
        for (uint64_t half = 0; half < 2 * bits; ++half) {
            core_.now_ns = start + half_periods_ns(half);
            value_[0] ^= 1;
            edge();
        }
    }
    now_ns_ = start + half_periods_ns(2 * bits);
}

}  // namespace harlune_sim
