// The interposed calls: the port requests, virtual time, traces and files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>

#include "common.h"
#include "host.h"

using harlune_sim::Config;
using common::slurp;
using simtest::Host;
using Scratch = common::TempDir;

namespace {

uint64_t monotonic_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

TEST(Port, ClaimWriteAndReadAreTraced)
{
    Host h;
    h.write(0x68);
    uint8_t s = 0;
    EXPECT_EQ(simtest::read_status(h.fd(), s), 0);
    EXPECT_EQ(s, 0x78);
    EXPECT_EQ(harlune_sim::trace(), "C W68 R78");
    const harlune_sim::Stats& st = harlune_sim::stats();
    EXPECT_EQ(st.opens, 1u);
    EXPECT_EQ(st.claims, 1u);
    EXPECT_EQ(st.writes, 1u);
    EXPECT_EQ(st.reads, 1u);
    EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
}

TEST(Port, ClaimCanFail)
{
    for (auto [claim, error] : {std::pair{harlune_sim::Claim::enxio, ENXIO}, {harlune_sim::Claim::einval, EINVAL}}) {
        Config c;
        c.claim = claim;
        Host h(c, false);
        errno = 0;
        EXPECT_EQ(simtest::claim(h.fd()), -1);
        EXPECT_EQ(errno, error);
        simtest::write_data(h.fd(), 0x20);
        EXPECT_EQ(simtest::faults_with("PPWDATA before a successful PPCLAIM"), 1u) << simtest::all_faults();
    }
}

// A request with a cost changes the line halfway through it: a strobe of
// two requests back to back is low for one, whatever they cost. On GPIO
// each kind of request has its own cost.
TEST(Port, RequestCostsAndTheLineChangeAtTheirMiddle)
{
    Config c;
    c.ppdev_request_ns = 3000;
    c.gpio_set_config_ns = 9000;
    c.gpio_set_values_ns = 2000;
    {
        Host h(c);
        h.write(0x28);
        h.write(0x08);
        h.write(0x28);
        EXPECT_EQ(harlune_sim::stats().longest_low_ns, 3000u);
    }
    Host g(c, simtest::Port::gpio);
    g.write(0x28);  // SET_CONFIG: C2CK an output, high
    gpio_v2_line_values low{0, 1}, high{1, 1};
    ASSERT_EQ(ioctl(g.fd(), GPIO_V2_LINE_SET_VALUES_IOCTL, &low), 0);
    ASSERT_EQ(ioctl(g.fd(), GPIO_V2_LINE_SET_VALUES_IOCTL, &high), 0);
    EXPECT_EQ(harlune_sim::stats().longest_low_ns, 2000u);
    EXPECT_EQ(harlune_sim::stats().strobes, 1u);
}

TEST(Port, RequestsBeforeClaimAreServedButFaulted)
{
    Host h(Config{}, false);
    uint8_t s = 0;
    EXPECT_EQ(simtest::read_status(h.fd(), s), 0);
    EXPECT_EQ(s, 0x78);
    EXPECT_EQ(simtest::faults_with("PPRSTATUS before a successful PPCLAIM"), 1u);
    EXPECT_EQ(harlune_sim::trace(), "R78");
}

TEST(Port, UnknownRequestFailsWithEnotty)
{
    Host h;
    int arg = 0;
    errno = 0;
    EXPECT_EQ(ioctl(h.fd(), 0x80017082ul, &arg), -1);  // PPRCONTROL
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(harlune_sim::trace(), "C X80017082");
    EXPECT_EQ(harlune_sim::stats().others, 1u);
    EXPECT_EQ(simtest::faults_with("unexpected ioctl request 0x80017082"), 1u);
}

TEST(Port, OtherFilesGoThroughToTheSystem)
{
    Host h;
    Scratch dir;
    std::string path = dir.path("plain");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(slurp(path), "abc");

    int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    uint8_t b = 0x20;
    EXPECT_EQ(ioctl(null, simtest::kPpwdata, &b), -1);  // the real driver's answer
    close(null);
    EXPECT_EQ(harlune_sim::trace(), "C");
    EXPECT_EQ(harlune_sim::stats().opens, 1u);
    EXPECT_EQ(harlune_sim::stats().closes, 0u);
}

TEST(Port, ConfiguredDevicePathIsTheOneServed)
{
    Config c;
    c.device = "/tmp/no-such-dir/parport7";
    Host h(c);
    EXPECT_EQ(harlune_sim::trace(), "C");
    EXPECT_EQ(open("/dev/parport0-not-served", O_RDWR), -1);
    EXPECT_EQ(harlune_sim::stats().opens, 1u);
}

TEST(Time, SleepsAreVirtual)
{
    Host h;
    uint64_t before = monotonic_ns();
    EXPECT_EQ(usleep(1000000), 0);
    uint64_t after = monotonic_ns();
    EXPECT_EQ(after - before, 1000000000u + harlune_sim::config().clock_step_ns);

    struct timespec ns = {0, 500000};
    EXPECT_EQ(nanosleep(&ns, nullptr), 0);
    EXPECT_EQ(sleep(2), 0u);
    struct timespec rel = {0, 3000};
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, 0, &rel, nullptr), 0);
    uint64_t t = monotonic_ns();
    struct timespec until = {static_cast<time_t>((t + 7000) / 1000000000u),
                             static_cast<long>((t + 7000) % 1000000000u)};
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr), 0);
    EXPECT_EQ(monotonic_ns(), t + 7000 + harlune_sim::config().clock_step_ns);

    const harlune_sim::Stats& st = harlune_sim::stats();
    EXPECT_EQ(st.sleep_calls, 5u);
    EXPECT_EQ(st.sleep_us, 1000000u + 500u + 2000000u + 3u + 7u);
    EXPECT_EQ(st.sleep_real_us, 0u);
}

TEST(Time, GapsBetweenRequestsBecomeDelayTokens)
{
    Config c;
    c.request_ns = 1000;
    c.clock_step_ns = 250;
    Host h(c);
    h.write(0x20);
    usleep(40);
    h.write(0x28);
    for (int i = 0; i < 7; ++i)
        monotonic_ns();  // 1.75 us
    h.write(0x28);
    usleep(1000000);
    h.write(0x28);
    h.write(0x28);
    EXPECT_EQ(harlune_sim::trace(), "C W20 D40 W28 D1 W28 D1000000 W28 W28");
}

TEST(Time, RequestsTakeRequestNs)
{
    Config c;
    c.request_ns = 2500;
    Host h(c);
    uint64_t before = monotonic_ns();
    for (int i = 0; i < 4; ++i)
        h.write(0x68);
    EXPECT_EQ(monotonic_ns() - before, 4u * 2500u + c.clock_step_ns);
}

TEST(Time, RealClockSleepsAreMeasured)
{
    Config c;
    c.clock = harlune_sim::Clock::real;
    Host h(c);
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    usleep(2000);
    clock_gettime(CLOCK_MONOTONIC, &b);
    uint64_t spent = static_cast<uint64_t>(b.tv_sec - a.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(b.tv_nsec) - static_cast<uint64_t>(a.tv_nsec);
    EXPECT_GE(spent, 2000000u) << "the real clock is read";
    EXPECT_GE(harlune_sim::stats().sleep_real_us, 2000u);
    EXPECT_LE(harlune_sim::stats().sleep_real_us * 1000, spent);
    EXPECT_EQ(harlune_sim::stats().sleep_us, 2000u);
}

// AddressSanitizer answers mlockall itself (it does nothing) before the
// simulator sees it; harlune's own call then changes nothing either.
#ifdef HARLUNE_SANITIZED
constexpr bool kMlockallReached = false;
#else
constexpr bool kMlockallReached = true;
#endif

TEST(Port, RealTimeRequestsAreRefusedUnlessAllowed)
{
    sched_param fifo = {};
    fifo.sched_priority = 50;
    {
        SCOPED_TRACE("refused");
        Host h;
        errno = 0;
        EXPECT_EQ(sched_setscheduler(0, SCHED_FIFO, &fifo), -1);
        EXPECT_EQ(errno, EPERM);
        errno = 0;
        EXPECT_EQ(sched_setparam(0, &fifo), -1);
        EXPECT_EQ(errno, EPERM);
        if (kMlockallReached) {
            errno = 0;
            EXPECT_EQ(mlockall(MCL_CURRENT | MCL_FUTURE), -1);
            EXPECT_EQ(errno, EPERM);
        }
        EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the test never runs at real-time priority";
        EXPECT_EQ(harlune_sim::stats().rt_requests, kMlockallReached ? 3u : 2u);
    }
    {
        SCOPED_TRACE("allowed: the C library answers (here: bad arguments)");
        Config c;
        c.allow_rt = true;
        Host h(c);
        errno = 0;
        EXPECT_EQ(sched_setscheduler(0, 12345, &fifo), -1);
        EXPECT_EQ(errno, EINVAL);
        if (kMlockallReached) {
            errno = 0;
            EXPECT_EQ(mlockall(0), -1);
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_EQ(harlune_sim::stats().rt_requests, kMlockallReached ? 2u : 1u);
    }
}

volatile sig_atomic_t g_signals = 0;
void count_signal(int) { g_signals = g_signals + 1; }

TEST(Port, SignalIsRaisedInsideTheChosenRequest)
{
    struct sigaction sa = {}, old = {};
    sa.sa_handler = count_signal;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    g_signals = 0;
    Config c;
    c.signal = SIGUSR1;
    c.signal_at = 3;  // the claim, one write, then this read
    {
        Host h(c);
        h.write(0x68);
        ioctl(h.fd(), 0x1234ul);  // not counted
        EXPECT_EQ(g_signals, 0);
        h.read();
        EXPECT_EQ(g_signals, 1);
        h.read();
        EXPECT_EQ(g_signals, 1);
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(Files, OutputsAreWrittenWhenTheDeviceCloses)
{
    Scratch dir;
    Config c;
    c.trace_file = dir.path("trace");
    c.frames_file = dir.path("frames");
    c.report_file = dir.path("report");
    {
        Host h(c);
        h.open_lines();
        h.reset_pulse();
        h.address_write(0x00);
        h.write(0x6C);  // one fault
    }
    EXPECT_EQ(slurp(c.trace_file), harlune_sim::trace() + "\n");
    EXPECT_EQ(slurp(c.frames_file), "RESET AW:00\n");
    std::string report = slurp(c.report_file);
    EXPECT_NE(report.find("opens 1\ncloses 1\nclaims 1\nwrites 40\nreads 0\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("\naddress_writes 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nresets 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\ndevice_erases 0\nstrobes 12\nstalls 0\nholds 0\nunplanned_resets 0\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("\nrt_requests 0\nfaults 1\nfault unused data-register bits set: 0x6C (request 41)\n"),
              std::string::npos)
        << report;
    harlune_sim::configure(Config{});  // no files left to write at exit
}

TEST(Files, FlashFileLoadsAndSavesWhole)
{
    Scratch dir;
    Config c;
    c.flash_size = 1024;
    c.flash_file = dir.path("flash.bin");
    {
        std::ofstream(c.flash_file, std::ios::binary) << "\x01\x02\x03";
    }
    {
        Host h(c);
        std::vector<uint8_t>& flash = harlune_sim::flash();
        ASSERT_EQ(flash.size(), 1024u);
        EXPECT_EQ(flash[0], 0x01);
        EXPECT_EQ(flash[2], 0x03);
        EXPECT_EQ(flash[3], 0xFF);
        EXPECT_EQ(flash[1023], 0xFF);
        flash[1000] = 0x42;
        EXPECT_TRUE(harlune_sim::faults().empty()) << simtest::all_faults();
    }
    std::string saved = slurp(c.flash_file);
    ASSERT_EQ(saved.size(), 1024u);
    EXPECT_EQ(saved.substr(0, 4), std::string("\x01\x02\x03\xFF", 4));
    EXPECT_EQ(static_cast<uint8_t>(saved[1000]), 0x42);

    c.flash_size = 512;  // the saved file is now too long
    harlune_sim::configure(c);
    EXPECT_EQ(harlune_sim::flash()[2], 0x03);
    EXPECT_EQ(simtest::faults_with("is longer than the flash (512 bytes)"), 1u) << simtest::all_faults();
    harlune_sim::configure(Config{});
}

}  // namespace
