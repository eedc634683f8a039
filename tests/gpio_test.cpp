// The real harlune binary on GPIO lines of the simulated chip and on the
// simulated FTDI MPSSE chip: the same wire, flash, files, texts and statuses
// as on the parallel port, one line request (or set-bits command) per
// data-register write, and the chips' refusals as messages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <iterator>
#include <sstream>

#include "support.h"

using support::Result;
using support::RunOptions;
using support::TempDir;

namespace {

const char CHIP_NO_RST[] = "/dev/gpiochip0:ck=17,d=27";
const char CHIP_RST[] = "/dev/gpiochip0:rst=22,d=27,ck=17";

// What a data-register byte means on the lines, as "G<ck><d><rst>" (F on an
// FTDI chip): 0/1 driven low/high, z input, - no such line. Without a reset
// line the reset control holds C2CK low itself; with one, C2CK is released
// while it does.
std::string lines_of(uint8_t b, bool rst, char kind = 'G')
{
    bool reset = !(b & 0x08);
    char ck = reset ? (rst ? 'z' : '0') : !(b & 0x10) ? ((b & 0x20) ? '1' : '0') : 'z';
    char d = !(b & 0x40) ? ((b & 0x80) ? '1' : '0') : 'z';
    char r = !rst ? '-' : reset ? '0' : 'z';
    return {kind, ck, d, r};
}

// A parallel-port trace as the GPIO port must show it: each data-register
// write one line request, each status read one read of C2D (BUSY inverted).
// Delays and the claim are left out of both; so are the reads of the
// request floor after the claim for an FTDI chip, which times its own pulses.
std::string as_gpio(const std::string &parallel, bool rst, char kind = 'G')
{
    std::istringstream in(parallel);
    std::string out;
    bool written = false;
    for (std::string t; in >> t;) {
        std::string g;
        written |= t[0] == 'W';
        if (t[0] == 'R' && !written && kind == 'F')
            continue;
        if (t[0] == 'W')
            g = lines_of(static_cast<uint8_t>(std::stoul(t.substr(1), nullptr, 16)), rst, kind);
        else if (t[0] == 'R')
            g = std::string(1, static_cast<char>(kind + 32)) + ((std::stoul(t.substr(1), nullptr, 16) & 0x80) ? "0" : "1");
        else if (t[0] == 'C' || t[0] == 'D')
            continue;
        else
            g = "?" + t;
        out += (out.empty() ? "" : " ") + g;
    }
    return out;
}

// Reads of C2D after the claim on the ports the host times (the request
// floor); an FTDI chip makes none.
constexpr uint64_t FLOOR_READS = 9;

// The line requests, without reads of C2CK alone nor the read that shows an
// FTDI chip has run its queue before the host sleeps (the last of a
// transfer followed by the 20 ms start-up wait); without `repeats` each run of equal
// line states once (an FTDI chip times strobes and holds by repeating them),
// and no reads: an FTDI chip reads only the bits of a read batch that
// decide something (the frames and the flash show what was read).
bool read_before_sleep(const std::vector<std::string> &all, size_t i)
{
    return all[i][0] == 'f' && i + 2 < all.size() && all[i + 1] == "U" && all[i + 2][0] == 'D' &&
           std::stoul(all[i + 2].substr(1)) >= 20000;
}

std::vector<std::string> tokens(const std::string &trace)
{
    std::istringstream in(trace);
    return {std::istream_iterator<std::string>(in), {}};
}

size_t reads_before_sleep(const std::string &trace)
{
    std::vector<std::string> all = tokens(trace);
    size_t n = 0;
    for (size_t i = 0; i < all.size(); ++i)
        n += read_before_sleep(all, i);
    return n;
}

std::string requests_only(const std::string &gpio, char kind = 'G', bool repeats = true)
{
    std::vector<std::string> all = tokens(gpio);
    std::string out, last;
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string &t = all[i];
        if ((t[0] != kind && t[0] != kind + 32) || t == "g-" || read_before_sleep(all, i) ||
            (!repeats && (t[0] == kind + 32 || t == last)))
            continue;
        last = t;
        out += (out.empty() ? "" : " ") + t;
    }
    return out;
}

struct Port {
    const char *name;
    const char *dev;  // C2_PROG_DEV; empty: the parallel port
    bool rst;
    char kind = 'G';                  // F: an FTDI chip
    std::vector<std::string> env = {};  // its simulated chip and wiring
    bool repeats = true;              // false: holds repeat line states
};
const Port PARALLEL{"parallel", "", false};
// A link behind a USB 1.1 hub: 64-byte packets, 40 us apart.
const char FULL_SPEED[] = "HARLUNE_SIM_FTDI_SPEED=full", GAPS[] = "HARLUNE_SIM_FTDI_PACKET_GAP_US=40";
// FTDI: C2CK on TCK (strobes of one clock command, waits of repeated
// set-bits commands), on ACBUS with a reset line, and on interface B of a
// dual chip (strobes of repeated set-bits commands, waits of clock commands).
const Port PORTS[] = {{"gpio", CHIP_NO_RST, false},
                      {"gpio_rst", CHIP_RST, true},
                      {"gpio_by_name", "gpiochip0:ck=GPIO17,d=27,rst=GPIO22", true},
                      {"ftdi", "ftdi:ck=0,d=1", false, 'F', {"HARLUNE_SIM_FTDI_WIRING=ck=0,d=1", FULL_SPEED,
                       GAPS, "HARLUNE_SIM_FTDI_COMMAND_NS=50"}, false},
                      {"ftdi_acbus_rst", "ftdi:0403:6014:HL0001:rst=13,d=9,ck=8", true, 'F',
                       {"HARLUNE_SIM_FTDI_WIRING=ck=8,d=9,rst=13", "HARLUNE_SIM_FTDI_COMMAND_NS=250"}, false},
                      {"ftdi_b", "ftdi:0403:6010:ck=1,d=2,if=B", false, 'F',
                       {"HARLUNE_SIM_FTDI=0403:6010:D1", "HARLUNE_SIM_FTDI_INTERFACE=B", "HARLUNE_SIM_FTDI_WIRING=ck=1,d=2",
                        FULL_SPEED, GAPS, "HARLUNE_SIM_FTDI_COMMAND_NS=50"}, false}};
const Port &FTDI = PORTS[3];
// C2CK on ACBUS: holds are clock commands of a few bytes, not repeated set-bits commands.
const Port FTDI_HIGH_SPEED{"ftdi_high_speed", "ftdi:ck=8,d=9", false, 'F', {"HARLUNE_SIM_FTDI_WIRING=ck=8,d=9"}, false};

// Every run here leaves no simulator fault.
class Gpio : public support::EndToEnd {
protected:
    Gpio() { faults_fail = true; }
    Result run(const Port &port, std::vector<std::string> args, std::vector<std::string> env = {}, bool trace = true)
    {
        SCOPED_TRACE(port.name);
        RunOptions o;
        o.env = std::move(env);
        o.env.insert(o.env.end(), port.env.begin(), port.env.end());
        o.env.push_back("HARLUNE_SIM_GPIO_WIRING=ck=17,d=27" + std::string(port.rst ? ",rst=22" : ""));
        if (*port.dev)
            o.env.push_back(std::string("C2_PROG_DEV=") + port.dev);
        o.trace = trace;
        return EndToEnd::run(std::move(args), std::move(o));
    }
    // "using ..." or the default-port line differs between the ports.
    static std::string after_first_line(const std::string &out) { return out.substr(out.find('\n') + 1); }

    std::string image = tmp.path("image.bin"), back = tmp.path("back.bin");
};

// Whole flash: program over old content (needs the erase), verify, read back.
// Every request matches the parallel port's, and so do the decoded frames,
// the flash, the file and the texts. Under the sanitizers, whose traces of a
// whole flash on five ports outlast the test's time, six blocks.
TEST_F(Gpio, WholeFlashIsTheParallelPortsWireLineForLine)
{
#ifdef HARLUNE_SANITIZED
    const size_t size = 0x600;
#else
    const size_t size = 0x3E00;
#endif
    auto img = support::random_bytes(size, 41), old = support::random_bytes(0x4000, 42);
    support::write_file(image, img);
    struct Step {
        std::vector<std::string> args;
    } steps[] = {{{"p", image}}, {{"v", image}}, {{"r", back, std::to_string(size)}}};
    std::vector<Result> reference;
    std::vector<uint8_t> ref_back;
    support::write_file(flash, old);
    for (const Step &s : steps)
        reference.push_back(run(PARALLEL, s.args));
    ref_back = support::read_file(back);
    ASSERT_EQ(ref_back, img);
    const std::vector<uint8_t> ref_flash = support::read_file(flash);

    for (const Port &port : PORTS) {
        SCOPED_TRACE(port.name);
        support::write_file(flash, old);
        std::remove(back.c_str());
        for (size_t i = 0; i < std::size(steps); ++i) {
            Result r = run(port, steps[i].args);
            EXPECT_EQ(r.status, reference[i].status);
            EXPECT_EQ(r.out, "using " + std::string(port.dev) + "\n" + after_first_line(reference[i].out));
            EXPECT_EQ(r.err, reference[i].err);
            EXPECT_EQ(r.frames, reference[i].frames);
            EXPECT_EQ(r.report["claims"], 1u);
            if (port.repeats) {
                EXPECT_EQ(r.report["writes"], reference[i].report["writes"]);
            }
            uint64_t reads = reference[i].report["reads"] - (port.kind == 'F' ? FLOOR_READS : 0) +
                             reads_before_sleep(r.trace);
            if (port.kind == 'F')  // a batched poll reads out-ready alone, not its 7 other bits
                EXPECT_LT(r.report["reads"], reads - 6 * size);
            else
                EXPECT_EQ(r.report["reads"], reads);
            EXPECT_EQ(r.report["strobes"], reference[i].report["strobes"]);
            EXPECT_EQ(r.report["sleep_us"], reference[i].report["sleep_us"]) << "long waits slept by the host";
            EXPECT_TRUE(requests_only(r.trace, port.kind, port.repeats) ==
                        requests_only(as_gpio(reference[i].trace, port.rst, port.kind), port.kind, port.repeats))
                << "the line requests differ from the data-register writes";
            // No strobe across a USB transfer or packet; no START early after a reset.
            EXPECT_EQ(r.report["transfer_lows"] + r.report["packet_lows"], 0u);
            if (port.kind == 'F') {  // strobes the chip times, at 50 or 250 ns per command
                EXPECT_GE(r.report["shortest_low_ns"], 200u);
                EXPECT_LT(r.report["longest_low_ns"], 2000u);
            }
            EXPECT_EQ(r.report["early_frames"], 0u);
        }
        EXPECT_TRUE(support::read_file(flash) == ref_flash);
        EXPECT_EQ(support::read_file(back), img);
    }
}

// A full-speed link (64-byte packets) whose chip waits 40 us for each next
// packet: a strobe whose low phase spans a packet resets the target, so none
// may. Program and read-back exact, no strobe held across a packet.
TEST_F(Gpio, FtdiFullSpeedWithPacketGapsWholeFlashExact)
{
    auto img = support::random_bytes(0x4000, 45);
    support::write_file(image, img);
    support::write_file(flash, support::random_bytes(0x4000, 46));
    std::vector<std::string> link = {"HARLUNE_SIM_FTDI_SPEED=full", "HARLUNE_SIM_FTDI_PACKET_GAP_US=40"};
    for (const auto &args : {std::vector<std::string>{"p", image}, {"r", back}}) {
        SCOPED_TRACE(args[0]);
        Result r = run(FTDI, args, link, false);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.report["packet_lows"] + r.report["transfer_lows"] + r.report["unplanned_resets"], 0u);
    }
    EXPECT_EQ(support::read_file(flash), img);
    img.resize(0x3E00);  // what r reads without a length
    EXPECT_EQ(support::read_file(back), img);
}

// A target that answers on its own time (seeded draws): read batches that
// find it late are thrown away from that byte on and the target restarted,
// each an extra reset pulse; the program, verify and read-back stay exact.
// One too slow for any hold the chip keeps makes the run go back to one
// answer at a time, with one note.
TEST_F(Gpio, LateAnswersInReadBatchesAreRecovered)
{
    faults_fail = false;  // a late batch reads FPDAT before out-ready shows
    auto img = support::random_bytes(0x3000, 47);
    support::write_file(image, img);
    const std::string note = " too late: reads go on one answer at a time\n", twelve = "harlune: the target answered 12 read batches" + note,
                      one = "harlune: the target answered 1 read batch" + note;
    const std::vector<std::string> commands[] = {{"p", image}, {"v", image}, {"r", back, "0x3000"}};
    // Out-ready within 66 us: a few bytes beyond the longest hold; within 84
    // us, many. A WAIT field not ended puts the target out of step: at once.
    struct Case {
        const char *ready_us, *wait_us;
        const char *err;
    } cases[] = {{"0", "0", ""}, {"0-66", "0", ""}, {"0-84", "0", twelve.c_str()}, {"0-30", "0-90", one.c_str()}};
    uint64_t on_time_resets[3] = {};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ready_us);
        support::write_file(flash, support::random_bytes(0x4000, 48));
        for (size_t i = 0; i < std::size(commands); ++i) {
            SCOPED_TRACE(commands[i][0]);
            Result r = run(FTDI_HIGH_SPEED, commands[i],
                           {std::string("HARLUNE_SIM_READY_US=") + c.ready_us,
                            std::string("HARLUNE_SIM_WAIT_US=") + c.wait_us, "HARLUNE_SIM_RESPONSE_SEED=5"},
                           false);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, c.err);
            if (c.ready_us == cases[0].ready_us) {
                on_time_resets[i] = r.report["resets"];
                if (commands[i][0] == "r") {  // 48 blocks, each head and its batches
                    EXPECT_LE(r.report["round_trips"], 16u * 48);
                }
            } else {  // each late batch restarts the target
                EXPECT_GT(r.report["resets"], on_time_resets[i]);
            }
            // Only a WAIT field not ended lets the target take later frames
            // for writes, before the host has seen it (once: then no batch).
            EXPECT_EQ(r.report["unseen_writes"] > 0, c.wait_us != cases[0].wait_us);
        }
        auto now = support::read_file(flash);  // what p wrote, v and r read
        EXPECT_TRUE(std::equal(img.begin(), img.end(), now.begin()));
        EXPECT_EQ(support::read_file(back), img);
    }
}

// Each chip's batches are as large as its answer buffer allows (1, 2 and 4
// KiB): never more, or the chip stops and the write times out; fewer cost
// round trips. A block's head takes 12, its data 3, 2 or 1.
TEST_F(Gpio, ReadBatchesFillEachChipsAnswerBuffer)
{
    auto img = support::random_bytes(0x3000, 49);
    support::write_file(flash, img);
    struct Chip {
        const char *device, *dev;
        uint64_t most_round_trips;  // the 48 blocks, the start-up and the first 8 bytes
    } chips[] = {{"0403:6014", "ftdi:0403:6014:ck=0,d=1", 16 * 48},
                 {"0403:6011", "ftdi:0403:6011:ck=0,d=1", 15 * 48},
                 {"0403:6010", "ftdi:0403:6010:ck=0,d=1", 14 * 48}};
    for (const Chip &c : chips) {
        SCOPED_TRACE(c.device);
        Port port{c.device, c.dev, false, 'F', {std::string("HARLUNE_SIM_FTDI=") + c.device}, false};
        Result r = run(port, {"r", back, "0x3000"}, {}, false);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(support::read_file(back), img);
        EXPECT_EQ(r.report["answer_stalls"], 0u);
        EXPECT_LE(r.report["round_trips"], c.most_round_trips);
    }
}

// A strobe held 100 us inside a block write resets the target on either
// port; the tool redoes the block the same way on both and ends exact. On an
// FTDI chip the same hold of the host stretches nothing: no reset, no redo.
TEST_F(Gpio, StalledStrobeIsRecoveredAsOnTheParallelPort)
{
    auto img = support::random_bytes(1500, 43);
    support::write_file(image, img);
    const std::vector<std::string> stall = {"HARLUNE_SIM_STALL_US=100", "HARLUNE_SIM_STALL_AT=20000"};
    support::write_file(flash, std::vector<uint8_t>(0x4000, 0xFF));
    Result ref = run(PARALLEL, {"p", image}, stall);
    ASSERT_EQ(ref.status, 0);
    ASSERT_EQ(ref.report["unplanned_resets"], 1u);
    ASSERT_NE(ref.err.find(" redone 1 time: "), std::string::npos);
    for (const Port &port : PORTS) {
        SCOPED_TRACE(port.name);
        support::write_file(flash, std::vector<uint8_t>(0x4000, 0xFF));
        Result r = run(port, {"p", image}, stall);
        EXPECT_EQ(r.status, 0);
        if (port.kind == 'F') {
            EXPECT_GT(r.report["stalls"], 0u);
            EXPECT_EQ(r.report["unplanned_resets"], 0u);
            EXPECT_EQ(r.err, "");
            continue;
        }
        EXPECT_EQ(r.err, ref.err);
        EXPECT_EQ(after_first_line(r.out), after_first_line(ref.out));
        EXPECT_EQ(r.report["unplanned_resets"], 1u);
        EXPECT_EQ(r.frames, ref.frames);
        EXPECT_TRUE(requests_only(r.trace) == as_gpio(ref.trace, port.rst));
        auto now = support::read_file(flash);
        EXPECT_TRUE(std::equal(img.begin(), img.end(), now.begin()));
    }
}

// Lines that cannot be had end the run before anything is driven, with the
// parallel port's texts and status and a reason on stderr.
TEST_F(Gpio, LinesThatCannotBeHad)
{
    struct Case {
        const char *dev;
        std::vector<std::string> env;
        const char *first_line;  // after "using <dev>"
        const char *reason;
    } cases[] = {
        {"/dev/gpiochip7:ck=17,d=27", {}, "Problem opening /dev/gpiochip7", "No such file or directory"},
        {"/dev/gpiochip7:ck=17", {}, "Problem opening /dev/gpiochip7", "No such file or directory"},
        {"/dev/gpiochip0:ck=17", {}, "Problem claiming /dev/gpiochip0:ck=17", "both ck and d are needed"},
        {"/dev/gpiochip0:", {}, "Problem claiming /dev/gpiochip0:", "no lines given"},
        {"/dev/gpiochip0:ck=17,d=17", {}, "Problem claiming /dev/gpiochip0:ck=17,d=17", "same line"},
        {"/dev/gpiochip0:ck=17,d=2x", {}, "Problem claiming /dev/gpiochip0:ck=17,d=2x", "no line of gpiochip0 is named \"2x\" (d)"},
        {"gpiochip7:ck=17,d=27", {}, "Problem opening /dev/gpiochip7", "No such file or directory"},
        // Neither a device file nor a GPIO or FTDI form: the hint names all three.
        {"gpio17", {}, "Problem opening gpio17", "(/dev/gpiochipN:ck=LINE,d=LINE) or an FTDI chip (ftdi:ck=PIN,d=PIN)"},
        {"gpiochip0:ck=GPIO17,d=GPIO17", {}, "Problem claiming gpiochip0:ck=GPIO17,d=GPIO17", "ck and d are the same line"},
        {"gpiochip0:ck=LED,d=27", {"HARLUNE_SIM_GPIO_NAMES=3=LED,17=LED"}, "Problem claiming gpiochip0:ck=LED,d=27",
         "2 lines of gpiochip0 are named \"LED\" (ck): 3, 17"},
        {"/dev/gpiochip0:ck=17,d=27,", {}, "Problem claiming /dev/gpiochip0:ck=17,d=27,", "stray comma"},
        {"/dev/gpiochip0:clk=17,d=27", {}, "Problem claiming /dev/gpiochip0:clk=17,d=27", "not a line name"},
        {"/dev/gpiochip0:ck=17,d=54", {}, "Problem claiming /dev/gpiochip0:ck=17,d=54",
         "line 54 (d) is out of range: gpiochip0 has 54 lines (0 to 53)"},
        {"/dev/gpiochip0:ck=17,d=27", {"HARLUNE_SIM_GPIO_BUSY=27"}, "Problem claiming /dev/gpiochip0:ck=17,d=27",
         "line 27 (d) is in use by"},
        {"/dev/gpiochip0:ck=17,d=27", {"HARLUNE_SIM_GPIO_GET_VALUES_US=4", "HARLUNE_SIM_CLOCK=virtual"},
         "Problem claiming /dev/gpiochip0:ck=17,d=27", "too slow for C2: a line request takes 4.2 us (the least of 9)"},
        {"/dev/gpiochip0:ck=17,d=27", {"HARLUNE_SIM_GPIO_UAPI=v1"}, "Problem claiming /dev/gpiochip0:ck=17,d=27",
         "predates the GPIO v2 interface (Linux 5.10)"},
        {"ftdi:", {}, "Problem claiming ftdi:", "malformed pin list: no pins given"},
        {"ftdi:ck=0", {}, "Problem claiming ftdi:ck=0", "both ck and d are needed"},
        {"ftdi:0403:6014", {}, "Problem claiming ftdi:0403:6014", "malformed pin list: no pins given"},
        {"ftdi:ck=0,d=0", {}, "Problem claiming ftdi:ck=0,d=0", "ck and d are the same pin"},
        {"ftdi:ck=0,d=16", {}, "Problem claiming ftdi:ck=0,d=16", "\"16\" is not a pin number (0 to 15)"},
        {"ftdi:ck=0,d=1,", {}, "Problem claiming ftdi:ck=0,d=1,", "an empty entry (a stray comma)"},
        {"ftdi:ck0,d=1", {}, "Problem claiming ftdi:ck0,d=1", "\"ck0\" is not NAME=PIN"},
        {"ftdi:clk=0,d=1", {}, "Problem claiming ftdi:clk=0,d=1", "\"clk\" is not a pin name"},
        {"ftdi:ck=0,d=1,ck=2", {}, "Problem claiming ftdi:ck=0,d=1,ck=2", "ck is given twice"},
        {"ftdi:ck=0,d=9", {}, "Problem claiming ftdi:ck=0,d=9", "ck and d are on different buses"},
        {"ftdi:ck=0,d=8,rst=0", {}, "Problem claiming ftdi:ck=0,d=8,rst=0", "ck and d are on different buses"},
        {"ftdi:0403:6010:ck=0", {}, "Problem claiming ftdi:0403:6010:ck=0", "both ck and d are needed"},
        {"ftdi:ck=0,d=1,if=C", {}, "Problem claiming ftdi:ck=0,d=1,if=C", "\"C\" is not an interface (A or B)"},
        {"ftdi:4g3:6014:ck=0,d=1", {}, "Problem opening ftdi:4g3:6014:ck=0,d=1", "\"4g3\" is not a USB vendor id"},
        {"ftdi:0403:6010:ck=0,d=1", {}, "Problem opening ftdi:0403:6010:ck=0,d=1", "no USB device 0403:6010 found"},
        {"ftdi:ck=0,d=1", {"HARLUNE_SIM_FTDI=0403:6001"}, "Problem opening ftdi:ck=0,d=1", "no FTDI MPSSE chip"},
        {"ftdi:ck=0,d=1", {"HARLUNE_SIM_FTDI_FAIL=perm"}, "Problem opening ftdi:ck=0,d=1",
         "no permission to open the FTDI MPSSE chip (FT232H 0403:6014, FT2232H 0403:6010, FT4232H 0403:6011): "
         "usb_open() failed\n  Allow your user to open it with a udev rule"},
        {"ftdi:ck=0,d=1", {"HARLUNE_SIM_FTDI_FAIL=busy"}, "Problem claiming ftdi:ck=0,d=1",
         "a second harlune) or the kernel's serial driver (ftdi_sio) holds it\n  Find the holder: lsof"},
        {"ftdi:ck=0,d=1", {"HARLUNE_SIM_FTDI_UNPLUG_AT=2"}, "Problem claiming ftdi:ck=0,d=1",
         "the chip did not answer the check for a bad command 0xAA"},
        {"ftdi:0403:6001:ck=0,d=1", {"HARLUNE_SIM_FTDI=0403:6001"}, "Problem claiming ftdi:0403:6001:ck=0,d=1",
         "FT232R or FT245R, which has no MPSSE engine"},
        {"ftdi:ck=8,d=9", {"HARLUNE_SIM_FTDI=0403:6011"}, "Problem claiming ftdi:ck=8,d=9", "FT4232H has no pins 8"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dev);
        std::vector<std::string> env = c.env;
        env.push_back(std::string("C2_PROG_DEV=") + c.dev);
        Result r = run(PARALLEL, {"r", back}, env, false);
        EXPECT_EQ(r.out, "using " + std::string(c.dev) + "\n" + c.first_line + "\n");
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.report["writes"], 0u);
    }
}

// A chip whose driver refuses the pull-up: the lines are had without it,
// with one note, and the read-back is exact.
TEST_F(Gpio, AChipRefusingBiasServesWithANote)
{
    support::write_file(flash, support::random_bytes(0x4000, 45));
    Result r = run(PORTS[0], {"r", back}, {"HARLUNE_SIM_GPIO_BIAS=refused"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "harlune: /dev/gpiochip0: the chip's driver cannot pull C2D up (it refused the pull-up): C2D needs\n"
                     "  an external pull-up (10 kOhm to the target's supply).\n");
    EXPECT_EQ(r.report["others"], 1u);  // the first line request alone refused
    auto now = support::read_file(flash);
    EXPECT_EQ(support::read_file(back), std::vector<uint8_t>(now.begin(), now.begin() + 0x3E00));
}

// A stop signal in the middle of a program, and a run that fails, leave the
// lines released (reset pulse, then both lines inputs; runs of a line state
// counted once) and the status of the
// parallel port; on an FTDI chip the last transfer carries it all.
TEST_F(Gpio, EveryWayOutReleasesTheLines)
{
    support::write_file(image, support::random_bytes(3000, 44));
    const struct {
        const Port &port;
        const char *env;
        int status;
    } cases[] = {{PORTS[0], "HARLUNE_SIM_SIGNAL=15@200000", 128 + 15},
                 {FTDI, "HARLUNE_SIM_SIGNAL=15@200000", 128 + 15},
                 {FTDI, "HARLUNE_SIM_ATTACH=detached", 255}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.env);
        support::write_file(flash, std::vector<uint8_t>(0x4000, 0xFF));
        Result r = run(c.port, {"p", image}, {c.env});
        EXPECT_EQ(r.status, c.status);
        std::string k(1, c.port.kind);
        EXPECT_EQ(support::last_requests(requests_only(r.trace, c.port.kind, false), 3),
                  (std::vector<std::string>{k + "0z-", k + "1z-", k + "zz-"}));
    }
}

// An FTDI chip unplugged in the middle of a program, verify or read-back:
// the run ends at the first failed transfer with one line that blames the
// USB link (no time-out of the target's after it), status 255, no file.
TEST_F(Gpio, AnUnpluggedChipEndsTheRunAtOnce)
{
    auto img = support::random_bytes(0x3E00, 45);
    support::write_file(image, img);
    const std::string lost = "\nharlune: ftdi:ck=0,d=1: USB transfer to the FTDI chip failed (",
                      remedy = "): replug the chip, check its hub and cable, then run the command again\n";
    for (const char *cmd : {"p", "v", "r"}) {
        SCOPED_TRACE(cmd);
        support::write_file(flash, img);
        Result r = run(FTDI, {cmd, *cmd == 'r' ? back : image}, {"HARLUNE_SIM_FTDI_UNPLUG_AT=500"}, false);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err.substr(0, lost.size()), lost);
        EXPECT_EQ(r.err.find('\n', lost.size()) + 1, r.err.size()) << r.err;
        EXPECT_NE(r.err.find(remedy), std::string::npos) << r.err;
        EXPECT_EQ(r.report["usb_writes"] + r.report["round_trips"], 499u) << "a transfer after the failure";
        EXPECT_NE(access(back.c_str(), F_OK), 0);
    }
}

}  // namespace
