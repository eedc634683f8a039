// The C2 frame decoder, driven by data-register writes as a host makes them.
#include <gtest/gtest.h>

#include "host.h"

using harlune_sim::Attach;
using harlune_sim::Config;
using simtest::Host;

namespace {

Config scripted(std::vector<int> samples)
{
    Config c;
    c.attach = Attach::scripted;
    c.samples = std::move(samples);
    return c;
}

TEST(Wire, StartUpSequenceDecodesToResetAndAddressWrite)
{
    Host h;
    const std::vector<uint8_t> bytes = {
        0x20, 0x20,                                      // C2CK high, driver on
        0x20,                                            // reset active ...
    };
    for (uint8_t b : bytes)
        simtest::write_data(h.fd(), b);
    usleep(40);
    simtest::write_data(h.fd(), 0x28);                  // ... released
    usleep(3);
    std::vector<uint8_t> frame = {0x08, 0x28, 0xA8, 0xA8, 0x88, 0xA8, 0x88, 0xA8,
                                  0x28, 0x08, 0x28, 0xA8, 0x88, 0xA8};
    for (int i = 0; i < 6; ++i)
        frame.insert(frame.end(), {0x28, 0x08, 0x28});
    frame.insert(frame.end(), {0x68, 0x48, 0x68});
    for (uint8_t b : frame)
        simtest::write_data(h.fd(), b);

    EXPECT_EQ(harlune_sim::frames(), "RESET AW:02");
    EXPECT_EQ(harlune_sim::trace().substr(0, 36), "C W20 W20 W20 D40 W28 D3 W08 W28 WA8");
    EXPECT_EQ(harlune_sim::stats().resets, 1u);
    EXPECT_EQ(harlune_sim::stats().address_writes, 1u);
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Wire, AddressWritePutsAddressBitsOnC2dLsbFirst)
{
    Host h;
    h.open_lines();
    h.reset_pulse();
    h.address_write(0xB4);
    h.address_write(0x00);
    h.address_write(0xFF);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:B4 AW:00 AW:FF");
    EXPECT_EQ(harlune_sim::stats().writes, 2u + 2u + 3u * 35u);
}

TEST(Wire, DataFramesWithTargetWaitOfSeveralStrobes)
{
    Config c;
    c.wait_strobes = 5;
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x20);  // plain register
    ASSERT_TRUE(h.data_write(0x5A));
    EXPECT_EQ(h.last_wait(), 5u);
    uint32_t value = 0;
    ASSERT_TRUE(h.data_read(value));
    EXPECT_EQ(h.last_wait(), 5u);
    EXPECT_EQ(value, 0x5Au);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:20 DW:5A DR:5A");
    EXPECT_EQ(harlune_sim::stats().wait_strobes, 10u);
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Wire, LongerDataFramesCarryConsecutiveRegisters)
{
    Host h;
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x40);
    ASSERT_TRUE(h.data_write(0x12345678, 3));
    uint32_t value = 0;
    h.address_write(0x41);
    ASSERT_TRUE(h.data_read(value, 1));
    EXPECT_EQ(value, 0x3456u);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:40 DW:12345678 AW:41 DR:3456");
}

TEST(Wire, WaitThatNeverEndsLeavesTheFrameOpen)
{
    Config c;
    c.wait_strobes = 0;
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x20);
    h.wait_limit = 50;
    EXPECT_FALSE(h.data_write(0x01));
    EXPECT_EQ(harlune_sim::stats().wait_strobes, 50u);
    EXPECT_EQ(harlune_sim::stats().data_writes, 0u);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:20");
}

TEST(Wire, ResetRules)
{
    {
        SCOPED_TRACE("reset control active for less than 20 us");
        Host h;
        h.open_lines();
        h.reset_pulse(40);
        h.reset_pulse(10);
        EXPECT_EQ(simtest::faults_with("reset pulse shorter than 20 us"), 1u) << simtest::all_faults();
    }
    {
        SCOPED_TRACE("C2CK held low by its driver resets the target too");
        Host h;
        h.open_lines();
        h.reset_pulse();
        h.set(simtest::kC2ckHigh, false);
        usleep(25);
        h.set(simtest::kC2ckHigh, true);
        EXPECT_EQ(harlune_sim::stats().resets, 2u);
        EXPECT_EQ(harlune_sim::stats().unplanned_resets, 1u);
        EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
    }
    {
        SCOPED_TRACE("a reset inside a frame");
        Host h;
        h.open_lines();
        h.reset_pulse();
        h.strobe();  // START
        h.set(simtest::kC2dOff, false);
        h.strobe();  // INS bit 0
        h.reset_pulse();
        EXPECT_EQ(simtest::faults_with("frame cut by reset in INS"), 1u) << simtest::all_faults();
        EXPECT_EQ(harlune_sim::frames(), "RESET RESET");
        EXPECT_EQ(harlune_sim::stats().cut_frames, 1u);
    }
}

TEST(Wire, FirstStartNeeds2UsAfterAReset)
{
    // The reset ends when C2CK goes high; the release request takes 1 us.
    struct Case {
        const char* name;
        bool planned;        // by the reset control, not the clock driver
        unsigned settle_us;  // then the first frame
        uint64_t early;
        uint64_t faults;
    };
    const Case cases[] = {
        {"reset control, START 1 us after", true, 0, 1, 1},
        {"reset control, START 2 us after", true, 1, 0, 0},
        {"clock driver, START 1 us after: out of step, no fault", false, 0, 1, 0},
        {"clock driver, START 2 us after", false, 1, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Host h;
        h.open_lines();
        h.reset_pulse();
        uint8_t hold = k.planned ? simtest::kResetReleased : simtest::kC2ckHigh;
        h.set(hold, false);
        usleep(25);
        h.set(hold, true);
        usleep(k.settle_us);
        h.address_write(0x00);
        h.address_write(0x00);
        EXPECT_EQ(harlune_sim::frames(), "RESET RESET AW:00 AW:00") << "only a count and a fault";
        EXPECT_EQ(harlune_sim::stats().early_frames, k.early);
        EXPECT_EQ(harlune_sim::stats().unplanned_resets, k.planned ? 0u : 1u);
        EXPECT_EQ(simtest::faults_with("frame started 1000 ns after a reset (2 us needed)"), k.faults)
            << simtest::all_faults();
        EXPECT_EQ(harlune_sim::fault_count(), k.faults) << simtest::all_faults();
    }
}

TEST(Wire, HostFieldsNeedTheHostDrivingC2d)
{
    Host h;
    h.open_lines();
    h.reset_pulse();
    h.set(simtest::kC2dOff, true);
    h.strobe();  // START, then INS with the C2D driver off
    h.strobe();
    EXPECT_EQ(simtest::faults_with("C2D not driven in INS"), 1u) << simtest::all_faults();
}

TEST(Wire, SwitchingTheClockDriverOffAbortsAFrame)
{
    Host h;
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x02);
    h.strobe();  // START of a frame never finished
    h.set(simtest::kC2ckOff, true);
    EXPECT_EQ(simtest::faults_with("frame aborted: C2CK driver switched off in INS"), 1u);
    // Back on: the next frame decodes from its START.
    h.set(simtest::kC2ckOff, false);
    h.address_write(0x00);
    EXPECT_EQ(harlune_sim::frames(), "RESET AW:02 AW:00");
    // Switching it off between frames is the normal release.
    h.set(simtest::kC2ckOff, true);
    EXPECT_EQ(harlune_sim::fault_count(), 1u);
}

TEST(Wire, ScriptedSamplesDecodeTargetFields)
{
    // Address Read of 0x03, then a Data Read whose WAIT reads 0, 0, 1 and whose data is 0xA5.
    std::vector<int> samples = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 0, 1, 0, 1};
    Host h(scripted(samples));
    h.write(0x68);
    EXPECT_EQ(h.address_read(), 0x03);
    uint32_t value = 0;
    ASSERT_TRUE(h.data_read(value));
    EXPECT_EQ(h.last_wait(), 3u);
    EXPECT_EQ(value, 0xA5u);
    EXPECT_EQ(harlune_sim::frames(), "AR:03 DR:A5");
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Wire, DetachedWireReadsAllOnes)
{
    Config c;
    c.attach = Attach::detached;
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    EXPECT_EQ(h.address_read(), 0xFF);
    uint32_t value = 0;
    ASSERT_TRUE(h.data_read(value));
    EXPECT_EQ(h.last_wait(), 1u);
    EXPECT_EQ(value, 0xFFu);
    EXPECT_EQ(harlune_sim::frames(), "RESET AR:FF DR:FF");
}

}  // namespace
