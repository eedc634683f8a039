// The FTDI chip behind libftdi's API: its MPSSE commands on the same adapter,
// wire and target as the parallel port, its own time, its misuse.
#include <gtest/gtest.h>

#include <ftdi.h>

#include <functional>

#include "host.h"

using harlune_sim::Config;
using harlune_sim::kNoLine;
using simtest::Host;
using simtest::Port;

namespace {

Config wired(uint32_t rst)
{
    Config c;
    c.ftdi_wiring.rst = rst;
    return c;
}

TEST(FtdiPort, ProgrammingGoesAsOnTheParallelPort)
{
    auto steps = [](simtest::Programmer& p) {
        ASSERT_TRUE(p.block_write(0x0123, {0xA5, 0x3C}));
        EXPECT_EQ(p.block_read(0x0122, 4), (std::vector<uint8_t>{0xFF, 0xA5, 0x3C, 0xFF}));
    };
    std::string frames;
    std::vector<uint8_t> flash;
    {
        simtest::Programmer p;
        steps(p);
        frames = harlune_sim::frames();
        flash = harlune_sim::flash();
    }
    struct Case { uint32_t rst; std::string trace; };  // the trace's start
    for (const Case& k : {Case{kNoLine, "F00- F00- F00- U D125 F10- U D125 F00- F10-"},
                          Case{2, "F100 F100 F100 U D125 F10z U D125 F00z F10z"}}) {
        SCOPED_TRACE(k.trace);
        simtest::Programmer p(wired(k.rst), Port::ftdi);
        steps(p);
        EXPECT_EQ(harlune_sim::trace().substr(0, k.trace.size()), k.trace);
        EXPECT_EQ(harlune_sim::frames(), frames);
        EXPECT_EQ(harlune_sim::flash(), flash);
        const harlune_sim::Stats& st = harlune_sim::stats();
        EXPECT_EQ(st.transfer_lows + st.unplanned_resets + st.lows_over_5us, 0u);
        EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    }
}

}  // namespace
