// The FTDI chips served behind libusb-1.0's API (Config::ftdi_devices) as
// USB devices: the device list, descriptors and strings, handles, opens and
// claims, the SIO control requests, and bulk transfers in packets with
// their timing. Each interface's commands run on its MPSSE engine
// (mpsse.h); libftdi1 runs its own code over all of it.
//
// A bulk OUT transfer starts on the chip when the host sends it, and no
// sooner than one USB frame (125 us, 1 ms at full speed) after the previous
// one ended there; its packets (512 bytes, 64 at full speed) follow each
// other Config::ftdi_packet_gap_ns apart. A bulk IN transfer waits until the
// first answer may go (at a send-immediate, a full packet, or when the
// latency timer runs out), carries in packets headed by the two
// modem-status bytes what may go by then, and costs the host one round trip
// (Config::ftdi_rtt_ns). A write whose reads fill the chip's answer buffer
// (1 KiB on an FT232H) stops the chip until the host reads, which it does
// only after the write: the transfer fails as a time-out. Stalls picked in a transfer hold the host after it.
// Internal to libharlune_sim.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "core.h"
#include "feed.h"
#include "mpsse.h"
#include "timebase.h"

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

class Usb {
public:
    Usb(Core& core, Timebase& clock, Feed& feed) : core_(core), clock_(clock), feed_(feed) {}

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
    // True when the close released a claimed interface.
    bool close(libusb_device_handle* handle);
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
    // One interface of one device: its claim, its write transfers' timing
    // and its engine.
    struct Interface {
        Interface(Core& core, Feed& feed) : engine(core, feed) {}
        libusb_device_handle* owner = nullptr;  // the handle that claimed it
        uint64_t transfer_end_ns = 0;  // the end of its last write transfer, on the chip
        bool transferred = false;
        Mpsse engine;
    };

    bool wired(int key) const;
    Interface& interface_at(int key);
    // The device of a handle, or -1 (LIBUSB_ERROR_NO_DEVICE: not there any
    // more); a fault for a handle libusb_open did not make.
    int device_of(libusb_device_handle* handle, const char* call, int* error);
    bool is_present(int device) const;
    int packet_size(int device) const;
    // The host's time at the start of a call.
    uint64_t host_now();
    // The interface released: its claim, a command left incomplete.
    void let_go(Interface& i);
    // Claims, writes and reads so far; a signal raised when they pass signal_at.
    uint64_t requests() const;
    void maybe_signal(uint64_t before);

    void set_bitmode(Mpsse& e, uint8_t mode);
    // The bytes the chip took: fewer when its answer buffer filled.
    int write_transfer(Interface& i, int device, const unsigned char* data, size_t size);
    int read_transfer(Interface& i, int device, unsigned char* data, int length);

    Core& core_;
    Timebase& clock_;
    Feed& feed_;
    libusb_context context_{};
    std::deque<libusb_device> devices_;  // never shrinks: libusb_device pointers stay valid
    std::vector<bool> unplugged_;        // by device
    std::map<libusb_device_handle*, uint32_t> handles_;  // open handles, and their claims (bit per interface)
    std::map<int, Interface> interfaces_;  // by device * 4 + interface
    uint64_t bulk_transfers_ = 0;          // since configure()
};

}  // namespace harlune_sim
