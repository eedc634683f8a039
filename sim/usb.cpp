// The FTDI chips as USB devices behind libusb's API: devices, descriptors,
// handles, claims, SIO control requests, bulk transfers and their timing.
#include "usb.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "record.h"

namespace harlune_sim {

namespace {

// The SIO control requests (vendor requests to the device).
constexpr uint8_t kSioReset = 0x00;       // value 0: reset; 1: purge host data; 2: purge chip answers
constexpr uint8_t kSioSetLatency = 0x09;  // value: milliseconds
constexpr uint8_t kSioGetLatency = 0x0A;
constexpr uint8_t kSioSetBitmode = 0x0B;  // value: mask | mode << 8
constexpr uint8_t kModeMpsse = 0x02;

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

// The answers the chip holds for the host: its transmit buffer per channel
// (1 KiB on an FT232H, 4 KiB on an FT2232H, 2 KiB on an FT4232H).
size_t answer_buffer(Type type)
{
    return type == Type::ft2232h ? 4096 : type == Type::ft4232h ? 2048 : 1024;
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
// A bulk OUT transfer the chip stopped taking ends after the host's timeout.
constexpr uint64_t kWriteTimeoutNs = 1000 * kMsNs;

}  // namespace

void Usb::configure()
{
    core_.unseen_answers = nullptr;  // the wired engine's reset sets it
    for (auto& [key, i] : interfaces_) {
        i.transfer_end_ns = 0;
        i.transferred = false;
        i.engine.reset(wired(key));
    }
    Core& c = core_;
    unplugged_.assign(c.cfg.ftdi_devices.size(), false);
    while (devices_.size() < c.cfg.ftdi_devices.size())
        devices_.push_back(libusb_device{static_cast<int>(devices_.size())});
    bulk_transfers_ = 0;

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

bool Usb::wired(int key) const
{
    return !core_.cfg.ftdi_devices.empty() && key == core_.cfg.ftdi_interface;
}

Usb::Interface& Usb::interface_at(int key)
{
    auto [it, inserted] = interfaces_.try_emplace(key, core_, feed_);
    if (inserted)
        it->second.engine.reset(wired(key));
    return it->second;
}

bool Usb::is_present(int device) const
{
    return device >= 0 && static_cast<size_t>(device) < core_.cfg.ftdi_devices.size() &&
           !unplugged_[static_cast<size_t>(device)];
}

int Usb::packet_size(int device) const
{
    Type type = chip_type(core_.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    return high_speed_chip(type) && !core_.cfg.ftdi_full_speed ? 512 : 64;
}

int Usb::device_of(libusb_device_handle* handle, const char* call, int* error)
{
    if (!handle || !handles_.count(handle)) {
        core_.fault("%s on a handle libusb_open did not give", call);
        *error = LIBUSB_ERROR_INVALID_PARAM;
        return -1;
    }
    if (!is_present(handle->device)) {
        *error = LIBUSB_ERROR_NO_DEVICE;
        return -1;
    }
    return handle->device;
}

uint64_t Usb::host_now()
{
    clock_.request_start();  // wire and real time: now; virtual: as it stands
    return core_.now_ns;
}

uint64_t Usb::requests() const
{
    const Stats& st = core_.stats;
    return st.claims + st.writes + st.reads;
}

void Usb::maybe_signal(uint64_t before)
{
    const Config& c = core_.cfg;
    if (c.signal_at && before < c.signal_at && c.signal_at <= requests())
        raise(c.signal);
}

// Devices and descriptors.

libusb_context* Usb::context() { return &context_; }

ssize_t Usb::device_list(libusb_device*** list)
{
    size_t count = core_.cfg.ftdi_devices.size();
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

void Usb::free_device_list(libusb_device** list) { free(list); }

int Usb::device_descriptor(libusb_device* dev, libusb_device_descriptor* desc)
{
    if (!dev || static_cast<size_t>(dev->index) >= core_.cfg.ftdi_devices.size())
        return LIBUSB_ERROR_NO_DEVICE;
    const FtdiDevice& d = core_.cfg.ftdi_devices[static_cast<size_t>(dev->index)];
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

int Usb::config_descriptor(libusb_device* dev, uint8_t index, libusb_config_descriptor** config)
{
    if (!dev || static_cast<size_t>(dev->index) >= core_.cfg.ftdi_devices.size())
        return LIBUSB_ERROR_NO_DEVICE;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    Type type = chip_type(core_.cfg.ftdi_devices[static_cast<size_t>(dev->index)].product);
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

void Usb::free_config_descriptor(libusb_config_descriptor* config)
{
    delete reinterpret_cast<ConfigBlock*>(config);  // its first member
}

int Usb::open(libusb_device* dev, libusb_device_handle** handle)
{
    if (!dev || !is_present(dev->index))
        return LIBUSB_ERROR_NO_DEVICE;
    if (core_.cfg.ftdi_fail == FtdiFail::perm)
        return LIBUSB_ERROR_ACCESS;
    auto* h = new libusb_device_handle{dev->index};
    handles_[h] = 0;
    *handle = h;
    return LIBUSB_SUCCESS;
}

bool Usb::close(libusb_device_handle* handle)
{
    auto it = handles_.find(handle);
    if (!handle || it == handles_.end()) {
        core_.fault("libusb_close on a handle libusb_open did not give");
        return false;
    }
    bool released = false;
    for (int i = 0; i < 4; ++i)
        if (it->second >> i & 1) {
            let_go(interface_at(handle->device * 4 + i));
            released = true;
        }
    handles_.erase(it);
    delete handle;
    return released;
}

int Usb::string_descriptor(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                            int length)
{
    int error = 0;
    int device = device_of(handle, "libusb_get_string_descriptor_ascii", &error);
    if (device < 0)
        return error;
    const FtdiDevice& d = core_.cfg.ftdi_devices[static_cast<size_t>(device)];
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

int Usb::present(libusb_device_handle* handle, const char* call)
{
    int error = 0;
    return device_of(handle, call, &error) < 0 ? error : LIBUSB_SUCCESS;
}

int Usb::claim(libusb_device_handle* handle, int interface)
{
    int error = 0;
    int device = device_of(handle, "libusb_claim_interface", &error);
    if (device < 0)
        return error;
    Core& c = core_;
    Type type = chip_type(c.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    if (interface < 0 || interface >= interfaces(type))
        return LIBUSB_ERROR_NOT_FOUND;
    uint32_t& claims = handles_[handle];
    if (claims >> interface & 1)
        return LIBUSB_SUCCESS;  // claimed twice by one handle: no change
    Interface& i = interface_at(device * 4 + interface);
    if (c.cfg.ftdi_fail == FtdiFail::busy || i.owner)
        return LIBUSB_ERROR_BUSY;
    uint64_t before = requests();
    i.owner = handle;
    i.engine.set_acbus(type != Type::ft4232h);
    claims |= 1u << interface;
    ++c.stats.opens;
    ++c.stats.claims;
    ++c.requests;
    maybe_signal(before);
    return LIBUSB_SUCCESS;
}

void Usb::let_go(Interface& i)
{
    i.engine.abandon();
    i.owner = nullptr;
    ++core_.stats.closes;
}

int Usb::release(libusb_device_handle* handle, int interface)
{
    int error = 0;
    int device = device_of(handle, "libusb_release_interface", &error);
    if (device < 0)
        return error;
    uint32_t& claims = handles_[handle];
    if (interface < 0 || interface > 3 || !(claims >> interface & 1))
        return LIBUSB_ERROR_NOT_FOUND;
    claims &= ~(1u << interface);
    let_go(interface_at(device * 4 + interface));
    return LIBUSB_SUCCESS;
}

void Usb::unserved(const char* call)
{
    core_.fault("%s: asynchronous USB transfers are not served", call);
}

// SIO control requests.

int Usb::control(libusb_device_handle* handle, uint8_t type, uint8_t request, uint16_t value,
                  uint16_t index, unsigned char* data, uint16_t length)
{
    int error = 0;
    int device = device_of(handle, "libusb_control_transfer", &error);
    if (device < 0)
        return error;
    Core& c = core_;
    if ((type & LIBUSB_REQUEST_TYPE_VENDOR) != LIBUSB_REQUEST_TYPE_VENDOR) {
        c.fault("USB control request 0x%02X of type 0x%02X not served", request, type);
        return LIBUSB_ERROR_PIPE;
    }
    // The interface is the low byte of wIndex, from 1 (0: the first).
    int interface = (index & 0xFF) ? (index & 0xFF) - 1 : 0;
    Type chip = chip_type(c.cfg.ftdi_devices[static_cast<size_t>(device)].product);
    if (interface >= interfaces(chip))
        return LIBUSB_ERROR_PIPE;
    Mpsse& e = interface_at(device * 4 + interface).engine;
    bool in = type & LIBUSB_ENDPOINT_IN;
    switch (request) {
    case kSioReset:
        if (value == 0 || value == 1)
            e.purge_commands();  // what the host sent, not yet run
        if (value == 0 || value == 2)
            e.purge_answers();  // what waits for the host
        break;
    case kSioSetLatency:
        e.set_latency(std::max<unsigned>(1, value & 0xFF));
        break;
    case kSioGetLatency:
        if (in && length >= 1 && data) {
            data[0] = static_cast<uint8_t>(e.latency_ms());
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

// A mode change that releases driven pins is a data write, at the host's
// time; a stall it picks holds no one.
void Usb::set_bitmode(Mpsse& e, uint8_t mode)
{
    if (!e.set_mode(mode))
        return;
    uint64_t host = host_now();
    uint64_t before = requests();
    e.release_pins(host);
    feed_.take_stall();
    maybe_signal(before);
}

// Bulk transfers.

int Usb::bulk(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
               int length, int* transferred)
{
    *transferred = 0;
    int error = 0;
    int device = device_of(handle, "libusb_bulk_transfer", &error);
    if (device < 0)
        return error;
    Core& c = core_;
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
    Interface& i = interface_at(device * 4 + interface);
    if (i.owner != handle)
        c.fault("bulk transfer on interface %c not claimed by its handle", 'A' + interface);
    uint64_t before = requests();
    int result = 0;
    if (in) {
        result = read_transfer(i, device, data, length);
        *transferred = std::max(result, 0);
    } else {
        *transferred = write_transfer(i, device, data, static_cast<size_t>(std::max(length, 0)));
        if (*transferred < length)
            result = LIBUSB_ERROR_TIMEOUT;
    }
    maybe_signal(before);
    return result < 0 ? result : LIBUSB_SUCCESS;
}

int Usb::write_transfer(Interface& i, int device, const unsigned char* data, size_t size)
{
    Core& c = core_;
    Mpsse& e = i.engine;
    ++c.stats.usb_writes;
    c.stats.usb_bytes_out += size;
    uint64_t host = host_now();
    e.start_at(host);
    uint64_t frame = c.cfg.ftdi_full_speed ? kFullSpeedFrameNs : kHighSpeedFrameNs;
    if (i.transferred)
        e.start_at(i.transfer_end_ns + frame);
    c.now_ns = e.now();
    size_t packet = static_cast<size_t>(packet_size(device));
    e.set_packet(packet);
    e.set_buffer(answer_buffer(chip_type(c.cfg.ftdi_devices[static_cast<size_t>(device)].product)));
    size_t k = 0;
    if (!e.in_mpsse()) {
        c.fault("USB write of %zu bytes before MPSSE mode", size);
    } else {
        for (; k < size && !e.stopped(); ++k) {
            if (k && k % packet == 0) {
                // The next packet: the chip waits for it with the pins as they are.
                e.packet_boundary();
                e.pause(c.cfg.ftdi_packet_gap_ns);
            }
            e.decode(data[k]);
        }
    }
    i.transfer_end_ns = e.now();
    i.transferred = true;
    if (e.wired()) {
        if (c.cfg.trace)
            append_token(c.trace, "U", 1);
        // C2CK left low outside a reset pulse: a strobe stretched to the next transfer.
        if (e.strobe_low())
            ++c.stats.transfer_lows;
    }
    c.now_ns = host;
    if (e.stopped()) {
        // The chip runs nothing more until the host reads, and the host
        // reads only once this write is done: it times out.
        ++c.stats.answer_stalls;
        clock_.wait(kWriteTimeoutNs);
        return static_cast<int>(k);
    }
    if (uint64_t stall = feed_.take_stall())
        clock_.hold(stall);
    return static_cast<int>(size);
}

int Usb::read_transfer(Interface& i, int device, unsigned char* data, int length)
{
    Core& c = core_;
    std::deque<Mpsse::Answer>& answers = i.engine.answers();
    uint64_t latency_ns = i.engine.latency_ms() * kMsNs;
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
    if (answers.empty()) {
        // Nothing to send: the latency timer sends the status bytes alone.
        c.fault("USB read with no answer pending");
        t += latency_ns;
        std::copy_n(kModemStatus, 2, data);
        got = 2;
    } else {
        // The chip sends what may go once the first answer may, packet by
        // packet; a short packet ends the transfer.
        t = std::max(t, answers.front().sendable_ns);
        while (got + 2 <= want) {
            size_t room = std::min(packet, want - got);
            std::copy_n(kModemStatus, 2, data + got);
            size_t n = 2;
            while (n < room && !answers.empty() && answers.front().sendable_ns <= t) {
                data[got + n++] = answers.front().byte;
                answers.pop_front();
            }
            got += n;
            if (n < packet)
                break;
            if (answers.empty()) {
                // A full packet and nothing after it: the latency timer ends
                // the transfer with the status bytes alone.
                t += latency_ns;
                if (got + 2 <= want) {
                    std::copy_n(kModemStatus, 2, data + got);
                    got += 2;
                }
                break;
            }
            t = std::max(t, answers.front().sendable_ns);
        }
    }
    t += c.cfg.ftdi_rtt_ns;
    c.now_ns = host;
    clock_.wait(t - host);
    return static_cast<int>(got);
}

}  // namespace harlune_sim
