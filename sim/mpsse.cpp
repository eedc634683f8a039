#include "mpsse.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "record.h"
#include "requests.h"
#include "state.h"

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

// The SIO control requests (vendor requests to the device).
constexpr uint8_t kSioReset = 0x00;       // value 0: reset; 1: purge host data; 2: purge chip answers
constexpr uint8_t kSioSetLatency = 0x09;  // value: milliseconds
constexpr uint8_t kSioGetLatency = 0x0A;
constexpr uint8_t kSioSetBitmode = 0x0B;  // value: mask | mode << 8
constexpr uint8_t kModeReset = 0x00, kModeMpsse = 0x02;

// The modem-status bytes heading every IN packet: DSR, CTS; transmitter empty.
constexpr uint8_t kModemStatus[2] = {0x32, 0x60};

// What the chip is, from its product id.
enum class Type { ft232h, ft2232h, ft4232h, ft232r, ft230x };

Type chip_type(uint16_t product)
{
    switch (product) {
    case 0x6010: return Type::ft2232h;
    case 0x6011: return Type::ft4232h;
    case 0x6001: return Type::ft232r;
    case 0x6015: return Type::ft230x;
    default: return Type::ft232h;
    }
}

// bcdDevice, from which libftdi tells the chips apart.
uint16_t release_number(Type type)
{
    switch (type) {
    case Type::ft2232h: return 0x0700;
    case Type::ft4232h: return 0x0800;
    case Type::ft232r: return 0x0600;
    case Type::ft230x: return 0x1000;
    default: return 0x0900;
    }
}

const char* product_string(Type type)
{
    switch (type) {
    case Type::ft2232h: return "Dual RS232-HS";
    case Type::ft4232h: return "Quad RS232-HS";
    case Type::ft232r: return "FT232R USB UART";
    case Type::ft230x: return "FT230X Basic UART";
    default: return "Single RS232-HS";
    }
}

int interfaces(Type type)
{
    return type == Type::ft2232h ? 2 : type == Type::ft4232h ? 4 : 1;
}

bool high_speed_chip(Type type)
{
    return type == Type::ft232h || type == Type::ft2232h || type == Type::ft4232h;
}

bool has_mpsse(Type type, int interface)
{
    switch (type) {
    case Type::ft232h: return interface == 0;
    case Type::ft2232h:
    case Type::ft4232h: return interface <= 1;
    default: return false;
    }
}

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

// The configuration descriptor, in one block that libusb_free_config_descriptor frees.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interface[4];
    libusb_interface_descriptor setting[4];
    libusb_endpoint_descriptor endpoint[4][2];
};

constexpr uint64_t kMsNs = 1000000;
// No write transfer starts on the chip sooner than one USB (micro)frame
// after the previous one ended.
constexpr uint64_t kHighSpeedFrameNs = 125000;
constexpr uint64_t kFullSpeedFrameNs = 1000000;

}  // namespace

void Ftdi::configure()
{
    for (auto& [key, e] : engines_) {
        Engine fresh;
        fresh.owner = e.owner;
        fresh.high = e.high;
        fresh.wired = wired(key);
        e = std::move(fresh);
    }
    Core& c = s_.core;
    unplugged_.assign(c.cfg.ftdi_devices.size(), false);
    while (devices_.size() < c.cfg.ftdi_devices.size())
        devices_.push_back(libusb_device{static_cast<int>(devices_.size())});
    bulk_transfers_ = 0;
    traced_end_ns_ = 0;
    stall_ns_ = 0;
    packet_low_strobe_ = 0;
    packet_pulse_ = false;

    const GpioWiring& w = c.cfg.ftdi_wiring;
    if (w.ck > 15 || w.d > 15 || w.ck == w.d ||
        (w.rst != kNoLine && (w.rst > 15 || w.rst == w.ck || w.rst == w.d)))
        c.fault("configuration: FTDI wiring ck=%u d=%u rst=%d not on distinct pins 0-15", w.ck,
                w.d, w.rst == kNoLine ? -1 : static_cast<int>(w.rst));
    if (!c.cfg.ftdi_devices.empty()) {
        Type type = chip_type(c.cfg.ftdi_devices.front().product);
        if (c.cfg.ftdi_interface >= interfaces(type))
            c.fault("configuration: FTDI interface %c wired on a chip without it",
                    'A' + c.cfg.ftdi_interface);
    }
}

bool Ftdi::wired(int key) const
{
    return !s_.core.cfg.ftdi_devices.empty() && key == s_.core.cfg.ftdi_interface;
}

Ftdi::Engine& Ftdi::engine_at(int key)
{
    auto [it, inserted] = engines_.try_emplace(key);
    if (inserted)
        it->second.wired = wired(key);
    return it->second;
}

bool Ftdi::is_present(int device) const
{
    return device >= 0 && static_cast<size_t>(device) < s_.core.cfg.ftdi_devices.size() &&
           !unplugged_[static_cast<size_t>(device)];
}

int Ftdi::packet_size(int device) const
{
    Type type = chip_type(s_.core.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    return high_speed_chip(type) && !s_.core.cfg.ftdi_full_speed ? 512 : 64;
}

uint64_t Ftdi::command_ns() const
{
    return s_.core.cfg.ftdi_command_ns ? s_.core.cfg.ftdi_command_ns : kCommandNs;
}

int Ftdi::device_of(libusb_device_handle* handle, const char* call, int* error)
{
    s_.dirty = true;
    if (!handle || !handles_.count(handle)) {
        s_.core.fault("%s on a handle libusb_open did not give", call);
        *error = LIBUSB_ERROR_INVALID_PARAM;
        return -1;
    }
    if (!is_present(handle->device)) {
        *error = LIBUSB_ERROR_NO_DEVICE;
        return -1;
    }
    return handle->device;
}

uint64_t Ftdi::host_now()
{
    s_.clock.request_start();  // wire and real time: now; virtual: as it stands
    return s_.core.now_ns;
}

uint64_t Ftdi::requests() const
{
    const Stats& st = s_.core.stats;
    return st.claims + st.writes + st.reads;
}

void Ftdi::maybe_signal(uint64_t before)
{
    const Config& c = s_.core.cfg;
    if (c.signal_at && before < c.signal_at && c.signal_at <= requests())
        raise(c.signal);
}

// Devices and descriptors.

libusb_context* Ftdi::context() { return &context_; }

ssize_t Ftdi::device_list(libusb_device*** list)
{
    size_t count = s_.core.cfg.ftdi_devices.size();
    auto** all = static_cast<libusb_device**>(calloc(count + 1, sizeof(libusb_device*)));
    if (!all)
        return LIBUSB_ERROR_NO_MEM;
    ssize_t n = 0;
    for (size_t i = 0; i < count; ++i)
        if (is_present(static_cast<int>(i)))
            all[n++] = &devices_[i];
    *list = all;
    return n;
}

void Ftdi::free_device_list(libusb_device** list) { free(list); }

int Ftdi::device_descriptor(libusb_device* dev, libusb_device_descriptor* desc)
{
    if (!dev || static_cast<size_t>(dev->index) >= s_.core.cfg.ftdi_devices.size())
        return LIBUSB_ERROR_NO_DEVICE;
    const FtdiDevice& d = s_.core.cfg.ftdi_devices[static_cast<size_t>(dev->index)];
    Type type = chip_type(d.product);
    *desc = libusb_device_descriptor{};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = high_speed_chip(type) ? 0x0200 : 0x0110;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = d.vendor;
    desc->idProduct = d.product;
    desc->bcdDevice = release_number(type);
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = d.serial.empty() ? 0 : 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int Ftdi::config_descriptor(libusb_device* dev, uint8_t index, libusb_config_descriptor** config)
{
    if (!dev || static_cast<size_t>(dev->index) >= s_.core.cfg.ftdi_devices.size())
        return LIBUSB_ERROR_NO_DEVICE;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    Type type = chip_type(s_.core.cfg.ftdi_devices[static_cast<size_t>(dev->index)].product);
    auto* b = new ConfigBlock{};
    int count = interfaces(type);
    uint16_t packet = static_cast<uint16_t>(packet_size(dev->index));
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.bNumInterfaces = static_cast<uint8_t>(count);
    b->config.bConfigurationValue = 1;
    b->config.bmAttributes = 0x80;
    b->config.MaxPower = 50;
    b->config.interface = b->interface;
    for (int i = 0; i < count; ++i) {
        libusb_interface_descriptor& s = b->setting[i];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        s.bInterfaceNumber = static_cast<uint8_t>(i);
        s.bNumEndpoints = 2;
        s.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
        s.bInterfaceSubClass = 0xFF;
        s.bInterfaceProtocol = 0xFF;
        s.iInterface = 2;
        s.endpoint = b->endpoint[i];
        // IN first, as the chips list them: libftdi reads the first one's size.
        const uint8_t addresses[2] = {static_cast<uint8_t>(0x81 + 2 * i),
                                      static_cast<uint8_t>(0x02 + 2 * i)};
        for (int k = 0; k < 2; ++k) {
            libusb_endpoint_descriptor& ep = b->endpoint[i][k];
            ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
            ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep.bEndpointAddress = addresses[k];
            ep.bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            ep.wMaxPacketSize = packet;
        }
        b->interface[i].altsetting = &s;
        b->interface[i].num_altsetting = 1;
    }
    *config = &b->config;
    return LIBUSB_SUCCESS;
}

void Ftdi::free_config_descriptor(libusb_config_descriptor* config)
{
    delete reinterpret_cast<ConfigBlock*>(config);  // its first member
}

int Ftdi::open(libusb_device* dev, libusb_device_handle** handle)
{
    s_.dirty = true;
    if (!dev || !is_present(dev->index))
        return LIBUSB_ERROR_NO_DEVICE;
    if (s_.core.cfg.ftdi_fail == FtdiFail::perm)
        return LIBUSB_ERROR_ACCESS;
    auto* h = new libusb_device_handle{dev->index};
    handles_[h] = 0;
    *handle = h;
    return LIBUSB_SUCCESS;
}

void Ftdi::close(libusb_device_handle* handle)
{
    s_.dirty = true;
    auto it = handles_.find(handle);
    if (!handle || it == handles_.end()) {
        s_.core.fault("libusb_close on a handle libusb_open did not give");
        return;
    }
    bool released = false;
    for (int i = 0; i < 4; ++i)
        if (it->second >> i & 1) {
            let_go(engine_at(handle->device * 4 + i));
            released = true;
        }
    handles_.erase(it);
    delete handle;
    if (released)
        save();
}

int Ftdi::string_descriptor(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                            int length)
{
    int error = 0;
    int device = device_of(handle, "libusb_get_string_descriptor_ascii", &error);
    if (device < 0)
        return error;
    const FtdiDevice& d = s_.core.cfg.ftdi_devices[static_cast<size_t>(device)];
    std::string text;
    switch (index) {
    case 1: text = "FTDI"; break;
    case 2: text = product_string(chip_type(d.product)); break;
    case 3:
        if (!d.serial.empty()) {
            text = d.serial;
            break;
        }
        [[fallthrough]];
    default: return LIBUSB_ERROR_PIPE;  // the device stalls a string it has not
    }
    if (length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    size_t n = std::min(text.size(), static_cast<size_t>(length - 1));
    memcpy(data, text.data(), n);
    data[n] = 0;
    return static_cast<int>(n);
}

int Ftdi::present(libusb_device_handle* handle, const char* call)
{
    int error = 0;
    return device_of(handle, call, &error) < 0 ? error : LIBUSB_SUCCESS;
}

int Ftdi::claim(libusb_device_handle* handle, int interface)
{
    int error = 0;
    int device = device_of(handle, "libusb_claim_interface", &error);
    if (device < 0)
        return error;
    Core& c = s_.core;
    Type type = chip_type(c.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    if (interface < 0 || interface >= interfaces(type))
        return LIBUSB_ERROR_NOT_FOUND;
    uint32_t& claims = handles_[handle];
    if (claims >> interface & 1)
        return LIBUSB_SUCCESS;  // claimed twice by one handle: no change
    Engine& e = engine_at(device * 4 + interface);
    if (c.cfg.ftdi_fail == FtdiFail::busy || e.owner)
        return LIBUSB_ERROR_BUSY;
    uint64_t before = requests();
    e.owner = handle;
    e.high = type != Type::ft4232h;
    claims |= 1u << interface;
    ++c.stats.opens;
    ++c.stats.claims;
    ++c.requests;
    maybe_signal(before);
    return LIBUSB_SUCCESS;
}

void Ftdi::let_go(Engine& e)
{
    if (!e.partial.empty())
        s_.core.fault("MPSSE command 0x%02X left incomplete", e.partial.front());
    e.partial.clear();
    e.owner = nullptr;
    ++s_.core.stats.closes;
}

int Ftdi::release(libusb_device_handle* handle, int interface)
{
    int error = 0;
    int device = device_of(handle, "libusb_release_interface", &error);
    if (device < 0)
        return error;
    uint32_t& claims = handles_[handle];
    if (interface < 0 || interface > 3 || !(claims >> interface & 1))
        return LIBUSB_ERROR_NOT_FOUND;
    claims &= ~(1u << interface);
    let_go(engine_at(device * 4 + interface));
    save();
    return LIBUSB_SUCCESS;
}

void Ftdi::unserved(const char* call)
{
    s_.dirty = true;
    s_.core.fault("%s: asynchronous USB transfers are not served", call);
}

// SIO control requests.

int Ftdi::control(libusb_device_handle* handle, uint8_t type, uint8_t request, uint16_t value,
                  uint16_t index, unsigned char* data, uint16_t length)
{
    int error = 0;
    int device = device_of(handle, "libusb_control_transfer", &error);
    if (device < 0)
        return error;
    Core& c = s_.core;
    if ((type & LIBUSB_REQUEST_TYPE_VENDOR) != LIBUSB_REQUEST_TYPE_VENDOR) {
        c.fault("USB control request 0x%02X of type 0x%02X not served", request, type);
        return LIBUSB_ERROR_PIPE;
    }
    // The interface is the low byte of wIndex, from 1 (0: the first).
    int interface = (index & 0xFF) ? (index & 0xFF) - 1 : 0;
    Type chip = chip_type(c.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    if (interface >= interfaces(chip))
        return LIBUSB_ERROR_PIPE;
    Engine& e = engine_at(device * 4 + interface);
    bool in = type & LIBUSB_ENDPOINT_IN;
    switch (request) {
    case kSioReset:
        if (value == 0 || value == 1)
            e.partial.clear();  // what the host sent, not yet run
        if (value == 0 || value == 2)
            e.answers.clear();  // what waits for the host
        break;
    case kSioSetLatency:
        e.latency_ms = std::max<unsigned>(1, value & 0xFF);
        break;
    case kSioGetLatency:
        if (in && length >= 1 && data) {
            data[0] = static_cast<uint8_t>(e.latency_ms);
            return 1;
        }
        break;
    case kSioSetBitmode:
        if ((value >> 8) == kModeMpsse && !has_mpsse(chip, interface))
            return LIBUSB_ERROR_PIPE;  // the chip stalls a mode it has not
        set_bitmode(e, static_cast<uint8_t>(value >> 8));
        break;
    default:  // baud rate, line settings, flow control, modem lines: accepted
        if (in && data) {
            memset(data, 0, length);
            return length;
        }
        break;
    }
    return 0;
}

void Ftdi::set_bitmode(Engine& e, uint8_t mode)
{
    if (mode != kModeMpsse && mode != kModeReset)
        s_.core.fault("bit mode 0x%02X not served", mode);
    if (!e.partial.empty())
        s_.core.fault("MPSSE command 0x%02X left incomplete", e.partial.front());
    // A new mode starts with every pin an input and the engine afresh.
    e.partial.clear();
    e.answers.clear();
    e.divisor = 0;
    e.div5 = true;
    e.mpsse = mode == kModeMpsse;
    if (e.dir[0] || e.dir[1]) {
        uint64_t host = host_now();
        e.now_ns = std::max(e.now_ns, host);
        e.dir[0] = e.dir[1] = 0;
        s_.core.now_ns = e.now_ns;
        uint64_t before = requests();
        wrote(e);
        e.now_ns += command_ns();
        s_.core.now_ns = host;
        stall_ns_ = 0;
        maybe_signal(before);
    }
}

// Bulk transfers.

int Ftdi::bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
               int length, int* transferred)
{
    *transferred = 0;
    int error = 0;
    int device = device_of(handle, "libusb_bulk_transfer", &error);
    if (device < 0)
        return error;
    Core& c = s_.core;
    ++bulk_transfers_;
    if (c.cfg.ftdi_unplug_at && bulk_transfers_ == c.cfg.ftdi_unplug_at) {
        // Pulled out with this transfer in flight: it fails as an I/O error,
        // everything later finds no device.
        unplugged_[static_cast<size_t>(device)] = true;
        return LIBUSB_ERROR_IO;
    }
    bool in = endpoint & LIBUSB_ENDPOINT_IN;
    int interface = ((endpoint & 0x7F) - (in ? 1 : 2)) / 2;
    Type chip = chip_type(c.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    if (interface < 0 || interface >= interfaces(chip))
        return LIBUSB_ERROR_PIPE;
    Engine& e = engine_at(device * 4 + interface);
    if (e.owner != handle)
        c.fault("bulk transfer on interface %c not claimed by its handle", 'A' + interface);
    uint64_t before = requests();
    int result = 0;
    if (in) {
        result = read_transfer(e, device, data, length);
        *transferred = std::max(result, 0);
    } else {
        write_transfer(e, device, data, static_cast<size_t>(std::max(length, 0)));
        *transferred = std::max(length, 0);
    }
    maybe_signal(before);
    return result < 0 ? result : LIBUSB_SUCCESS;
}

bool Ftdi::strobe_low() const
{
    bool rst = s_.core.cfg.ftdi_wiring.rst != kNoLine;
    return s_.adapter.c2ck() == 0 && !s_.adapter.reset_active() &&
           (rst || !s_.wire.low_from_idle());
}

void Ftdi::write_transfer(Engine& e, int device, const unsigned char* data, size_t size)
{
    Core& c = s_.core;
    ++c.stats.usb_writes;
    c.stats.usb_bytes_out += size;
    uint64_t host = host_now();
    e.now_ns = std::max(e.now_ns, host);
    uint64_t frame = c.cfg.ftdi_full_speed ? kFullSpeedFrameNs : kHighSpeedFrameNs;
    if (e.transferred)
        e.now_ns = std::max(e.now_ns, e.transfer_end_ns + frame);
    c.now_ns = e.now_ns;
    size_t packet = static_cast<size_t>(packet_size(device));
    e.packet = packet;
    if (!e.mpsse) {
        c.fault("USB write of %zu bytes before MPSSE mode", size);
    } else {
        for (size_t i = 0; i < size; ++i) {
            if (i && i % packet == 0) {
                // The next packet: the chip waits for it with the pins as they
                // are. A C2CK low across it counts once it ends as a strobe
                // (not as the host's reset pulse).
                if (e.wired && s_.adapter.c2ck() == 0 && !s_.adapter.reset_active())
                    packet_low_strobe_ = s_.low_strobe;
                e.now_ns += c.cfg.ftdi_packet_gap_ns;
            }
            decode(e, data[i]);
        }
    }
    e.transfer_end_ns = e.now_ns;
    e.transferred = true;
    if (e.wired) {
        if (c.cfg.trace)
            append_token(c.trace, "U", 1);
        // C2CK left low outside a reset pulse: a strobe stretched to the next transfer.
        if (strobe_low())
            ++c.stats.transfer_lows;
    }
    c.now_ns = host;
    if (stall_ns_)
        s_.clock.hold(stall_ns_);
    stall_ns_ = 0;
}

void Ftdi::decode(Engine& e, uint8_t byte)
{
    Core& c = s_.core;
    if (e.partial.empty()) {
        ++c.stats.mpsse_commands;
        // An FT4232H has no ACBUS.
        bool known = arguments(byte) >= 0 && (e.high || (byte != kSetHigh && byte != kReadHigh));
        if (!known) {
            c.now_ns = e.now_ns;
            if (byte != kSyncFirst && byte != kSyncSecond)
                c.fault("unknown MPSSE command 0x%02X", byte);
            e.now_ns += command_ns();
            answer(e, kBadCommand, e.now_ns);
            answer(e, byte, e.now_ns);
            return;
        }
    }
    e.partial.push_back(byte);
    if (e.partial.size() == 1 + static_cast<size_t>(arguments(e.partial.front()))) {
        run(e, e.partial);
        e.partial.clear();
    }
}

void Ftdi::run(Engine& e, const std::vector<uint8_t>& command)
{
    s_.core.now_ns = e.now_ns;
    uint64_t took = command_ns();
    switch (command[0]) {
    case kSetLow:
    case kSetHigh: {
        int bank = command[0] == kSetHigh;
        e.value[bank] = command[1];
        e.dir[bank] = command[2];
        wrote(e);
        break;
    }
    case kReadLow:
    case kReadHigh:
        read_bits(e, command[0] == kReadHigh);
        break;
    case kSendImmediate:
        for (Answer& a : e.answers)
            a.sendable_ns = std::min(a.sendable_ns, e.now_ns + took);
        break;
    case kDivisor:
        e.divisor = static_cast<uint16_t>(command[1] | command[2] << 8);
        break;
    case kDiv5Off:
        e.div5 = false;
        break;
    case kDiv5On:
        e.div5 = true;
        break;
    case kClockBits:
        clock(e, uint64_t{command[1]} + 1);
        took = 0;
        break;
    case kClockBytes:
        clock(e, (uint64_t{command[1]} + (uint64_t{command[2]} << 8) + 1) * 8);
        took = 0;
        break;
    default:  // loopback, 3-phase and adaptive clocking off: nothing to do
        break;
    }
    e.now_ns += took;
}

int Ftdi::pin(const Engine& e, uint32_t number) const
{
    if (number > 15 || (number > 7 && !e.high))
        return -1;
    unsigned bank = number / 8, bit = number % 8;
    if (!(e.dir[bank] >> bit & 1))
        return -1;
    return e.value[bank] >> bit & 1;
}

uint8_t Ftdi::data(const Engine& e) const
{
    const GpioWiring& w = s_.core.cfg.ftdi_wiring;
    uint8_t data = 0;
    if (w.rst == kNoLine || pin(e, w.rst) != 0)
        data |= kResetReleased;
    int ck = pin(e, w.ck);
    data |= ck < 0 ? kC2ckDriverOff | kC2ckLevel : ck ? kC2ckLevel : 0;
    int d = pin(e, w.d);
    data |= d < 0 ? kC2dDriverOff | kC2dLevel : d ? kC2dLevel : 0;
    return data;
}

void Ftdi::drive(Engine& e)
{
    Stats& st = s_.core.stats;
    bool low = s_.adapter.c2ck() == 0;
    uint64_t strobes = st.strobes, recounted = s_.wire.pulses_recounted();
    if (detail::drive_lines(data(e), s_.core.cfg.ftdi_wiring.rst != kNoLine)) {
        ++st.stalls;
        stall_ns_ += s_.core.cfg.stall_ns;
    }
    if (packet_pulse_ && s_.wire.pulses_recounted() > recounted) {
        // That pulse was a stalled START strobe after all.
        ++st.packet_lows;
        packet_pulse_ = false;
    }
    if (low && s_.adapter.c2ck()) {
        // A low phase ended. One that spanned a packet is counted as a
        // strobe; taken for the host's reset pulse (its strobe taken back),
        // only if the next START shows it was a stalled one.
        packet_pulse_ = packet_low_strobe_ && st.strobes < strobes;
        if (packet_low_strobe_ && !packet_pulse_)
            ++st.packet_lows;
        packet_low_strobe_ = 0;
    }
}

void Ftdi::trace_pins(const Engine& e, uint64_t at_ns)
{
    Core& c = s_.core;
    if (!c.cfg.trace)
        return;
    if (at_ns > traced_end_ns_)
        trace_gap(c, at_ns - traced_end_ns_);
    traced_end_ns_ = std::max(traced_end_ns_, at_ns + command_ns());
    const GpioWiring& w = c.cfg.ftdi_wiring;
    char token[4] = {'F'};
    const uint32_t pins[] = {w.ck, w.d, w.rst};
    for (int i = 0; i < 3; ++i) {
        int level = pins[i] == kNoLine ? -2 : pin(e, pins[i]);
        token[1 + i] = level == -2 ? '-' : level < 0 ? 'z' : static_cast<char>('0' + level);
    }
    append_token(c.trace, token, 4);
}

void Ftdi::wrote(Engine& e)
{
    if (!e.wired)
        return;
    Core& c = s_.core;
    ++c.stats.writes;
    ++c.requests;
    trace_pins(e, e.now_ns);
    drive(e);
}

void Ftdi::read_bits(Engine& e, int bank)
{
    Core& c = s_.core;
    const GpioWiring& w = c.cfg.ftdi_wiring;
    bool with_d = e.wired && w.d / 8 == static_cast<uint32_t>(bank);
    int c2d = -1;
    if (with_d)
        c2d = (s_.adapter.read_status() & 0x80) ? 0 : 1;  // C2D low shows on status bit 7
    uint8_t byte = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
        uint32_t number = static_cast<uint32_t>(bank) * 8 + bit;
        int level = pin(e, number);
        if (e.wired && number == w.d)
            level = c2d;
        else if (e.wired && number == w.ck)
            level = s_.adapter.c2ck();
        else if (level < 0)
            level = 1;  // the chip's pull-up
        byte = static_cast<uint8_t>(byte | level << bit);
    }
    if (e.wired) {
        ++c.stats.reads;
        ++c.requests;
        if (c.cfg.trace) {
            if (e.now_ns > traced_end_ns_)
                trace_gap(c, e.now_ns - traced_end_ns_);
            traced_end_ns_ = e.now_ns + command_ns();
            char token[2] = {'f', with_d ? static_cast<char>('0' + c2d) : '-'};
            append_token(c.trace, token, 2);
        }
    }
    answer(e, byte, e.now_ns + command_ns() + e.latency_ms * kMsNs);
}

void Ftdi::answer(Engine& e, uint8_t byte, uint64_t sendable_ns)
{
    e.answers.push_back({byte, sendable_ns});
    // A packet's worth waiting goes without waiting for the latency timer.
    if (e.answers.size() % (e.packet - 2) == 0)
        for (Answer& a : e.answers)
            a.sendable_ns = std::min(a.sendable_ns, e.now_ns + command_ns());
}

uint64_t Ftdi::half_periods_ns(const Engine& e, uint64_t halves) const
{
    // A half period is 1 + divisor ticks of the 60 MHz (or 12 MHz) clock.
    uint64_t mhz = e.div5 ? 12 : 60;
    return halves * (uint64_t{e.divisor} + 1) * 1000 / mhz;
}

void Ftdi::clock(Engine& e, uint64_t bits)
{
    uint64_t start = e.now_ns;
    const GpioWiring& w = s_.core.cfg.ftdi_wiring;
    bool on_wire = e.wired && (e.dir[0] & 1) && (w.ck == 0 || w.d == 0 || w.rst == 0);
    if (on_wire) {
        // TCK (ADBUS0) leaves its level for the first half of each bit; each
        // edge shows in the trace as the line states it makes.
        for (uint64_t half = 0; half < 2 * bits; ++half) {
            uint64_t at = start + half_periods_ns(e, half);
            s_.core.now_ns = at;
            e.value[0] ^= 1;
            trace_pins(e, at);
            drive(e);
        }
    }
    e.now_ns = start + half_periods_ns(e, 2 * bits);
}

int Ftdi::read_transfer(Engine& e, int device, unsigned char* data, int length)
{
    Core& c = s_.core;
    ++c.stats.usb_reads;
    ++c.stats.round_trips;
    uint64_t host = host_now();
    uint64_t t = host;
    size_t packet = static_cast<size_t>(packet_size(device));
    size_t want = static_cast<size_t>(std::max(length, 0)), got = 0;
    if (want < 2) {
        c.fault("bulk IN transfer of %d bytes: no room for the status bytes", length);
        return LIBUSB_ERROR_OVERFLOW;
    }
    if (e.answers.empty()) {
        // Nothing to send: the latency timer sends the status bytes alone.
        c.fault("USB read with no answer pending");
        t += e.latency_ms * kMsNs;
        std::copy_n(kModemStatus, 2, data);
        got = 2;
    } else {
        // The chip sends what may go once the first answer may, packet by
        // packet; a short packet ends the transfer.
        t = std::max(t, e.answers.front().sendable_ns);
        while (got + 2 <= want) {
            size_t room = std::min(packet, want - got);
            std::copy_n(kModemStatus, 2, data + got);
            size_t n = 2;
            while (n < room && !e.answers.empty() && e.answers.front().sendable_ns <= t) {
                data[got + n++] = e.answers.front().byte;
                e.answers.pop_front();
            }
            got += n;
            if (n < packet)
                break;
            if (e.answers.empty()) {
                // A full packet and nothing after it: the latency timer ends
                // the transfer with the status bytes alone.
                t += e.latency_ms * kMsNs;
                if (got + 2 <= want) {
                    std::copy_n(kModemStatus, 2, data + got);
                    got += 2;
                }
                break;
            }
            t = std::max(t, e.answers.front().sendable_ns);
        }
    }
    t += c.cfg.ftdi_rtt_ns;
    c.now_ns = host;
    s_.clock.wait(t - host);
    return static_cast<int>(got);
}

}  // namespace harlune_sim
