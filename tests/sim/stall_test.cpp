// Stalls injected after strobes: C2CK held low long enough resets the target
// whatever holds it, and the frames after such a reset are out of step.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "host.h"

using harlune_sim::Clock;
using harlune_sim::Config;
using harlune_sim::MidLow;
using simtest::Host;

namespace {

using simtest::kFpdat;

void start_programming(Host& h)
{
    h.open_lines();
    h.enter_programming();
}

// The strobes `steps` makes on a fresh simulator.
uint64_t strobes_of(const std::function<void(Host&)>& steps)
{
    Host h;
    steps(h);
    return harlune_sim::stats().strobes;
}

// Strobe numbers the request trace shows held for 1 us: a D1 token right
// after the strobe's falling write (n strobes after the start-up).
std::vector<uint64_t> held_strobes(const Config& c, int n)
{
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    size_t from = harlune_sim::trace().size();
    for (int i = 0; i < n; ++i)
        h.strobe();
    std::istringstream tokens(harlune_sim::trace().substr(from));
    std::vector<uint64_t> held;
    uint64_t writes = 0;
    for (std::string t; tokens >> t;) {
        if (t[0] == 'W')
            ++writes;
        else if (t == "D1" && writes)
            held.push_back((writes + 1) / 2);
    }
    return held;
}

TEST(Stall, InAStrobeResetsTheTargetAndCutsTheFrame)
{
    const uint64_t ready = strobes_of(start_programming);
    struct Case {
        const char* name;
        uint64_t strobe;     // after programming mode is on
        const char* frames;  // after the first reset
        uint64_t early;      // the next START falls within 2 us of the reset
    };
    const Case cases[] = {
        // The cut frame is lost; the next one starts in step, too soon after
        // the reset, and finds programming mode gone.
        {"STOP of an Address Write", 12, " RESET AW:B4 DW:06", 1},
        // The rest of the cut Address Write decodes as frames of its own;
        // its next strobe comes after a C2D write, 2 us after the reset.
        {"address bit 2", 6, nullptr, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.stall_ns = 30000;
        c.stall_at = {ready + k.strobe};
        Host h(c);
        start_programming(h);
        std::string before = harlune_sim::frames();
        h.address_write(kFpdat);
        h.address_write(kFpdat);
        h.data_write(0x06);

        const harlune_sim::Stats& st = harlune_sim::stats();
        EXPECT_EQ(before, "RESET AW:02 DW:02 DW:01");
        if (k.frames) {
            EXPECT_EQ(harlune_sim::frames(), before + k.frames);
        }
        EXPECT_EQ(harlune_sim::frames().substr(before.size(), 6), " RESET");
        EXPECT_FALSE(harlune_sim::programming_mode());
        EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
        EXPECT_EQ(st.strobes, ready + 12 + 12 + 15);
        EXPECT_EQ(st.stalls, 1u);
        EXPECT_EQ(st.resets, 2u);
        EXPECT_EQ(st.unplanned_resets, 1u);
        EXPECT_EQ(st.cut_frames, 1u);
        EXPECT_EQ(st.early_frames, k.early);
        EXPECT_GE(st.desync_events, 2u) << "out-of-step frames, FPDAT outside programming mode";
        EXPECT_EQ(st.lows_over_5us, 1u);
        EXPECT_EQ(st.lows_over_20us, 1u);
        EXPECT_EQ(st.longest_low_ns, 31000u) << "the stall and the request raising C2CK";
        EXPECT_EQ(st.shortest_low_ns, 1000u) << "the other strobes: one request";
        EXPECT_EQ(st.host_holds, 0u) << "virtual time";
        EXPECT_NE(harlune_sim::trace().find(" D30 "), std::string::npos) << "the hold, after its write";

        // The host's reset-control pulse ends it: protocol faults count again.
        h.enter_programming();
        EXPECT_TRUE(harlune_sim::programming_mode());
        uint64_t desync = st.desync_events;
        h.address_write(kFpdat);
        uint32_t v = 0;
        h.data_read(v);
        EXPECT_EQ(simtest::faults_with("FPDAT read while out-ready is clear"), 1u)
            << simtest::all_faults();
        EXPECT_EQ(st.desync_events, desync);
    }
}

TEST(Stall, Under20UsOfLowResetsOnlyByTheMidLowRule)
{
    // The low phase is the stall plus the 1 us request that raises C2CK.
    struct Case {
        uint64_t stall_ns;
        const char* frames;
        uint64_t resets;
        MidLow rule = MidLow::edge;
        uint32_t seed = 0;
        simtest::Port port = simtest::Port::parallel;
        uint32_t rst = harlune_sim::kNoLine;
        uint64_t hold_ns = 0;  // then, C2CK high
    };
    const Case cases[] = {
        {18999, "RESET AW:00 AW:00", 1},
        {19000, "RESET RESET AW:00", 2},
        {4000, "RESET RESET AW:00", 2, MidLow::reset},
        {7000, "RESET RESET AW:00", 2, MidLow::reset, 0, simtest::Port::gpio, 22},
        {7000, "RESET AW:00 AW:00", 1, MidLow::random, 1},  // the seed's first draw: an edge
        {7000, "RESET RESET AW:00", 2, MidLow::random, 2, simtest::Port::gpio},  // a reset
        {2000, "RESET AW:00 AW:00", 1, MidLow::reset, 0, simtest::Port::parallel, 0, 29000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.stall_ns << " ns " << int(k.rule) << int(k.port) << k.rst);
        Config c;
        c.stall_ns = k.stall_ns;
        c.stall_at = {12};  // STOP of the first Address Write
        c.hold_at.assign(k.hold_ns != 0, 12);
        c.mid_low = k.rule;
        c.mid_low_seed = k.seed;
        c.gpio_wiring.rst = k.rst;
        c.hold_ns = k.hold_ns;
        Host h(c, k.port);
        h.open_lines();
        h.reset_pulse();
        h.address_write(0x00);
        timespec t[2];  // read right after the strobe: a hold falls between the two
        for (timespec& ts : t)
            clock_gettime(CLOCK_MONOTONIC, &ts);
        usleep(3);
        h.address_write(0x00);
        EXPECT_EQ(harlune_sim::frames(), k.frames);
        EXPECT_EQ(harlune_sim::stats().resets, k.resets);
        EXPECT_EQ(harlune_sim::stats().unplanned_resets, k.resets - 1);
        EXPECT_EQ(harlune_sim::stats().holds, k.hold_ns ? 1u : 0u);
        EXPECT_EQ(t[1].tv_nsec - t[0].tv_nsec, 250 + static_cast<long>(k.hold_ns));
        EXPECT_EQ(harlune_sim::stats().lows_over_5us, k.stall_ns >= 4000 ? 1u : 0u);
        EXPECT_EQ(harlune_sim::stats().lows_over_20us, k.stall_ns >= 19000 ? 1u : 0u);
        EXPECT_EQ(harlune_sim::stats().longest_low_ns, k.stall_ns + 1000);
        EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    }
}

TEST(Stall, SelectorsPickStrobesByNumber)
{
    auto config = [](std::vector<uint64_t> at, uint64_t every, uint32_t one_in, uint32_t seed) {
        Config c;
        c.stall_ns = 1000;  // shows as D1, resets nothing
        c.stall_at = std::move(at);
        c.stall_every = every;
        c.stall_one_in = one_in;
        c.stall_seed = seed;
        return c;
    };
    struct Case {
        const char* name;
        Config config;
        std::vector<uint64_t> held;
    };
    const Case cases[] = {
        {"at", config({3, 7}, 0, 0, 0), {3, 7}},
        {"every", config({}, 4, 0, 0), {4, 8, 12}},
        {"at and every", config({2, 10}, 5, 0, 0), {2, 5, 10}},
        {"none", config({}, 0, 0, 0), {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(held_strobes(k.config, 12), k.held);
        EXPECT_EQ(harlune_sim::stats().stalls, k.held.size());
        EXPECT_EQ(harlune_sim::stats().strobes, 12u);
    }

    // One in M: the same seed holds the same strobes, whatever the target's seed.
    std::vector<uint64_t> a = held_strobes(config({}, 0, 4, 11), 40);
    EXPECT_GT(a.size(), 2u);
    EXPECT_LT(a.size(), 20u);
    Config other_target = config({}, 0, 4, 11);
    other_target.seed = 99;
    EXPECT_EQ(held_strobes(other_target, 40), a);
    EXPECT_NE(held_strobes(config({}, 0, 4, 12), 40), a);
    std::vector<uint64_t> with_first = held_strobes(config({1}, 0, 4, 11), 40);
    std::vector<uint64_t> union_first = a;
    if (a.front() != 1)
        union_first.insert(union_first.begin(), 1);
    EXPECT_EQ(with_first, union_first) << "a fixed strobe adds to the draws, it does not shift them";

    // Without a length nothing is held, and the configuration says so.
    Config no_length = config({3}, 2, 0, 0);
    no_length.stall_ns = 0;
    no_length.hold_at = {4};
    EXPECT_TRUE(held_strobes(no_length, 12).empty());
    EXPECT_EQ(harlune_sim::stats().stalls, 0u);
    EXPECT_EQ(simtest::faults_with("stall strobes chosen but no stall length"), 1u);
    EXPECT_EQ(simtest::faults_with("hold strobes or commands chosen but no hold length"), 1u);
}

TEST(Stall, EveryPortNumbersAndPicksStrobesAlike)
{
    // Stalls are picked by strobe number on every port; holds follow the
    // requests of the parallel port and the GPIO chip (the FTDI chip's
    // writes are no requests of their own).
    struct Case {
        simtest::Port port;
        uint64_t holds;
    };
    for (const Case& k : {Case{simtest::Port::parallel, 1}, Case{simtest::Port::gpio, 1},
                          Case{simtest::Port::ftdi, 0}}) {
        SCOPED_TRACE(static_cast<int>(k.port));
        Config c;
        c.attach = harlune_sim::Attach::detached;  // bare strobes: no frames for a target
        c.gpio_wiring.rst = 22;
        c.ftdi_wiring.rst = 2;
        c.stall_ns = 1000;
        c.stall_at = {1, 7};
        c.stall_every = 5;
        c.hold_ns = 1000;
        c.hold_at = {4};
        Host h(c, k.port);
        h.open_lines();
        h.reset_pulse();
        for (int i = 0; i < 12; ++i)
            h.strobe();
        h.pause(1);
        const harlune_sim::Stats& st = harlune_sim::stats();
        EXPECT_EQ(st.strobes, 12u);
        EXPECT_EQ(st.stalls, 4u) << "1, 5, 7 and 10";
        EXPECT_EQ(st.holds, k.holds);
        EXPECT_EQ(simtest::all_faults(), "");
    }
}

TEST(Stall, InWireTimeResetsTheTarget)
{
    // A real 100 us spin inside a strobe always exceeds the 20 us reset;
    // nothing else here depends on how the machine schedules the test.
    Config c;
    c.clock = Clock::wire;
    c.stall_ns = 100000;
    c.stall_at = {12};
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x00);
    const harlune_sim::Stats& st = harlune_sim::stats();
    EXPECT_EQ(st.stalls, 1u);
    EXPECT_GE(st.unplanned_resets, 1u);
    EXPECT_GE(st.lows_over_20us, 1u);
    EXPECT_GE(st.longest_low_ns, 100000u);
    EXPECT_EQ(harlune_sim::frames().substr(0, 11), "RESET RESET");
}

TEST(Stall, HoldsWithC2ckHighAfterFlashCommandsResetNothing)
{
    Config c;
    c.hold_ns = 10000000;
    c.hold_after_commands = true;
    simtest::Programmer p(c);
    ASSERT_TRUE(p.block_write(0x0100, {0x12, 0x34}));
    EXPECT_EQ(p.block_read(0x0100, 2), (std::vector<uint8_t>{0x12, 0x34}));
    for (int b : {0x08, 0x00, 0x00, 0x03, 0xDE, 0xAD, 0xA5}) {  // page 0 erased, then the device
        p.put(static_cast<uint8_t>(b));
        EXPECT_TRUE(b == 0xDE || b == 0xAD || p.get() == simtest::kAccepted) << b;
    }
    EXPECT_EQ(harlune_sim::stats().holds, 4u) << "one per command";
    EXPECT_EQ(harlune_sim::stats().longest_low_ns, 1000u) << "C2CK high through every hold";
    EXPECT_NE(harlune_sim::trace().find(" D10000 "), std::string::npos);
}

}  // namespace
