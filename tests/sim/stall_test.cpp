// Stalls injected after strobes: C2CK held low long enough resets the target
// whatever holds it, and the frames after such a reset are out of step.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "host.h"

using harlune_sim::Clock;
using harlune_sim::Config;
using harlune_sim::kNoLine;
using harlune_sim::MidLow;
using simtest::Host;
using simtest::Port;

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
// after the strobe's falling write, or its rising write when `high` (n
// strobes after the start-up).
std::vector<uint64_t> held_strobes(const Config& c, int n, bool high = false)
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
        else if (t == "D1" && writes && writes % 2 != high)
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
        MidLow rule;
        const char* frames;
        uint64_t resets;
    };
    const Case cases[] = {
        {18999, MidLow::edge, "RESET AW:00 AW:00", 1},
        {19000, MidLow::edge, "RESET RESET AW:00", 2},
        {7000, MidLow::edge, "RESET AW:00 AW:00", 1},
        {3999, MidLow::reset, "RESET AW:00 AW:00", 1},
        {4000, MidLow::reset, "RESET RESET AW:00", 2},
        {7000, MidLow::reset, "RESET RESET AW:00", 2},
    };
    struct Wiring { Port port; uint32_t rst; };
    for (const Case& k : cases) {
        for (Wiring w : {Wiring{Port::parallel, kNoLine}, Wiring{Port::gpio, kNoLine},
                         Wiring{Port::gpio, 22}}) {
            SCOPED_TRACE(testing::Message() << k.stall_ns << " ns, rule " << int(k.rule)
                                            << (w.port == Port::gpio ? ", GPIO rst " : ", parallel ")
                                            << w.rst);
            Config c;
            c.stall_ns = k.stall_ns;
            c.stall_at = {12};  // STOP of the first Address Write
            c.mid_low = k.rule;
            c.gpio_wiring.rst = w.rst;
            Host h(c, w.port);
            h.open_lines();
            h.reset_pulse();
            h.address_write(0x00);
            usleep(3);
            h.address_write(0x00);
            const uint64_t low = k.stall_ns + 1000;
            EXPECT_EQ(harlune_sim::frames(), k.frames);
            EXPECT_EQ(harlune_sim::stats().resets, k.resets);
            EXPECT_EQ(harlune_sim::stats().unplanned_resets, k.resets - 1);
            EXPECT_EQ(harlune_sim::stats().lows_over_5us, low >= 5000 ? 1u : 0u);
            EXPECT_EQ(harlune_sim::stats().lows_over_20us, low >= 20000 ? 1u : 0u);
            EXPECT_EQ(harlune_sim::stats().longest_low_ns, low);
            EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
        }
    }

    // At random: each 8 us low a reset with probability 1/2, the same lows
    // for the same seed, whatever the other generators' seeds.
    auto frames_of = [](uint32_t seed, uint32_t others) {
        Config c;
        c.stall_ns = 7000;
        c.stall_every = 1;
        c.mid_low = MidLow::random;
        c.mid_low_seed = seed;
        c.seed = c.stall_seed = others;
        held_strobes(c, 40);
        return harlune_sim::frames();
    };
    std::string a = frames_of(5, 0);
    uint64_t resets = harlune_sim::stats().resets;
    EXPECT_GT(resets, 5u) << a;
    EXPECT_LT(resets, 35u) << a;
    EXPECT_EQ(harlune_sim::stats().unplanned_resets, resets - 1);
    EXPECT_EQ(frames_of(5, 77), a);
    EXPECT_NE(frames_of(6, 0), a);
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
    auto hold = [](std::vector<uint64_t> at) {
        Config c;
        c.hold_ns = 1000;
        c.hold_at = std::move(at);
        return c;
    };
    struct Case {
        const char* name;
        Config config;
        std::vector<uint64_t> held;
        bool high = false;
    };
    const Case cases[] = {
        {"at", config({3, 7}, 0, 0, 0), {3, 7}},
        {"every", config({}, 4, 0, 0), {4, 8, 12}},
        {"at and every", config({2, 10}, 5, 0, 0), {2, 5, 10}},
        {"none", config({}, 0, 0, 0), {}},
        // Holds: after the write that takes C2CK high again.
        {"hold at", hold({3, 7}), {3, 7}, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(held_strobes(k.config, 12, k.high), k.held);
        EXPECT_EQ(harlune_sim::stats().stalls + harlune_sim::stats().holds, k.held.size());
        EXPECT_EQ(harlune_sim::stats().holds, k.high ? k.held.size() : 0u);
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
    EXPECT_TRUE(held_strobes(no_length, 12, true).empty());
    EXPECT_EQ(harlune_sim::stats().stalls + harlune_sim::stats().holds, 0u);
    EXPECT_EQ(simtest::faults_with("stall strobes chosen but no stall length"), 1u);
    EXPECT_EQ(simtest::faults_with("hold strobes or commands chosen but no hold length"), 1u);
}

TEST(Stall, InWireTimeResetsTheTarget)
{
    // A real 100 us spin inside a strobe always exceeds the 20 us reset;
    // nothing else here depends on how the machine schedules the test.
    Config c;
    c.clock = Clock::wire;
    c.stall_ns = 100000;
    c.stall_at = {12};
    const harlune_sim::Stats& st = harlune_sim::stats();
    {
        Host h(c);
        h.open_lines();
        h.reset_pulse();
        h.address_write(0x00);
        EXPECT_EQ(st.stalls, 1u);
        EXPECT_GE(st.unplanned_resets, 1u);
        EXPECT_GE(st.lows_over_20us, 1u);
        EXPECT_GE(st.longest_low_ns, 100000u);
        EXPECT_EQ(harlune_sim::frames().substr(0, 11), "RESET RESET");
    }

    // The same spin with C2CK high: a host hold of wire time.
    c.stall_at.clear();
    c.hold_ns = 100000;
    c.hold_at = {11};
    Host h(c);
    h.open_lines();
    h.reset_pulse();
    h.address_write(0x00);
    EXPECT_EQ(st.holds, 1u);
    EXPECT_GE(st.longest_hold_ns, 100000u);
}

TEST(Stall, HoldsWithC2ckHighAfterFlashCommandsResetNothing)
{
    Config c;
    c.hold_ns = 10000000;
    c.hold_after_commands = true;
    simtest::Programmer p(c);
    ASSERT_TRUE(p.block_write(0x0100, {0x12, 0x34}));
    EXPECT_EQ(p.block_read(0x0100, 2), (std::vector<uint8_t>{0x12, 0x34}));
    ASSERT_EQ(p.head(0x08), simtest::kAccepted);  // page erase: head, page 0, confirmation
    p.put(0x00);
    ASSERT_EQ(p.get(), simtest::kAccepted);
    p.put(0x00);
    EXPECT_EQ(p.get(), simtest::kAccepted);
    ASSERT_EQ(p.head(0x03), simtest::kAccepted);  // device erase: head, arming
    for (int b : {0xDE, 0xAD, 0xA5})
        p.put(static_cast<uint8_t>(b));
    EXPECT_EQ(p.get(), simtest::kAccepted);

    const harlune_sim::Stats& st = harlune_sim::stats();
    EXPECT_EQ(st.holds, 4u) << "one per command";
    EXPECT_EQ(st.resets, 1u);
    EXPECT_EQ(st.longest_low_ns, 1000u);
    EXPECT_TRUE(harlune_sim::programming_mode());
    EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    // Each hold right after a write that left C2CK high.
    std::istringstream tokens(harlune_sim::trace());
    std::string last;
    int held = 0;
    for (std::string t; tokens >> t; last = t)
        if (t == "D10000") {
            ++held;
            EXPECT_TRUE(last[0] == 'W' && (std::stoul(last.substr(1), nullptr, 16) & 0x20)) << last;
        }
    EXPECT_EQ(held, 4);
}

}  // namespace
