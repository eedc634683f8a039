// The FTDI chips served behind libftdi's API (Config::ftdi_devices): the
// contexts, the USB transfers and each chip's MPSSE engine.
//
// The pins wired to the target (Config::ftdi_wiring: 0-7 ADBUS0-7, 8-15
// ACBUS0-7) of the wired chip (the first device, interface
// Config::ftdi_interface) reach the adapter as the data-register byte it
// understands, as the GPIO chip's lines do:
//
//   rst an output low      reset control active
//   C2CK an output at v    C2CK driver on, level v; input: driver off
//   C2D an output at v     C2D driver on, level v; input: driver off
//
// Each set-bits command (0x80, 0x82) is one data write, each read-bits
// command (0x81, 0x83) one status read whose answer waits in the chip's
// buffer for the host's ftdi_read_data. Unwired inputs read 1 (the chip's
// pull-ups). Other chips and interfaces decode their commands with nothing
// attached.
//
// Time: commands run at the chip's pace (kCommandNs each, the clocking ones
// their bit periods) on the chip's own timeline. A write transfer starts on
// the chip when the host sends it, and no sooner than one USB frame after
// the previous transfer ended there, so a C2CK low left at the end of a
// transfer lasts at least that long. A USB read waits until the first answer
// is sent (at a send-immediate, or when the latency timer runs out) and then
// costs the host one round trip (Config::ftdi_rtt_ns).
// Internal to libharlune_sim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

struct ftdi_context;

namespace harlune_sim {

struct Sim;

// The time one MPSSE command takes the chip (the clocking ones excepted).
inline constexpr uint64_t kCommandNs = 50;
// No write transfer starts on the chip sooner than this after the previous one ended.
inline constexpr uint64_t kUsbFrameNs = 125000;

class Ftdi {
public:
    explicit Ftdi(Sim& sim) : s_(sim) {}

    // Every chip's pins inputs, its buffers and time cleared. Contexts stay
    // as they are.
    void configure();

    // The libftdi calls, answering as libftdi does.
    ftdi_context* create();
    void destroy(ftdi_context* ctx);
    int set_interface(ftdi_context* ctx, int interface);
    int open(ftdi_context* ctx, int vendor, int product, const char* description,
             const char* serial, unsigned index);
    int close(ftdi_context* ctx);
    int usb_reset(ftdi_context* ctx);
    int set_latency(ftdi_context* ctx, unsigned char ms);
    int write_chunksize(ftdi_context* ctx, unsigned size);
    int read_chunksize(ftdi_context* ctx, unsigned size);
    int set_bitmode(ftdi_context* ctx, unsigned char mask, unsigned char mode);
    // Purge what waits for the chip (`to_chip`) and what waits for the host (`to_host`).
    int purge(ftdi_context* ctx, bool to_chip, bool to_host);
    int write(ftdi_context* ctx, const unsigned char* data, int size);
    int read(ftdi_context* ctx, unsigned char* data, int size);
    const char* error_string(ftdi_context* ctx);

private:
    struct Answer {
        uint8_t byte;
        uint64_t sendable_ns;  // when the chip may send it: its latency or a later send-immediate
    };
    // One interface of one device: its MPSSE engine and pins.
    struct Engine {
        bool wired = false;    // its pins reach the adapter
        bool claimed = false;  // a context has it open
        bool mpsse = false;    // in MPSSE mode
        bool high = true;      // it has ACBUS (not on an FT4232H)
        uint8_t value[2] = {0, 0};  // ADBUS, ACBUS levels
        uint8_t dir[2] = {0, 0};    // 1: output
        uint16_t divisor = 0;
        bool div5 = true;
        unsigned latency_ms = 16;
        std::vector<uint8_t> partial;  // a command whose bytes have not all arrived
        std::deque<Answer> answers;
        uint64_t now_ns = 0;           // where its timeline is
        uint64_t transfer_end_ns = 0;  // the end of its last write transfer
        bool transferred = false;
    };
    struct Handle {
        bool freed = false;
        int engine = -1;    // open: the engine's key
        int interface = 0;  // 0 A, 1 B, 2 C, 3 D
        std::vector<uint8_t> fetched;  // read from the chip, not yet returned
    };

    bool wired(int key) const;
    Engine& engine_at(int key);
    // The handle of a live context, or nullptr (a fault recorded for a null,
    // freed or unknown one).
    Handle* handle(ftdi_context* ctx, const char* call);
    // The open engine of a context; nullptr (a fault recorded) when closed.
    Engine* engine(Handle& h, const char* call);
    static int fail(ftdi_context* ctx, int code, const char* text);
    // The host's time at the start of a call.
    uint64_t host_now();
    // The engine closed by its context.
    void let_go(Handle& h);
    // Claims, writes and reads so far; a signal raised when they pass signal_at.
    uint64_t requests() const;
    void maybe_signal(uint64_t before);

    // MPSSE: one write transfer's bytes decoded and their commands run.
    void transfer(Engine& e, const unsigned char* data, size_t size);
    void run(Engine& e, const std::vector<uint8_t>& command);
    void read_bits(Engine& e, int bank);
    void clock(Engine& e, uint64_t bits);
    uint64_t half_periods_ns(const Engine& e, uint64_t halves) const;
    static void answer(Engine& e, uint8_t byte, uint64_t sendable_ns);
    // The pins changed: one data write (counted, traced, driven).
    void wrote(Engine& e);
    // The wired pins as a data-register byte, driven to the adapter; true
    // when the strobe it makes is picked for a stall.
    bool drive(Engine& e);
    uint8_t data(const Engine& e) const;
    // -1: an input (or no such pin), else the level driven.
    int pin(const Engine& e, uint32_t number) const;
    // A D token for the time since the last traced command.
    void gap(Engine& e);

    uint64_t command_ns() const;
    // The chip is gone from this bulk transfer on (Config::ftdi_unplug_at).
    bool unplugged();

    Sim& s_;
    uint64_t bulk_ = 0;              // bulk transfers since configure()
    std::map<ftdi_context*, Handle> handles_;
    std::map<int, Engine> engines_;  // by device * 4 + interface
    uint64_t traced_end_ns_ = 0;     // wire commands: the end of the last one traced
    uint64_t stall_ns_ = 0;          // host holds owed by strobes of the transfer running
};

}  // namespace harlune_sim
