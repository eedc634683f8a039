// A target that never answers, a host held up inside clock pulses,
// interrupted runs and inputs that must not reach the flash, all through the
// real binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <functional>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include "support.h"

using support::Result;
using support::RunOptions;
using support::TempDir;

namespace {

// The number (from 1) of the strobe `offset` strobes into the frame at
// `index` of a virtual-clock frame trace: Address frames take 12 strobes,
// data frames 15 (one WAIT strobe); RESET is the reset control's, none.
uint64_t strobe_at(const std::vector<std::string> &frames, size_t index, unsigned offset)
{
    uint64_t n = 0;
    for (size_t i = 0; i < index; ++i)
        n += frames[i] == "RESET" ? 0 : frames[i][0] == 'A' ? 12 : 15;
    return n + offset + 1;
}

std::vector<std::string> tokens(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string t; in >> t;)
        out.push_back(t);
    return out;
}

// Index of the nth (from 1) frame `token`, after the first `after` if given.
size_t find_frame(const std::vector<std::string> &frames, const std::string &token, size_t nth = 1,
                  const std::string &after = "")
{
    size_t i = 0;
    if (!after.empty())
        while (i < frames.size() && frames[i] != after)
            ++i;
    for (; i < frames.size(); ++i)
        if (frames[i].rfind(token, 0) == 0 && --nth == 0)
            return i;
    return frames.size();
}

const std::string NOT_SET = "C2_PROG_DEV not set, setting to /dev/parport0\n";
const std::string STARTED = NOT_SET + "The device id: 9\nI've reset the device\n";

class Hardening : public support::EndToEnd {
protected:
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

// The host held up 100 us inside one chosen clock pulse: the command cut by
// the target's reset is redone, the run ends as an undisturbed one (status,
// standard output, flash, file) with one note on stderr.
TEST_F(Hardening, ARunHeldUpInsideAPulseEndsAsAnUndisturbedOne)
{
    auto image = support::random_bytes(600, 41);
    support::write_file(tmp.path("img"), image);
    auto old = support::random_bytes(0x4000, 42);  // needs an erase
    using Frames = std::vector<std::string>;
    struct Case {
        const char *name;
        std::string cmd;
        std::function<uint64_t(const Frames &)> strobe;
        std::string note;
        std::vector<std::string> env = {};
        std::string stall_us = "100", held = "10";  // held: the first digits of the longest pulse, in us
    } cases[] = {
        {"start-up", "r", [](const Frames &f) { return strobe_at(f, find_frame(f, "AW:02"), 5); },
         "start-up"},
        {"device id", "r", [](const Frames &f) { return strobe_at(f, find_frame(f, "AW:00"), 3); },
         "device id read"},
        {"block read", "v", [](const Frames &f) { return strobe_at(f, find_frame(f, "DR", 300, "DW:06"), 8); },
         "block read at 0x0100"},
        {"device erase", "p", [](const Frames &f) { return strobe_at(f, find_frame(f, "DW:DE"), 4); },
         "device erase"},
        {"block write", "p", [](const Frames &f) { return strobe_at(f, find_frame(f, "DW", 100, "DW:07"), 9); },
         "block write at 0x0000"},
        // A long erase: the target resets in a poll long after the last
        // answer; the poll times out, and the erase is done again.
        {"late in a long erase", "p", [](const Frames &f) { return strobe_at(f, find_frame(f, "AR", 300, "DW:A5"), 11); },
         "device erase", {"HARLUNE_SIM_ERASE_POLLS=2000"}},
        {"last data read", "r", [](const Frames &f) { return strobe_at(f, find_frame(f, "DR", std::count_if(f.begin(), f.end(), [](const std::string &t) { return t.rfind("DR", 0) == 0; })), 12); },
         "block read at 0x0200"},
        // 8 us is past what a pulse is promised to last, short of a sure
        // reset: this target takes it for one. The wire was low 9 us (one
        // request besides the stall): the note says that, not the bracket.
        {"8 us in the last data read", "r", [](const Frames &f) { return strobe_at(f, find_frame(f, "DR", std::count_if(f.begin(), f.end(), [](const std::string &t) { return t.rfind("DR", 0) == 0; })), 12); },
         "block read at 0x0200", {"HARLUNE_SIM_MID_LOW=reset"}, "8", "9 us"},
        {"8 us in the last byte of a verify", "v", [](const Frames &f) { return strobe_at(f, find_frame(f, "DR", std::count_if(f.begin(), f.end(), [](const std::string &t) { return t.rfind("DR", 0) == 0; })), 6); },
         "block read at 0x0200", {"HARLUNE_SIM_MID_LOW=reset"}, "8", "9 us"},
        {"8 us in a block write", "p", [](const Frames &f) { return strobe_at(f, find_frame(f, "DW", 100, "DW:07"), 9); },
         "block write at 0x0000", {"HARLUNE_SIM_MID_LOW=reset"}, "8", "9 us"},
        // A port of 3 us a request: only the held pulse is seen (11 us low).
        {"8 us in a block write, 3 us a request", "p", [](const Frames &f) { return strobe_at(f, find_frame(f, "DW", 100, "DW:07"), 9); },
         "block write at 0x0000", {"HARLUNE_SIM_MID_LOW=reset", "HARLUNE_SIM_PPDEV_REQUEST_US=3"}, "8", "11 us"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<std::string> args = {k.cmd, k.cmd == "r" ? tmp.path("back") : tmp.path("img"), "600"};
        support::write_file(flash, k.cmd == "v" ? support::read_file(tmp.path("img")) : old);
        Result clean = run(args, k.env, true);
        ASSERT_EQ(clean.status, 0) << clean.err;
        uint64_t strobe = k.strobe(tokens(clean.frames));

        support::write_file(flash, k.cmd == "v" ? support::read_file(tmp.path("img")) : old);
        unlink(tmp.path("back").c_str());
        std::vector<std::string> env = k.env;
        env.push_back("HARLUNE_SIM_STALL_US=" + k.stall_us);
        env.push_back("HARLUNE_SIM_STALL_AT=" + std::to_string(strobe));
        Result r = run(args, env, true);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, clean.out);
        // One line for the command, one for the run.
        EXPECT_EQ(r.err.rfind("harlune: " + k.note + " redone 1 time: C2 clock pulses were held low up to " + k.held, 0), 0u)
            << r.err;
        EXPECT_NE(r.err.find("\nharlune: 1 redo in this run: 1 C2 clock pulse was held low 5 us or more (the longest " + k.held),
                  std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_EQ(r.report["stalls"], 1u);
        EXPECT_EQ(r.report["unplanned_resets"], 1u);
        EXPECT_TRUE(r.faults.empty()) << r.faults.front();
        EXPECT_TRUE(released(r));
        if (k.cmd == "p") {
            EXPECT_EQ(flash_start(600), image);
        } else if (k.cmd == "r") {
            EXPECT_EQ(support::read_file(tmp.path("back")), std::vector<uint8_t>(old.begin(), old.begin() + 600));
        }
    }
}

// Stalls in every try: one clear diagnostic, the usual failure chain, a
// non-zero status, and the target reset and released all the same.
// The host held up 10 ms after every flash command, C2CK high: harmless on
// silicon, so no redo, nothing on stderr, the same stdout.
TEST_F(Hardening, HoldsWithTheClockHighAreHarmless)
{
    auto image = support::random_bytes(600, 44);
    support::write_file(tmp.path("img"), image);
    for (std::string cmd : {"p", "v", "r"}) {
        SCOPED_TRACE(cmd);
        std::vector<std::string> args = {cmd, cmd == "r" ? tmp.path("back") : tmp.path("img"), "600"};
        auto old = cmd == "p" ? support::random_bytes(0x4000, 45) : image;  // p needs an erase
        support::write_file(flash, old);
        Result clean = run(args);
        support::write_file(flash, old);
        Result r = run(args, {"HARLUNE_SIM_HOLD_US=10000", "HARLUNE_SIM_HOLD_AFTER=commands"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, clean.out);
        EXPECT_GE(r.report["holds"], 3u);
        EXPECT_EQ(r.report["unplanned_resets"], 0u);
        EXPECT_EQ(cmd == "r" ? support::read_file(tmp.path("back")) : flash_start(600), image);
    }
}

// Why no pseudo-terminal can be had here (a container without /dev/pts), or
// empty.
std::string no_terminal()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return std::string("posix_openpt: ") + strerror(errno);
    std::string why;
    const char *slave = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    int fd = slave ? open(slave, O_RDWR | O_NOCTTY) : -1;
    if (fd < 0)
        why = std::string(slave ? slave : "ptsname") + ": " + strerror(errno);
    else
        close(fd);
    close(master);
    return why;
}

// A note on stderr starts a line of its own, never after progress marks on
// the same line: in a log of both streams (2>&1), and on a terminal.
TEST_F(Hardening, ANoteStartsALineOfItsOwn)
{
    // A file that cannot be created, a refused block, a verify that differs.
    std::vector<uint8_t> content = support::random_bytes(0x4000, 47), differs(content.begin(), content.begin() + 600);
    differs[520] ^= 0x10;
    support::write_file(tmp.path("img"), differs);
    const struct {
        std::vector<std::string> args, env;
        int status;
        const char *log;
    } logs[] = {
        {{"r", "/nonexist/x.bin", "600"}, {}, 255, "###\n/nonexist/x.bin: No such file or directory\n"},
        {{"r", tmp.path("back"), "600"}, {"HARLUNE_SIM_REFUSE=06:3:1:02"}, 255,
         "##\nStatus1 0x02 instead of 0x0d in c2_block_read\n"},
        {{"v", tmp.path("img")}, {}, 1, "###\nComparison error at 0x0208: device:"},
    };
    for (const auto &c : logs) {
        SCOPED_TRACE(c.args[0]);
        support::write_file(flash, content);
        RunOptions log;
        log.merge_stderr = true;
        log.env = c.env;
        Result r = run(c.args, log);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.log), std::string::npos) << r.out;
    }

    std::string why = no_terminal();
    if (!why.empty())
        GTEST_SKIP() << "no pseudo-terminal here for the terminal case (" << why << ")";
    RunOptions term;
    term.env = {"HARLUNE_SIM_STALL_US=100", "HARLUNE_SIM_STALL_AT=15000"};  // in the block at 0x0200
    term.wrapper = {"/bin/sh", "-c", "exec script -qec \"$0 $*\" /dev/null"};
    Result r = run({"r", tmp.path("back"), "600"}, term);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("#\r\nharlune: block read at 0x0200 redone 1 time"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("#harlune"), std::string::npos) << r.out;
}

TEST_F(Hardening, AHostHeldUpOnEveryTryGivesUpClearly)
{
    support::write_file(tmp.path("img"), support::random_bytes(300, 43));
    struct Case {
        const char *every;
        std::string cmd, last_lines;
        bool started;
        std::vector<std::string> env = {};
    } cases[] = {
        {"30", "v", "", false},  // no start-up fits between two stalls
        // The start-up fits, the smallest block read does not.
        {"150", "v", "c2_block_read error in readprg\n"
                     "I was not able to allocate memory in the \"vrfyprg\" function\n", true},
        {"150", "p", "c2_block_read error in readprg\nI can't read data from the device\n", true},
        // Block reads get through between the stalls, a long erase never
        // does: nothing is written after it.
        {"1000", "p", "\nProgramming stopped: the device erase did not complete\n", true, {"HARLUNE_SIM_ERASE_POLLS=200"}},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.cmd + " every " + k.every);
        support::write_file(flash, std::vector<uint8_t>(0x4000, 0x00));
        std::vector<std::string> env = {"HARLUNE_SIM_STALL_US=50", std::string("HARLUNE_SIM_STALL_EVERY=") + k.every};
        env.insert(env.end(), k.env.begin(), k.env.end());
        Result r = run({k.cmd, tmp.path("img")}, env, true);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out.rfind(k.started ? STARTED : NOT_SET, 0), 0u) << r.out;
        std::string give_up = "given up after 32 redos in a row: C2 clock pulses were held low up to 5";
        size_t at = r.err.find(give_up), summary = r.err.find("\nharlune: ", at);
        ASSERT_NE(summary, std::string::npos) << r.err;
        EXPECT_NE(r.err.find("run harlune at real-time priority", at), std::string::npos);
        EXPECT_TRUE(r.err.substr(0, summary + 1).ends_with(k.last_lines)) << r.err;
        EXPECT_NE(r.err.find(" redos in this run: ", summary), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("No target answering"), std::string::npos);
        EXPECT_EQ(r.report["block_writes"], 0u);
        EXPECT_EQ(r.out.find("erased"), std::string::npos);
        EXPECT_TRUE(released(r));
    }
}

// Hiccups at random, as a busy machine makes them: every whole-flash program
// ends verified with the flash exact, on the parallel port and on GPIO lines
// (where only its length tells a held clock pulse from a reset pulse).
TEST_F(Hardening, RandomHoldUpsNeverLeaveAWrongByte)
{
    auto image = support::random_bytes(0x3E00, 44);
    support::write_file(tmp.path("img"), image);
    for (std::string port : {"C2_PROG_DEV=/dev/parport0", "C2_PROG_DEV=/dev/gpiochip0:ck=17,d=27"})
    for (int seed : {1, 2, 3}) {
        SCOPED_TRACE(port + ", seed " + std::to_string(seed));
        support::write_file(flash, support::random_bytes(0x4000, 45));
        Result r = run({"p", tmp.path("img")}, {port, "HARLUNE_SIM_STALL_US=100", "HARLUNE_SIM_STALL_ONE_IN=100000",
                                               "HARLUNE_SIM_STALL_SEED=" + std::to_string(seed)});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_GT(r.report["unplanned_resets"], 0u);
        EXPECT_TRUE(r.faults.empty()) << r.faults.front();
        EXPECT_EQ(flash_start(image.size()), image);
        EXPECT_NE(r.out.find("Succesfully verified 15872 bytes"), std::string::npos);
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

    // A FIFO never holds the open: with no writer the image fails at the
    // seek as a pipe does, with no reader the read-back fails at the open.
    // The guard turns a hang into a failure.
    std::string fifo = tmp.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RunOptions guarded;
    guarded.guard_s = 60;
    for (const char *cmd : {"p", "v"}) {
        SCOPED_TRACE(cmd);
        Result f = run({cmd, fifo}, guarded);
        EXPECT_EQ(f.err, "lseek: Illegal seek\nI can't read from " + fifo + " the data to be programmed\n");
        EXPECT_EQ(f.status, 255);
        EXPECT_EQ(f.report["block_reads"], 0u);
    }
    Result nobody = run({"r", fifo, "16"}, guarded);
    EXPECT_EQ(nobody.err, fifo + ": No such device or address\n");
    EXPECT_EQ(nobody.status, 255);

    // With a reader the bytes go through, and the FIFO keeps its mode.
    support::write_file(flash, support::random_bytes(0x4000, 31));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Result sent = run({"r", fifo, "16"}, guarded);
    std::vector<uint8_t> got(64);
    ssize_t n = read(reader, got.data(), got.size());
    close(reader);
    got.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(got, flash_start(16));
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(Hardening, InterruptedProgramStopsAtAFrameBoundary)
{
    support::write_file(flash, std::vector<uint8_t>(0x4000, 0x00));
    support::write_file(tmp.path("img"), std::vector<uint8_t>(0x3E00, 0x5A));
    // A whole program is ~4 M requests: 300,000 is in the first read, before
    // the flash changes; 2,500,000 well into the block writes.
    struct Case {
        int sig;
        const char *at;
        bool changed;
    } cases[] = {{SIGINT, "300000", false}, {SIGINT, "2500000", true}, {SIGTERM, "2500000", true},
                 {SIGHUP, "2500000", true}};
    for (const Case &k : cases) {
        int sig = k.sig;
        SCOPED_TRACE(std::to_string(sig) + "@" + k.at);
        Result r = run({"p", tmp.path("img")}, {"HARLUNE_SIM_SIGNAL=" + std::to_string(sig) + "@" + k.at}, true);
        EXPECT_EQ(r.status, 128 + sig);
        EXPECT_EQ(r.err, "\nInterrupted by " + std::string(sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP") +
                             ": stopped between two C2 frames\n" +
                             (k.changed ? "The flash content is incomplete: program the device again\n" : ""));
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

    // A port or chip that goes away: one line naming it and the error,
    // status 255, no file, and no request after the one refused.
    for (std::string dev : {"/dev/parport0", "/dev/gpiochip0"}) {
        SCOPED_TRACE(dev);
        std::string lines = dev == "/dev/parport0" ? "" : ":ck=17,d=27";
        Result gone = run({"r", tmp.path("out")}, {"C2_PROG_DEV=" + dev + lines, "HARLUNE_SIM_GONE_AFTER=300000"}, true);
        EXPECT_EQ(gone.status, 255);
        EXPECT_EQ(gone.err.rfind("\nharlune: " + dev + ": ", 0), 0u) << gone.err;
        EXPECT_NE(gone.err.find(" failed: No such device\n"), std::string::npos) << gone.err;
        EXPECT_NE(access(tmp.path("out").c_str(), F_OK), 0);
        EXPECT_EQ(support::last_requests(gone.trace, 1).at(0)[0], 'X');
        EXPECT_EQ(gone.report["others"], 1u);
    }
    // Gone in the middle of the block writes: the flash is said to be incomplete.
    support::write_file(tmp.path("img"), support::random_bytes(4096, 48));
    Result gone = run({"p", tmp.path("img")}, {"C2_PROG_DEV=/dev/parport0", "HARLUNE_SIM_GONE_AFTER=500000"});
    EXPECT_EQ(gone.status, 255);
    EXPECT_NE(gone.err.find("PPWDATA failed: No such device\n"), std::string::npos) << gone.err;
    EXPECT_NE(gone.err.find("The flash content is incomplete: program the device again\n"), std::string::npos);

    // Up to the last frame a signal stops the run before the file is opened;
    // in the final reset and release (the last four requests) it comes after
    // the run's last check and the file is complete. Never both a file and 130.
    support::write_file(flash, support::random_bytes(0x4000, 32));
    std::string out = tmp.path("late");
    Result whole = run({"r", out, "16"}, {"HARLUNE_SIM_CLOCK=virtual"});  // counted: the same requests as below
    ASSERT_EQ(whole.status, 0);
    uint64_t last = whole.report["claims"] + whole.report["writes"] + whole.report["reads"];
    for (uint64_t n = last - 100; n <= last; ++n) {
        SCOPED_TRACE(n);
        unlink(out.c_str());
        Result late = run({"r", out, "16"}, {"HARLUNE_SIM_SIGNAL=2@" + std::to_string(n)});
        bool file = access(out.c_str(), F_OK) == 0;
        EXPECT_EQ(late.status, n + 4 <= last ? 130 : 0);
        EXPECT_EQ(late.status == 130, !file);
        if (file) {
            EXPECT_EQ(support::read_file(out), flash_start(16));
        }
    }
}

TEST_F(Hardening, SignalsIgnoredAtStartStayIgnored)
{
    auto image = support::random_bytes(600, 33);
    support::write_file(tmp.path("img"), image);
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) {
        for (bool ignored : {false, true}) {
            SCOPED_TRACE(std::to_string(sig) + (ignored ? " ignored" : " caught"));
            support::write_file(flash, std::vector<uint8_t>(0x4000, 0x00));
            RunOptions o;
            o.env = {"HARLUNE_SIM_SIGNAL=" + std::to_string(sig) + "@80000"};  // amid the block writes
            if (ignored)
                o.ignored_signals = {sig};
            Result r = run({"p", tmp.path("img")}, o);
            if (!ignored) {
                EXPECT_EQ(r.status, 128 + sig);
                EXPECT_GT(r.report["block_writes"], 0u);
                EXPECT_LT(r.report["block_writes"], 3u);
                continue;
            }
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(flash_start(image.size()), image);
        }
    }
}

TEST_F(Hardening, ReaderGoneChangesNeitherTheFlashNorTheStatus)
{
    auto image = support::random_bytes(600, 34);
    auto other = image;
    other[300] ^= 0x01;
    support::write_file(tmp.path("img"), image);
    support::write_file(tmp.path("other"), other);
    for (std::vector<int> gone : {std::vector<int>{1}, {2}, {1, 2}}) {
        SCOPED_TRACE(gone.size() == 2 ? "stdout and stderr" : gone[0] == 1 ? "stdout" : "stderr");
        support::write_file(flash, std::vector<uint8_t>(0x4000, 0x00));
        RunOptions o;
        o.reader_gone = gone;
        o.trace = true;
        Result p = run({"p", tmp.path("img")}, o);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.report["block_reads"], 6u);  // programmed, then verified
        EXPECT_EQ(flash_start(image.size()), image);
        EXPECT_TRUE(p.frames.ends_with("RESET"));
        EXPECT_TRUE(released(p));
        if (gone == std::vector<int>{1}) {
            EXPECT_EQ(p.err, "");
        }

        // Differences found with no one reading are still status 1.
        o.trace = false;
        o.clock = "virtual";  // counted: no redo may add a block read
        Result v = run({"v", tmp.path("other")}, o);
        EXPECT_EQ(v.status, 1);
        EXPECT_EQ(v.report["block_reads"], 3u);
    }
}

TEST_F(Hardening, DiagnosticsFollowWhatStandardOutputShowed)
{
    const std::string hint = "harlune: a device id of 0xff usually means that no target answers: "
                             "check the wiring, the target's power and the cable\n";
    const std::string missing = tmp.path("missing");
    struct Case {
        std::vector<std::string> args, env;
        std::string log;
        int status;
    } cases[] = {
        {{"r", tmp.path("empty"), "0"}, {"HARLUNE_SIM_DEVICE_ID=0xff"},
         NOT_SET + "The device id: ff\n" + hint + "I've reset the device\n\n", 0},
        {{"r", tmp.path("none")}, {"HARLUNE_SIM_ATTACH=c2d_low"},
         NOT_SET + "No target answering on /dev/parport0: check the adapter, the cable and the target's power\n\n", 255},
        {{"v", missing}, {},
         STARTED + missing + ": No such file or directory\nI can't read from " + missing + " the data to be programmed\n\n", 255},
        {{"r", tmp.path("stopped"), "600"}, {"HARLUNE_SIM_SIGNAL=2@10000"},  // in the first block
         STARTED + "\nInterrupted by SIGINT: stopped between two C2 frames\n", 130},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        RunOptions o;
        o.env = c.env;
        o.merge_stderr = true;
        Result r = run(c.args, o);
        EXPECT_EQ(r.out, c.log);
        EXPECT_EQ(r.status, c.status);
    }
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
