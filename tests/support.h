// Helpers shared by the tests: the simulated port seen from the link, and
// runs of the real harlune binary with the simulator preloaded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common.h"
#include "sim.h"

namespace support {

// Configure the simulator and open and claim its port for the link, with the
// data-register shadow at `shadow` (0x00 as at program start).
void attach(const harlune_sim::Config &config, uint8_t shadow = 0x00);
void detach();

// The request trace after the claim ("C").
std::string link_trace();
// "W20 W28 ..." for a list of data-register writes.
std::string writes(const std::vector<uint8_t> &bytes);
// The trace without its delay tokens.
std::string without_delays(const std::string &trace);
// The last `n` requests of a trace (delay tokens skipped), oldest first; read
// from the end, so a whole-flash trace costs nothing.
std::vector<std::string> last_requests(const std::string &trace, size_t n);
size_t count_tokens(const std::string &trace, char kind);

// Frame trace split into (kind, value) pairs; kind "AW", "AR", "DW", "DR", "RESET".
struct Frame {
    std::string kind;
    uint32_t value;
};
std::vector<Frame> frames();
// Values of the frames of one kind, in order.
std::vector<uint32_t> values(const std::vector<Frame> &frames, const std::string &kind);
size_t count(const std::vector<Frame> &frames, const std::string &kind);

// C2D samples an Address Read of `status` gives, LSB first.
std::vector<int> status_samples(uint8_t status);

// A scratch directory, removed by the destructor.
using common::TempDir;

std::vector<uint8_t> read_file(const std::string &path);
using common::random_bytes;
using common::write_file;

// One run of the real binary.
struct Result {
    int status = -1;   // exit status, or 128 + signal when killed
    std::string out, err;
    std::map<std::string, uint64_t> report;   // the simulator's counters
    std::vector<std::string> faults;
    std::string trace;                          // when trace was asked for
    std::string frames;
    size_t redo_notes = 0;  // wire clock: redo notes after the machine's own hold-ups, taken out of err
};

struct RunOptions {
    std::vector<std::string> env;   // NAME=value, added to the simulator's
    bool unset_device = true;       // C2_PROG_DEV unset unless given in env
    bool trace = false;
    bool preload = true;
    std::string flash_file;         // HARLUNE_SIM_FLASH
    std::vector<std::string> wrapper;  // e.g. valgrind and its options
    // The child starts with SIGINT, SIGTERM, SIGHUP and SIGPIPE at their
    // defaults, except these, ignored as nohup or a shell's & leaves them.
    std::vector<int> ignored_signals;
    std::vector<int> reader_gone;   // of 1, 2: a pipe whose read end is closed
    bool merge_stderr = false;      // stderr into stdout's file: out is the combined log
    unsigned guard_s = 0;           // alarm(2) at exec: a hang ends as 128 + SIGALRM
    // The simulator's clock: "virtual" (counted time, exact traces; the
    // default) or "wire" (the real clock, with this machine's hold-ups in
    // the strobes). A HARLUNE_SIM_CLOCK in env has the last word.
    std::string clock;
};

Result run_harlune(const std::vector<std::string> &args, const RunOptions &options = {});

// The fixture of the end-to-end tests: the real harlune on the simulated
// target, its flash kept in a file of a scratch directory.
class EndToEnd : public ::testing::Test {
protected:
    // A run on the flash file; with `faults_fail`, every simulator fault the
    // run left fails the test.
    Result run(std::vector<std::string> args, std::vector<std::string> env = {}, bool trace = false);
    Result run(std::vector<std::string> args, RunOptions o);
    // The first n bytes of the flash file.
    std::vector<uint8_t> flash_start(size_t n);

    bool faults_fail = false;
    TempDir tmp;
    std::string flash = tmp.path("flash.bin");
};

}  // namespace support
