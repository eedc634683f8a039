// The GPIO chip: the kernel's answers on its v2 uAPI, and the same adapter,
// wire and target behind its lines as behind the parallel port; programming
// over the GPIO and FTDI chips as over the parallel port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <initializer_list>

#include "host.h"

using harlune_sim::Config;
using harlune_sim::kNoLine;
using simtest::Host;
using simtest::Port;

namespace {

// ck on 17, d on 27, the reset on `rst`.
Config wired(uint32_t rst)
{
    Config c;
    c.gpio_wiring.rst = rst;
    return c;
}

// The chip opened on a freshly configured simulator.
struct Chip {
    explicit Chip(const Config& c)
    {
        harlune_sim::configure(c);
        fd = open(c.gpio_chip.c_str(), O_RDWR);
    }
    ~Chip() { close(fd); }
    int get_line(gpio_v2_line_request& r) { return ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &r) ? errno : 0; }
    int fd;
};

TEST(Gpio, LineRequestsAreCheckedAsTheKernelDoes)
{
    struct Case {
        const char* name;
        std::function<void(gpio_v2_line_request&)> change;  // of a request for 27 and 22
        int error;
    };
    const Case cases[] = {
        {"no lines", [](auto& r) { r.num_lines = 0; }, EINVAL},
        {"65 lines", [](auto& r) { r.num_lines = 65; }, EINVAL},
        {"an offset past the chip", [](auto& r) { r.offsets[1] = 54; }, EINVAL},
        {"a line another consumer holds", [](auto& r) { r.offsets[1] = 17; }, EBUSY},
        {"a line twice", [](auto& r) { r.offsets[1] = 27; }, EBUSY},
        {"input and output", [](auto& r) { r.config.flags |= GPIO_V2_LINE_FLAG_OUTPUT; }, EINVAL},
        {"an open-drain input", [](auto& r) { r.config.flags |= GPIO_V2_LINE_FLAG_OPEN_DRAIN; }, EINVAL},
        {"11 attributes", [](auto& r) { r.config.num_attrs = 11; }, EINVAL},
        {"request padding", [](auto& r) { r.padding[4] = 1; }, EINVAL},
        {"config padding", [](auto& r) { r.config.padding[0] = 1; }, EINVAL},
    };
    Config c;
    c.gpio_busy = {17};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Chip chip(c);
        gpio_v2_line_request refused = simtest::line_request({27, 22});
        k.change(refused);
        EXPECT_EQ(chip.get_line(refused), k.error);
        // Nothing stays held: the plain request gets both lines, and only once.
        gpio_v2_line_request held = simtest::line_request({27, 22});
        ASSERT_EQ(chip.get_line(held), 0);
        gpio_v2_line_request again = simtest::line_request({22});
        EXPECT_EQ(chip.get_line(again), EBUSY);
        close(held.fd);
        EXPECT_EQ(harlune_sim::trace(), "L L L");
        EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    }
}

TEST(Gpio, ChipAndLineInfoShowWhoHoldsWhat)
{
    Config c;
    c.gpio_busy = {4};
    Chip chip(c);
    gpiochip_info info = {};
    ASSERT_EQ(ioctl(chip.fd, GPIO_GET_CHIPINFO_IOCTL, &info), 0);
    EXPECT_STREQ(info.name, "gpiochip0");
    EXPECT_STREQ(info.label, "harlune-sim");
    EXPECT_EQ(info.lines, 54u);

    gpio_v2_line_request r = simtest::line_request({27, 22});
    r.config = simtest::line_config(0x68, false);  // 27 (as C2CK) an output, 22 (as C2D) an input
    ASSERT_EQ(chip.get_line(r), 0);
    constexpr uint64_t kUsed = GPIO_V2_LINE_FLAG_USED, kIn = GPIO_V2_LINE_FLAG_INPUT,
                       kOut = GPIO_V2_LINE_FLAG_OUTPUT;
    struct Line { uint32_t offset; int error; uint64_t flags; const char* consumer; };
    auto check = [&](std::initializer_list<Line> lines) {
        for (const Line& l : lines) {
            SCOPED_TRACE(l.offset);
            gpio_v2_line_info li = {};
            li.offset = l.offset;
            ASSERT_EQ(ioctl(chip.fd, GPIO_V2_GET_LINEINFO_IOCTL, &li) ? errno : 0, l.error);
            if (!l.error) {
                EXPECT_EQ(li.name, "GPIO" + std::to_string(l.offset));
                EXPECT_EQ(li.flags, l.flags);
                EXPECT_STREQ(li.consumer, l.consumer);
            }
        }
    };
    check({{4, 0, kUsed | kIn, "busy"}, {27, 0, kUsed | kOut, "harlune"},
           {22, 0, kUsed | kIn, "harlune"}, {5, 0, kIn, ""}, {54, EINVAL, 0, ""}});
    close(r.fd);
    EXPECT_EQ(harlune_sim::stats().releases, 1u);
    check({{27, 0, kOut, ""}, {22, 0, kIn, ""}});  // free, in the state they were left
}

TEST(Gpio, WritesAndReadsAreTracedByLine)
{
    Host h(wired(22), Port::gpio);
    h.write(0x20);  // reset active: C2CK released; C2D low driven
    gpio_v2_line_values set = {2, 2};  // d high
    EXPECT_EQ(ioctl(h.fd(), GPIO_V2_LINE_SET_VALUES_IOCTL, &set), 0);
    EXPECT_EQ(h.read(), 1);
    gpio_v2_line_values get = {7, 5};  // ck and rst
    EXPECT_EQ(ioctl(h.fd(), GPIO_V2_LINE_GET_VALUES_IOCTL, &get), 0);
    EXPECT_EQ(get.bits, 0u) << "C2CK held low by the reset, the reset line low";
    EXPECT_EQ(harlune_sim::trace(), "L Gz00 Gz10 g1 g-");
    EXPECT_EQ(harlune_sim::stats().writes, 2u);
    EXPECT_EQ(harlune_sim::stats().reads, 2u);
    EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
}

// Faulted, and refused as the kernel refuses them (error 0: the kernel takes it).
TEST(Gpio, MisusedRequestsAreFaulted)
{
    gpio_v2_line_config good = simtest::line_config(0x68, false), bad = good;
    bad.flags |= GPIO_V2_LINE_FLAG_OUTPUT;
    gpio_v2_line_config fight = simtest::line_config(0x28, true);  // C2CK high, then rst low too
    fight.attrs[0].mask |= 4;
    fight.attrs[1].mask |= 4;
    gpio_v2_line_values first = {1, 1}, fourth = {0, 8};
    enum On { chip, line, released };
    struct Case { const char* name; On on; unsigned long request; void* arg; int error; const char* fault; };
    const Case cases[] = {
        {"a write on the chip", chip, GPIO_V2_LINE_SET_CONFIG_IOCTL, &good, ENOTTY,
         "GPIO_V2_LINE_SET_CONFIG_IOCTL on the chip, before GPIO_V2_GET_LINE_IOCTL"},
        {"a bad config", line, GPIO_V2_LINE_SET_CONFIG_IOCTL, &bad, EINVAL,
         "GPIO_V2_LINE_SET_CONFIG_IOCTL refused"},
        {"values set on an input", line, GPIO_V2_LINE_SET_VALUES_IOCTL, &first, EPERM,
         "GPIO_V2_LINE_SET_VALUES_IOCTL refused"},
        {"values of no requested line", line, GPIO_V2_LINE_GET_VALUES_IOCTL, &fourth, EINVAL,
         "GPIO_V2_LINE_GET_VALUES_IOCTL refused"},
        {"a released request", released, GPIO_V2_LINE_GET_VALUES_IOCTL, &first, EBADF,
         "GPIO_V2_LINE_GET_VALUES_IOCTL on a released line request"},
        {"C2CK driven against the reset line", line, GPIO_V2_LINE_SET_CONFIG_IOCTL, &fight, 0,
         "C2CK driven high while the reset line drives it low"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Host h(wired(22), Port::gpio);
        int fd = k.on == chip ? h.chip() : h.fd();
        if (k.on == released) {
            gpio_v2_line_request r = simtest::line_request({5});
            ASSERT_EQ(ioctl(h.chip(), GPIO_V2_GET_LINE_IOCTL, &r), 0);
            close(fd = r.fd);
        }
        errno = 0;
        EXPECT_EQ(ioctl(fd, k.request, k.arg), k.error ? -1 : 0);
        EXPECT_EQ(errno, k.error);
        EXPECT_EQ(simtest::faults_with(k.fault), 1u) << simtest::all_faults();
        EXPECT_EQ(harlune_sim::fault_count(), 1u) << simtest::all_faults();
        EXPECT_EQ(harlune_sim::stats().writes + harlune_sim::stats().reads, k.error ? 0u : 1u);
    }
}

// What `steps` leave behind on a programmer started on `port`.
struct Outcome {
    std::string trace, frames, report;
    std::vector<uint8_t> flash;
    harlune_sim::Stats stats;
};

Outcome run(const Config& c, Port port, const std::function<void(simtest::Programmer&)>& steps)
{
    simtest::Programmer p(c, port);
    steps(p);
    EXPECT_EQ(harlune_sim::fault_count(), 0u) << simtest::all_faults();
    return {harlune_sim::trace(), harlune_sim::frames(), harlune_sim::report(),
            harlune_sim::flash(), harlune_sim::stats()};
}

TEST(Ports, ProgrammingGoesAsOnTheParallelPort)
{
    auto steps = [](simtest::Programmer& p) {
        ASSERT_TRUE(p.block_write(0x0123, {0xA5, 0x3C}));
        EXPECT_EQ(p.block_read(0x0122, 4), (std::vector<uint8_t>{0xFF, 0xA5, 0x3C, 0xFF}));
    };
    Outcome parallel = run(Config{}, Port::parallel, steps);
    EXPECT_EQ(parallel.trace.substr(0, 26), "C W20 W20 W20 D40 W28 D3 W");
    Config ftdi_rst;
    ftdi_rst.ftdi_wiring.rst = 2;
    struct Case { Port port; Config config; std::string trace; };  // the trace's start
    const Case cases[] = {
        {Port::gpio, wired(kNoLine), "L G00- G00- G00- D40 G10- D3 G"},
        {Port::gpio, wired(22), "L Gz00 Gz00 Gz00 D40 G10z D3 G"},
        {Port::ftdi, Config{}, "F00- F00- F00- U D125 F10- U D125 F00- F10-"},
        {Port::ftdi, ftdi_rst, "Fz00 Fz00 Fz00 U D125 F10z U D125 F00z F10z"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.trace);
        Outcome o = run(k.config, k.port, steps);
        EXPECT_EQ(o.trace.substr(0, k.trace.size()), k.trace);
        EXPECT_EQ(o.frames, parallel.frames);
        EXPECT_EQ(o.flash, parallel.flash);
        if (k.port == Port::gpio)  // request for request: every counter alike
            EXPECT_EQ(o.report, parallel.report);
        else  // on the chip's own time: no strobe stretched
            EXPECT_EQ(o.stats.transfer_lows + o.stats.unplanned_resets + o.stats.lows_over_5us, 0u);
    }
}

TEST(GpioPort, WithoutAResetLineALongLowFromIdleIsTheHostsResetPulse)
{
    using simtest::kC2ckHigh;
    struct Case {
        const char* name;
        uint64_t stall_at;  // 100 us after this strobe (42 start programming)
        std::function<void(simtest::Programmer&)> steps;
        uint64_t unplanned, early;  // on the GPIO lines
        uint64_t strobes_short;     // of the parallel port's
    };
    auto stalled_low = [](unsigned settle_us) {
        return [=](Host& h) {
            h.set(kC2ckHigh, false);
            h.set(kC2ckHigh, true);
            usleep(settle_us);
            h.address_write(0x00);
        };
    };
    const Case cases[] = {
        {"a stall inside a frame", 48, [](Host& h) { h.address_write(0x00); }, 1, 0, 0},
        {"a 40 us reset pulse", 0, [](Host& h) { h.reset_pulse(40); h.address_write(0x00); }, 0, 0, 0},
        // Strobe 43 from idle: a stalled START when the next one follows within 2 us.
        {"a stall, START 1 us after", 43, stalled_low(0), 1, 1, 0},
        {"a stall, START 2 us after", 43, stalled_low(1), 0, 0, 1},
        // The same strobe as a frame's START: the host drives INS next.
        {"a stalled START, its frame going on", 43, [](Host& h) { h.address_write(0x00); }, 1, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Config c;  // no reset line
        c.stall_ns = 100000;
        if (k.stall_at)
            c.stall_at = {k.stall_at};
        Outcome parallel = run(c, Port::parallel, k.steps), gpio = run(c, Port::gpio, k.steps);
        EXPECT_EQ(gpio.frames, parallel.frames);
        EXPECT_EQ(gpio.stats.resets, 2u);
        EXPECT_EQ(gpio.stats.unplanned_resets, k.unplanned);
        EXPECT_EQ(gpio.stats.early_frames, k.early);
        EXPECT_EQ(gpio.stats.strobes, parallel.stats.strobes - k.strobes_short);
        if (!k.strobes_short) {
            EXPECT_EQ(gpio.report, parallel.report);
        }
    }
}

}  // namespace
