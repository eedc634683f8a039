// Target start-up, polls and flash commands against the simulated target,
// checked frame by frame and in the simulated flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "c2.h"
#include "fpi.h"
#include "support.h"

using harlune_sim::Attach;
using harlune_sim::Config;
using harlune_sim::Refusal;
using support::count;
using support::values;
using V = std::vector<uint32_t>;

namespace {

class Fpi : public ::testing::Test {
protected:
    // Attach, bring the target up and forget the start-up frames.
    void start(Config c = {})
    {
        support::attach(c);
        c2_open();
        ASSERT_EQ(c2_init(), 0);
        ASSERT_TRUE(harlune_sim::programming_mode());
        mark = support::frames().size();
    }
    std::vector<support::Frame> command_frames()
    {
        auto all = support::frames();
        return {all.begin() + static_cast<long>(mark), all.end()};
    }
    void TearDown() override { support::detach(); }
    size_t mark = 0;
};

TEST_F(Fpi, InitResetsAndEntersProgrammingMode)
{
    support::attach(Config{});
    c2_open();
    EXPECT_EQ(c2_init(), 0);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:02 DW:02 DW:01");
    EXPECT_TRUE(harlune_sim::programming_mode());
    EXPECT_EQ(harlune_sim::stats().sleep_us, 20000u);
    EXPECT_TRUE(harlune_sim::faults().empty());
}

TEST_F(Fpi, DeviceIdIsAnUnsignedByte)
{
    Config c;
    c.device_id = 0xF9;
    start(c);
    EXPECT_EQ(c2_device_id(), 0xF9);
}

TEST_F(Fpi, StartupReportsATargetThatNeverEndsWait)
{
    Config c;
    c.attach = Attach::c2d_low;
    support::attach(c);
    c2_open();
    EXPECT_EQ(c2_init(), -1);
    EXPECT_EQ(c2_device_id(), -1);
}

TEST_F(Fpi, PollsStopOnTheirOwnFlag)
{
    auto samples = [](std::initializer_list<uint8_t> statuses) {
        std::vector<int> s;
        for (uint8_t st : statuses) {
            auto b = support::status_samples(st);
            s.insert(s.end(), b.begin(), b.end());
        }
        return s;
    };
    struct Case {
        bool in_busy;
        std::initializer_list<uint8_t> statuses;
        uint64_t polls;
    } cases[] = {
        {true, {0x00}, 1}, {true, {0x01}, 1}, {true, {0x03, 0x02, 0x00}, 3},
        {false, {0x01}, 1}, {false, {0x03}, 1}, {false, {0x00, 0x02, 0x03}, 3},
    };
    for (const Case &k : cases) {
        Config c;
        c.attach = Attach::scripted;
        c.samples = samples(k.statuses);
        support::attach(c, 0x68);
        EXPECT_EQ(k.in_busy ? c2_wait_in_busy() : c2_wait_out_ready(), 0);
        EXPECT_EQ(harlune_sim::stats().reads, 8 * k.polls);
        support::detach();
    }
}

TEST_F(Fpi, BlockWriteExchange)
{
    start();
    uint8_t data[3] = {0x12, 0x34, 0x56};
    testing::internal::CaptureStdout();
    EXPECT_EQ(c2_block_write(300, data, 3), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "#");

    auto f = command_frames();
    EXPECT_EQ(values(f, "AW"), V({0xB4}));
    EXPECT_EQ(values(f, "DW"), V({0x07, 0x01, 0x2C, 0x03, 0x12, 0x34, 0x56}));
    EXPECT_EQ(values(f, "DR"), V({0x0D, 0x0D}));
    // n + 4 in-busy polls and 3 out-ready polls, each answered at once.
    EXPECT_EQ(count(f, "AR"), 3u + 4u + 3u);
    EXPECT_EQ(f.back().kind, "AR");
    EXPECT_EQ(harlune_sim::flash()[300], 0x12);
    EXPECT_EQ(harlune_sim::flash()[302], 0x56);
    EXPECT_EQ(harlune_sim::flash()[303], 0xFF);
    EXPECT_TRUE(harlune_sim::faults().empty());
}

TEST_F(Fpi, BlockReadExchange)
{
    start();
    for (size_t i = 0; i < 256; ++i)
        harlune_sim::flash()[0x3E00 + i] = static_cast<uint8_t>(i ^ 0x5A);
    uint8_t buf[256] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(c2_block_read(0x3E00, buf, 256), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "#");
    for (size_t i = 0; i < 256; ++i)
        ASSERT_EQ(buf[i], static_cast<uint8_t>(i ^ 0x5A)) << i;

    auto f = command_frames();
    EXPECT_EQ(values(f, "DW"), V({0x06, 0x3E, 0x00, 0x00}));
    EXPECT_EQ(count(f, "DR"), 256u + 2u);
    EXPECT_EQ(count(f, "AR"), 4u + 256u + 2u);
    EXPECT_EQ(f.back().kind, "DR");  // nothing awaited after the last byte
}

TEST_F(Fpi, OneByteBlockSendsLengthOne)
{
    start();
    uint8_t b = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(c2_block_read(0, &b, 1), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(values(command_frames(), "DW"), V({0x06, 0x00, 0x00, 0x01}));
    EXPECT_EQ(b, 0xFF);
}

TEST_F(Fpi, FlashOnlyClearsBitsUntilErased)
{
    start();
    uint8_t a = 0xF0, b = 0x3C;
    testing::internal::CaptureStdout();
    c2_block_write(10, &a, 1);
    c2_block_write(10, &b, 1);
    EXPECT_EQ(harlune_sim::flash()[10], 0x30);
    EXPECT_EQ(c2_device_erase(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "##");
    EXPECT_EQ(harlune_sim::flash()[10], 0xFF);

    auto f = command_frames();
    V dw = values(f, "DW");
    EXPECT_EQ(V(dw.end() - 4, dw.end()), V({0x03, 0xDE, 0xAD, 0xA5}));
    EXPECT_EQ(f.back().kind, "AR");
    EXPECT_TRUE(harlune_sim::faults().empty());
}

TEST_F(Fpi, PageEraseClearsOnePage)
{
    start();
    uint8_t zero[256] = {};
    testing::internal::CaptureStdout();
    for (int32_t a = 0; a < 1536; a += 256)
        c2_block_write(a, zero, 256);
    EXPECT_EQ(c2_page_erase(1), 0);
    testing::internal::GetCapturedStdout();
    auto &fl = harlune_sim::flash();
    EXPECT_EQ(fl[511], 0x00);
    EXPECT_EQ(fl[512], 0xFF);
    EXPECT_EQ(fl[1023], 0xFF);
    EXPECT_EQ(fl[1024], 0x00);
}

struct RefusalCase {
    uint8_t command;
    unsigned point;
    const char *message;
};

std::string refusal_name(const ::testing::TestParamInfo<RefusalCase> &p)
{
    // "block_write_status2": the command's name from its message, then the refused status.
    std::string m = p.param.message;
    size_t at = m.rfind(" in c2_") + 7;
    return m.substr(at, m.size() - 1 - at) + "_status" + std::to_string(p.param.point);
}

class Refused : public Fpi, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refused, StopsAtTheRefusedStatus)
{
    const RefusalCase &k = GetParam();
    Config c;
    c.refusals = {Refusal{k.command, 1, k.point, 0x02}};
    start(c);
    uint8_t buf[4] = {1, 2, 3, 4};
    int rc = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    switch (k.command) {
    case C2_BLOCK_WRITE: rc = c2_block_write(0, buf, 4); break;
    case C2_BLOCK_READ: rc = c2_block_read(0, buf, 4); break;
    case C2_PAGE_ERASE: rc = c2_page_erase(0); break;
    case C2_DEVICE_ERASE: rc = c2_device_erase(); break;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), k.message);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no progress mark
    EXPECT_EQ(rc, -1);

    auto f = command_frames();
    // Nothing follows the refused status.
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(f.back().kind, "DR");
    EXPECT_EQ(f.back().value, 0x02u);
    EXPECT_EQ(count(f, "DW"), k.point == 1 ? 1u : (k.command == C2_PAGE_ERASE ? 2u : 4u));
    EXPECT_EQ(harlune_sim::flash()[0], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Fpi, Refused,
    ::testing::Values(
        RefusalCase{C2_BLOCK_WRITE, 1, "Status1 0x02 instead of 0x0d in c2_block_write\n"},
        RefusalCase{C2_BLOCK_WRITE, 2, "Status2 0x02 instead of 0x0d in c2_block_write\n"},
        RefusalCase{C2_BLOCK_READ, 1, "Status1 0x02 instead of 0x0d in c2_block_read\n"},
        RefusalCase{C2_BLOCK_READ, 2, "Status2 0x02 instead of 0x0d in c2_block_read\n"},
        RefusalCase{C2_PAGE_ERASE, 1, "Status1 0x02 instead of 0x0d in c2_page_erase\n"},
        RefusalCase{C2_PAGE_ERASE, 2, "Status2 0x02 instead of 0x0d in c2_page_erase\n"},
        RefusalCase{C2_DEVICE_ERASE, 1, "Status1 0x02 instead of 0x0d in c2_device_erase\n"}),
    refusal_name);

TEST_F(Fpi, SlowTargetStillTransfersExactly)
{
    Config c;
    c.wait_strobes = 5;
    c.busy_polls = 3;
    c.ready_polls = 2;
    start(c);
    std::vector<uint8_t> data = support::random_bytes(256, 7), back(256);
    testing::internal::CaptureStdout();
    EXPECT_EQ(c2_block_write(0x100, data.data(), 256), 0);
    EXPECT_EQ(c2_block_read(0x100, back.data(), 256), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(back, data);
    EXPECT_TRUE(harlune_sim::faults().empty());
}

TEST_F(Fpi, RandomTimingStillTransfersExactly)
{
    Config c;
    c.seed = 12345;
    start(c);
    std::vector<uint8_t> data = support::random_bytes(200, 9), back(200);
    testing::internal::CaptureStdout();
    EXPECT_EQ(c2_device_erase(), 0);
    EXPECT_EQ(c2_block_write(0x2000, data.data(), 200), 0);
    EXPECT_EQ(c2_block_read(0x2000, back.data(), 200), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(back, data);
    EXPECT_TRUE(harlune_sim::faults().empty());
}

// Every operation with the host held up 100 us inside one strobe in its
// middle: the target resets, the operation is redone from a fresh start-up
// and ends exactly as an undisturbed one, after one note on stderr.
TEST_F(Fpi, DisturbedOperationsAreRedoneFromAFreshStartUp)
{
    std::vector<uint8_t> data = support::random_bytes(256, 21), back(256);
    auto &fl = harlune_sim::flash();
    auto region = [&](size_t from, size_t n) { return std::vector<uint8_t>(fl.begin() + from, fl.begin() + from + n); };
    struct Case {
        const char *name;
        std::function<void()> prepare;
        std::function<int()> op;
        std::function<void()> check;
    } cases[] = {
        {"block write at 0x0200", [] {}, [&] { return c2_block_write(0x200, data.data(), 256); },
         [&] { EXPECT_EQ(region(0x200, 256), data); }},
        {"block read at 0x0200", [&] { std::copy(data.begin(), data.end(), fl.begin() + 0x200); },
         [&] { return c2_block_read(0x200, back.data(), 256); }, [&] { EXPECT_EQ(back, data); }},
        {"page erase of page 1", [&] { std::fill(fl.begin(), fl.end(), 0x00); }, [] { return c2_page_erase(1); },
         [&] { EXPECT_EQ(region(0x200, 512), std::vector<uint8_t>(512, 0xFF)); EXPECT_EQ(fl[0x1FF], 0x00); }},
        {"device erase", [&] { std::fill(fl.begin(), fl.end(), 0x00); }, [] { return c2_device_erase(); },
         [&] { EXPECT_EQ(region(0, fl.size()), std::vector<uint8_t>(fl.size(), 0xFF)); }},
        {"device id read", [] {}, [] { return c2_device_id() == 0x09 ? 0 : -1; }, [] {}},
        {"start-up", [] {}, [] { return c2_init(); }, [] { EXPECT_TRUE(harlune_sim::programming_mode()); }},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        // A clean run tells which strobes the operation takes.
        start();
        k.prepare();
        uint64_t first = harlune_sim::stats().strobes;
        testing::internal::CaptureStdout();
        ASSERT_EQ(k.op(), 0);
        std::string clean_out = testing::internal::GetCapturedStdout();
        uint64_t last = harlune_sim::stats().strobes, clean_writes = harlune_sim::stats().data_writes;
        support::detach();

        Config c;
        c.stall_ns = 100000;
        c.stall_at = {(first + last) / 2};
        start(c);
        k.prepare();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(k.op(), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), clean_out);  // one progress mark, as ever
        EXPECT_EQ(err, "harlune: " + std::string(k.name) +
                           " redone 1 time: C2 clock pulses were held low up to 103 us, which may reset the target\n");
        // A write goes on from its first wrong byte, never from the start.
        EXPECT_LT(harlune_sim::stats().data_writes, clean_writes + 2 * C2_REPAIR_PIECE);
        EXPECT_EQ(harlune_sim::stats().stalls, 1u);
        EXPECT_EQ(harlune_sim::stats().unplanned_resets, 1u);
        EXPECT_TRUE(harlune_sim::faults().empty()) << harlune_sim::faults().front();
        k.check();
        support::detach();
    }
}

// A target that never answers, held up late in its first WAIT field: the
// hold might have been what silenced it, so the start-up is redone once; the
// second time-out stands (and the front end says nothing answers).
TEST_F(Fpi, ATimeOutAfterAHoldIsRedoneOnceThenStands)
{
    Config c;
    c.attach = Attach::c2d_low;
    c.stall_ns = 100000;
    c.stall_at = {12 + 13 + 1000};  // Address Write, Data Write up to WAIT, 1000 WAIT strobes
    support::attach(c);
    c2_open();
    testing::internal::CaptureStderr();
    EXPECT_EQ(c2_init(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "harlune: start-up redone 1 time: C2 clock pulses were held low up to 103 us, which may "
                   "reset the target\n");
    EXPECT_EQ(harlune_sim::stats().stalls, 1u);
}

struct StuckCase {
    void (*configure)(Config &);
    const char *message;
};

std::string stuck_name(const ::testing::TestParamInfo<StuckCase> &p)
{
    static const char *const kinds[] = {"in_busy_frozen", "out_ready_frozen", "c2d_low", "detached"};
    return kinds[p.index];
}

class Stuck : public Fpi, public ::testing::WithParamInterface<StuckCase> {};

TEST_P(Stuck, GivesUpWithOneLine)
{
    Config c;
    GetParam().configure(c);
    support::attach(c);
    c2_open();
    c2_init();
    uint8_t buf[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(c2_block_read(0, buf, 8), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Fpi, Stuck,
    ::testing::Values(
        StuckCase{[](Config &c) { c.freeze_busy = true; },
                  "Timed out waiting for in-busy to clear in c2_block_read\n"},
        StuckCase{[](Config &c) { c.freeze_ready = true; },
                  "Timed out waiting for out-ready in c2_block_read\n"},
        StuckCase{[](Config &c) { c.attach = Attach::c2d_low; },
                  "Timed out waiting for the WAIT field of a data frame in c2_block_read\n"},
        StuckCase{[](Config &c) { c.attach = Attach::detached; },
                  "Timed out waiting for in-busy to clear in c2_block_read\n"}),
    stuck_name);

}  // namespace
