// The target model: programming mode, the FPDAT handshake and the flash
// commands, exchanged byte by byte over real frames.
#include <gtest/gtest.h>

#include "host.h"

using harlune_sim::Config;
using harlune_sim::Refusal;
using simtest::Host;

namespace {

using simtest::kAccepted;
using simtest::kFpdat;
using simtest::Programmer;

TEST(Target, ProgrammingModeNeedsTheControlSequenceAfterReset)
{
    Host h;
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x02);
    h.data_write(0x01);  // wrong order
    h.data_write(0x02);
    h.data_write(0x01);
    EXPECT_FALSE(harlune_sim::programming_mode());
    h.enter_programming();
    EXPECT_TRUE(harlune_sim::programming_mode());
    h.reset_pulse();
    EXPECT_FALSE(harlune_sim::programming_mode());
    EXPECT_EQ(harlune_sim::frames(),
              "RESET AW:02 DW:01 DW:02 DW:01 RESET AW:02 DW:02 DW:01 RESET");
}

TEST(Target, ProgrammingKeys)
{
    struct Case {
        std::vector<uint32_t> writes;  // to register 0x02, right after a reset
        bool on;
    };
    const Case cases[] = {
        {{0x02, 0x01}, true},
        {{0x02, 0x04, 0x01}, true},
        {{0x04, 0x01}, false},
        {{0x02, 0x04, 0x04, 0x01}, false},
        {{0x02, 0x02, 0x01}, false},
        {{0x02, 0x04}, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::PrintToString(k.writes));
        Host h;
        h.open_lines();
        h.reset_pulse();
        h.address_write(0x02);
        for (uint32_t w : k.writes)
            h.data_write(w);
        EXPECT_EQ(harlune_sim::programming_mode(), k.on);
    }
}

TEST(Target, DeviceIdAndStatusReads)
{
    Config c;
    c.device_id = 0xE7;
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x00);
    uint32_t id = 0;
    ASSERT_TRUE(h.data_read(id));
    EXPECT_EQ(id, 0xE7u);
    EXPECT_EQ(h.address_read(), 0x00) << "no flags outside programming mode";
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:00 DR:E7 AR:00");
}

TEST(Target, FpdatNeedsProgrammingModeAndItsSettleTime)
{
    {
        Host h;
        h.open_lines();
        h.reset_pulse();
        h.address_write(kFpdat);
        h.data_write(0x06);
        uint32_t v = 0xFF;
        h.data_read(v);
        EXPECT_EQ(v, 0u);
        EXPECT_EQ(h.address_read(), 0x00) << "the write was ignored";
        EXPECT_EQ(simtest::faults_with("FPDAT accessed outside programming mode"), 2u);
    }
    {
        Host h;
        h.open_lines();
        h.reset_pulse();
        h.address_write(0x02);
        h.data_write(0x02);
        h.data_write(0x01);
        usleep(1000);  // too short
        h.address_write(kFpdat);
        h.data_write(0x06);
        EXPECT_EQ(simtest::faults_with("after programming mode was switched on (20 ms needed)"), 1u)
            << simtest::all_faults();
    }
}

TEST(Target, BusyAndReadyPolls)
{
    Config c;
    c.busy_polls = 3;
    c.ready_polls = 2;
    Programmer p(c);
    p.address_write(kFpdat);
    p.data_write(0x06);
    // Three polls still busy, the fourth takes the byte; the status it offers
    // shows after two more polls.
    EXPECT_EQ(p.address_read(), 0x02);
    EXPECT_EQ(p.address_read(), 0x02);
    EXPECT_EQ(p.address_read(), 0x02);
    EXPECT_EQ(p.address_read(), 0x00);
    EXPECT_EQ(p.address_read(), 0x00);
    EXPECT_EQ(p.address_read(), 0x01);
    EXPECT_EQ(p.get(), kAccepted);
    EXPECT_EQ(p.address_read(), 0x00) << "out-ready clears when read";
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

// Response times run on the target's clock: a host twice as slow samples
// half as often before the same answer.
TEST(Target, ResponseTimesRunOnTheTargetsClock)
{
    unsigned waits[2], polls[2];
    for (int slow = 0; slow < 2; ++slow) {
        Config c;
        c.request_ns = 1000u << slow;
        c.wait_time = {60000, 60000};
        c.busy_time = {400000, 400000};
        Programmer p(c);
        p.address_write(kFpdat);
        p.data_write(0x06);
        waits[slow] = p.last_wait();
        polls[slow] = static_cast<unsigned>(p.wait_in_busy());
        EXPECT_EQ(p.wait_out_ready(), 1);
        EXPECT_EQ(p.get(), kAccepted);
        EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
    }
    EXPECT_GE(waits[0], 20u) << "a WAIT strobe is 3 us: 60 us of WAIT take 20";
    EXPECT_NEAR(waits[0], 2 * waits[1], 2);
    EXPECT_GE(polls[0], 4u);
    EXPECT_NEAR(polls[0], 2 * polls[1], 2);
}

TEST(Target, ZeroPollsShowAtTheNextPoll)
{
    Programmer p;
    p.address_write(kFpdat);
    p.data_write(0x06);
    EXPECT_EQ(p.address_read(), 0x01) << "taken, and its status offered at once";
}

TEST(Target, HandshakeViolations)
{
    Config c;
    c.busy_polls = 2;
    Programmer p(c);
    p.address_write(kFpdat);
    p.data_write(0x06);
    p.data_write(0x07);  // still in-busy
    EXPECT_EQ(simtest::faults_with("FPDAT written while in-busy (0x07 lost)"), 1u);
    uint32_t v = 0;
    p.data_read(v);  // nothing offered yet
    EXPECT_EQ(simtest::faults_with("FPDAT read while out-ready is clear"), 1u);
    EXPECT_EQ(p.wait_in_busy(), 3);
    EXPECT_EQ(p.get(), kAccepted) << "the first byte was the command";
    EXPECT_EQ(harlune_sim::stats().block_reads, 1u);
    EXPECT_EQ(harlune_sim::stats().block_writes, 0u);
}

TEST(Target, BlockWriteThenReadBack)
{
    Programmer p;
    std::vector<uint8_t> data = {0x11, 0x22, 0x33, 0x44, 0x55};
    ASSERT_TRUE(p.block_write(0x012C, data));  // address 300
    EXPECT_EQ(p.get(), kAccepted) << "final status";
    EXPECT_EQ(std::vector<uint8_t>(harlune_sim::flash().begin() + 300,
                                   harlune_sim::flash().begin() + 305),
              data);
    EXPECT_EQ(harlune_sim::flash()[299], 0xFF);
    EXPECT_EQ(harlune_sim::flash()[305], 0xFF);
    EXPECT_EQ(p.block_read(0x012B, 7),
              (std::vector<uint8_t>{0xFF, 0x11, 0x22, 0x33, 0x44, 0x55, 0xFF}));
    EXPECT_EQ(harlune_sim::stats().block_writes, 1u);
    EXPECT_EQ(harlune_sim::stats().block_reads, 1u);
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Target, BlockWriteExchangeFrameByFrame)
{
    Programmer p;
    size_t start = harlune_sim::frames().size();
    ASSERT_TRUE(p.block_write(0x3E00, {0xA5}));
    EXPECT_EQ(harlune_sim::frames().substr(start),
              " AW:B4 DW:07 AR:01 AR:01 DR:0D DW:3E AR:00 DW:00 AR:00 DW:01 AR:01 AR:01 DR:0D"
              " DW:A5 AR:01 AR:01");
    EXPECT_EQ(harlune_sim::flash()[0x3E00], 0xA5);
}

TEST(Target, LengthByteZeroMoves256Bytes)
{
    Programmer p;
    std::vector<uint8_t> data(256);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i ^ 0x5A);
    ASSERT_TRUE(p.block_write(0x0100, data));
    EXPECT_EQ(p.block_read(0x0100, 0), data);
    EXPECT_EQ(harlune_sim::flash()[0x0200], 0xFF);
}

TEST(Target, ProgrammingOnlyClearsBits)
{
    Programmer p;
    ASSERT_TRUE(p.block_write(0x10, {0xF0, 0x0F}));
    ASSERT_TRUE(p.block_write(0x10, {0x3C, 0xFF}));
    EXPECT_EQ(p.block_read(0x10, 2), (std::vector<uint8_t>{0x30, 0x0F}));
}

TEST(Target, BlocksBeyondTheFlashAreRefused)
{
    Config c;
    c.flash_size = 0x4000;
    Programmer p(c);
    EXPECT_EQ(p.block_head(0x06, 0x3F00, 0), kAccepted) << "up to the last byte";
    for (int i = 0; i < 256; ++i)
        p.get();
    EXPECT_EQ(p.block_head(0x07, 0x3FFF, 2), 0x02);
    EXPECT_EQ(p.block_head(0x06, 0x3FFF, 1), kAccepted) << "idle again after the refusal";
}

TEST(Target, PageErase)
{
    Config c;
    c.page_size = 512;
    Programmer p(c);
    std::fill(harlune_sim::flash().begin(), harlune_sim::flash().end(), uint8_t{0x00});
    ASSERT_EQ(p.head(0x08), kAccepted);
    p.put(2);
    ASSERT_EQ(p.get(), kAccepted);
    p.put(0x00);
    EXPECT_GT(p.wait_out_ready(), 0);
    const std::vector<uint8_t>& f = harlune_sim::flash();
    EXPECT_EQ(f[1023], 0x00);
    EXPECT_EQ(f[1024], 0xFF);
    EXPECT_EQ(f[1535], 0xFF);
    EXPECT_EQ(f[1536], 0x00);
    EXPECT_EQ(harlune_sim::stats().page_erases, 1u);

    // A page beyond the flash, and an erase without its 0x00 byte.
    ASSERT_EQ(p.head(0x08), kAccepted);
    p.put(32);
    EXPECT_EQ(p.get(), 0x02);
    ASSERT_EQ(p.head(0x08), kAccepted);
    p.put(0);
    ASSERT_EQ(p.get(), kAccepted);
    p.put(0x01);
    EXPECT_EQ(f[0], 0x00);
    EXPECT_EQ(simtest::faults_with("page erase confirmed with 0x01 instead of 0x00"), 1u);
}

TEST(Target, DeviceEraseNeedsTheArmingBytes)
{
    Config c;
    c.erase_polls = 5;
    Programmer p(c);
    std::fill(harlune_sim::flash().begin(), harlune_sim::flash().end(), uint8_t{0x12});
    ASSERT_EQ(p.head(0x03), kAccepted);
    p.put(0xDE);
    p.put(0xA5);
    EXPECT_EQ(simtest::faults_with("device erase armed with 0xA5 instead of 0xAD"), 1u);
    EXPECT_EQ(harlune_sim::flash()[0], 0x12);

    ASSERT_EQ(p.head(0x03), kAccepted);
    p.put(0xDE);
    p.put(0xAD);
    p.data_write(0xA5);
    EXPECT_EQ(p.wait_in_busy(), 1);
    EXPECT_EQ(p.wait_out_ready(), 5) << "the erase takes its extra polls";
    EXPECT_EQ(p.get(), kAccepted);
    for (uint8_t b : harlune_sim::flash())
        ASSERT_EQ(b, 0xFF);
    EXPECT_EQ(harlune_sim::stats().device_erases, 2u);
}

TEST(Target, RefusalsAtFirstAndSecondStatus)
{
    Config c;
    c.refusals = {Refusal{0x07, 2, 1, 0x44}, Refusal{0x06, 1, 2, 0x00}};
    Programmer p(c);
    EXPECT_TRUE(p.block_write(0, {0x01}));
    EXPECT_EQ(p.head(0x07), 0x44) << "second block write, first status";
    EXPECT_EQ(p.block_head(0x06, 0, 1), 0x00) << "first block read, second status";
    EXPECT_TRUE(p.block_write(1, {0x02})) << "idle after each refusal";
    EXPECT_EQ(p.block_read(0, 2), (std::vector<uint8_t>{0x01, 0x02}));
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Target, UnknownCommandAnswersZero)
{
    Programmer p;
    EXPECT_EQ(p.head(0x55), 0x00);
    EXPECT_EQ(p.block_read(0, 1), std::vector<uint8_t>{0xFF}) << "and the target is idle";
}

TEST(Target, NewCommandDropsAnUnreadStatusButNotAPendingOne)
{
    Config c;
    c.busy_polls = 1;
    Programmer p(c);
    ASSERT_TRUE(p.block_write(0, {0x00}));  // final status left unread
    EXPECT_EQ(p.address_read(), 0x01);
    p.data_write(0x06);
    EXPECT_EQ(p.address_read(), 0x02) << "out-ready gone with the new command";
    EXPECT_EQ(p.address_read(), 0x01);
    EXPECT_EQ(p.get(), kAccepted);
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();

    // That block read goes on: address, length, then its second status.
    p.put(0x00);
    p.put(0x00);
    p.put(0x01);
    // The second status waits to be read; writing instead is a fault.
    p.put(0x06);
    EXPECT_EQ(simtest::faults_with("FPDAT byte 0x06 written while the target's byte 0x0D waits"), 1u)
        << simtest::all_faults();
}

TEST(Target, FrozenFlagsNeverChange)
{
    Config c;
    c.freeze_busy = true;
    Programmer busy(c);
    busy.address_write(kFpdat);
    busy.data_write(0x06);
    EXPECT_EQ(busy.wait_in_busy(200), -1);

    c.freeze_busy = false;
    c.freeze_ready = true;
    Programmer ready(c);
    ready.address_write(kFpdat);
    ready.data_write(0x06);
    EXPECT_EQ(ready.wait_in_busy(), 1);
    EXPECT_EQ(ready.wait_out_ready(200), -1);
}

TEST(Target, SeededTimingIsDeterministicAndStillCorrect)
{
    auto run = [](uint32_t seed) {
        Config c;
        c.seed = seed;
        Programmer p(c);
        std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_TRUE(p.block_write(0x40, data));
        EXPECT_EQ(p.block_read(0x40, 8), data);
        EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
        return harlune_sim::trace();
    };
    std::string a = run(7);
    EXPECT_EQ(run(7), a);
    EXPECT_NE(run(8), a);
    EXPECT_NE(run(0), a);
}

}  // namespace
