// The adapter on an FTDI MPSSE chip (FT232H, FT2232H, FT4232H) through
// libftdi. The only file that includes ftdi.h.
//
// C2_PROG_DEV=ftdi:[VID:PID[:SERIAL]:]ck=PIN,d=PIN[,rst=PIN][,if=B]; pins as
// on the chip: 0-7 ADBUS0-7, 8-15 ACBUS0-7, all on the same bus. The lines
// follow the data-register byte as on GPIO lines (line_roles.h).
// Each data-register write is one "set data bits" command (0x80 ADBUS, 0x82
// ACBUS) with the levels and directions of the whole bus (unmapped pins
// inputs), each read of C2D one "read data bits" (0x81, 0x83): the chip puts
// the parallel port's line states on the wire, frame for frame.
//
// Commands are queued and go out in one USB transfer only when the link
// needs an answer to go on (a WAIT field's sample, the end of an Address
// Read, port_sync), or when the queue passes TRANSFER_BYTES (its reads
// then stay on the chip for the next exchange) or holds answer_room reads;
// the reads are answered at the exchange's end (0x87, send immediate), one
// round trip while they fit in one packet. A transfer never ends while C2CK is low (but inside a reset
// pulse): the queue is cut only where C2CK is high or released, and
// libftdi's own split of a long write is set beyond any transfer made here.
// Nor does a USB packet of the link's own size (512 bytes at high speed, 64
// at full speed, where the chip may wait tens of microseconds for the next
// one): a strobe's commands are padded into one packet with 0x85 (loopback
// off, which changes nothing).
//
// A strobe's low phase is timed by the chip: with C2CK on ADBUS0 (TCK) one
// "clock bits" command (0x8E 0x00) takes the place of the low and high
// writes, TCK leaving its level for half a bit period (500 ns at the 1 us
// bit set here); elsewhere the low "set data bits" goes out STROBE_SETS
// times before the high one. Short delays are kept on the chip's clock:
// clock commands with no data (0x8E, 0x8F) at 1 us per bit while TCK is not
// a driven C2 line, else the last "set data bits" repeated, counted at
// SET_BITS_NS each: the lines stay as they are. A delay of LONG_HOLD_US or
// more with C2CK high (or inside a reset pulse) sends what is queued, waits
// for one answer that shows the chip has run it, and leaves the wait to the
// host's sleep: no traffic.
//
// A failed USB transfer, or ANSWER_LIMIT_NS without an expected answer, ends
// the run through c2_port_lost: nothing more is sent.
#include <ftdi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "line_roles.h"
#include "port_form.h"

namespace {

enum { CK = ROLE_CK, D = ROLE_D, RST = ROLE_RST, IF = ROLE_COUNT };

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
// A strobe made of "set data bits": the low command this many times, then
// the high one. FTDI publishes no time per command; at the fastest (50 ns)
// the low lasts 250 ns, enough for C2CK through 1 kOhm and a cable's
// capacitance to reach the target's low threshold, and at 250 ns per
// command it lasts 1.25 us, far below the 5 us a clock edge may last.
constexpr int STROBE_SETS = 5;
// "Clock bits" of one bit: TCK leaves its level for half a bit period.
constexpr uint8_t ONE_BIT = 0x00;
// From this long on a hold is the host's sleep, not the chip's commands.
constexpr uint32_t LONG_HOLD_US = 1000;
// A transfer is cut once the queue holds this much (where C2CK is high);
// libftdi splits no write smaller than LIBFTDI_CHUNK, which is beyond any
// transfer made here (the queue grows past TRANSFER_BYTES only by the rest
// of a reset pulse and its frame, a few kilobytes).
constexpr size_t TRANSFER_BYTES = 49152;
constexpr int LIBFTDI_CHUNK = 65536;
// A read transfer holds every answer of one exchange (answer_room and
// the two status bytes of each packet, 64 bytes at full speed).
constexpr int READ_CHUNK = 8192;
// The packet size when libftdi knows none: the smaller, full-speed one.
constexpr size_t FULL_SPEED_PACKET = 64;
// Answers one exchange may leave on the chip: its transmit buffer per
// channel is 1 KiB on an FT232H, 2 KiB on an FT4232H, 4 KiB on an FT2232H.
// A chip whose buffer is full stops running commands until the host reads,
// and the host reads only after its write: the write would time out. Some
// room is left for the reads of a strobe's rest and for a miscount.
constexpr size_t BUFFER_SPARE = 24;
constexpr size_t FT232H_BUFFER = 1024, FT4232H_BUFFER = 2048, FT2232H_BUFFER = 4096;
// Every exchange that reads ends with a send-immediate; the latency timer
// (the chip's own flush of a short packet) is set long, so that it never
// splits the answers of one exchange into two round trips.
constexpr unsigned char LATENCY_MS = 255;
// The chip answers within a round trip; this long without an answer is a
// dead link. No single USB call blocks longer than USB_TIMEOUT_MS.
constexpr uint64_t ANSWER_LIMIT_NS = 2000000000u;
constexpr int USB_TIMEOUT_MS = 1000;

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
unsigned bit[ROLE_COUNT] = {};  // each line's bit on its bus
uint8_t value = 0, dir = 0;  // the bus as the last write left it
bool wire_low = false;   // C2CK held low by that write (driver or reset line)
bool in_reset = false;   // that write holds the reset control active
size_t packet = FULL_SPEED_PACKET;  // the link's USB packet size
// A strobe's low write on TCK, not queued yet: the high write that follows
// makes the pair one clock command. The bus before it:
bool strobe_held = false;
uint8_t before_value = 0, before_dir = 0;
bool closing = false;    // the close: a failure ends nothing

std::vector<uint8_t> queue;
std::vector<Pending> pending;
uint8_t discard;
size_t answer_room = FT232H_BUFFER - BUFFER_SPARE;  // by the chip's type, at the claim

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
        int role = key == "if" ? IF : role_of(key);
        if (role < 0)
            return "\"" + key + "\" is not a pin name (ck, d or rst) nor if (the interface)";
        if (seen[role])
            return key + " is given twice";
        seen[role] = true;
        if (role == IF) {
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
    return refused_pair(s->has_rst ? 3 : 2, [s](unsigned a, unsigned b) {
        if (s->pin[a] == s->pin[b])
            return "are the same pin";
        return s->pin[a] / 8 != s->pin[b] / 8
                   ? "are on different buses: all pins on ADBUS (0 to 7) or all on ACBUS (8 to 15)"
                   : nullptr;
    });
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

std::string hex_byte(uint8_t byte)
{
    char text[4];
    snprintf(text, sizeof text, "%02X", byte);
    return text;
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
// libusb gives the same failure to open for more than a missing permission.
const char *const OTHER_OPEN_CAUSES =
    "  The same failure comes from a chip unplugged between the listing and the open,\n"
    "  a busy or broken hub, or a host controller libusb cannot use (some virtual\n"
    "  machines): replug the chip, directly into the computer, and run again.\n";
const char *const HOLDER_HINT =
    "  Find the holder: lsof /dev/bus/usb/BBB/DDD (bus and device as lsusb shows them)\n"
    "  names a program (a debugger, OpenOCD, a second harlune): end it. If\n"
    "  /sys/bus/usb/devices/<dev>:1.<if>/driver links to ftdi_sio (<if> 0 for interface A,\n"
    "  1 for B; names as ls /sys/bus/usb/drivers/ftdi_sio/ lists them, e.g. 1-2:1.0),\n"
    "  unbind the serial driver, as root:\n"
    "    echo -n 1-2:1.0 > /sys/bus/usb/drivers/ftdi_sio/unbind\n"
    "  or rmmod ftdi_sio while no other FTDI serial port is in use.\n";
const char *const FORM_HINT =
    "  Name the chip and its pins as C2_PROG_DEV=ftdi:[VID:PID[:SERIAL]:]ck=PIN,d=PIN[,rst=PIN][,if=B],\n"
    "  pins 0 to 7 for ADBUS0-7, 8 to 15 for ACBUS0-7; for example ftdi:ck=0,d=1.\n";
const char *const REPLUG_HINT =
    "  Unplug the chip and plug it in again; check that no other program uses it.\n";

// The link failed: nothing more goes out. During the run that ends it at
// once; the claim and the close see `dead` themselves.
void lost(const std::string &what)
{
    dead = true;
    if (!claimed || closing)
        return;
    c2_port_lost(device_name + ": USB transfer to the FTDI chip failed (" + what +
                     "): replug the chip, check its hub and cable, then run the command again",
                 "");
}

// Write the queue; a failure marks the link dead.
void send_queue()
{
    for (size_t sent = 0; sent < queue.size() && !dead;) {
        int n = ftdi_write_data(ctx, queue.data() + sent, static_cast<int>(queue.size() - sent));
        if (n < 0)
            lost(std::string("write: ") + ftdi_get_error_string(ctx));
        else if (n == 0)
            lost("write: the chip took no byte");
        else
            sent += static_cast<size_t>(n);
    }
    queue.clear();
}

// `size` answers into `answer`; false once the link is dead. A read that
// returns no byte leaves libftdi's error text as it was: it is not quoted.
bool read_answers(uint8_t *answer, size_t size)
{
    size_t got = 0;
    uint64_t start = clock_now_ns();
    while (got < size && !dead) {
        int n = ftdi_read_data(ctx, answer + got, static_cast<int>(size - got));
        if (n < 0)
            lost(std::string("read: ") + ftdi_get_error_string(ctx));
        else if (n == 0 && clock_now_ns() - start > ANSWER_LIMIT_NS)
            lost("read: no answer in 2 s");
        else
            got += static_cast<size_t>(n);
    }
    return got == size;
}

// One transfer of the queue; then, if it carried reads, their answers.
void exchange()
{
    if (!pending.empty())
        queue.push_back(SEND_IMMEDIATE);
    send_queue();
    if (pending.empty())
        return;
    static std::vector<uint8_t> answer;
    answer.assign(pending.size(), 0);
    if (read_answers(answer.data(), answer.size()))
        for (size_t i = 0; i < answer.size(); ++i)
            if (answer[i] & (1u << bit[D]))
                *pending[i].byte = static_cast<uint8_t>(*pending[i].byte | pending[i].mask);
    // A lost answer reads C2D low, as a failed request on the other ports.
    pending.clear();
}

// Cut the queue where it is safe and due: never while C2CK is low. A long
// queue goes out alone, its answers left on the chip for the next exchange;
// as many answers as the chip holds are read at once.
void maybe_send()
{
    if (wire_low)
        return;
    if (pending.size() >= answer_room)
        exchange();
    else if (queue.size() >= TRANSFER_BYTES)
        send_queue();
}

// The next `bytes` in one USB packet: pad to the next one if they would cross.
void keep_in_packet(size_t bytes)
{
    size_t used = queue.size() % packet;
    if (used + bytes > packet)
        queue.resize(queue.size() + packet - used, LOOPBACK_END);  // changes nothing
}

void put_set()
{
    queue.push_back(set_cmd);
    queue.push_back(value);
    queue.push_back(dir);
}

// The low phase of a strobe as "set data bits": the high write that ends it
// lands in the same packet.
void put_strobe_low()
{
    keep_in_packet((STROBE_SETS + 1) * 3);
    for (int i = 0; i < STROBE_SETS; ++i)
        put_set();
}

// A held strobe low that will not be a clock command: queued as set commands.
void release_held()
{
    if (!strobe_held)
        return;
    strobe_held = false;
    put_strobe_low();
}

bool ftdi_takes(const char *device) { return strncmp(device, "ftdi:", 5) == 0; }

// A malformed device part fails the open; a malformed pin list, the claim.
int ftdi_parse(const char *device, PortProblem *problem)
{
    device_name = device;
    problem->name = device;
    spec = Spec{};
    std::string wrong = parse_device(device + 5, &spec);
    if (!wrong.empty())
        return port_refused(problem, EINVAL, "malformed device: " + wrong, FORM_HINT);
    return 0;
}

int ftdi_open(PortProblem *problem)
{
    if (!spec.list_error.empty())
        return 0;  // the claim reports it; nothing is opened
    ctx = ftdi_new();
    if (!ctx)
        return port_refused(problem, ENOMEM, "libftdi could not start", "");
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
        open_error = rc;  // -5: another holder of the interface, a claim problem
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
        return port_refused(problem, ENODEV, "no " + what + " found",
                    "  Check the cable and that lsusb lists the chip; a chip with other ids or a second\n"
                    "  chip is named as ftdi:VID:PID[:SERIAL]:ck=PIN,d=PIN (ids and serial from lsusb -v).\n");
    if (rc == -4)
        return port_refused(problem, EACCES, "no permission to open the " + what + ": " + why, std::string(UDEV_HINT) + OTHER_OPEN_CAUSES);
    if (rc == -8)
        return port_refused(problem, EACCES, "no permission to open the " + what, UDEV_HINT);
    return port_refused(problem, EIO, "could not open the " + what + ": " + why, UDEV_HINT);
}

// AN_135's check that the chip is in step: a bad opcode is answered 0xFA
// and the opcode. Empty, or why the chip is not fit for use.
std::string check_sync()
{
    for (uint8_t bad : {uint8_t{0xAA}, uint8_t{0xAB}}) {
        queue.insert(queue.end(), {bad, SEND_IMMEDIATE});
        send_queue();
        if (dead)
            return std::string("the chip took no MPSSE command: ") + ftdi_get_error_string(ctx);
        uint8_t answer[2] = {};
        if (!read_answers(answer, 2))
            return "the chip did not answer the check for a bad command 0x" + hex_byte(bad) +
                   ": it is not in MPSSE mode, or its USB link failed";
        if (answer[0] != 0xFA || answer[1] != bad)
            return "the chip answered the check for a bad command 0x" + hex_byte(bad) + " with " +
                   hex_byte(answer[0]) + " " + hex_byte(answer[1]) + " instead of FA " + hex_byte(bad) +
                   ": it is out of step (another program left it in the middle of a command)";
    }
    return {};
}

int ftdi_claim(PortProblem *problem)
{
    if (!spec.list_error.empty())
        return port_refused(problem, EINVAL, "malformed pin list: " + spec.list_error, FORM_HINT);
    if (open_error == -5)
        return port_refused(problem, EBUSY,
                    std::string("interface ") + (spec.interface == INTERFACE_B ? "B" : "A") +
                        " could not be claimed (" + ftdi_get_error_string(ctx) +
                        "): another program (a debugger, a second harlune) or "
                        "the kernel's serial driver (ftdi_sio) holds it" +
                        (spec.interface == INTERFACE_B ? ", or the chip has none (an FT232H)" : ""),
                    HOLDER_HINT);
    int type = ctx->type;
    if (type != TYPE_232H && type != TYPE_2232H && type != TYPE_4232H)
        return port_refused(problem, ENODEV,
                    std::string("the chip is an ") + chip_name(type) +
                        ", which has no MPSSE engine of the H series (FT232H, FT2232H, FT4232H)",
                    "  Use an FT232H, FT2232H or FT4232H board, or name it as ftdi:VID:PID:... if there is one.\n");
    if (type == TYPE_232H && spec.interface != INTERFACE_A)
        return port_refused(problem, ENODEV, "an FT232H has no interface B", "  Leave out if=B on an FT232H.\n");
    bool high = spec.pin[CK] >= 8;
    if (type == TYPE_4232H && high)
        return port_refused(problem, EINVAL, "an FT4232H has no pins 8 to 15 (ACBUS)",
                    "  Wire the target to pins 0 to 7 (ADBUS0-7, or BDBUS0-7 with if=B).\n");
    ctx->usb_read_timeout = ctx->usb_write_timeout = USB_TIMEOUT_MS;
    if (ftdi_usb_reset(ctx) < 0 || ftdi_set_latency_timer(ctx, LATENCY_MS) < 0 ||
        ftdi_write_data_set_chunksize(ctx, LIBFTDI_CHUNK) < 0 || ftdi_read_data_set_chunksize(ctx, READ_CHUNK) < 0 ||
        ftdi_set_bitmode(ctx, 0, BITMODE_RESET) < 0 || ftdi_set_bitmode(ctx, 0, BITMODE_MPSSE) < 0 ||
        ftdi_tcioflush(ctx) < 0)
        return port_refused(problem, EIO, std::string("the chip refused MPSSE mode: ") + ftdi_get_error_string(ctx),
                    REPLUG_HINT);
    answer_room = (type == TYPE_232H ? FT232H_BUFFER : type == TYPE_4232H ? FT4232H_BUFFER : FT2232H_BUFFER) -
                  BUFFER_SPARE;
    packet = ctx->max_packet_size > 0 ? static_cast<size_t>(ctx->max_packet_size) : FULL_SPEED_PACKET;
    set_cmd = high ? SET_HIGH : SET_LOW;
    read_cmd = high ? READ_HIGH : READ_LOW;
    for (int r = 0; r < (spec.has_rst ? 3 : 2); ++r)
        bit[r] = static_cast<unsigned>(spec.pin[r] % 8);
    value = dir = 0;  // every pin an input, as MPSSE mode starts
    wire_low = in_reset = strobe_held = dead = closing = false;
    queue.clear();
    pending.clear();
    queue.insert(queue.end(), {DIS_DIV_5, DIS_ADAPTIVE, DIS_3_PHASE, LOOPBACK_END, TCK_DIVISOR,
                               static_cast<uint8_t>(DIVISOR_1US & 0xFF), static_cast<uint8_t>(DIVISOR_1US >> 8)});
    std::string out_of_step = check_sync();
    if (!out_of_step.empty()) {
        dead = true;  // nothing more goes out, not even the close's release
        return port_refused(problem, EIO, out_of_step, REPLUG_HINT);
    }
    claimed = true;
    return 0;
}

void ftdi_write(uint8_t byte)
{
    LineMasks lines = line_masks(byte, bit, spec.has_rst);
    uint8_t v = static_cast<uint8_t>(lines.high), d = static_cast<uint8_t>(lines.driven);
    bool reset = !(byte & RST_BIT);
    if (strobe_held && v == before_value && d == before_dir) {
        // The strobe's high write: TCK low for half a bit, by the chip.
        strobe_held = false;
        value = v;
        wire_low = false;
        keep_in_packet(2);
        queue.insert(queue.end(), {CLK_BITS, ONE_BIT});
        maybe_send();
        return;
    }
    release_held();
    bool was_low = wire_low;
    uint8_t old_value = value, old_dir = dir;
    value = v;
    dir = d;
    in_reset = reset;
    wire_low = lines.ck_low;
    if (wire_low && !was_low && !reset) {  // a strobe begins
        const uint8_t ck = static_cast<uint8_t>(1u << bit[CK]);
        if (set_cmd == SET_LOW && ck == 1 && d == old_dir && (old_dir & ck) && v == (old_value & ~ck)) {
            strobe_held = true;  // TCK, driven high until now
            before_value = old_value;
            before_dir = old_dir;
            return;
        }
        put_strobe_low();
        return;
    }
    put_set();
    maybe_send();
}

void ftdi_read_into(uint8_t *byte, uint8_t mask)
{
    release_held();
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
    release_held();
    if (!pending.empty())  // commands alone wait for the next transfer
        exchange();
}

bool ftdi_hold(uint32_t us)
{
    release_held();
    if (us >= LONG_HOLD_US && (!wire_low || in_reset)) {
        // Sent, and run by the chip (its answer comes after the rest):
        // the host's sleep is then the lines' hold.
        queue.push_back(read_cmd);
        pending.push_back({&discard, 0});
        exchange();
        return false;
    }
    if (set_cmd == SET_LOW && (dir & 1u)) {
        // TCK is a driven C2 line: the clock commands would toggle it.
        for (uint64_t n = static_cast<uint64_t>(us) * 1000 / SET_BITS_NS; n > 0; --n) {
            put_set();
            maybe_send();
        }
        return true;
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
    return true;
}

size_t ftdi_answer_room() { return answer_room; }

void ftdi_close()
{
    closing = true;
    if (ctx && claimed && !dead) {
        release_held();
        if (dir != 0) {  // a way out that left a line driven
            value = dir = 0;
            wire_low = in_reset = false;
            put_set();
        }
        for (Pending &p : pending)  // whoever asked is gone
            p.byte = &discard;
        exchange();
    }
    queue.clear();
    pending.clear();
    if (ctx) {
        if (opened)
            ftdi_usb_close(ctx);
        ftdi_free(ctx);
    }
    ctx = nullptr;
    opened = claimed = false;
    open_error = 0;
}

}  // namespace

// Requests queued, and delays kept on the chip's clock.
const PortOps ftdi_port = {
    .name = "FTDI MPSSE chips through libftdi1 (FT232H, FT2232H, FT4232H)",
    .keeps_time = true,
    .queues_requests = true,
    .takes = ftdi_takes,
    .parse = ftdi_parse,
    .open = ftdi_open,
    .claim = ftdi_claim,
    .write_data = ftdi_write,
    .read_status = ftdi_read,
    .close = ftdi_close,
    .read_into = ftdi_read_into,
    .sync = ftdi_sync,
    .hold = ftdi_hold,
    .answer_room = ftdi_answer_room,
};
