// The MPSSE engine of one interface of a simulated FTDI chip: the command
// decoder, the pins (ADBUS0-7, ACBUS0-7), the answers waiting in the chip's
// buffer, and the chip's own timeline. The USB side (usb.h) hands it the
// bytes of each bulk OUT transfer and takes its answers.
//
// On the wired interface (the first device's Config::ftdi_interface) the
// pins of Config::ftdi_wiring reach the adapter through the Feed as the
// data-register byte it understands, as the GPIO chip's lines do:
//
//   rst an output low      reset control active
//   C2CK an output at v    C2CK driver on, level v; input: driver off
//   C2D an output at v     C2D driver on, level v; input: driver off
//
// Each set-bits command (0x80, 0x82) is one data write, each read-bits
// command (0x81, 0x83) one status read whose answer waits for a bulk IN
// transfer. Unwired inputs read 1 (the chip's pull-ups). Other interfaces
// decode their commands with nothing attached.
//
// Time: each command takes Config::ftdi_command_ns, the clocking ones their
// bit periods; the chip's time passes here alone (the USB side only starts
// a transfer at a time and pauses between its packets).
// Internal to libharlune_sim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "core.h"
#include "feed.h"

namespace harlune_sim {

// The time one MPSSE command takes the chip (the clocking ones excepted),
// unless Config::ftdi_command_ns says otherwise.
inline constexpr uint64_t kCommandNs = 50;

class Mpsse {
public:
    Mpsse(Core& core, Feed& feed) : core_(core), feed_(feed) {}

    // Afresh: pins inputs, out of MPSSE mode, buffers and time cleared.
    // Whether it has ACBUS stays.
    void reset(bool wired);
    bool wired() const { return wired_; }
    // An FT4232H has no ACBUS.
    void set_acbus(bool acbus) { acbus_ = acbus; }
    bool in_mpsse() const { return mpsse_; }

    // The chip's timeline: where it is, a transfer starting no sooner than
    // `ns`, the wait between two packets.
    uint64_t now() const { return now_ns_; }
    void start_at(uint64_t ns);
    void pause(uint64_t ns) { now_ns_ += ns; }

    // A byte of a bulk OUT transfer; a command runs once all its bytes came.
    void decode(uint8_t byte);
    // A packet boundary inside a write transfer: a C2CK low across it counts
    // once it ends as a strobe (not as the host's reset pulse).
    void packet_boundary();
    // C2CK low now, in a strobe rather than a reset pulse.
    bool strobe_low() const;

    // SIO requests: a new bit mode (the engine afresh, pins kept); true when
    // driven pins are to be released (release_pins, at the host's time).
    bool set_mode(uint8_t mode);
    void release_pins(uint64_t host_ns);
    void set_latency(unsigned ms) { latency_ms_ = ms; }
    unsigned latency_ms() const { return latency_ms_; }
    // Reset purges: what the host sent and has not run, the answers waiting.
    void purge_commands() { partial_.clear(); }
    void purge_answers() { answers_.clear(); }
    // The claim released: a command left incomplete is a fault.
    void abandon();
    // The link's packet size, from which a packet's worth of answers goes.
    void set_packet(size_t bytes) { packet_ = bytes; }
    // The answers the chip holds; once they fill it, it runs nothing more
    // until the host reads.
    void set_buffer(size_t answers) { buffer_ = answers; }
    bool stopped() const { return answers_.size() >= buffer_; }

    // The answers waiting, each with when the chip may send it.
    struct Answer {
        uint8_t byte;
        uint64_t sendable_ns;  // its latency, or a later send-immediate
    };
    std::deque<Answer>& answers() { return answers_; }

private:
    void run(const std::vector<uint8_t>& command);
    void read_bits(int bank);
    void clock(uint64_t bits);
    uint64_t half_periods_ns(uint64_t halves) const;
    void answer(uint8_t byte, uint64_t sendable_ns);
    // The pins changed: one data write (counted, traced, driven).
    void wrote();
    // A clocking edge: traced and driven, no data write.
    void edge();
    // The F token of the wired pins, after the gap since the last one.
    void pin_token(char token[4], uint64_t at_ns);
    // The pins to the adapter: a data write or an edge.
    void feed(const char token[4], bool counted);
    // The wired pins as a data-register byte.
    uint8_t data() const;
    bool reset_wired() const;
    // -1: an input (or no such pin), else the level driven.
    int pin(uint32_t number) const;
    uint64_t command_ns() const;

    Core& core_;
    Feed& feed_;
    bool wired_ = false;
    bool acbus_ = true;
    bool mpsse_ = false;
    uint8_t value_[2] = {0, 0};  // ADBUS, ACBUS levels
    uint8_t dir_[2] = {0, 0};    // 1: output
    uint16_t divisor_ = 0;
    bool div5_ = true;
    unsigned latency_ms_ = 16;
    size_t packet_ = 512;
    size_t buffer_ = 1024;
    std::vector<uint8_t> partial_;  // a command whose bytes have not all arrived
    std::deque<Answer> answers_;
    uint64_t now_ns_ = 0;           // where its timeline is
    uint64_t traced_end_ns_ = 0;    // the end of the last command traced
    uint64_t packet_low_strobe_ = 0; // the strobe whose C2CK low spans a packet boundary (0: none)
    bool packet_pulse_ = false;      // the last low phase spanned a packet and was taken for a reset pulse
};

}  // namespace harlune_sim
