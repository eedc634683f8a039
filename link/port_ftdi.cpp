// The adapter on an FTDI MPSSE chip (FT232H, FT2232H, FT4232H) through
// libftdi. The only file that includes ftdi.h.
//
// C2_PROG_DEV=ftdi:[VID:PID[:SERIAL]:]ck=PIN,d=PIN[,rst=PIN][,if=B]; pins as
// on the chip: 0-7 ADBUS0-7, 8-15 ACBUS0-7, all on the same bus. The lines
// follow the data-register byte as on GPIO lines:
//   C2CK  reset active without a reset line: driven low; reset active with
//         one: input; otherwise driver on (bit 4 clear): driven at bit 5,
//         else input
//   C2D   driver on (bit 6 clear): driven at bit 7, else input
//   rst   reset active: driven low, else input
// Each data-register write is one "set data bits" command (0x80 ADBUS, 0x82
// ACBUS) with the levels and directions of the whole bus (unmapped pins
// inputs), each read of C2D one "read data bits" (0x81, 0x83): the chip puts
// the parallel port's line states on the wire, frame for frame.
//
// Commands are queued and go out in one USB transfer only when the link
// needs an answer to go on (a WAIT field's sample, the end of an Address
// Read, port_sync), or when the queue passes TRANSFER_BYTES; the reads a
// transfer carries are answered at its end (0x87, send immediate), one
// round trip. A transfer never ends while C2CK is low: the queue is cut only
// where C2CK is high or released, and libftdi's own split of a long write is
// set beyond any transfer made here; nor does a USB packet (a strobe's two
// commands are padded into one with 0x85, loopback off, which changes nothing). Delays are kept on the chip's clock:
// commands that clock with no data (0x8E, 0x8F) at 1 us per bit while
// ADBUS0 (TCK, which they toggle) is not a driven C2 line, else the last
// "set data bits" repeated, counted at SET_BITS_NS each: the lines stay as
// they are, and the wire shows the same line states in the same order.
#include <ftdi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "port_form.h"

namespace {

enum { CK = 0, D = 1, RST = 2 };
const char *const role_name[] = {"ck", "d", "rst"};

// MPSSE commands (ftdi.h names the others: SEND_IMMEDIATE, CLK_BITS,
// CLK_BYTES, TCK_DIVISOR, DIS_DIV_5, DIS_ADAPTIVE, DIS_3_PHASE, LOOPBACK_END).
constexpr uint8_t SET_LOW = 0x80, READ_LOW = 0x81, SET_HIGH = 0x82, READ_HIGH = 0x83;
// 60 MHz / ((1 + 29) * 2): one bit of 0x8E/0x8F is 1 us.
constexpr uint16_t DIVISOR_1US = 29;
// The shortest a "set data bits" command can take on the chip: its three
// bytes at one byte per cycle of the MPSSE's 60 MHz clock. Holds made of
// repeated commands count this, so they are never shorter than asked (on a
// chip that takes longer per command, they are longer).
constexpr uint32_t SET_BITS_NS = 50;
// A transfer is cut once the queue holds this much (where C2CK is high);
// libftdi splits no write smaller than LIBFTDI_CHUNK, which is beyond any
// transfer made here (the queue grows past TRANSFER_BYTES only by the rest
// of a reset pulse and its frame, a few kilobytes).
constexpr size_t TRANSFER_BYTES = 16384;
constexpr int LIBFTDI_CHUNK = 65536;
// A read transfer holds every answer of one exchange (PENDING_ANSWERS and
// the two status bytes of each 512-byte packet).
constexpr int READ_CHUNK = 4096;
// A high-speed bulk transfer reaches the chip in packets of this size; a
// strobe's two commands are kept in one packet, so that the chip never
// waits for the next packet with C2CK low.
constexpr size_t USB_PACKET = 512;
// Answers the chip may hold before they are read (its buffer is 1 KiB and more).
constexpr size_t PENDING_ANSWERS = 256;
// The chip answers within a round trip; this long without an answer is a
// dead link.
constexpr uint64_t ANSWER_LIMIT_NS = 2000000000u;

// The supported chips, in the order a bare "ftdi:" looks for them.
const int MPSSE_PIDS[] = {0x6014, 0x6010, 0x6011};

struct Spec {
    int vid = 0x0403, pid = -1;  // -1: the first of MPSSE_PIDS found
    std::string serial;
    int pin[3] = {-1, -1, -1};
    bool has_rst = false;
    ftdi_interface interface = INTERFACE_A;
    std::string list_error;  // why the pin list is malformed, or empty
};

struct Pending {
    uint8_t *byte;
    uint8_t mask;
};

ftdi_context *ctx = nullptr;
int open_error = 0;      // a libftdi error of the open that claim reports
bool opened = false;     // the USB device is open
bool claimed = false;
bool dead = false;       // a transfer failed: nothing more goes out
std::string device_name; // C2_PROG_DEV
Spec spec;

uint8_t set_cmd = SET_LOW, read_cmd = READ_LOW;
uint8_t bit[3] = {};     // each line's bit on its bus
uint8_t value = 0, dir = 0;  // the bus as the last write left it
bool wire_low = false;   // C2CK held low by that write (driver or reset line)

std::vector<uint8_t> queue;
std::vector<Pending> pending;
uint8_t discard;

bool hex_id(const std::string &text, int *id)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *id = static_cast<int>(strtol(text.c_str(), nullptr, 16));
    return true;
}

// "ck=0,d=1[,rst=2][,if=B]", in any order, each once. An empty string, or
// why the list is not one.
std::string parse_pins(const std::string &list, Spec *s)
{
    bool seen[4] = {};
    std::string why = for_each_entry(list, "pin", [&](const std::string &key, const std::string &val) -> std::string {
        int role = key == "ck" ? CK : key == "d" ? D : key == "rst" ? RST : key == "if" ? 3 : -1;
        if (role < 0)
            return "\"" + key + "\" is not a pin name (ck, d or rst) nor if (the interface)";
        if (seen[role])
            return key + " is given twice";
        seen[role] = true;
        if (role == 3) {
            if (val != "A" && val != "B")
                return "\"" + val + "\" is not an interface (A or B)";
            s->interface = val == "A" ? INTERFACE_A : INTERFACE_B;
            return {};
        }
        if (val.empty() || val.size() > 2 || val.find_first_not_of("0123456789") != std::string::npos ||
            atoi(val.c_str()) > 15)
            return "\"" + val + "\" is not a pin number (0 to 15)";
        s->pin[role] = atoi(val.c_str());
        return {};
    });
    if (!why.empty())
        return why;
    if (!seen[CK] || !seen[D])
        return "both ck and d are needed";
    s->has_rst = seen[RST];
    int count = s->has_rst ? 3 : 2;
    for (int a = 0; a < count; ++a)
        for (int b = a + 1; b < count; ++b) {
            if (s->pin[a] == s->pin[b])
                return std::string(role_name[a]) + " and " + role_name[b] + " are the same pin";
            if (s->pin[a] / 8 != s->pin[b] / 8)
                return std::string(role_name[a]) + " and " + role_name[b] +
                       " are on different buses: all pins on ADBUS (0 to 7) or all on ACBUS (8 to 15)";
        }
    return {};
}

// "[VID:PID[:SERIAL]:]LIST" after "ftdi:". An empty string, or why the
// device part is not one.
std::string parse_device(const std::string &text, Spec *s)
{
    size_t last = text.rfind(':');
    std::string list = last == std::string::npos ? text : text.substr(last + 1);
    if (!text.empty() && text.find('=') == std::string::npos) {  // ids and no pins
        last = text.size();
        list.clear();
    }
    s->list_error = parse_pins(list, s);
    if (last == std::string::npos)
        return {};
    std::string head = text.substr(0, last);
    size_t c1 = head.find(':');
    if (c1 == std::string::npos)
        return "\"" + head + "\" is not VID:PID (hexadecimal USB ids, as lsusb shows them)";
    size_t c2 = head.find(':', c1 + 1);
    std::string vid = head.substr(0, c1), pid = head.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
    if (!hex_id(vid, &s->vid))
        return "\"" + vid + "\" is not a USB vendor id (up to 4 hexadecimal digits)";
    if (!hex_id(pid, &s->pid))
        return "\"" + pid + "\" is not a USB product id (up to 4 hexadecimal digits)";
    if (c2 != std::string::npos)
        s->serial = head.substr(c2 + 1);
    return {};
}

std::string ids(int vid, int pid)
{
    char text[16];
    snprintf(text, sizeof text, "%04x:%04x", vid, pid);
    return text;
}

const char *chip_name(int type)
{
    switch (type) {
    case TYPE_AM: return "FT8U232AM";
    case TYPE_BM: return "FT232BM or FT245BM";
    case TYPE_2232C: return "FT2232C/D";
    case TYPE_R: return "FT232R or FT245R";
    case TYPE_2232H: return "FT2232H";
    case TYPE_4232H: return "FT4232H";
    case TYPE_232H: return "FT232H";
    case TYPE_230X: return "FT230X series";
    default: return "FTDI chip of unknown type";
    }
}

const char *const UDEV_HINT =
    "  Allow your user to open it with a udev rule, as root, in\n"
    "  /etc/udev/rules.d/60-harlune-ftdi.rules:\n"
    "    SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"0403\", MODE=\"0660\", GROUP=\"plugdev\"\n"
    "  then udevadm control --reload, replug the chip and be in the plugdev group.\n";
const char *const UNBIND_HINT =
    "  Unbind the serial driver from the chip's interface, as root:\n"
    "    ls /sys/bus/usb/drivers/ftdi_sio/   (names like 1-2:1.0)\n"
    "    echo -n 1-2:1.0 > /sys/bus/usb/drivers/ftdi_sio/unbind\n"
    "  or rmmod ftdi_sio while no other FTDI serial port is in use.\n";
const char *const FORM_HINT =
    "  Name the chip and its pins as C2_PROG_DEV=ftdi:[VID:PID[:SERIAL]:]ck=PIN,d=PIN[,rst=PIN][,if=B],\n"
    "  pins 0 to 7 for ADBUS0-7, 8 to 15 for ACBUS0-7; for example ftdi:ck=0,d=1.\n";

int fail(PortProblem *problem, int err, const std::string &detail, const char *hint)
{
    problem->detail = detail;
    problem->hint = hint;
    errno = err;
    return -1;
}

void lost(const char *what)
{
    if (!dead) {
        fflush(stdout);
        fprintf(stderr, "harlune: %s: USB transfer to the FTDI chip failed (%s): %s\n", device_name.c_str(), what,
                ctx ? ftdi_get_error_string(ctx) : "no device");
    }
    dead = true;
}

// One transfer of the queue; then, if it carried reads, their answers.
void exchange()
{
    if (!pending.empty())
        queue.push_back(SEND_IMMEDIATE);
    for (size_t sent = 0; sent < queue.size() && !dead;) {
        int n = ftdi_write_data(ctx, queue.data() + sent, static_cast<int>(queue.size() - sent));
        if (n <= 0)
            lost("write");
        else
            sent += static_cast<size_t>(n);
    }
    queue.clear();
    if (pending.empty())
        return;
    static std::vector<uint8_t> answer;
    answer.assign(pending.size(), 0);
    size_t got = 0;
    uint64_t start = clock_now_ns();
    while (got < answer.size() && !dead) {
        int n = ftdi_read_data(ctx, answer.data() + got, static_cast<int>(answer.size() - got));
        if (n < 0 || (n == 0 && clock_now_ns() - start > ANSWER_LIMIT_NS))
            lost("read");
        else
            got += static_cast<size_t>(n);
    }
    // A lost answer reads C2D low, as a failed request on the other ports.
    for (size_t i = 0; i < got; ++i)
        if (answer[i] & (1u << bit[D]))
            *pending[i].byte = static_cast<uint8_t>(*pending[i].byte | pending[i].mask);
    pending.clear();
}

// Cut the queue where it is safe and due: never while C2CK is low.
void maybe_send()
{
    if ((queue.size() >= TRANSFER_BYTES || pending.size() >= PENDING_ANSWERS) && !wire_low)
        exchange();
}

void put_set()
{
    queue.push_back(set_cmd);
    queue.push_back(value);
    queue.push_back(dir);
}

int ftdi_open(const char *device, PortProblem *problem)
{
    device_name = device;
    problem->name = device;
    spec = Spec{};
    std::string wrong = parse_device(device + 5, &spec);
    if (!wrong.empty())
        return fail(problem, EINVAL, "malformed device: " + wrong, FORM_HINT);
    if (!spec.list_error.empty())
        return 0;  // the claim reports it; nothing is opened
    ctx = ftdi_new();
    if (!ctx)
        return fail(problem, ENOMEM, "libftdi could not start", "");
    ftdi_set_interface(ctx, spec.interface);
    const char *serial = spec.serial.empty() ? nullptr : spec.serial.c_str();
    int rc = -3;
    if (spec.pid >= 0) {
        rc = ftdi_usb_open_desc_index(ctx, spec.vid, spec.pid, nullptr, serial, 0);
    } else {
        for (int pid : MPSSE_PIDS)
            if ((rc = ftdi_usb_open_desc_index(ctx, spec.vid, pid, nullptr, serial, 0)) != -3)
                break;
    }
    if (rc == 0 || rc == -5) {
        opened = rc == 0;
        open_error = rc;  // -5: the kernel's driver holds it, a claim problem
        return 0;
    }
    std::string what = spec.pid >= 0 ? "USB device " + ids(spec.vid, spec.pid)
                                     : "FTDI MPSSE chip (FT232H 0403:6014, FT2232H 0403:6010, FT4232H 0403:6011)";
    if (serial)
        what += " with serial " + spec.serial;
    std::string why = ftdi_get_error_string(ctx);
    ftdi_free(ctx);
    ctx = nullptr;
    if (rc == -3)
        return fail(problem, ENODEV, "no " + what + " found",
                    "  Check the cable and that lsusb lists the chip; a chip with other ids or a second\n"
                    "  chip is named as ftdi:VID:PID[:SERIAL]:ck=PIN,d=PIN (ids and serial from lsusb -v).\n");
    if (rc == -8)
        return fail(problem, EACCES, "no permission to open the " + what, UDEV_HINT);
    return fail(problem, EIO, "could not open the " + what + ": " + why, UDEV_HINT);
}

int ftdi_claim(PortProblem *problem)
{
    if (!spec.list_error.empty())
        return fail(problem, EINVAL, "malformed pin list: " + spec.list_error, FORM_HINT);
    if (open_error == -5 && spec.interface == INTERFACE_B)
        return fail(problem, EBUSY,
                    std::string("interface B could not be claimed (") + ftdi_get_error_string(ctx) +
                        "): the kernel's serial driver (ftdi_sio) holds it, or the chip has none (an FT232H)",
                    UNBIND_HINT);
    if (open_error == -5)
        return fail(problem, EBUSY,
                    std::string("the kernel's serial driver (ftdi_sio) holds the chip (") + ftdi_get_error_string(ctx) + ")",
                    UNBIND_HINT);
    int type = ctx->type;
    if (type != TYPE_232H && type != TYPE_2232H && type != TYPE_4232H)
        return fail(problem, ENODEV,
                    std::string("the chip is an ") + chip_name(type) +
                        ", which has no MPSSE engine of the H series (FT232H, FT2232H, FT4232H)",
                    "  Use an FT232H, FT2232H or FT4232H board, or name it as ftdi:VID:PID:... if there is one.\n");
    if (type == TYPE_232H && spec.interface != INTERFACE_A)
        return fail(problem, ENODEV, "an FT232H has no interface B", "  Leave out if=B on an FT232H.\n");
    bool high = spec.pin[CK] >= 8;
    if (type == TYPE_4232H && high)
        return fail(problem, EINVAL, "an FT4232H has no pins 8 to 15 (ACBUS)",
                    "  Wire the target to pins 0 to 7 (ADBUS0-7, or BDBUS0-7 with if=B).\n");
    if (ftdi_usb_reset(ctx) < 0 || ftdi_set_latency_timer(ctx, 1) < 0 ||
        ftdi_write_data_set_chunksize(ctx, LIBFTDI_CHUNK) < 0 || ftdi_read_data_set_chunksize(ctx, READ_CHUNK) < 0 ||
        ftdi_set_bitmode(ctx, 0, BITMODE_RESET) < 0 || ftdi_set_bitmode(ctx, 0, BITMODE_MPSSE) < 0 ||
        ftdi_tcioflush(ctx) < 0)
        return fail(problem, EIO, std::string("the chip refused MPSSE mode: ") + ftdi_get_error_string(ctx),
                    "  Unplug the chip and plug it in again; check that no other program uses it.\n");
    set_cmd = high ? SET_HIGH : SET_LOW;
    read_cmd = high ? READ_HIGH : READ_LOW;
    for (int r = 0; r < (spec.has_rst ? 3 : 2); ++r)
        bit[r] = static_cast<uint8_t>(spec.pin[r] % 8);
    value = dir = 0;  // every pin an input, as MPSSE mode starts
    wire_low = dead = false;
    queue.clear();
    pending.clear();
    queue.insert(queue.end(), {DIS_DIV_5, DIS_ADAPTIVE, DIS_3_PHASE, LOOPBACK_END, TCK_DIVISOR,
                               static_cast<uint8_t>(DIVISOR_1US & 0xFF), static_cast<uint8_t>(DIVISOR_1US >> 8)});
    exchange();
    if (dead)
        return fail(problem, EIO, std::string("the chip took no MPSSE command: ") + ftdi_get_error_string(ctx),
                    "  Unplug the chip and plug it in again.\n");
    claimed = true;
    return 0;
}

void ftdi_write(uint8_t byte)
{
    uint8_t v = 0, d = 0;
    bool reset = !(byte & RST_BIT);
    auto drive = [&v, &d](int role, bool level) {
        d = static_cast<uint8_t>(d | 1u << bit[role]);
        if (level)
            v = static_cast<uint8_t>(v | 1u << bit[role]);
    };
    if (reset && !spec.has_rst)
        drive(CK, false);
    else if (!reset && !(byte & CK_NEN))
        drive(CK, byte & CK_LEVEL);
    if (!(byte & D_NEN))
        drive(D, byte & D_LEVEL);
    if (reset && spec.has_rst)
        drive(RST, false);
    bool was_low = wire_low;
    value = v;
    dir = d;
    wire_low = (reset && spec.has_rst) || ((d >> bit[CK]) & 1u && !((v >> bit[CK]) & 1u));
    if (wire_low && !was_low && !reset && queue.size() % USB_PACKET > USB_PACKET - 6)
        queue.resize(queue.size() + USB_PACKET - queue.size() % USB_PACKET, LOOPBACK_END);  // changes nothing
    put_set();
    maybe_send();
}

void ftdi_read_into(uint8_t *byte, uint8_t mask)
{
    queue.push_back(read_cmd);
    pending.push_back({byte, mask});
    maybe_send();
}

uint8_t ftdi_read()
{
    uint8_t c2d = 0;
    ftdi_read_into(&c2d, 1);
    exchange();
    return c2d ? 0x00 : STATUS_BUSY;
}

void ftdi_sync()
{
    if (!pending.empty())  // commands alone wait for the next transfer
        exchange();
}

void ftdi_hold(uint32_t us)
{
    if (set_cmd == SET_LOW && (dir & 1u)) {
        // TCK is a driven C2 line: the clock commands would toggle it.
        for (uint64_t n = static_cast<uint64_t>(us) * 1000 / SET_BITS_NS; n > 0; --n) {
            put_set();
            maybe_send();
        }
        return;
    }
    while (us > 0) {
        if (us <= 8) {
            queue.insert(queue.end(), {CLK_BITS, static_cast<uint8_t>(us - 1)});
            break;
        }
        uint32_t bytes = std::min<uint32_t>((us + 7) / 8, 0x10000);
        queue.insert(queue.end(), {CLK_BYTES, static_cast<uint8_t>((bytes - 1) & 0xFF),
                                   static_cast<uint8_t>((bytes - 1) >> 8)});
        us -= std::min(us, bytes * 8);
        maybe_send();
    }
    maybe_send();
}

void ftdi_close()
{
    if (ctx && claimed) {
        if (dir != 0 && !dead) {  // a way out that left a line driven
            value = dir = 0;
            wire_low = false;
            put_set();
        }
        for (Pending &p : pending)  // whoever asked is gone
            p.byte = &discard;
        exchange();
    }
    if (ctx) {
        if (opened)
            ftdi_usb_close(ctx);
        ftdi_free(ctx);
    }
    ctx = nullptr;
    opened = claimed = false;
    open_error = 0;
}

bool ftdi_takes(const char *device) { return strncmp(device, "ftdi:", 5) == 0; }

std::string form;  // C2_PROG_DEV, read at the open

int ftdi_parse(const char *device, PortProblem *)
{
    form = device;
    return 0;
}

int ftdi_open_device(PortProblem *problem) { return ftdi_open(form.c_str(), problem); }

}  // namespace

const PortOps ftdi_port = {
    .name = "FTDI MPSSE chips through libftdi1 (FT232H, FT2232H, FT4232H)",
    .keeps_time = true,
    .queues_requests = true,
    .request_noun = nullptr,
    .slow_hint = nullptr,
    .takes = ftdi_takes,
    .parse = ftdi_parse,
    .open = ftdi_open_device,
    .claim = ftdi_claim,
    .write_data = ftdi_write,
    .read_status = ftdi_read,
    .close = ftdi_close,
    .read_into = ftdi_read_into,
    .sync = ftdi_sync,
    .hold = [](uint32_t us) { ftdi_hold(us); return true; },
};
