// The link on the simulated port: exact data-register sequences, status reads
// and delays of each frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include <time.h>

#include "c2.h"
#include "c2_lines.h"
#include "line_roles.h"
#include "port.h"
#include "support.h"

using harlune_sim::Attach;
using harlune_sim::Config;
using support::writes;

namespace {

std::vector<uint8_t> repeat(std::vector<uint8_t> part, int times)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Config scripted(std::vector<int> samples)
{
    Config c;
    c.attach = Attach::scripted;
    c.samples = std::move(samples);
    return c;
}

class Link : public ::testing::Test {
protected:
    void TearDown() override { support::detach(); }
};

const std::vector<uint8_t> ZERO_BIT = {0x28, 0x08, 0x28};
const std::vector<uint8_t> ONE_BIT = {0xA8, 0x88, 0xA8};

TEST_F(Link, StartupResetAndAddressWriteFromProgramStart)
{
    support::attach(Config{});
    c2_open();
    C2CK_reset();
    AddressWrite(0x02);

    std::string expected =
        writes({0x20, 0x20, 0x20}) + " D40 " + writes({0x28}) + " D3 " +
        writes(cat({{0x08, 0x28}, {0xA8, 0xA8}, {0x88, 0xA8, 0x88, 0xA8}, ZERO_BIT, ONE_BIT,
                    repeat(ZERO_BIT, 6), {0x68}, {0x48, 0x68}}));
    EXPECT_EQ(support::link_trace(), expected);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:02");
    EXPECT_TRUE(harlune_sim::faults().empty());
}

TEST_F(Link, DataWriteAfterAddressWrite)
{
    support::attach(Config{}, 0x68);
    DataWrite(0, 0x02);
    AddressRead();  // a request after the frame shows its closing delay

    std::string expected =
        writes(cat({{0x48, 0x68}, {0xE8, 0xA8}, {0x88, 0xA8}, ZERO_BIT, repeat(ZERO_BIT, 2), ZERO_BIT,
                    ONE_BIT, repeat(ZERO_BIT, 6), {0x68}, {0x48, 0x68}})) +
        " R78 " + writes({0x48, 0x68}) + " D1 W48";
    EXPECT_EQ(support::link_trace().substr(0, expected.size()), expected);
}

TEST_F(Link, DataReadStoresA5)
{
    std::vector<int> samples = {1, 1, 0, 1, 0, 0, 1, 0, 1};
    support::attach(scripted(samples), 0x68);
    uint32_t value = 0xFFFFFFFF;
    EXPECT_EQ(DataRead(0, &value), C2_OK);
    EXPECT_EQ(value, 0xA5u);

    std::string expected =
        writes(cat({{0x48, 0x68}, {0x68, 0x28}, {0x08, 0x28, 0x08, 0x28}, repeat(ZERO_BIT, 2), {0x68},
                    {0x48, 0x68}})) +
        " R78";
    // Appended piece by piece: GCC 12 reports a false -Wrestrict on
    // `" " + std::string&&` at -O2 (its bug 105651).
    for (int s : {1, 0, 1, 0, 0, 1, 0, 1}) {
        expected += ' ';
        expected += writes({0x48, 0x68});
        expected += s ? " R78" : " RF8";
    }
    expected += ' ';
    expected += writes({0x48, 0x68});
    EXPECT_EQ(support::without_delays(support::link_trace()), expected);
}

TEST_F(Link, AddressReadAssemblesBitsLsbFirst)
{
    support::attach(scripted({1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}), 0x68);
    EXPECT_EQ(AddressRead(), 0x01);
    EXPECT_EQ(AddressRead(), 0xFF);
    std::string one = writes(cat({{0x48, 0x68}, {0x68, 0x28}, {0x08, 0x28}, {0xA8}, {0x88, 0xA8}, {0xE8}}));
    EXPECT_EQ(support::without_delays(support::link_trace()).substr(0, one.size()), one);
}

TEST_F(Link, AddressWriteSendsAddressLsbFirst)
{
    support::attach(Config{}, 0x68);
    AddressWrite(0xB4);
    // After START and the C2D enable, the INS strobes, then the bits 0,0,1,0,1,1,0,1.
    std::string expected = writes(cat({{0x48, 0x68}, {0xE8, 0xA8}, {0x88, 0xA8, 0x88, 0xA8}, ZERO_BIT, ZERO_BIT,
                                       ONE_BIT, ZERO_BIT, ONE_BIT, ONE_BIT, ZERO_BIT, ONE_BIT, {0xE8},
                                       {0xC8, 0xE8}}));
    EXPECT_EQ(support::link_trace(), expected);
    EXPECT_EQ(harlune_sim::frames(), "AW:B4");
}

// w WAIT strobes: w - 1 samples of 0, then a 1.
std::vector<int> wait_then(int w, std::vector<int> rest = {})
{
    std::vector<int> s(static_cast<size_t>(w - 1), 0);
    s.push_back(1);
    s.insert(s.end(), rest.begin(), rest.end());
    return s;
}

TEST_F(Link, RequestsPerFrame)
{
    for (int w : {1, 2, 7}) {
        SCOPED_TRACE("WAIT strobes " + std::to_string(w));

        support::attach(Config{}, 0x68);
        AddressWrite(0x00);
        EXPECT_EQ(harlune_sim::stats().writes, 35u);
        EXPECT_EQ(harlune_sim::stats().reads, 0u);

        support::attach(scripted(std::vector<int>(8, 0)), 0x68);
        AddressRead();
        EXPECT_EQ(harlune_sim::stats().writes, 28u);
        EXPECT_EQ(harlune_sim::stats().reads, 8u);

        support::attach(scripted(wait_then(w)), 0x68);
        EXPECT_EQ(DataWrite(0, 0x5A), C2_OK);
        EXPECT_EQ(harlune_sim::stats().writes, 42u + 2u * w);
        EXPECT_EQ(harlune_sim::stats().reads, static_cast<uint64_t>(w));

        support::attach(scripted(wait_then(w, std::vector<int>(8, 1))), 0x68);
        uint32_t v;
        EXPECT_EQ(DataRead(0, &v), C2_OK);
        EXPECT_EQ(v, 0xFFu);
        EXPECT_EQ(harlune_sim::stats().writes, 33u + 2u * w);
        EXPECT_EQ(harlune_sim::stats().reads, w + 8u);
        support::detach();
    }
}

// The held Data Read is DataRead's frame when its one WAIT sample shows the
// field ended; when not, the data bits and the STOP go out all the same.
TEST_F(Link, HeldDataReadIsOneFrameWhateverItsWaitShows)
{
    const std::vector<int> a5 = {1, 1, 0, 1, 0, 0, 1, 0, 1}, late = {0, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    uint32_t value = 0;
    support::attach(scripted(a5), 0x68);
    EXPECT_EQ(DataRead(0, &value), C2_OK);
    std::string plain = support::without_delays(support::link_trace());
    support::detach();
    support::attach(scripted(a5), 0x68);
    EXPECT_EQ(DataReadHeld(0, &value, 2), C2_OK);
    EXPECT_EQ(value, 0xA5u);
    EXPECT_EQ(support::without_delays(support::link_trace()), plain);
    support::detach();
    support::attach(scripted(late), 0x68);
    EXPECT_EQ(DataReadHeld(0, &value, 2), C2_LATE);
    std::string t = support::without_delays(support::link_trace());
    EXPECT_EQ(std::count(t.begin(), t.end(), 'R'), 9);  // the WAIT sample, 8 data bits
    EXPECT_EQ(t.substr(t.size() - 7), writes({0x48, 0x68}));  // STOP
}

TEST_F(Link, StrobesAroundTheWaitField)
{
    support::attach(scripted(wait_then(1)), 0x68);
    DataWrite(0, 0x00);
    std::string t = support::without_delays(support::link_trace());
    size_t read = t.find('R');
    ASSERT_NE(read, std::string::npos);
    // A strobe is the pair W48 W68 here (C2D driver off, C2CK low then high).
    auto strobes = [](const std::string &s) {
        size_t n = 0;
        for (size_t p = 0; (p = s.find("W08 W28", p)) != std::string::npos; p += 7)
            ++n;
        for (size_t p = 0; (p = s.find("W88 WA8", p)) != std::string::npos; p += 7)
            ++n;
        for (size_t p = 0; (p = s.find("W48 W68", p)) != std::string::npos; p += 7)
            ++n;
        return n;
    };
    // START, two INS, two LENGTH, eight data bits, then the one WAIT strobe.
    EXPECT_EQ(strobes(t.substr(0, read)), 14u);
    EXPECT_EQ(strobes(t.substr(read)), 1u);  // STOP
}

TEST_F(Link, C2dIsReadInvertedOnBusy)
{
    support::attach(scripted({1, 0}), 0x68);
    EXPECT_EQ(C2D_READ(), 1);
    EXPECT_EQ(C2D_READ(), 0);
    EXPECT_EQ(support::link_trace(), "R78 RF8");
}

TEST_F(Link, FinalResetAndReleaseAfterDataRead)
{
    support::attach(Config{}, 0x68);
    C2CK_reset();
    c2_release();
    EXPECT_EQ(support::without_delays(support::link_trace()), writes({0x60, 0x68, 0x68, 0x78}));
    EXPECT_EQ(dshadow, 0x78);
}

TEST_F(Link, ResetPulseSetsOnlyTheResetBit)
{
    for (uint8_t start : {uint8_t{0x00}, uint8_t{0x20}, uint8_t{0xD0}, uint8_t{0x68}}) {
        support::attach(Config{}, start);
        C2CK_reset();
        EXPECT_EQ(dshadow, start | 0x08);
        support::detach();
    }
}

TEST_F(Link, PrimitivesWriteEvenWhenTheBitIsAlreadySet)
{
    support::attach(Config{}, 0x68);
    C2D_DIS();
    C2D_DIS();
    C2CK_HIGH();
    EXPECT_EQ(support::link_trace(), writes({0x68, 0x68, 0x68}));
}

TEST_F(Link, WaitFieldGivesUpWhenC2dStaysLow)
{
    Config c;
    c.attach = Attach::c2d_low;
    support::attach(c, 0x68);
    uint32_t value = 0x1234;
    EXPECT_EQ(DataRead(0, &value), C2_TIMEOUT);
    EXPECT_EQ(value, 0u);
    // The frame still closes with its STOP and the lines are as after any frame.
    EXPECT_EQ(dshadow, 0x68);
    uint64_t waits = harlune_sim::stats().reads;
    // Each WAIT strobe costs 3 requests of 1 us: about a second's worth.
    EXPECT_GT(waits, C2_WAIT_LIMIT_MS * 1000 / 3 / 2);
    EXPECT_LT(waits, C2_WAIT_LIMIT_MS * 1000 / 3 * 2);
    EXPECT_EQ(DataWrite(0, 0x01), C2_TIMEOUT);
}

TEST_F(Link, UdelaySpinsShortAndSleepsLong)
{
    support::attach(Config{}, 0x68);
    C2D_DIS();
    udelay(1);
    C2D_DIS();
    udelay(40);
    C2D_DIS();
    udelay(20000);
    C2D_DIS();
    EXPECT_EQ(support::link_trace(), "W68 D1 W68 D40 W68 D20000 W68");
    EXPECT_EQ(harlune_sim::stats().sleep_calls, 1u);
    EXPECT_EQ(harlune_sim::stats().sleep_us, 20000u);
}

TEST_F(Link, WatchdogReadsTheClockAroundEachStrobeNeverInside)
{
    Config c;
    c.clock_step_ns = 1000;  // each clock read shows as a 1 us gap
    support::attach(c, 0x68);
    c2_watch_start();
    AddressWrite(0xB4);
    EXPECT_EQ(c2_watch_end(), 0u);

    std::vector<uint8_t> w = cat({{0x48, 0x68}, {0xE8, 0xA8}, {0x88, 0xA8, 0x88, 0xA8}, ZERO_BIT, ZERO_BIT, ONE_BIT,
                                  ZERO_BIT, ONE_BIT, ONE_BIT, ZERO_BIT, ONE_BIT, {0xE8}, {0xC8, 0xE8}});
    // One read right before a strobe's C2CK_LOW, one right after its C2CK_HIGH.
    std::vector<int> gap(w.size() + 1, 0);  // clock reads before write i
    for (size_t i = 0; i < w.size(); ++i)
        if (!(w[i] & 0x20)) {
            ++gap[i];
            ++gap[i + 2];
        }
    std::string expected;
    for (size_t i = 0; i < w.size(); ++i) {
        if (gap[i]) {
            expected += 'D';
            expected += std::to_string(gap[i]);
            expected += ' ';
        }
        expected += writes({w[i]});
        expected += i + 1 < w.size() ? " " : "";
    }
    EXPECT_EQ(support::link_trace(), expected);
}

void hold_us(long us)
{
    struct timespec ts = {0, us * 1000};
    nanosleep(&ts, nullptr);  // virtual: the simulated clock moves on
}

TEST_F(Link, WatchdogSeesHeldPulsesOnly)
{
    struct Case {
        const char *name;
        std::function<void()> between;
        uint64_t stall_ns;  // the Address Read's 3rd strobe held this long
        bool held;
        uint32_t request_ns = 1000;  // the wire low from the middle of one request to the next
    } cases[] = {
        {"back to back", [] {}, 0, false},
        {"delays", [] { udelay(40); udelay(1000); }, 0, false},
        {"held 10 ms with C2CK high", [] { hold_us(10000); }, 0, false},
        {"a strobe held 4 us", [] {}, 2000, false},
        {"a strobe held 8 us", [] {}, 6000, true},
        {"3 us requests", [] {}, 0, false, 3000},
        {"3 us requests, a strobe low 4.5 us", [] {}, 1500, false, 3000},
        {"3 us requests, a strobe low 5 us", [] {}, 2000, true, 3000},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.stall_ns = k.stall_ns;
        c.stall_at = {12 + 3};
        c.request_ns = k.request_ns;
        support::attach(c, 0x68);
        c2_watch_floor(port_request_floor());
        c2_watch_start();
        AddressWrite(0x00);
        k.between();
        AddressRead();
        EXPECT_EQ(c2_watch_held() != 0, k.held);
        EXPECT_EQ(c2_watch_end() != 0, k.held);
        EXPECT_EQ(c2_watch_held(), 0u);  // the next sequence starts afresh
        support::detach();
    }
}

// A target that never ends the WAIT field: a hold before or early in it may
// be what silenced the target, so the field is given up at once; after
// hundreds of silent strobes the field runs to its time-out, and the watch
// still tells of the hold.
TEST_F(Link, WaitFieldAndTheWatchdog)
{
    struct Case {
        const char *name;
        long hold_before_us;
        uint64_t stall_strobe;  // counted from the Address Write's START
        int result;
        uint64_t max_reads;
        bool held;
    } cases[] = {
        {"a hold between the frames, a stall in the 1st WAIT strobe", 50, 12 + 5 + 1, C2_DISTURBED, 1, true},
        {"stall in the 10th WAIT strobe", 0, 12 + 5 + 10, C2_DISTURBED, 12, true},
        {"stall in the 1000th WAIT strobe", 0, 12 + 5 + 1000, C2_TIMEOUT, UINT64_MAX, true},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.attach = Attach::c2d_low;
        if (k.stall_strobe) {
            c.stall_ns = 100000;
            c.stall_at = {k.stall_strobe};
        }
        support::attach(c, 0x68);
        c2_watch_start();
        AddressWrite(0xB4);
        hold_us(k.hold_before_us);
        uint32_t value = 7;
        EXPECT_EQ(DataRead(0, &value), k.result);
        EXPECT_EQ(value, 0u);
        EXPECT_LE(harlune_sim::stats().reads, k.max_reads);
        EXPECT_EQ(dshadow, 0x68);  // closed with its STOP
        EXPECT_EQ(c2_watch_end() != 0, k.held);
        support::detach();
    }
}

// Each C2_PROG_DEV form goes to its port: the FTDI prefix, else a colon,
// else the parallel port; a port added through the seam is asked first.
TEST(PortSeam, EachFormTakenByItsPort)
{
    struct {
        const char *device;
        const PortOps *port;
    } cases[] = {
        {"ftdi:ck=0,d=1", &ftdi_port}, {"ftdi:0403:6014:ck=0,d=1", &ftdi_port}, {"ftdi:", &ftdi_port},
        {"/dev/gpiochip0:ck=17,d=27", &gpio_port}, {"gpiochip0:ck=GPIO17,d=GPIO27", &gpio_port},
        {"FTDI:ck=0,d=1", &gpio_port}, {"xftdi:ck=0,d=1", &gpio_port}, {":", &gpio_port},
        {"/dev/parport0", &ppdev_port}, {"ftdi", &ppdev_port}, {"", &ppdev_port},
    };
    for (const auto &k : cases)
        EXPECT_STREQ(port_taking(k.device)->name, k.port->name) << k.device;
}

// A port added through the seam (as the benchmark's counting port) carries
// every request of the link; it is timed at the claim and closed once.
TEST(PortSeam, AddedPortCarriesTheLink)
{
    static std::string requests;
    static unsigned closes;
    static const PortOps recording = {
        .name = "recording",
                .request_noun = "port",
            .takes = [](const char *device) { return std::string(device) == "test:recording"; },
        .parse = [](const char *, PortProblem *) { return 0; },
        .open = [](PortProblem *) { return 0; },
        .claim = [](PortProblem *) { return 0; },
        .write_data = [](uint8_t v) { requests += support::writes({v}) + " "; },
        .read_status = []() -> uint8_t { requests += "R "; return 0x00; },
        .close = [] { ++closes; },
                    };
    port_add(&recording);
    EXPECT_STREQ(port_taking("/dev/parport0")->name, ppdev_port.name);
    PortProblem problem;
    ASSERT_EQ(port_open("test:recording", &problem), 0);
    ASSERT_EQ(port_claim(&problem), 0);
    port_request_floor();
    dshadow = 0x00;
    c2_open();
    uint8_t bits = 0;
    C2D_READ_INTO(&bits, 0x04);
    EXPECT_EQ(bits, 0x04);
    EXPECT_EQ(requests, "R R R R R R R R R W20 W20 R ");
    port_close();
    port_close();
    EXPECT_EQ(closes, 1u);
}

// The data-register byte as the lines of a port that drives them itself.
TEST(LineRoles, DataRegisterByteAsLines)
{
    const unsigned bit[ROLE_COUNT] = {6, 2, 4};  // ck, d, rst: anywhere on a bus
    const uint32_t ck = 1u << 6, d = 1u << 2, rst = 1u << 4;
    struct {
        uint8_t data;
        bool has_rst;
        uint32_t driven, high;
        bool ck_low;
    } cases[] = {
        {0x00, false, ck | d, 0, true},   // reset active: C2CK driven low
        {0x00, true, d | rst, 0, true},   // ... by the reset line, C2CK an input
        {0x20, true, d | rst, 0, true},   // C2CK's level has no say in a reset
        {0x28, true, ck | d, ck, false},  // C2CK driven high, C2D low
        {0x08, false, ck | d, 0, true},   // a strobe's low
        {0xE8, false, ck, ck, false},     // C2D's driver off: its level has no say
        {0x98, true, d, d, false},        // C2CK released, C2D driven high
        {0x78, false, 0, 0, false},       // both released
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int{k.data} << (k.has_rst ? " with rst" : ""));
        LineMasks m = line_masks(k.data, bit, k.has_rst);
        EXPECT_EQ(m.driven, k.driven);
        EXPECT_EQ(m.high, k.high);
        EXPECT_EQ(m.ck_low, k.ck_low);
    }
}

TEST(Deadline, ReadsTheClockOnlyEveryStride)
{
    c2_deadline d;
    c2_deadline_start(&d, 0);
    // Limit 0: the first clock read starts it, the next one ends it.
    for (uint32_t i = 1; i < 2 * C2_DEADLINE_STRIDE; ++i)
        EXPECT_FALSE(c2_deadline_passed(&d)) << i;
    EXPECT_TRUE(c2_deadline_passed(&d));
}

}  // namespace
