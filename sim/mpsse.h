// The FTDI chips served behind libusb-1.0's API (Config::ftdi_devices) as
// USB devices: the device list, descriptors and strings, opens and claims,
// the SIO control requests, bulk transfers and each chip's MPSSE engine.
// libftdi1 runs its own code over them.
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
// buffer for a bulk IN transfer. Unwired inputs read 1 (the chip's
// pull-ups). Other chips and interfaces decode their commands with nothing
// attached.
//
// Time: commands run at the chip's pace (Config::ftdi_command_ns each, the
// clocking ones their bit periods) on the chip's own timeline. A bulk OUT
// transfer starts on the chip when the host sends it, and no sooner than one
// USB frame (125 us, 1 ms at full speed) after the previous one ended there;
// its packets (512 bytes, 64 at full speed) follow each other
// Config::ftdi_packet_gap_ns apart. A bulk IN transfer waits until the first
// answer may go (at a send-immediate, a full packet, or when the latency
// timer runs out), carries in packets headed by the two modem-status bytes
// what may go by then, and costs the host one round trip
// (Config::ftdi_rtt_ns).
// Internal to libharlune_sim.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

// libusb's opaque types, as the simulator makes them.
struct libusb_context {
    int unused;
};
struct libusb_device {
    int index;  // in Config::ftdi_devices
};
struct libusb_device_handle {
    int device;
};

namespace harlune_sim {

struct Sim;

// The time one MPSSE command takes the chip (the clocking ones excepted),
// unless Config::ftdi_command_ns says otherwise.
inline constexpr uint64_t kCommandNs = 50;

class Ftdi {
public:
    explicit Ftdi(Sim& sim) : s_(sim) {}

    // Every chip's pins inputs, its buffers and time cleared, every device
    // plugged in. Handles and claims stay as they are.
    void configure();

    // libusb's calls, answering as libusb does on Linux.
    libusb_context* context();
    ssize_t device_list(libusb_device*** list);
    static void free_device_list(libusb_device** list);
    int device_descriptor(libusb_device* dev, libusb_device_descriptor* desc);
    int config_descriptor(libusb_device* dev, uint8_t index, libusb_config_descriptor** config);
    static void free_config_descriptor(libusb_config_descriptor* config);
    int open(libusb_device* dev, libusb_device_handle** handle);
    void close(libusb_device_handle* handle);
    int string_descriptor(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                          int length);
    // get_configuration, set_configuration, kernel-driver calls: the device is there.
    int present(libusb_device_handle* handle, const char* call);
    int claim(libusb_device_handle* handle, int interface);
    int release(libusb_device_handle* handle, int interface);
    int control(libusb_device_handle* handle, uint8_t type, uint8_t request, uint16_t value,
                uint16_t index, unsigned char* data, uint16_t length);
    int bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
             int length, int* transferred);
    // A call libftdi's asynchronous transfers make, which are not served.
    void unserved(const char* call);

private:
    struct Answer {
        uint8_t byte;
        uint64_t sendable_ns;  // when the chip may send it: its latency or a later send-immediate
    };
    // One interface of one device: its MPSSE engine and pins.
    struct Engine {
        bool wired = false;    // its pins reach the adapter
        libusb_device_handle* owner = nullptr;  // the handle that claimed it
        bool mpsse = false;    // in MPSSE mode
        bool high = true;      // it has ACBUS (not on an FT4232H)
        uint8_t value[2] = {0, 0};  // ADBUS, ACBUS levels
        uint8_t dir[2] = {0, 0};    // 1: output
        uint16_t divisor = 0;
        bool div5 = true;
        unsigned latency_ms = 16;
        size_t packet = 512;           // the link's packet size
        std::vector<uint8_t> partial;  // a command whose bytes have not all arrived
        std::deque<Answer> answers;
        uint64_t now_ns = 0;           // where its timeline is
        uint64_t transfer_end_ns = 0;  // the end of its last write transfer
        bool transferred = false;
    };

    bool wired(int key) const;
    Engine& engine_at(int key);
    // The device of a handle, or -1 (LIBUSB_ERROR_NO_DEVICE: not there any
    // more); a fault for a handle libusb_open did not make.
    int device_of(libusb_device_handle* handle, const char* call, int* error);
    bool is_present(int device) const;
    int packet_size(int device) const;
    // The host's time at the start of a call.
    uint64_t host_now();
    // The interface released: its claim, a command left incomplete.
    void let_go(Engine& e);
    // Claims, writes and reads so far; a signal raised when they pass signal_at.
    uint64_t requests() const;
    void maybe_signal(uint64_t before);

    // SIO requests.
    void set_bitmode(Engine& e, uint8_t mode);

    // Bulk transfers.
    void write_transfer(Engine& e, int device, const unsigned char* data, size_t size);
    int read_transfer(Engine& e, int device, unsigned char* data, int length);
    void decode(Engine& e, uint8_t byte);
    void run(Engine& e, const std::vector<uint8_t>& command);
    void read_bits(Engine& e, int bank);
    void clock(Engine& e, uint64_t bits);
    uint64_t half_periods_ns(const Engine& e, uint64_t halves) const;
    void answer(Engine& e, uint8_t byte, uint64_t sendable_ns);
    // C2CK low now, in a strobe rather than a reset pulse.
    bool strobe_low() const;
    // The pins changed: one data write (counted, traced, driven).
    void wrote(Engine& e);
    // The wired pins as the F token of the line states, at `at_ns`.
    void trace_pins(const Engine& e, uint64_t at_ns);
    // The wired pins as a data-register byte, driven to the adapter.
    void drive(Engine& e);
    uint8_t data(const Engine& e) const;
    // -1: an input (or no such pin), else the level driven.
    int pin(const Engine& e, uint32_t number) const;
    uint64_t command_ns() const;

    Sim& s_;
    libusb_context context_{};
    std::deque<libusb_device> devices_;  // never shrinks: libusb_device pointers stay valid
    std::vector<bool> unplugged_;        // by device
    std::map<libusb_device_handle*, uint32_t> handles_;  // open handles, and their claims (bit per interface)
    std::map<int, Engine> engines_;  // by device * 4 + interface
    uint64_t bulk_transfers_ = 0;    // since configure()
    uint64_t traced_end_ns_ = 0;     // wire commands: the end of the last one traced
    uint64_t stall_ns_ = 0;          // host holds owed by strobes of the transfer running
    uint64_t packet_low_strobe_ = 0; // the strobe whose C2CK low spans a packet boundary (0: none)
    bool packet_pulse_ = false;      // the last low phase spanned a packet and was taken for a reset pulse
};

}  // namespace harlune_sim
