// The adapter: data-register bits to wire levels, C2D back on status bit 7.
#include <gtest/gtest.h>

#include "host.h"

using harlune_sim::Attach;
using harlune_sim::Config;
using simtest::Host;

namespace {

uint8_t status(Host& h)
{
    uint8_t s = 0;
    simtest::read_status(h.fd(), s);
    return s;
}

TEST(Adapter, StatusShowsC2dInvertedOnBit7)
{
    Config c;
    c.attach = Attach::detached;
    Host h(c);
    h.write(0x68);  // C2D driver off: pull-up
    EXPECT_EQ(status(h), 0x78);
    h.write(0x28);  // driven low
    EXPECT_EQ(status(h), 0xF8);
    h.write(0xA8);  // driven high
    EXPECT_EQ(status(h), 0x78);
    h.write(0xE8);  // level high, driver off
    EXPECT_EQ(status(h), 0x78);
    h.write(0xE8 & ~simtest::kC2dHigh);  // level low, driver off: still the pull-up
    EXPECT_EQ(status(h), 0x78);
}

TEST(Adapter, ShortedC2dReadsLowWhateverDrivesIt)
{
    Config c;
    c.attach = Attach::c2d_low;
    Host h(c);
    h.write(0x68);
    EXPECT_EQ(status(h), 0xF8);
    h.write(0xA8);
    EXPECT_EQ(status(h), 0xF8);
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Adapter, UnusedBitsAreAFault)
{
    Host h;
    h.write(0x68);
    EXPECT_TRUE(harlune_sim::faults().empty());
    h.write(0x6C);
    EXPECT_EQ(simtest::faults_with("unused data-register bits set: 0x6C"), 1u) << simtest::all_faults();
}

TEST(Adapter, HostAndTargetDrivingC2dAtOnce)
{
    Host h;
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x00);
    // Data Read of the device ID (0x09: bit 0 is 1, bit 1 is 0), the host
    // wrongly switching its driver back on, high, while the target drives.
    h.strobe();
    h.set(simtest::kC2dHigh, false);
    h.set(simtest::kC2dOff, false);
    h.strobe();
    h.strobe();
    h.strobe();
    h.strobe();
    h.set(simtest::kC2dOff, true);
    h.strobe();  // WAIT: the target drives 1
    ASSERT_EQ(h.read(), 1);
    h.strobe();  // data bit 0 = 1
    h.strobe();  // data bit 1 = 0
    EXPECT_EQ(h.read(), 0);
    h.set(simtest::kC2dHigh, true);
    h.set(simtest::kC2dOff, false);
    EXPECT_EQ(simtest::faults_with("C2D driven by host and target at once"), 1u)
        << simtest::all_faults();
    EXPECT_EQ(h.read(), 0) << "the low side wins";
}

TEST(Adapter, ResetControlHoldsC2ckLow)
{
    Host h;
    h.write(0x60);  // reset active, C2CK driven high
    for (int i = 0; i < 40; ++i)
        h.strobe();
    EXPECT_EQ(harlune_sim::frames(), "");
    EXPECT_EQ(harlune_sim::stats().resets, 0u);
    usleep(20);
    h.set(simtest::kResetReleased, true);
    EXPECT_EQ(harlune_sim::frames(), "RESET");
}

TEST(Adapter, ScriptedSamplesInOrderThenOnesAndAFault)
{
    Config c;
    c.attach = Attach::scripted;
    c.samples = {0, 1, 0};
    Host h(c);
    EXPECT_EQ(h.read(), 0);
    EXPECT_EQ(h.read(), 1);
    EXPECT_EQ(h.read(), 0);
    EXPECT_TRUE(harlune_sim::faults().empty());
    EXPECT_EQ(h.read(), 1);
    EXPECT_EQ(h.read(), 1);
    EXPECT_EQ(simtest::faults_with("scripted samples exhausted after 3 reads"), 1u)
        << simtest::all_faults();
    EXPECT_EQ(harlune_sim::trace(), "C RF8 R78 RF8 R78 R78");
}

}  // namespace
