// A target that never answers, interrupted runs and inputs that must not
// reach the flash, all through the real binary.
#include <gtest/gtest.h>

#include <csignal>

#include "support.h"

using support::Result;
using support::RunOptions;
using support::TempDir;

namespace {

const std::string STARTED = "C2_PROG_DEV not set, setting to /dev/parport0\nThe device id: 9\nI've reset the device\n";

class Hardening : public ::testing::Test {
protected:
    Result run(std::vector<std::string> args, std::vector<std::string> env = {}, bool trace = false)
    {
        RunOptions o;
        o.env = std::move(env);
        o.flash_file = flash;
        o.trace = trace;
        return support::run_harlune(args, o);
    }
    // Lines released at the end: C2D driver off, then C2CK driver off.
    static bool released(const Result &r)
    {
        std::vector<std::string> t = support::last_requests(r.trace, 2);
        if (t.size() != 2 || t[0].size() != 3 || t[0][0] != 'W' || t[1].size() != 3 || t[1][0] != 'W')
            return false;
        unsigned long before = std::stoul(t[0].substr(1), nullptr, 16);
        unsigned long last = std::stoul(t[1].substr(1), nullptr, 16);
        return (before & 0x40) && (last & 0x50) == 0x50 && (last & 0x08);
    }
    TempDir tmp;
    std::string flash = tmp.path("flash.bin");
};

TEST_F(Hardening, NoTargetAnsweringAtStartup)
{
    Result r = run({"r", tmp.path("x")}, {"HARLUNE_SIM_ATTACH=c2d_low"}, true);
    EXPECT_EQ(r.out, "C2_PROG_DEV not set, setting to /dev/parport0\n\n");
    EXPECT_EQ(r.err, "No target answering on /dev/parport0: check the adapter, the cable and the target's power\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(released(r));
    EXPECT_EQ(r.report["block_reads"], 0u);
}

TEST_F(Hardening, DetachedTargetReadsFfAndTimesOut)
{
    Result r = run({"r", tmp.path("x"), "16"}, {"HARLUNE_SIM_ATTACH=detached"}, true);
    EXPECT_NE(r.out.find("The device id: ff\n"), std::string::npos);
    EXPECT_NE(r.err.find("no target answers"), std::string::npos);
    EXPECT_NE(r.err.find("Timed out waiting for in-busy to clear in c2_block_read\n"
                         "c2_block_read error in readprg\n"
                         "I can't read the data from the device\n"),
              std::string::npos);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(released(r));
}

TEST_F(Hardening, FrozenFlagsEndEveryCommand)
{
    support::write_file(tmp.path("img"), std::vector<uint8_t>(300, 0x00));
    for (const char *flag : {"busy", "ready"}) {
        for (const char *cmd : {"p", "v", "r"}) {
            SCOPED_TRACE(std::string(flag) + " " + cmd);
            Result r = run({cmd, tmp.path("img")}, {std::string("HARLUNE_SIM_FREEZE=") + flag}, true);
            EXPECT_NE(r.err.find("Timed out waiting for"), std::string::npos);
            EXPECT_EQ(r.status, 255);
            EXPECT_TRUE(released(r));
        }
    }
}

TEST_F(Hardening, OversizeRequestsNeverReachTheFlash)
{
    support::write_file(tmp.path("big"), std::vector<uint8_t>(0x10001, 0x00));
    Result p = run({"p", tmp.path("big")});
    EXPECT_EQ(p.err, tmp.path("big") + ": 65537 bytes is more than the 65536 bytes that C2 flash addresses reach; nothing done\n");
    EXPECT_EQ(p.status, 255);
    EXPECT_EQ(p.report["block_reads"] + p.report["block_writes"] + p.report["device_erases"], 0u);

    Result r = run({"r", tmp.path("out"), "99999999999"});
    EXPECT_EQ(r.err, "Read length: 2147483647 bytes is more than the 65536 bytes that C2 flash addresses reach; nothing done\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.report["block_reads"], 0u);
}

TEST_F(Hardening, DirectoryAndFifoAsImage)
{
    Result d = run({"v", tmp.dir});
    EXPECT_EQ(d.err, tmp.dir + ": Is a directory\nI can't read from " + tmp.dir + " the data to be programmed\n");
    EXPECT_EQ(d.status, 255);
    Result r = run({"r", tmp.dir, "16"});
    EXPECT_EQ(r.err, tmp.dir + ": Is a directory\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Hardening, InterruptedProgramStopsAtAFrameBoundary)
{
    support::write_file(flash, std::vector<uint8_t>(0x4000, 0x00));
    support::write_file(tmp.path("img"), std::vector<uint8_t>(0x3E00, 0x5A));
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        // Well into the block writes (a whole program is ~4 M requests).
        Result r = run({"p", tmp.path("img")}, {"HARLUNE_SIM_SIGNAL=" + std::to_string(sig) + "@2500000"}, true);
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_NE(r.err.find("Interrupted by"), std::string::npos);
        EXPECT_NE(r.err.find("The flash content is incomplete"), std::string::npos);
        EXPECT_TRUE(released(r));
        EXPECT_TRUE(r.faults.empty()) << r.faults.front();
        // The frames before the stop all completed: the trace ends with a reset.
        EXPECT_EQ(r.frames.substr(r.frames.size() - 5), "RESET");
        EXPECT_EQ(r.report["closes"], 1u);
    }
}

TEST_F(Hardening, InterruptedReadBackLeavesNoFile)
{
    Result r = run({"r", tmp.path("out")}, {"HARLUNE_SIM_SIGNAL=2@300000"}, true);
    EXPECT_EQ(r.status, 130);
    EXPECT_EQ(r.err.find("The flash content is incomplete"), std::string::npos);
    EXPECT_NE(access(tmp.path("out").c_str(), F_OK), 0);
    EXPECT_TRUE(released(r));
}

TEST_F(Hardening, UnderValgrindNoLeakNoError)
{
#ifdef HARLUNE_SANITIZED
    GTEST_SKIP() << "valgrind does not run sanitizer builds";
#endif
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "valgrind not installed";
    support::write_file(tmp.path("img"), support::random_bytes(300, 11));
    for (const char *cmd : {"p", "v", "r"}) {
        SCOPED_TRACE(cmd);
        RunOptions o;
        o.flash_file = flash;
        o.wrapper = {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full",
                     "--errors-for-leak-kinds=definite,indirect,possible", "-q"};
        Result r = support::run_harlune({cmd, cmd[0] == 'r' ? tmp.path("back") : tmp.path("img"), "300"}, o);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(support::read_file(tmp.path("back")), support::read_file(tmp.path("img")));
}

}  // namespace
