// Configuration from the environment, and the library preloaded into a
// separate program, configured by that environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common.h"
#include "host.h"

using common::slurp;
using harlune_sim::Attach;
using harlune_sim::Clock;
using harlune_sim::Config;

namespace {

// Sets variables for one scope.
struct Env {
    explicit Env(std::vector<std::pair<std::string, std::string>> vars) : vars_(std::move(vars))
    {
        for (auto& [k, v] : vars_)
            setenv(k.c_str(), v.c_str(), 1);
    }
    ~Env()
    {
        for (auto& [k, v] : vars_)
            unsetenv(k.c_str());
    }
    std::vector<std::pair<std::string, std::string>> vars_;
};

TEST(Env, DefaultsWithoutVariables)
{
    Config c = harlune_sim::config_from_env();
    EXPECT_EQ(c.device, "/dev/parport0");
    EXPECT_EQ(c.attach, Attach::target);
    EXPECT_FALSE(c.trace) << "no trace without a file to write it to";
    EXPECT_EQ(c.clock, Clock::wire) << "a preloaded run: the wire on the real clock";
    EXPECT_FALSE(c.allow_rt);
    EXPECT_EQ(c.stall_ns, 0u);
    EXPECT_EQ(c.flash_size, 0x4000u);
    EXPECT_TRUE(c.refusals.empty());
    EXPECT_EQ(c.gpio_chip, "/dev/gpiochip0");
    EXPECT_EQ(c.gpio_wiring.ck, 17u);
    EXPECT_EQ(c.gpio_wiring.d, 27u);
    EXPECT_EQ(c.gpio_wiring.rst, harlune_sim::kNoLine);
    EXPECT_EQ(c.gpio_lines, 54u);
    EXPECT_TRUE(c.gpio_busy.empty());
    ASSERT_EQ(c.ftdi_devices.size(), 1u) << "an FT232H";
    EXPECT_EQ(c.ftdi_devices[0].product, 0x6014);
    EXPECT_EQ(c.ftdi_devices[0].serial, "HL0001");
    EXPECT_EQ(c.ftdi_wiring.ck + c.ftdi_wiring.d, 1u);
    EXPECT_EQ(c.ftdi_rtt_ns, 125000u);
}

TEST(Env, EveryVariableIsParsed)
{
    Env env({{"HARLUNE_SIM_DEVICE", "/tmp/port9"},
             {"HARLUNE_SIM_ATTACH", "c2d_low"},
             {"HARLUNE_SIM_CLAIM_FAIL", "1"},
             {"HARLUNE_SIM_DEVICE_ID", "0x1F"},
             {"HARLUNE_SIM_FLASH_SIZE", "0x8000"},
             {"HARLUNE_SIM_PAGE_SIZE", "1024"},
             {"HARLUNE_SIM_WAIT", "3"},
             {"HARLUNE_SIM_BUSY_POLLS", "2"},
             {"HARLUNE_SIM_READY_POLLS", "4"},
             {"HARLUNE_SIM_ERASE_POLLS", "100"},
             {"HARLUNE_SIM_FREEZE", "ready,busy"},
             {"HARLUNE_SIM_SEED", "42"},
             {"HARLUNE_SIM_REFUSE", "07:3:2:02,06:1:1:00"},
             {"HARLUNE_SIM_REQUEST_NS", "500"},
             {"HARLUNE_SIM_CLOCK", "real"},
             {"HARLUNE_SIM_ALLOW_RT", "1"},
             {"HARLUNE_SIM_STALL_US", "100"},
             {"HARLUNE_SIM_STALL_AT", "5,9"},
             {"HARLUNE_SIM_STALL_EVERY", "7"},
             {"HARLUNE_SIM_STALL_ONE_IN", "50"},
             {"HARLUNE_SIM_STALL_SEED", "3"},
             {"HARLUNE_SIM_MID_LOW", "random"},
             {"HARLUNE_SIM_MID_LOW_SEED", "8"},
             {"HARLUNE_SIM_HOLD_US", "10000"},
             {"HARLUNE_SIM_HOLD_AT", "4,6"},
             {"HARLUNE_SIM_HOLD_AFTER", "commands"},
             {"HARLUNE_SIM_FRAMES", "/tmp/f"},
             {"HARLUNE_SIM_REPORT", "/tmp/r"},
             {"HARLUNE_SIM_FLASH", "/tmp/flash"},
             {"HARLUNE_SIM_SIGNAL", "2@100000"},
             {"HARLUNE_SIM_GPIO_CHIP", "/tmp/chip4"},
             {"HARLUNE_SIM_GPIO_LINES", "30"},
             {"HARLUNE_SIM_GPIO_WIRING", "rst=29,d=0,ck=3"},
             {"HARLUNE_SIM_GPIO_BUSY", "5,29"},
             {"HARLUNE_SIM_FTDI", "0403:6010,1234:abcd:X 1"},
             {"HARLUNE_SIM_FTDI_WIRING", "ck=8,d=3,rst=15"},
             {"HARLUNE_SIM_FTDI_INTERFACE", "B"},
             {"HARLUNE_SIM_FTDI_FAIL", "busy"},
             {"HARLUNE_SIM_FTDI_RTT_US", "1000"},
             {"HARLUNE_SIM_FTDI_SPEED", "full"},
             {"HARLUNE_SIM_FTDI_PACKET_GAP_US", "40"},
             {"HARLUNE_SIM_FTDI_COMMAND_NS", "250"},
             {"HARLUNE_SIM_FTDI_UNPLUG_AT", "7"},
             {"HARLUNE_SIM_GPIO_REQUEST_US", "300"},
             {"HARLUNE_SIM_GPIO_NAMES", "3=LED,17=LED"}});
    Config c = harlune_sim::config_from_env();
    EXPECT_EQ(c.device, "/tmp/port9");
    EXPECT_EQ(c.attach, Attach::c2d_low);
    EXPECT_TRUE(c.claim_fails);
    EXPECT_EQ(c.device_id, 0x1F);
    EXPECT_EQ(c.flash_size, 0x8000u);
    EXPECT_EQ(c.page_size, 1024u);
    EXPECT_EQ(c.wait_strobes, 3u);
    EXPECT_EQ(c.busy_polls, 2u);
    EXPECT_EQ(c.ready_polls, 4u);
    EXPECT_EQ(c.erase_polls, 100u);
    EXPECT_TRUE(c.freeze_busy);
    EXPECT_TRUE(c.freeze_ready);
    EXPECT_EQ(c.seed, 42u);
    ASSERT_EQ(c.refusals.size(), 2u);
    EXPECT_EQ(c.refusals[0].command, 0x07);
    EXPECT_EQ(c.refusals[0].nth, 3u);
    EXPECT_EQ(c.refusals[0].point, 2u);
    EXPECT_EQ(c.refusals[0].code, 0x02);
    EXPECT_EQ(c.refusals[1].command, 0x06);
    EXPECT_EQ(c.refusals[1].nth, 1u);
    EXPECT_EQ(c.refusals[1].point, 1u);
    EXPECT_EQ(c.refusals[1].code, 0x00);
    EXPECT_EQ(c.request_ns, 500u);
    EXPECT_EQ(c.clock, Clock::real);
    EXPECT_TRUE(c.allow_rt);
    EXPECT_EQ(c.stall_ns, 100000u);
    EXPECT_EQ(c.stall_at, (std::vector<uint64_t>{5, 9}));
    EXPECT_EQ(c.stall_every, 7u);
    EXPECT_EQ(c.stall_one_in, 50u);
    EXPECT_EQ(c.stall_seed, 3u);
    EXPECT_EQ(c.mid_low, harlune_sim::MidLow::random);
    EXPECT_EQ(c.mid_low_seed, 8u);
    EXPECT_EQ(c.hold_ns, 10000000u);
    EXPECT_EQ(c.hold_at, (std::vector<uint64_t>{4, 6}));
    EXPECT_TRUE(c.hold_after_commands);
    EXPECT_TRUE(c.trace) << "a frames file keeps the traces";
    EXPECT_EQ(c.trace_file, "");
    EXPECT_EQ(c.frames_file, "/tmp/f");
    EXPECT_EQ(c.report_file, "/tmp/r");
    EXPECT_EQ(c.flash_file, "/tmp/flash");
    EXPECT_EQ(c.signal, 2);
    EXPECT_EQ(c.signal_at, 100000u);
    EXPECT_EQ(c.gpio_chip, "/tmp/chip4");
    EXPECT_EQ(c.gpio_lines, 30u);
    EXPECT_EQ(c.gpio_wiring.ck, 3u);
    EXPECT_EQ(c.gpio_wiring.d, 0u);
    EXPECT_EQ(c.gpio_wiring.rst, 29u);
    EXPECT_EQ(c.gpio_busy, (std::vector<uint32_t>{5, 29}));
    ASSERT_EQ(c.ftdi_devices.size(), 2u);
    EXPECT_EQ(c.ftdi_devices[0].product, 0x6010);
    EXPECT_EQ(c.ftdi_devices[0].serial, "");
    EXPECT_EQ(c.ftdi_devices[1].vendor << 16 | c.ftdi_devices[1].product, 0x1234ABCD);
    EXPECT_EQ(c.ftdi_devices[1].serial, "X 1");
    EXPECT_EQ(c.ftdi_wiring.ck, 8u);
    EXPECT_EQ(c.ftdi_wiring.d, 3u);
    EXPECT_EQ(c.ftdi_wiring.rst, 15u);
    EXPECT_EQ(c.ftdi_interface, 1);
    EXPECT_EQ(c.ftdi_fail, harlune_sim::FtdiFail::busy);
    EXPECT_EQ(c.ftdi_rtt_ns, 1000000u);
    EXPECT_TRUE(c.ftdi_full_speed);
    EXPECT_EQ(c.ftdi_packet_gap_ns, 40000u);
    EXPECT_EQ(c.ftdi_command_ns, 250u);
    EXPECT_EQ(c.ftdi_unplug_at, 7u);
    Env none({{std::string("HARLUNE_SIM_FTDI"), std::string()}});
    EXPECT_TRUE(harlune_sim::config_from_env().ftdi_devices.empty());
    EXPECT_EQ(c.gpio_request_ns, 300000u);
    EXPECT_EQ(c.gpio_names, (std::vector<std::pair<uint32_t, std::string>>{{3, "LED"}, {17, "LED"}}));
}

TEST(Env, ScriptedSamples)
{
    Env env({{"HARLUNE_SIM_ATTACH", "scripted"}, {"HARLUNE_SIM_SAMPLES", "1,0,0,1"}});
    Config c = harlune_sim::config_from_env();
    EXPECT_EQ(c.attach, Attach::scripted);
    EXPECT_EQ(c.samples, (std::vector<int>{1, 0, 0, 1}));
}

TEST(EnvDeathTest, UnparseableValuesExitWithStatus2)
{
    const std::vector<std::pair<const char*, const char*>> bad = {
        {"HARLUNE_SIM_ATTACH", "floating"},
        {"HARLUNE_SIM_DEVICE", ""},
        {"HARLUNE_SIM_DEVICE_ID", "0x100"},
        {"HARLUNE_SIM_FLASH_SIZE", "16k"},
        {"HARLUNE_SIM_FLASH_SIZE", "0"},
        {"HARLUNE_SIM_WAIT", "-1"},
        {"HARLUNE_SIM_FREEZE", "busy,"},
        {"HARLUNE_SIM_REFUSE", "07:0:1:02"},
        {"HARLUNE_SIM_REFUSE", "03:1:2:02"},
        {"HARLUNE_SIM_REFUSE", "07:1:3:02"},
        {"HARLUNE_SIM_REFUSE", "07:1:1"},
        {"HARLUNE_SIM_SIGNAL", "2"},
        {"HARLUNE_SIM_CLAIM_FAIL", "yes"},
        {"HARLUNE_SIM_SAMPLES", "1,2"},
        {"HARLUNE_SIM_CLOCK", "virtual_time"},
        {"HARLUNE_SIM_REAL_TIME", "1"},
        {"HARLUNE_SIM_ALLOW_RT", "yes"},
        {"HARLUNE_SIM_STALL_US", "0"},
        {"HARLUNE_SIM_STALL_US", "1.5"},
        {"HARLUNE_SIM_STALL_AT", "5,,9"},
        {"HARLUNE_SIM_STALL_AT", "0"},
        {"HARLUNE_SIM_STALL_EVERY", "3"},  // no HARLUNE_SIM_STALL_US
        {"HARLUNE_SIM_STALL_ONE_IN", "0"},
        {"HARLUNE_SIM_STALL_SEED", "-1"},
        {"HARLUNE_SIM_MID_LOW", "resets"},
        {"HARLUNE_SIM_HOLD_AT", "3"},  // no HARLUNE_SIM_HOLD_US
        {"HARLUNE_SIM_GPIO_CHIP", ""},
        {"HARLUNE_SIM_GPIO_LINES", "0"},
        {"HARLUNE_SIM_GPIO_WIRING", "ck=17"},
        {"HARLUNE_SIM_GPIO_WIRING", "ck=17,d=17"},
        {"HARLUNE_SIM_GPIO_WIRING", "ck=17,d=27,ck=5"},
        {"HARLUNE_SIM_GPIO_WIRING", "ck=17,d=54"},  // past the 54 lines
        {"HARLUNE_SIM_GPIO_WIRING", "ck=17,d=27,rst"},
        {"HARLUNE_SIM_GPIO_BUSY", "3,54"},
        {"HARLUNE_SIM_FTDI", "0403"},
        {"HARLUNE_SIM_FTDI", "0403:6014:"},
        {"HARLUNE_SIM_FTDI_WIRING", "ck=0,d=16"},
        {"HARLUNE_SIM_FTDI_INTERFACE", "C"},
        {"HARLUNE_SIM_FTDI_FAIL", "gone"},
        {"HARLUNE_SIM_FTDI_SPEED", "low"},
        {"HARLUNE_SIM_FTDI_PACKET_GAP_US", "1000001"},
        {"HARLUNE_SIM_FTDI_COMMAND_NS", "0"},
        {"HARLUNE_SIM_FTDI_UNPLUG_AT", "0"},
        {"HARLUNE_SIM_GPIO_REQUEST_US", "0"},
        {"HARLUNE_SIM_GPIO_NAMES", "54=X"},
        {"HARLUNE_SIM_GPIO_NAMES", "3="},
    };
    for (const auto& [name, value] : bad) {
        SCOPED_TRACE(std::string(name) + "=" + value);
        Env env({{std::string(name), std::string(value)}});
        EXPECT_EXIT(harlune_sim::config_from_env(), testing::ExitedWithCode(2),
                    std::string("^harlune-sim: ") + name + "=");
    }
}

// The probe (run by `wrapper`) with the library preloaded and `vars` in its environment.
using ProbeRun = common::Process;

ProbeRun run_probe(const std::vector<std::string>& args, const std::vector<std::string>& vars,
                   std::vector<std::string> wrapper = {})
{
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + SIM_LIBRARY,
                                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    env.insert(env.end(), vars.begin(), vars.end());
    wrapper.push_back(SIM_PROBE);
    wrapper.insert(wrapper.end(), args.begin(), args.end());
    return common::run(wrapper, env);
}

class Preload : public testing::Test {
protected:
    std::string path(const char* name) const { return dir_.path(name); }
    common::TempDir dir_{"harlune-sim-preload"};
};

TEST_F(Preload, ServesTheDeviceAndWritesItsFilesAtClose)
{
    std::string device = path("parport");
    ProbeRun run = run_probe({device}, {"HARLUNE_SIM_DEVICE=" + device,
                                        "HARLUNE_SIM_CLOCK=virtual",
                                        "HARLUNE_SIM_TRACE=" + path("trace"),
                                        "HARLUNE_SIM_REPORT=" + path("report"),
                                        "HARLUNE_SIM_FLASH=" + path("flash"),
                                        "HARLUNE_SIM_FLASH_SIZE=512"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "status 78 slept 1000000250\n");
    EXPECT_EQ(slurp(path("trace")), "C W20 W20 W20 D40 W28 D3 W68 R78\n");
    std::string report = slurp(path("report"));
    EXPECT_NE(report.find("closes 1\nclaims 1\nwrites 5\nreads 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("sleep_calls 3\nsleep_us 1000043\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nresets 1\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nfaults 0\n"), std::string::npos) << report;
    EXPECT_EQ(slurp(path("flash")), std::string(512, '\xFF'));
}

TEST_F(Preload, WireTimeByDefaultSkipsSleepsButNotTheirTime)
{
    std::string device = path("parport");
    ProbeRun run = run_probe({device}, {"HARLUNE_SIM_DEVICE=" + device,
                                        "HARLUNE_SIM_REPORT=" + path("report")});
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(run.out.substr(0, 16), "status 78 slept ") << run.out;
    EXPECT_GE(std::stoull(run.out.substr(16)), 1000000000u) << "the host's clock jumped the sleep";
    std::string report = slurp(path("report"));
    EXPECT_NE(report.find("sleep_calls 3\nsleep_us 1000043\nsleep_real_us 0\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("\nresets 1\n"), std::string::npos) << "the 40 us pulse counted" << report;
    EXPECT_NE(report.find("\nfaults 0\n"), std::string::npos) << report;
}

TEST_F(Preload, FilesAreWrittenAtExitWhenTheDeviceStaysOpen)
{
    // By the probe alone: timeout loads the library too but opens no device.
    std::string device = path("parport");
    ProbeRun run = run_probe({device, "keep"}, {"HARLUNE_SIM_DEVICE=" + device,
                                                "HARLUNE_SIM_REPORT=" + path("report")},
                             {"/usr/bin/timeout", "60"});
    ASSERT_EQ(run.status, 0) << run.out;
    std::string report = slurp(path("report"));
    EXPECT_NE(report.find("opens 1\ncloses 0\nclaims 1\nwrites 5\n"), std::string::npos) << report;
}

TEST_F(Preload, ClaimFailureAndBadEnvironment)
{
    std::string device = path("parport");
    EXPECT_EQ(run_probe({device}, {"HARLUNE_SIM_DEVICE=" + device, "HARLUNE_SIM_CLAIM_FAIL=1"}).status,
              4);
    EXPECT_EQ(run_probe({device}, {"HARLUNE_SIM_DEVICE=" + device, "HARLUNE_SIM_SEED=x"}).status,
              2);
    EXPECT_EQ(run_probe({device}, {}).status, 3) << "another path is not served";
    std::string chip = path("gpiochip");
    EXPECT_EQ(run_probe({chip}, {"HARLUNE_SIM_GPIO_CHIP=" + chip}).status, 4)
        << "the chip is served, and no PPCLAIM";
}

}  // namespace
