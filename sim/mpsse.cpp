#include "mpsse.h"

#include <ftdi.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "record.h"
#include "requests.h"
#include "state.h"

namespace harlune_sim {

namespace {

// libftdi's own texts.
constexpr const char* kUnavailable = "USB device unavailable";
constexpr const char* kNotFound = "device not found";
constexpr const char* kNoPermission = "inappropriate permissions on device!";
constexpr const char* kNoClaim =
    "unable to claim usb device. Make sure the default FTDI driver is not in use";
constexpr const char* kNoBitmode =
    "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?";

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

ftdi_chip_type chip_type(uint16_t product)
{
    switch (product) {
    case 0x6010: return TYPE_2232H;
    case 0x6011: return TYPE_4232H;
    case 0x6001: return TYPE_R;
    case 0x6015: return TYPE_230X;
    default: return TYPE_232H;
    }
}

// The product string, as ftdi_usb_open_desc_index matches a description.
const char* product_string(ftdi_chip_type type)
{
    switch (type) {
    case TYPE_2232H: return "Dual RS232-HS";
    case TYPE_4232H: return "Quad RS232-HS";
    case TYPE_R: return "FT232R USB UART";
    case TYPE_230X: return "FT230X Basic UART";
    default: return "Single RS232-HS";
    }
}

int interfaces(ftdi_chip_type type)
{
    return type == TYPE_2232H ? 2 : type == TYPE_4232H ? 4 : 1;
}

bool has_mpsse(ftdi_chip_type type, int interface)
{
    switch (type) {
    case TYPE_232H: return interface == 0;
    case TYPE_2232H:
    case TYPE_4232H: return interface <= 1;
    default: return false;
    }
}

constexpr uint64_t kMsNs = 1000000;
// libftdi's read chunk limit on Linux.
constexpr unsigned kMaxReadChunk = 16384;

}  // namespace

void Ftdi::configure()
{
    for (auto& [key, e] : engines_) {
        Engine fresh;
        fresh.claimed = e.claimed;
        fresh.high = e.high;
        fresh.wired = wired(key);
        e = std::move(fresh);
    }
    for (auto& [ctx, h] : handles_)
        h.fetched.clear();
    traced_end_ns_ = 0;
    stall_ns_ = 0;
    bulk_ = 0;

    Core& c = s_.core;
    const GpioWiring& w = c.cfg.ftdi_wiring;
    if (w.ck > 15 || w.d > 15 || w.ck == w.d ||
        (w.rst != kNoLine && (w.rst > 15 || w.rst == w.ck || w.rst == w.d)))
        c.fault("configuration: FTDI wiring ck=%u d=%u rst=%d not on distinct pins 0-15", w.ck,
                w.d, w.rst == kNoLine ? -1 : static_cast<int>(w.rst));
    if (!c.cfg.ftdi_devices.empty()) {
        ftdi_chip_type type = chip_type(c.cfg.ftdi_devices.front().product);
        if (c.cfg.ftdi_interface >= interfaces(type))
            c.fault("configuration: FTDI interface %c wired on a chip without it",
                    'A' + c.cfg.ftdi_interface);
    }
}

uint64_t Ftdi::command_ns() const { return s_.core.cfg.ftdi_command_ns; }

bool Ftdi::unplugged()
{
    uint64_t at = s_.core.cfg.ftdi_unplug_at;
    return at && ++bulk_ >= at;
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

Ftdi::Handle* Ftdi::handle(ftdi_context* ctx, const char* call)
{
    s_.dirty = true;
    auto it = handles_.find(ctx);
    if (ctx && it != handles_.end() && !it->second.freed)
        return &it->second;
    if (!ctx)
        s_.core.fault("%s on a null context", call);
    else if (it != handles_.end())
        s_.core.fault("%s on a freed context", call);
    else
        s_.core.fault("%s on a context not made by ftdi_new", call);
    return nullptr;
}

Ftdi::Engine* Ftdi::engine(Handle& h, const char* call)
{
    if (h.engine >= 0)
        return &engine_at(h.engine);
    s_.core.fault("%s on a closed context", call);
    return nullptr;
}

int Ftdi::fail(ftdi_context* ctx, int code, const char* text)
{
    ctx->error_str = text;
    return code;
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

// Contexts.

ftdi_context* Ftdi::create()
{
    auto* ctx = static_cast<ftdi_context*>(calloc(1, sizeof(ftdi_context)));
    if (!ctx)
        return nullptr;
    // As ftdi_init leaves it.
    ctx->usb_read_timeout = 5000;
    ctx->usb_write_timeout = 5000;
    ctx->type = TYPE_BM;
    ctx->baudrate = -1;
    ctx->bitbang_mode = 1;
    ctx->readbuffer_chunksize = 4096;
    ctx->writebuffer_chunksize = 4096;
    ctx->index = INTERFACE_A;
    ctx->in_ep = 0x02;
    ctx->out_ep = 0x81;
    ctx->module_detach_mode = AUTO_DETACH_SIO_MODULE;
    handles_[ctx] = Handle{};
    return ctx;
}

void Ftdi::destroy(ftdi_context* ctx)
{
    if (!ctx)
        return;
    Handle* h = handle(ctx, "ftdi_free");
    if (!h)
        return;
    bool was_open = h->engine >= 0;
    if (was_open)
        let_go(*h);  // ftdi_free closes the device
    h->freed = true;
    free(ctx);
    if (was_open)
        save();
}

int Ftdi::set_interface(ftdi_context* ctx, int interface)
{
    Handle* h = handle(ctx, "ftdi_set_interface");
    if (!h)
        return -2;
    int index = 0;
    switch (interface) {
    case INTERFACE_ANY:
    case INTERFACE_A: index = 0; break;
    case INTERFACE_B: index = 1; break;
    case INTERFACE_C: index = 2; break;
    case INTERFACE_D: index = 3; break;
    default: return fail(ctx, -1, "Unknown interface");
    }
    if (h->engine >= 0 && index != h->interface)
        return fail(ctx, -3, "Interface can not be changed on an already open device");
    h->interface = index;
    ctx->interface = index;
    ctx->index = index + 1;
    ctx->in_ep = 2 * index + 2;
    ctx->out_ep = 2 * index + 0x81;
    return 0;
}

int Ftdi::open(ftdi_context* ctx, int vendor, int product, const char* description,
               const char* serial, unsigned index)
{
    Handle* h = handle(ctx, "ftdi_usb_open_desc_index");
    if (!h)
        return -11;
    Core& c = s_.core;
    if (h->engine >= 0) {
        c.fault("ftdi_usb_open_desc_index on a context already open");
        let_go(*h);
    }
    const std::vector<FtdiDevice>& devices = c.cfg.ftdi_devices;
    int found = -1;
    unsigned seen = 0;
    for (size_t i = 0; i < devices.size() && found < 0; ++i) {
        const FtdiDevice& d = devices[i];
        if (d.vendor != vendor || d.product != product ||
            (description && strcmp(description, product_string(chip_type(d.product)))) ||
            (serial && d.serial != serial))
            continue;
        if (seen++ == index)
            found = static_cast<int>(i);
    }
    if (found < 0)
        return fail(ctx, -3, kNotFound);
    if (c.cfg.ftdi_fail == FtdiFail::perm)
        return fail(ctx, -4, "libusb_open() failed");
    ftdi_chip_type type = chip_type(devices[found].product);
    int key = found * 4 + h->interface;
    if (c.cfg.ftdi_fail == FtdiFail::busy || h->interface >= interfaces(type) ||
        engine_at(key).claimed)
        return fail(ctx, -5, kNoClaim);

    uint64_t before = requests();
    Engine& e = engine_at(key);
    e.claimed = true;
    e.high = type != TYPE_4232H;
    e.partial.clear();  // the open resets the chip's buffers
    e.answers.clear();
    h->engine = key;
    h->fetched.clear();
    ctx->type = type;
    ctx->usb_dev = reinterpret_cast<libusb_device_handle*>(ctx);  // not null while open
    ctx->max_packet_size = (type == TYPE_R || type == TYPE_230X || c.cfg.ftdi_full_speed) ? 64 : 512;
    ctx->baudrate = 9600;
    ++c.stats.opens;
    ++c.stats.claims;
    ++c.requests;
    maybe_signal(before);
    return 0;
}

void Ftdi::let_go(Handle& h)
{
    Engine& e = engine_at(h.engine);
    if (!e.partial.empty())
        s_.core.fault("MPSSE command 0x%02X left incomplete", e.partial.front());
    e.partial.clear();
    e.claimed = false;
    h.engine = -1;
    h.fetched.clear();
    ++s_.core.stats.closes;
}

int Ftdi::close(ftdi_context* ctx)
{
    Handle* h = handle(ctx, "ftdi_usb_close");
    if (!h)
        return -3;
    if (h->engine < 0)
        return 0;  // libftdi closes a closed context quietly
    let_go(*h);
    ctx->usb_dev = nullptr;
    save();
    return 0;
}

int Ftdi::usb_reset(ftdi_context* ctx)
{
    Handle* h = handle(ctx, "ftdi_usb_reset");
    if (!h)
        return -2;
    Engine* e = engine(*h, "ftdi_usb_reset");
    if (!e)
        return fail(ctx, -2, kUnavailable);
    e->partial.clear();
    e->answers.clear();
    h->fetched.clear();
    return 0;
}

int Ftdi::set_latency(ftdi_context* ctx, unsigned char ms)
{
    Handle* h = handle(ctx, "ftdi_set_latency_timer");
    if (!h)
        return -3;
    if (ms < 1)
        return fail(ctx, -1, "latency out of range. Only valid for 1-255");
    Engine* e = engine(*h, "ftdi_set_latency_timer");
    if (!e)
        return fail(ctx, -3, kUnavailable);
    e->latency_ms = ms;
    return 0;
}

int Ftdi::write_chunksize(ftdi_context* ctx, unsigned size)
{
    if (!handle(ctx, "ftdi_write_data_set_chunksize"))
        return -1;
    if (size == 0) {
        s_.core.fault("ftdi_write_data_set_chunksize(0): ftdi_write_data would never end");
        return 0;
    }
    ctx->writebuffer_chunksize = size;
    return 0;
}

int Ftdi::read_chunksize(ftdi_context* ctx, unsigned size)
{
    if (!handle(ctx, "ftdi_read_data_set_chunksize"))
        return -1;
    if (size == 0) {
        s_.core.fault("ftdi_read_data_set_chunksize(0)");
        return 0;
    }
    ctx->readbuffer_chunksize = std::min(size, kMaxReadChunk);
    return 0;
}

int Ftdi::set_bitmode(ftdi_context* ctx, unsigned char mask, unsigned char mode)
{
    (void)mask;  // directions are set by the MPSSE commands
    Handle* h = handle(ctx, "ftdi_set_bitmode");
    if (!h)
        return -2;
    Engine* e = engine(*h, "ftdi_set_bitmode");
    if (!e)
        return fail(ctx, -2, kUnavailable);
    if (mode == BITMODE_MPSSE && !has_mpsse(ctx->type, h->interface))
        return fail(ctx, -1, kNoBitmode);
    if (mode != BITMODE_MPSSE && mode != BITMODE_RESET)
        s_.core.fault("ftdi_set_bitmode: mode 0x%02X not served", mode);
    if (!e->partial.empty())
        s_.core.fault("MPSSE command 0x%02X left incomplete", e->partial.front());
    // A new mode starts with every pin an input and the engine afresh.
    e->partial.clear();
    e->answers.clear();
    e->divisor = 0;
    e->div5 = true;
    e->mpsse = mode == BITMODE_MPSSE;
    if (e->dir[0] || e->dir[1]) {
        uint64_t host = host_now();
        e->now_ns = std::max(e->now_ns, host);
        e->dir[0] = e->dir[1] = 0;
        s_.core.now_ns = e->now_ns;
        uint64_t before = requests();
        wrote(*e);
        e->now_ns += command_ns();
        s_.core.now_ns = host;
        stall_ns_ = 0;
        maybe_signal(before);
    }
    ctx->bitbang_mode = mode;
    ctx->bitbang_enabled = mode != BITMODE_RESET;
    return 0;
}

int Ftdi::purge(ftdi_context* ctx, bool to_chip, bool to_host)
{
    Handle* h = handle(ctx, "ftdi_tcioflush");
    if (!h)
        return -3;
    Engine* e = engine(*h, "ftdi_tcioflush");
    if (!e)
        return fail(ctx, -3, kUnavailable);
    if (to_chip)
        e->partial.clear();
    if (to_host) {
        e->answers.clear();
        h->fetched.clear();
    }
    return 0;
}

const char* Ftdi::error_string(ftdi_context* ctx)
{
    if (!handle(ctx, "ftdi_get_error_string"))
        return kUnavailable;
    return ctx->error_str;
}

// USB transfers.

int Ftdi::write(ftdi_context* ctx, const unsigned char* data, int size)
{
    Handle* h = handle(ctx, "ftdi_write_data");
    if (!h)
        return -666;
    Engine* e = engine(*h, "ftdi_write_data");
    if (!e)
        return fail(ctx, -666, kUnavailable);
    // libftdi sends a long write as transfers of the write chunk size.
    int offset = 0;
    while (offset < size) {
        int n = std::min(static_cast<int>(ctx->writebuffer_chunksize), size - offset);
        uint64_t before = requests();
        if (unplugged())
            return fail(ctx, -1, "usb bulk write failed");
        transfer(*e, data + offset, static_cast<size_t>(n));
        offset += n;
        maybe_signal(before);
    }
    return offset;
}

void Ftdi::transfer(Engine& e, const unsigned char* data, size_t size)
{
    Core& c = s_.core;
    ++c.stats.usb_writes;
    uint64_t host = host_now();
    e.now_ns = std::max(e.now_ns, host);
    if (e.transferred)
        e.now_ns = std::max(e.now_ns, e.transfer_end_ns + kUsbFrameNs);
    c.now_ns = e.now_ns;
    if (!e.mpsse) {
        c.fault("USB write of %zu bytes before MPSSE mode", size);
    } else {
        bool rst = c.cfg.ftdi_wiring.rst != kNoLine;
        for (size_t i = 0; i < size; ++i) {
            uint8_t byte = data[i];
            if (i && i % (c.cfg.ftdi_full_speed ? 64u : 512u) == 0) {  // the chip waits for the next packet
                if (e.wired && s_.adapter.c2ck() == 0 && !s_.adapter.reset_active() &&
                    (rst || !s_.wire.low_from_idle()))
                    ++c.stats.packet_lows;
                e.now_ns += c.cfg.ftdi_packet_gap_ns;
            }
            if (e.partial.empty()) {
                ++c.stats.mpsse_commands;
                // An FT4232H has no ACBUS.
                bool known = arguments(byte) >= 0 &&
                             (e.high || (byte != kSetHigh && byte != kReadHigh));
                if (!known) {
                    c.now_ns = e.now_ns;
                    if (byte != 0xAA && byte != 0xAB)  // the synchronisation check's
                        c.fault("unknown MPSSE command 0x%02X", byte);
                    e.now_ns += command_ns();
                    answer(e, kBadCommand, e.now_ns);
                    answer(e, byte, e.now_ns);
                    continue;
                }
            }
            e.partial.push_back(byte);
            if (e.partial.size() == 1 + static_cast<size_t>(arguments(e.partial.front()))) {
                run(e, e.partial);
                e.partial.clear();
            }
        }
    }
    e.transfer_end_ns = e.now_ns;
    e.transferred = true;
    if (e.wired) {
        if (c.cfg.trace)
            append_token(c.trace, "U", 1);
        // C2CK left low outside a reset pulse: a strobe stretched to the next transfer.
        bool rst = c.cfg.ftdi_wiring.rst != kNoLine;
        if (s_.adapter.c2ck() == 0 && !s_.adapter.reset_active() &&
            (rst || !s_.wire.low_from_idle()))
            ++c.stats.transfer_lows;
    }
    c.now_ns = host;
    if (stall_ns_)
        s_.clock.hold(stall_ns_);
    stall_ns_ = 0;
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
            a.sendable_ns = std::min(a.sendable_ns, e.now_ns + command_ns());
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

bool Ftdi::drive(Engine& e)
{
    bool stall = detail::drive_lines(data(e), s_.core.cfg.ftdi_wiring.rst != kNoLine);
    if (stall) {
        ++s_.core.stats.stalls;
        stall_ns_ += s_.core.cfg.stall_ns;
    }
    return stall;
}

void Ftdi::gap(Engine& e)
{
    if (e.now_ns > traced_end_ns_)
        trace_gap(s_.core, e.now_ns - traced_end_ns_);
    traced_end_ns_ = e.now_ns + command_ns();
}

void Ftdi::wrote(Engine& e)
{
    if (!e.wired)
        return;
    Core& c = s_.core;
    ++c.stats.writes;
    ++c.requests;
    if (c.cfg.trace) {
        gap(e);
        const GpioWiring& w = c.cfg.ftdi_wiring;
        char token[4] = {'F'};
        const uint32_t pins[] = {w.ck, w.d, w.rst};
        for (int i = 0; i < 3; ++i) {
            int level = pins[i] == kNoLine ? -2 : pin(e, pins[i]);
            token[1 + i] = level == -2 ? '-' : level < 0 ? 'z' : static_cast<char>('0' + level);
        }
        append_token(c.trace, token, 4);
    }
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
            gap(e);
            char token[2] = {'f', with_d ? static_cast<char>('0' + c2d) : '-'};
            append_token(c.trace, token, 2);
        }
    }
    answer(e, byte, e.now_ns + command_ns() + e.latency_ms * kMsNs);
}

void Ftdi::answer(Engine& e, uint8_t byte, uint64_t sendable_ns)
{
    e.answers.push_back({byte, sendable_ns});
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
        // TCK (ADBUS0) leaves its level for the first half of each bit.
        for (uint64_t half = 0; half < 2 * bits; ++half) {
            s_.core.now_ns = start + half_periods_ns(e, half);
            e.value[0] ^= 1;
            if (w.ck == 0 && s_.core.cfg.trace) {  // the line states the edge makes
                if (s_.core.now_ns > traced_end_ns_)
                    trace_gap(s_.core, s_.core.now_ns - traced_end_ns_);
                traced_end_ns_ = s_.core.now_ns;
                const uint32_t pins[] = {w.ck, w.d, w.rst};
                char token[4] = {'F'};
                for (int i = 0; i < 3; ++i) {
                    int level = pins[i] == kNoLine ? -2 : pin(e, pins[i]);
                    token[1 + i] = level == -2 ? '-' : level < 0 ? 'z' : static_cast<char>('0' + level);
                }
                append_token(s_.core.trace, token, 4);
            }
            drive(e);
        }
    }
    e.now_ns = start + half_periods_ns(e, 2 * bits);
}

int Ftdi::read(ftdi_context* ctx, unsigned char* data, int size)
{
    Handle* h = handle(ctx, "ftdi_read_data");
    if (!h)
        return -666;
    Engine* e = engine(*h, "ftdi_read_data");
    if (!e)
        return fail(ctx, -666, kUnavailable);
    Core& c = s_.core;
    ++c.stats.usb_reads;
    uint64_t host = host_now();
    uint64_t t = host;
    size_t want = size > 0 ? static_cast<size_t>(size) : 0, got = 0;
    auto take = [&] {
        size_t n = std::min(want - got, h->fetched.size());
        std::copy_n(h->fetched.begin(), n, data + got);
        h->fetched.erase(h->fetched.begin(), h->fetched.begin() + static_cast<long>(n));
        got += n;
    };
    take();
    // One USB read transfer carries at most a chunk, less two status bytes per packet.
    size_t packets = (ctx->readbuffer_chunksize + ctx->max_packet_size - 1) / ctx->max_packet_size;
    size_t room = ctx->readbuffer_chunksize - 2 * packets;
    while (got < want) {
        if (unplugged()) {
            c.now_ns = host;
            return fail(ctx, -1, "usb bulk read failed");
        }
        ++c.stats.round_trips;
        if (e->answers.empty()) {
            c.fault("ftdi_read_data of %d bytes with %zu answered and nothing more pending",
                    size, got);
            t += std::max(c.cfg.ftdi_rtt_ns, e->latency_ms * kMsNs);  // status bytes only
            break;
        }
        // The chip sends what it may once the first answer may go.
        t = std::max(t, e->answers.front().sendable_ns);
        while (!e->answers.empty() && e->answers.front().sendable_ns <= t &&
               h->fetched.size() < room) {
            h->fetched.push_back(e->answers.front().byte);
            e->answers.pop_front();
        }
        t += c.cfg.ftdi_rtt_ns;
        take();
    }
    c.now_ns = host;
    s_.clock.wait(t - host);
    return static_cast<int>(got);
}

}  // namespace harlune_sim
