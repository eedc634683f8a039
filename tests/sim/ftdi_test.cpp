// The FTDI chip behind libusb's API, driven by libftdi1's own calls: its MPSSE
// commands on the same adapter, wire and target as the parallel port, its
// USB packets, its own time, its misuse, its failures.
#include <gtest/gtest.h>

#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <functional>

#include "host.h"

using harlune_sim::Config;
using harlune_sim::kNoLine;
using simtest::Host;

namespace {

// One set-bits command of ADBUS: C2CK on pin 0, C2D on pin 1 (-1: an input).
std::vector<uint8_t> pins(int ck, int d = -1)
{
    auto bit = [](int level, int pin) { return static_cast<uint8_t>(level > 0 ? 1 << pin : 0); };
    return {0x80, static_cast<uint8_t>(bit(ck, 0) | bit(d, 1)),
            static_cast<uint8_t>(bit(ck + 1, 0) | bit(d + 1, 1))};
}

// Concatenated commands.
std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The C2CK low and high of a strobe, C2D as given.
std::vector<uint8_t> strobe(int d = -1) { return join({pins(0, d), pins(1, d)}); }

// A context open on the default FT232H in MPSSE mode.
struct Chip {
    explicit Chip(const Config& c) : rst(c.ftdi_wiring.rst == 2)
    {
        harlune_sim::configure(c);
        ctx = ftdi_new();
        EXPECT_EQ(ftdi_usb_open_desc_index(ctx, 0x0403, 0x6014, nullptr, nullptr, 0), 0);
        EXPECT_EQ(ftdi_set_bitmode(ctx, 0, BITMODE_MPSSE), 0);
    }
    ~Chip() { ftdi_free(ctx); }
    int send(const std::vector<uint8_t>& bytes)
    {
        return ftdi_write_data(ctx, bytes.data(), static_cast<int>(bytes.size()));
    }
    // C2CK high, then low across two transfers: by the reset line on pin 2
    // (C2CK an input), or else by C2CK.
    void reset()
    {
        send(join({pins(1), rst ? std::vector<uint8_t>{0x80, 0x00, 0x04} : pins(0)}));
        send(pins(1));
    }
    bool rst;
    ftdi_context* ctx;
};

TEST(Ftdi, HandWrittenCommandsReachTheTarget)
{
    std::vector<uint8_t> address_write = join({strobe(), pins(1, 1), strobe(1), strobe(1)});
    for (int i = 0; i < 8; ++i)  // 0xB4, LSB first
        address_write = join({address_write, pins(1, 0xB4 >> i & 1), strobe(0xB4 >> i & 1)});
    address_write = join({address_write, strobe()});  // STOP, C2D released
    // n reads of ADBUS, pins 2-7 driven to a count: answers that show where
    // a packet's status bytes were left in or an answer lost.
    auto reads = [](int n, std::vector<uint8_t>& answers) {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < n; ++i) {
            auto count = static_cast<uint8_t>(i << 2);
            bytes.insert(bytes.end(), {0x80, count, 0xFC, 0x81});
            answers.push_back(count | 0x03);  // C2CK and C2D pulled up
        }
        bytes.push_back(0x87);
        return bytes;
    };
    std::vector<uint8_t> answers_600, answers_200;
    struct Case { const char* name; harlune_sim::Attach attach; std::vector<uint8_t> bytes, answer;
                  std::string frames, trace_end; bool full_speed = false; };
    const Case cases[] = {
        {"an Address Write, as on the parallel port", harlune_sim::Attach::target,
         address_write, {}, "RESET AW:B4", "F0z- F1z- U"},
        {"ADBUS read with C2D low", harlune_sim::Attach::c2d_low, {0x81, 0x87}, {0xFD}, "RESET",
         "F1z- U D125 f0 U"},
        {"answers in two IN packets", harlune_sim::Attach::target, reads(600, answers_600),
         answers_600, "RESET", "Fzz- f1 U"},
        {"answers in four IN packets at full speed", harlune_sim::Attach::target,
         reads(200, answers_200), answers_200, "RESET", "Fzz- f1 U", true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.attach = k.attach;
        c.ftdi_full_speed = k.full_speed;
        Chip chip(c);
        chip.reset();
        ASSERT_EQ(chip.send(k.bytes), static_cast<int>(k.bytes.size()));
        std::vector<uint8_t> answer(k.answer.size());
        EXPECT_EQ(ftdi_read_data(chip.ctx, answer.data(), static_cast<int>(answer.size())),
                  static_cast<int>(answer.size()));
        EXPECT_EQ(answer, k.answer);
        EXPECT_EQ(harlune_sim::frames(), k.frames);
        std::string trace = harlune_sim::trace();
        std::string start = k.full_speed ? "F1z- F0z- U D1000 F1z" : "F1z- F0z- U D125 F1z";
        EXPECT_EQ(trace.substr(0, start.size()), start) << "a USB frame between the transfers";
        EXPECT_EQ(trace.substr(trace.size() - k.trace_end.size()), k.trace_end);
        EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    }
}

TEST(Ftdi, C2ckLowAcrossTransfersResetsTheTarget)
{
    std::vector<uint8_t> start = join({strobe(), pins(1, 1), strobe(1)});  // START, INS bit 1
    // 46 loopback-off commands (changing nothing) take a strobe's C2CK low
    // to the end of the first 64-byte packet, 43 keep its high there too.
    auto pad = [](size_t n) { return std::vector<uint8_t>(n, 0x85); };
    struct Case { const char* name; uint32_t rst; std::vector<std::vector<uint8_t>> transfers;
                  uint64_t resets, transfer_lows; std::string frames; uint64_t packet_lows = 0;
                  uint64_t packet_gap_ns = 0; };
    const Case cases[] = {
        {"a strobe in one transfer", kNoLine, {join({start, strobe(1)})}, 1, 0, "RESET"},
        {"a strobe split by a transfer", kNoLine, {join({start, pins(0, 1)}), pins(1, 1)}, 2, 1,
         "RESET RESET"},
        {"the same with a reset line", 2, {join({start, pins(0, 1)}), pins(1, 1)}, 2, 1,
         "RESET RESET"},
        {"a strobe split by a full-speed packet", kNoLine, {join({start, pad(46), strobe(1)})}, 2, 0,
         "RESET RESET", 1, 40000},
        {"a strobe kept in one packet", kNoLine, {join({start, pad(43), strobe(1)})}, 1, 0, "RESET",
         0, 40000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.ftdi_wiring.rst = k.rst;
        c.stall_ns = 100000;  // the host held after every strobe: nothing on the chip's time
        c.stall_every = 1;
        c.ftdi_full_speed = k.packet_gap_ns > 0;
        c.ftdi_packet_gap_ns = k.packet_gap_ns;
        Chip chip(c);
        chip.reset();
        for (const auto& t : k.transfers)
            chip.send(t);
        const harlune_sim::Stats& st = harlune_sim::stats();
        EXPECT_EQ(st.resets, k.resets);
        EXPECT_EQ(st.unplanned_resets, k.resets - 1);
        EXPECT_EQ(st.transfer_lows, k.transfer_lows);
        EXPECT_EQ(st.packet_lows, k.packet_lows);
        EXPECT_EQ(st.lows_over_5us, k.transfer_lows + k.packet_lows);
        EXPECT_GT(st.stalls, 0u);
        EXPECT_EQ(harlune_sim::frames(), k.frames);
    }
}

TEST(Ftdi, TimeIsTheChipsAndTheRoundTrips)
{
    // The bytes end with a read; host_ns: what the host's clock sees pass.
    struct Case { const char* name; uint64_t rtt_ns; std::vector<uint8_t> bytes; uint64_t host_ns;
                  std::string trace; uint64_t strobes, shortest_low_ns = 0, command_ns = 50; };
    const std::vector<uint8_t> wait_8us = {0x8A, 0x86, 0x1D, 0x00, 0x8F, 0x00, 0x00};
    const Case cases[] = {
        {"a read sent at once", 125000, {0x81, 0x87}, 125000 + 100, "D125 f1 U", 0},
        {"a read of a 1 ms round trip", 1000000, {0x81, 0x87}, 1000000 + 100, "D125 f1 U", 0},
        {"a read the latency timer sends", 125000, {0x81}, 16000000 + 125000 + 50, "D125 f1 U", 0},
        {"8 us of clocks, then a read", 125000, join({wait_8us, {0x81, 0x87}}),
         125000 + 100 + 8000 + 100, "D133 f1 U", 0},
        {"a chip of 250 ns per command", 125000, {0x81, 0x87}, 125000 + 500, "D125 f1 U", 0, 0,
         250},
        // 12 MHz / 2 by default: 3 bits of 167 ns, each a strobe of C2CK on
        // TCK, low for half of it; each edge in the trace.
        {"clocks with C2CK driven on TCK", 125000, join({pins(1), {0x8E, 0x02, 0x81, 0x87}}),
         125000 + 50 + 500 + 100, "D125 F1z- F0z- F1z- F0z- F1z- F0z- F1z- f1 U", 3, 83},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c;
        c.ftdi_rtt_ns = k.rtt_ns;
        c.clock_step_ns = 0;
        c.ftdi_command_ns = k.command_ns;
        Chip chip(c);
        chip.send(pins(-1));
        auto before = std::chrono::steady_clock::now();
        chip.send(k.bytes);
        uint8_t answer = 0;
        EXPECT_EQ(ftdi_read_data(chip.ctx, &answer, 1), 1);
        auto took = std::chrono::steady_clock::now() - before;
        EXPECT_EQ(static_cast<uint64_t>(took.count()), k.host_ns + 125000 + k.command_ns)
            << "the transfer starts a USB frame after the one before";
        EXPECT_EQ(harlune_sim::trace(), "Fzz- U " + k.trace);
        EXPECT_EQ(harlune_sim::stats().round_trips, 1u);
        EXPECT_EQ(harlune_sim::stats().strobes, k.strobes);
        EXPECT_EQ(harlune_sim::stats().shortest_low_ns, k.shortest_low_ns);
    }
}

// Misuse is a fault; an unplug (at bulk transfer unplug_at) is none, but
// libftdi's transfers fail from then on. Nor is a full answer buffer, but
// the write that filled it fails.
TEST(Ftdi, MisuseIsAFaultAndAnUnplugFailsTheTransfers)
{
    uint8_t in[4] = {};
    auto read = [&](Chip& c, int n) {
        int got = ftdi_read_data(c.ctx, in, n);
        return got << 16 | in[0] << 8 | in[n - 1];
    };
    struct Case { const char* name; uint64_t unplug_at; std::function<int(Chip&)> call; int result;
                  const char* fault; const char* error = nullptr; };
    const Case cases[] = {
        {"an unknown command, answered 0xFA and it", 0, [&](Chip& c) { c.send({0xAC, 0x87});
             return read(c, 2); }, 0x2FAAC, "unknown MPSSE command 0xAC"},
        {"the synchronisation check: no fault", 0, [&](Chip& c) { c.send({0xAA, 0xAB, 0x87});
             return read(c, 4); }, 0x4FAAB, nullptr},
        {"a write before MPSSE mode", 0, [](Chip& c) { ftdi_set_bitmode(c.ctx, 0, BITMODE_RESET);
             return c.send({0x81}); }, 1, "USB write of 1 bytes before MPSSE mode"},
        {"a read with nothing pending", 0, [&](Chip& c) { return ftdi_read_data(c.ctx, in, 1); }, 0,
         "USB read with no answer pending"},
        {"a command cut by the close", 0, [](Chip& c) { c.send({0x80, 0x01});
             return ftdi_usb_close(c.ctx); }, 0, "MPSSE command 0x80 left incomplete"},
        {"1024 reads fill the FT232H's answer buffer", 0, [](Chip& c) {
             return c.send(std::vector<uint8_t>(1024, 0x81)); }, 1024, nullptr},
        {"one more stops the chip: the write times out", 0, [](Chip& c) {
             return c.send(std::vector<uint8_t>(1025, 0x81)); }, -1, nullptr, "usb bulk write failed"},
        {"unplugged in the write", 1, [](Chip& c) { return c.send({0x81, 0x87}); }, -1, nullptr,
         "usb bulk write failed"},
        {"unplugged in the read", 2, [&](Chip& c) { c.send({0x81, 0x87});
             return ftdi_read_data(c.ctx, in, 1); }, LIBUSB_ERROR_IO, nullptr, "usb bulk read failed"},
        {"a read after the unplug", 1, [&](Chip& c) { c.send({0x81, 0x87});
             return ftdi_read_data(c.ctx, in, 1); }, LIBUSB_ERROR_NO_DEVICE, nullptr,
         "usb bulk read failed"},
        {"a mode change after the unplug", 1, [](Chip& c) { c.send({0x81});
             return ftdi_set_bitmode(c.ctx, 0, BITMODE_RESET); }, -1, nullptr,
         "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config config;
        config.ftdi_unplug_at = k.unplug_at;
        Chip chip{config};
        EXPECT_EQ(k.call(chip), k.result);
        if (k.error) {
            EXPECT_STREQ(ftdi_get_error_string(chip.ctx), k.error);
        }
        if (k.fault) {
            EXPECT_EQ(simtest::faults_with(k.fault), 1u);
        }
        EXPECT_EQ(harlune_sim::fault_count(), k.fault ? 1u : 0u) << simtest::all_faults();
    }
}

TEST(Ftdi, OpenAnswersAsLibftdiDoes)
{
    struct Case { const char* name; const char* devices; harlune_sim::FtdiFail fail;
                  int product, interface; const char* serial; int open, bitmode; const char* error;
                  int type = TYPE_BM, packet = 0; bool full_speed = false; };
    using F = harlune_sim::FtdiFail;
    const int a = INTERFACE_A, b = INTERFACE_B;
    const char* unclaimed =
        "unable to claim usb device. Make sure the default FTDI driver is not in use";
    const Case cases[] = {
        {"an FT232H by serial", "0403:6014:A1", F::none, 0x6014, a, "A1", 0, 0, "all fine",
         TYPE_232H, 512},
        {"another serial", "0403:6014:A1", F::none, 0x6014, a, "A2", -3, 0, "device not found"},
        {"no device", "", F::none, 0x6014, a, nullptr, -3, 0, "device not found"},
        {"no permission", "0403:6014", F::perm, 0x6014, a, nullptr, -4, 0, "usb_open() failed"},
        {"held by the serial driver", "0403:6014", F::busy, 0x6014, a, nullptr, -5, 0, unclaimed},
        {"interface B of an FT232H", "0403:6014", F::none, 0x6014, b, nullptr, -5, 0, unclaimed},
        {"interface B of an FT2232H", "0403:6010", F::none, 0x6010, b, nullptr, 0, 0, "all fine",
         TYPE_2232H, 512},
        {"an FT4232H at full speed", "0403:6011", F::none, 0x6011, b, nullptr, 0, 0, "all fine",
         TYPE_4232H, 64, true},
        {"an FT232R: no MPSSE", "0403:6001", F::none, 0x6001, a, nullptr, 0, -1,
         "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?", TYPE_R, 64},
        {"an FT230X: no MPSSE", "0403:6015", F::none, 0x6015, a, nullptr, 0, -1,
         "unable to configure bitbang mode. Perhaps not a BM/2232C type chip?", TYPE_230X, 64},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        setenv("HARLUNE_SIM_FTDI", k.devices, 1);
        Config c = harlune_sim::config_from_env();
        unsetenv("HARLUNE_SIM_FTDI");
        c.ftdi_fail = k.fail;
        c.ftdi_full_speed = k.full_speed;
        harlune_sim::configure(c);
        ftdi_context* f = ftdi_new();
        ftdi_set_interface(f, static_cast<ftdi_interface>(k.interface));
        EXPECT_EQ(ftdi_usb_open_desc_index(f, 0x0403, k.product, nullptr, k.serial, 0), k.open);
        if (!k.open) {
            EXPECT_EQ(ftdi_set_bitmode(f, 0, BITMODE_MPSSE), k.bitmode);
            ftdi_context* again = ftdi_new();
            ftdi_set_interface(again, static_cast<ftdi_interface>(k.interface));
            EXPECT_EQ(ftdi_usb_open_desc_index(again, 0x0403, k.product, nullptr, nullptr, 0), -5);
            ftdi_free(again);
        }
        EXPECT_STREQ(ftdi_get_error_string(f), k.error);
        if (!k.open) {
            EXPECT_EQ(f->type, k.type);
            EXPECT_EQ(f->max_packet_size, static_cast<unsigned>(k.packet));
        }
        ftdi_free(f);
        EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    }
}

}  // namespace
