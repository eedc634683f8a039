// The real harlune binary against the preloaded simulator: standard output,
// standard error and exit status of each situation, the wire traffic and what
// ends up in the simulated flash and in files.
#include <gtest/gtest.h>

#include <sstream>

#include <sys/stat.h>

#include "support.h"

using support::Result;
using support::RunOptions;
using support::TempDir;

namespace {

const std::string USAGE =
    "The correct calling syntax is:\n"
    "harlune command file [length]\n"
    "The command can be:\n"
    "\tp - programm\n"
    "\tv - verify\n"
    "\tr - read and store to the file\n"
    "\tlength can optionally be specified when reading\n";
const std::string NOT_SET = "C2_PROG_DEV not set, setting to /dev/parport0\n";
const std::string STARTED = NOT_SET + "The device id: 9\nI've reset the device\n";

std::string marks(size_t n) { return std::string(n, '#'); }

// A flash image file for the simulator: `content` at 0, the rest erased.
std::vector<uint8_t> flash_with(const std::vector<uint8_t> &content, size_t size = 0x4000)
{
    std::vector<uint8_t> f(size, 0xFF);
    std::copy(content.begin(), content.end(), f.begin());
    return f;
}

std::vector<uint8_t> bytes_of(const std::string &text) { return {text.begin(), text.end()}; }

// Intel HEX data records for `bytes` from `address`, `per_record` bytes each.
std::string hex_records(uint32_t address, const std::vector<uint8_t> &bytes, size_t per_record)
{
    std::string text;
    char field[4];
    for (size_t i = 0; i < bytes.size(); i += per_record) {
        size_t n = std::min(per_record, bytes.size() - i);
        uint32_t at = address + static_cast<uint32_t>(i);
        std::vector<uint8_t> record = {static_cast<uint8_t>(n), static_cast<uint8_t>(at >> 8),
                                       static_cast<uint8_t>(at), 0x00};
        record.insert(record.end(), bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + n));
        uint8_t sum = 0;
        for (uint8_t b : record)
            sum = static_cast<uint8_t>(sum + b);
        record.push_back(static_cast<uint8_t>(0x100 - sum));
        text += ':';
        for (uint8_t b : record) {
            snprintf(field, sizeof field, "%02X", b);
            text += field;
        }
        text += '\n';
    }
    return text;
}

struct Block {
    uint32_t code, address, length;
    bool operator==(const Block &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Block &b)
{
    return os << "{" << b.code << "," << b.address << "," << b.length << "}";
}

// The block commands in a frame trace: code, then address and length bytes.
std::vector<Block> blocks(const std::string &frames)
{
    std::vector<uint32_t> dw;
    std::vector<Block> out;
    std::istringstream in(frames);
    bool head = false;
    std::vector<uint32_t> args;
    for (std::string t; in >> t;) {
        if (t == "AW:B4") {
            head = true;
            args.clear();
            continue;
        }
        if (t.rfind("DW:", 0) != 0 || !head)
            continue;
        args.push_back(static_cast<uint32_t>(std::stoul(t.substr(3), nullptr, 16)));
        if (args[0] != 0x06 && args[0] != 0x07) {
            head = false;
        } else if (args.size() == 4) {
            out.push_back({args[0], args[1] << 8 | args[2], args[3] ? args[3] : 256});
            head = false;
        }
    }
    return out;
}

// Every run here leaves no simulator fault.
class E2e : public support::EndToEnd {
protected:
    E2e() { faults_fail = true; }
    void set_flash(const std::vector<uint8_t> &content) { support::write_file(flash, flash_with(content)); }
    std::vector<uint8_t> flash_now() { return support::read_file(flash); }
};

// --- front end ---

TEST_F(E2e, TooFewArgumentsPrintUsageAndLeaveThePortAlone)
{
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"r"}}) {
        Result r = run(args);
        EXPECT_EQ(r.out, NOT_SET + USAGE);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.report["opens"], 0u);
    }
}

// --help and --version alone: stdout, status 0, no port named or opened.
TEST_F(E2e, HelpAndVersionBeforeAnyPort)
{
    const struct {
        const char *arg, *starts, *holds;
    } cases[] = {{"--help", USAGE.c_str(), "\tftdi:[VID:PID[:SERIAL]:]ck=0,d=1"},
                 {"--version", "harlune 1.0.0\nports:\n", "FTDI MPSSE chips"}};
    for (const auto &c : cases) {
        Result r = run({c.arg}, {"C2_PROG_DEV=ftdi:ck=0,d=1"});
        EXPECT_EQ(r.out.rfind(c.starts, 0), 0u) << r.out;
        EXPECT_NE(r.out.find(c.holds), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.report["opens"], 0u);
    }
}

TEST_F(E2e, DevicePathFromTheEnvironment)
{
    Result empty = run({"r", "x"}, {"C2_PROG_DEV="});
    EXPECT_EQ(empty.out, "using \nProblem opening \n");
    EXPECT_EQ(empty.status, 1);

    Result missing = run({"r", "x"}, {"C2_PROG_DEV=/dev/nonexistent-port"});
    EXPECT_EQ(missing.out, "using /dev/nonexistent-port\nProblem opening /dev/nonexistent-port\n");
    EXPECT_NE(missing.err.find("/dev/nonexistent-port: No such file or directory"), std::string::npos);
    EXPECT_NE(missing.err.find("lp group"), std::string::npos);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.report["writes"], 0u);

    // A long value is used whole, not cut to a fixed buffer.
    std::string longpath = "/tmp/" + std::string(4091, 'x');
    Result huge = run({"r", "x"}, {"C2_PROG_DEV=" + longpath});
    EXPECT_EQ(huge.out, "using " + longpath + "\nProblem opening " + longpath + "\n");
    EXPECT_NE(huge.err.find("File name too long"), std::string::npos);
    EXPECT_EQ(huge.status, 1);

    // A path served by the simulator works whatever its name.
    std::string odd = "/tmp/" + std::string(40, 'p');
    Result served = run({"X", "x"}, {"C2_PROG_DEV=" + odd, "HARLUNE_SIM_DEVICE=" + odd});
    EXPECT_EQ(served.out, "using " + odd + "\nThe device id: 9\nI've reset the device\n" + USAGE + "\n");
    EXPECT_EQ(served.report["claims"], 1u);
}

// A port that cannot be had ends the run before anything is driven; a
// claim that waits on another holder is told after a second and given up
// after a few (the one slow case: real seconds).
TEST_F(E2e, ClaimFailure)
{
    const struct {
        const char *env, *reason;
    } cases[] = {
        {"HARLUNE_SIM_CLAIM_FAIL=1", "the port is gone, or another program holds it for itself alone"},
        {"HARLUNE_SIM_CLAIM=einval", "not a ppdev port: a printer device (/dev/lp0)"},
        {"HARLUNE_SIM_PPDEV_REQUEST_US=5", "too slow for C2: a port request takes 5.2 us (the least of 9)"},
        {"HARLUNE_SIM_CLAIM=block",
         "harlune: waiting for /dev/parport0: another program or driver holds the port (lp, a printer daemon,\n"
         "  another harlune); fuser -v /dev/parport0 shows who has it open, lsmod | grep lp whether the\n"
         "  printer driver is loaded. Giving up after 4 s.\n"
         "harlune: /dev/parport0: another program or driver held the port for 4 s"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.env);
        Result r = run({"r", tmp.path("back")}, {c.env});
        EXPECT_EQ(r.out, NOT_SET + "Problem claiming /dev/parport0\n");
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.report["writes"], 0u);
        EXPECT_EQ(r.report["closes"], 1u);  // the exit handler closed it
    }
}

TEST_F(E2e, UnknownCommandStillStartsTheTarget)
{
    Result r = run({"P", "x"}, {}, true);
    EXPECT_EQ(r.out, STARTED + USAGE + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.frames, "RESET AW:02 DW:02 DW:01 AW:00 DR:09 RESET AW:02 DW:02 DW:01 RESET");
    // Start-up on the wire, to the byte, and the end: final reset, then release.
    // The request floor first: reads only, nothing driven before c2_open.
    std::string floor;
    for (int i = 0; i < 9; ++i)
        floor += " R78";
    EXPECT_EQ(r.trace.substr(0, 64), "C" + floor + " W20 W20 W20 D40 W28 D5 W08");
    EXPECT_EQ(support::without_delays(r.trace).substr(support::without_delays(r.trace).size() - 15),
              "W60 W68 W68 W78");
    // Two start-ups of 20 ms and the two one-second pauses.
    EXPECT_EQ(r.report["sleep_us"], 2u * 20000u + 2u * 1000000u);
    EXPECT_EQ(r.report["others"], 0u);
}

TEST_F(E2e, DeviceIdThatLooksLikeNoTargetGetsAHint)
{
    Result r = run({"P", "x"}, {"HARLUNE_SIM_DEVICE_ID=0xff"});
    EXPECT_NE(r.out.find("The device id: ff\n"), std::string::npos);
    EXPECT_NE(r.err.find("no target answers"), std::string::npos);
}

// --- read back ---

TEST_F(E2e, ReadBackLengths)
{
    auto content = support::random_bytes(0x4000, 3);
    set_flash(content);
    struct Case {
        std::vector<std::string> extra;
        size_t length;
        std::string marks;
    } cases[] = {
        {{}, 0x3E00, marks(62)},       {{"0x100"}, 256, marks(1)}, {{"010"}, 8, marks(1)},
        {{"0"}, 0, ""},                {{"600"}, 600, marks(3)},   {{"12abc"}, 12, marks(1)},
        {{"abc"}, 0, ""},              {{"0x"}, 0, ""},
        {{"0x3E00", "extra"}, 0x3E00, marks(62)},  // a fourth argument turns the length off
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.extra.empty() ? "default" : k.extra[0]);
        std::string out = tmp.path("read.bin");
        std::vector<std::string> args = {"r", out};
        args.insert(args.end(), k.extra.begin(), k.extra.end());
        Result r = run(args);
        EXPECT_EQ(r.out, STARTED + k.marks + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(support::read_file(out), std::vector<uint8_t>(content.begin(), content.begin() + k.length));
        struct stat st;
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666u);
        unlink(out.c_str());
    }
}

TEST_F(E2e, ReadBackSplitsIntoBlocks)
{
    Result r = run({"r", tmp.path("r.bin"), "600"}, {}, true);
    EXPECT_EQ(blocks(r.frames), std::vector<Block>({{6, 0, 256}, {6, 256, 256}, {6, 512, 88}}));
}

TEST_F(E2e, ReadBackFailures)
{
    Result neg = run({"r", tmp.path("neg.bin"), "-1"});
    EXPECT_EQ(neg.err, "I can't allocate the memory\nI can't read the data from the device\n");
    EXPECT_EQ(neg.status, 255);
    EXPECT_TRUE(support::read_file(tmp.path("neg.bin")).empty());
    EXPECT_NE(access(tmp.path("neg.bin").c_str(), F_OK), 0);

    Result nodir = run({"r", tmp.path("no/dir/x.bin"), "16"});
    EXPECT_EQ(nodir.err, tmp.path("no/dir/x.bin") + ": No such file or directory\n");
    EXPECT_EQ(nodir.status, 255);

    Result full = run({"r", "/dev/full", "16"});
    EXPECT_EQ(full.err, "write: No space left on device\nI can't write data\n");
    EXPECT_EQ(full.status, 251);

    Result refused = run({"r", tmp.path("ref.bin"), "600"}, {"HARLUNE_SIM_REFUSE=06:2:2:07"});
    EXPECT_EQ(refused.out, STARTED + "#\n");
    EXPECT_EQ(refused.err, "Status2 0x07 instead of 0x0d in c2_block_read\n"
                           "c2_block_read error in readprg\n"
                           "I can't read the data from the device\n");
    EXPECT_EQ(refused.status, 255);
    EXPECT_NE(access(tmp.path("ref.bin").c_str(), F_OK), 0);
}

// --- program ---

TEST_F(E2e, ProgramWithoutErase)
{
    std::vector<uint8_t> old(0x4000, 0xFF);
    std::fill(old.begin(), old.begin() + 300, 0x3F);  // has every bit the image sets
    old[500] = 0x5F;                                   // beyond the image
    set_flash(old);
    std::vector<uint8_t> image(300, 0x0F);
    support::write_file(tmp.path("img"), image);

    Result r = run({"p", tmp.path("img"), "100"}, {}, true);
    EXPECT_EQ(r.out, STARTED + "##\n" + "##" + "##" + "\nSuccesfully verified 300 bytes\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::vector<Block> expected = {{6, 0, 256}, {6, 256, 44}, {7, 0, 256}, {7, 256, 44}, {6, 0, 256}, {6, 256, 44}};
    EXPECT_EQ(blocks(r.frames), expected);
    EXPECT_EQ(r.report["device_erases"], 0u);
    auto now = flash_now();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), now.begin()));
    EXPECT_EQ(now[500], 0x5F);  // untouched beyond the image
}

TEST_F(E2e, ProgramWithErase)
{
    std::vector<uint8_t> old(0x4000, 0x00);
    set_flash(old);
    std::vector<uint8_t> image(300, 0x01);
    support::write_file(tmp.path("img"), image);

    Result r = run({"p", tmp.path("img")});
    EXPECT_EQ(r.out, STARTED + "##\ndevice needs erasing!\nerased\n####\nSuccesfully verified 300 bytes\n\n");
    EXPECT_EQ(r.status, 0);
    auto now = flash_now();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), now.begin()));
    EXPECT_EQ(now[300], 0xFF);  // erased beyond the image
    EXPECT_EQ(now[0x3FFF], 0xFF);
}

TEST_F(E2e, ProgramEqualImageIsStillWritten)
{
    auto content = support::random_bytes(512, 5);
    set_flash(content);
    support::write_file(tmp.path("img"), content);
    Result r = run({"p", tmp.path("img")}, {"HARLUNE_SIM_CLOCK=virtual"});  // counted: no redos
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.report["block_writes"], 2u);
    EXPECT_EQ(r.report["block_reads"], 4u);
}

TEST_F(E2e, WholeFlashCycleOverOtherData)
{
    set_flash(support::random_bytes(0x4000, 1));
    auto image = support::random_bytes(0x3E00, 2);
    support::write_file(tmp.path("img"), image);

    Result p = run({"p", tmp.path("img")});
    EXPECT_EQ(p.out, STARTED + marks(62) + "\ndevice needs erasing!\nerased\n" + marks(124) +
                         "\nSuccesfully verified 15872 bytes\n\n");
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(p.status, 0);

    Result v = run({"v", tmp.path("img")});
    EXPECT_EQ(v.out, STARTED + marks(62) + "\nSuccesfully verified 15872 bytes\n\n");
    EXPECT_EQ(v.status, 0);

    Result r = run({"r", tmp.path("back")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(support::read_file(tmp.path("back")), image);
}

TEST_F(E2e, RefusedBlockWriteStopsProgramming)
{
    support::write_file(tmp.path("img"), support::random_bytes(600, 8));
    for (unsigned point : {1u, 2u}) {
        set_flash({});
        Result r = run({"p", tmp.path("img")}, {"HARLUNE_SIM_REFUSE=07:2:" + std::to_string(point) + ":02"});
        EXPECT_EQ(r.out, STARTED + "###\n#\n");
        EXPECT_EQ(r.err, "Status" + std::to_string(point) + " 0x02 instead of 0x0d in c2_block_write\n"
                         "\nProgramming stopped: the flash holds only the blocks written before\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.report["block_reads"], 3u);  // no verification
    }
}

TEST_F(E2e, RefusedEraseStillWritesAndVerifies)
{
    std::vector<uint8_t> old(16, 0x00);
    set_flash(old);
    support::write_file(tmp.path("img"), std::vector<uint8_t>(16, 0x01));
    Result r = run({"p", tmp.path("img")}, {"HARLUNE_SIM_REFUSE=03:1:1:05"});
    EXPECT_EQ(r.out, STARTED + "#\ndevice needs erasing!\nerased\n##\n");
    std::string err = "Status1 0x05 instead of 0x0d in c2_device_erase\n";
    for (int i = 0; i < 16; ++i) {
        char line[80];
        snprintf(line, sizeof line, "Comparison error at 0x%4.4x: device:0x00 file:0x01 \n", i);
        err += line;
    }
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.report["block_writes"], 1u);
}

TEST_F(E2e, ProgramAndVerifyRefuseUnreadableImages)
{
    support::write_file(tmp.path("empty"), {});
    std::string bad = tmp.path("bad.hex");
    support::write_file(bad, bytes_of(":0100000001FE\n:00000006FA\n:00000001FF\n"));
    set_flash(support::random_bytes(0x4000, 9));
    std::vector<uint8_t> before = flash_now();
    for (const char *cmd : {"p", "v"}) {
        Result e = run({cmd, tmp.path("empty")}, {}, true);
        EXPECT_EQ(e.err, "I can't read from " + tmp.path("empty") + " the data to be programmed\n");
        EXPECT_EQ(e.status, 255);
        EXPECT_EQ(e.out, STARTED + "\n");

        // A refused Intel HEX file goes the same way: start-up, end, no flash command.
        Result h = run({cmd, bad}, {}, true);
        EXPECT_EQ(h.err, "harlune: " + bad + ":2: record type 0x06 unknown\n"
                         "I can't read from " + bad + " the data to be programmed\n");
        EXPECT_EQ(h.status, 255);
        EXPECT_EQ(h.out, e.out);
        EXPECT_EQ(h.trace, e.trace);
        EXPECT_EQ(h.frames.find("AW:B4"), std::string::npos) << h.frames;
        EXPECT_EQ(flash_now(), before);

        Result m = run({cmd, tmp.path("missing")});
        EXPECT_EQ(m.err, tmp.path("missing") + ": No such file or directory\n"
                         "I can't read from " + tmp.path("missing") + " the data to be programmed\n");
        EXPECT_EQ(m.status, 255);
        EXPECT_EQ(m.report["block_reads"], 0u);
    }
}

// --- Intel HEX images ---

TEST_F(E2e, IntelHexProgramsAsItsRawImage)
{
    // Data at 0x0000-0x13FF in one-byte records (more than 64 KiB of text), a
    // gap, data at 0x1600-0x16FF; records out of address order.
    auto low = support::random_bytes(0x1400, 21), high = support::random_bytes(0x100, 22);
    std::string text = hex_records(0x1600, high, 16) + hex_records(0, low, 1) + ":00000001FF\n";
    ASSERT_GT(text.size(), 0x10000u);
    std::vector<uint8_t> image(0x1700, 0xFF);
    std::copy(low.begin(), low.end(), image.begin());
    std::copy(high.begin(), high.end(), image.begin() + 0x1600);
    auto binary = support::random_bytes(700, 23);
    binary[0] = 0x02;  // an 8051 LJMP, not ':'

    struct Case {
        std::string name;
        std::vector<uint8_t> content, raw;  // the file, the raw image it stands for
    } cases[] = {
        {"fw.ihx", bytes_of(text), image},
        {"fw.ihex", bytes_of(text), image},  // HEX by content, whatever its name
        {"fw", bytes_of(text), image},
        {"raw.hex", binary, binary},                  // binary, whatever its name
        {"text.bin", bytes_of(text.substr(0, 600)), bytes_of(text.substr(0, 600))},  // HEX cut mid-record: raw
    };
    std::vector<uint8_t> start(0x4000, 0xFF);
    start[0x3000] = 0x5F;  // beyond every image
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        support::write_file(tmp.path(c.name), c.content);
        support::write_file(tmp.path("raw"), c.raw);
        Result got[2][2];  // [file, raw][p, v]
        std::vector<uint8_t> programmed[2];
        for (int k = 0; k < 2; ++k) {
            support::write_file(flash, start);
            got[k][0] = run({"p", tmp.path(k ? "raw" : c.name)});
            programmed[k] = flash_now();
            got[k][1] = run({"v", tmp.path(k ? "raw" : c.name)});
        }
        for (int cmd = 0; cmd < 2; ++cmd) {
            EXPECT_EQ(got[0][cmd].out, got[1][cmd].out);
            EXPECT_EQ(got[0][cmd].err, "");
            EXPECT_EQ(got[0][cmd].status, 0);
        }
        EXPECT_NE(got[0][1].out.find("Succesfully verified " + std::to_string(c.raw.size()) + " bytes"),
                  std::string::npos);
        // Over erased flash the 0xFF gap needs no erase and changes nothing.
        EXPECT_EQ(got[0][0].out.find("erasing"), std::string::npos);
        std::vector<uint8_t> expected = start;
        std::copy(c.raw.begin(), c.raw.end(), expected.begin());
        EXPECT_TRUE(programmed[0] == programmed[1]);
        EXPECT_TRUE(programmed[0] == expected);
    }
}

// --- verify ---

TEST_F(E2e, VerifyReportsEveryDifference)
{
    auto content = support::random_bytes(1000, 4);
    set_flash(content);
    auto image = content;
    image[0] ^= 0xFF;
    image[0x1FF] = static_cast<uint8_t>(image[0x1FF] + 1);
    image[999] ^= 0x80;
    support::write_file(tmp.path("img"), image);
    Result r = run({"v", tmp.path("img")});
    EXPECT_EQ(r.out, STARTED + marks(4) + "\n");
    char expected[300];
    snprintf(expected, sizeof expected,
             "Comparison error at 0x0000: device:0x%2.2x file:0x%2.2x \n"
             "Comparison error at 0x01ff: device:0x%2.2x file:0x%2.2x \n"
             "Comparison error at 0x03e7: device:0x%2.2x file:0x%2.2x \n",
             content[0], image[0], content[0x1FF], image[0x1FF], content[999], image[999]);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.status, 1);
}

TEST_F(E2e, VerifyWithRefusedRead)
{
    support::write_file(tmp.path("img"), std::vector<uint8_t>(10, 0xFF));
    Result r = run({"v", tmp.path("img")}, {"HARLUNE_SIM_REFUSE=06:1:1:00"});
    EXPECT_EQ(r.err, "Status1 0x00 instead of 0x0d in c2_block_read\n"
                     "c2_block_read error in readprg\n"
                     "I was not able to allocate memory in the \"vrfyprg\" function\n");
    EXPECT_EQ(r.status, 255);
}

}  // namespace
