// harlune benchmark: udelay precision, the link's own CPU cost per port
// request, and whole-flash program / verify / read-back runs of the real
// binary on the simulated target, with request counts checked against the
// protocol's formulas.
//
//   build/bench/harlune_bench [path/to/harlune path/to/libharlune_sim.so [ftdi|batches|ports]]
//
// Each measurement is one function in `sections` below; the scratch files
// of a run live in one private directory, removed at the end.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "c2.h"
#include "common.h"
#include "port_count.h"

void watchdog_cost();

namespace {

uint64_t now_ns(clockid_t clock = CLOCK_MONOTONIC)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// What every section gets: the binaries (empty when not given) and the
// run's scratch directory.
struct Context {
    std::string bin, lib;
    common::TempDir tmp{"harlune-bench"};
};

void udelay_table(const Context &)
{
    printf("udelay precision (microseconds, %s)\n", "real clock");
    printf("%8s %10s %10s %10s %10s\n", "asked", "min", "median", "p99", "max");
    for (uint32_t us : {1u, 2u, 3u, 10u, 40u, 100u, 1000u, 20000u}) {
        int n = us >= 1000 ? 50 : 2000;
        std::vector<double> t;
        for (int i = 0; i < n; ++i) {
            uint64_t a = now_ns();
            udelay(us);
            t.push_back(static_cast<double>(now_ns() - a) / 1000.0);
        }
        std::sort(t.begin(), t.end());
        printf("%8u %10.2f %10.2f %10.2f %10.2f%s\n", us, t.front(), t[t.size() / 2], t[t.size() * 99 / 100],
               t.back(), t.front() < us ? "  SHORTER THAN ASKED" : "");
    }
}

void request_cost(const Context &)
{
    // Frames without delays: Address Write and Address Read.
    const int frames = 200000;
    counted_writes = counted_reads = 0;
    uint64_t cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    unsigned sink = 0;
    for (int i = 0; i < frames; ++i) {
        AddressWrite(static_cast<uint8_t>(i));
        sink += AddressRead();
    }
    cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    uint64_t requests = counted_writes + counted_reads;
    printf("\nlink CPU per port request (counting port): %.2f ns over %llu requests%s\n",
           static_cast<double>(cpu) / static_cast<double>(requests), static_cast<unsigned long long>(requests),
           sink == 0xFFFFFFFF ? "" : "");
}

struct Run {
    double wall_s, user_s, sys_s;
    long maxrss_kb;
    int status;
    std::map<std::string, uint64_t> report;
    std::string err;
};

// One run of the binary on the simulator, with the clock mode given
// ("virtual", "wire", "real") and extra HARLUNE_SIM_ settings.
Run run(const Context &ctx, const std::vector<std::string> &args, const std::string &clock, const std::string &flash,
        const std::vector<std::string> &extra = {})
{
    std::string report = ctx.tmp.path("report");
    std::remove(report.c_str());  // no stale counters if this run writes none
    std::vector<std::string> env = {"LD_PRELOAD=" + ctx.lib, "HARLUNE_SIM_REPORT=" + report,
                                    "HARLUNE_SIM_FLASH=" + flash, "HARLUNE_SIM_CLOCK=" + clock};
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<std::string> argv = {ctx.bin};
    argv.insert(argv.end(), args.begin(), args.end());
    uint64_t t0 = now_ns();
    common::Process p = common::run(argv, env);
    Run r;
    r.wall_s = static_cast<double>(now_ns() - t0) / 1e9;
    r.user_s = static_cast<double>(p.usage.ru_utime.tv_sec) + static_cast<double>(p.usage.ru_utime.tv_usec) / 1e6;
    r.sys_s = static_cast<double>(p.usage.ru_stime.tv_sec) + static_cast<double>(p.usage.ru_stime.tv_usec) / 1e6;
    r.maxrss_kb = p.usage.ru_maxrss;
    r.status = p.status;
    r.err = std::move(p.err);
    std::istringstream in(common::slurp(report));
    for (std::string k; in >> k;) {
        uint64_t v = 0;
        if (k == "fault") {
            std::string rest;
            std::getline(in, rest);
            continue;
        }
        in >> v;
        r.report[k] = v;
    }
    return r;
}

// The redos of a run, from its closing summary line on stderr.
size_t redos(const std::string &err)
{
    size_t at = err.rfind("harlune: ");
    size_t n = 0;
    if (at != std::string::npos && err.find(" in this run: ", at) != std::string::npos)
        sscanf(err.c_str() + at, "harlune: %zu redo", &n);
    return n;
}

size_t lines(const std::string &text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

// Requests of each frame with one-strobe WAIT fields.
constexpr uint64_t AW_W = 35, AR_W = 28, AR_R = 8, DW_W = 44, DW_R = 1, DR_W = 35, DR_R = 9;

struct Count {
    uint64_t w = 0, r = 0;
    void aw(uint64_t n = 1) { w += AW_W * n; }
    void ar(uint64_t n = 1) { w += AR_W * n; r += AR_R * n; }
    void dw(uint64_t n = 1) { w += DW_W * n; r += DW_R * n; }
    void dr(uint64_t n = 1) { w += DR_W * n; r += DR_R * n; }
    void block_read(uint64_t n) { aw(); dw(4); dr(n + 2); ar(4 + n + 2); }
    void block_write(uint64_t n) { aw(); dw(n + 4); dr(2); ar(n + 4 + 3); }
    void device_erase() { aw(); dw(4); dr(1); ar(4 + 2); }
    void read_all(uint64_t size)
    {
        for (uint64_t o = 0; o < size; o += 256)
            block_read(std::min<uint64_t>(256, size - o));
    }
    void write_all(uint64_t size)
    {
        for (uint64_t o = 0; o < size; o += 256)
            block_write(std::min<uint64_t>(256, size - o));
    }
    // Claim and its request floor, line drive, two start-ups, the device ID,
    // final reset and release.
    void run_frame()
    {
        r += 9;
        w += 2;                                // c2_open
        for (int i = 0; i < 2; ++i) {          // c2_init
            w += 2;
            aw();
            dw(2);
        }
        aw();
        dr();                                  // device ID
        w += 4;                                // final reset, release
    }
};

void commands(const Context &ctx)
{
    if (ctx.bin.empty()) {
        printf("\n(give the harlune binary and libharlune_sim.so to run the whole-flash commands)\n");
        return;
    }
    const uint64_t size = 0x3E00;
    std::string img = ctx.tmp.path("image.bin"), flash = ctx.tmp.path("flash.bin"), back = ctx.tmp.path("back.bin");
    std::mt19937 gen(1);
    {
        std::ofstream f(img, std::ios::binary), fl(flash, std::ios::binary);
        for (uint64_t i = 0; i < size; ++i)
            f.put(static_cast<char>(gen()));
        for (uint64_t i = 0; i < 0x4000; ++i)
            fl.put(0x00);  // programmed with zeros: the image needs an erase
    }
    struct Cmd {
        const char *name;
        std::vector<std::string> args;
        Count expect;
    };
    Count p, v, r;
    p.run_frame(); p.read_all(size); p.device_erase(); p.write_all(size); p.read_all(size);
    v.run_frame(); v.read_all(size);
    r.run_frame(); r.read_all(size);
    Cmd cmds[] = {{"program", {"p", img}, p}, {"verify", {"v", img}, v}, {"read-back", {"r", back}, r}};

    printf("\nwhole-flash commands (0x3E00 bytes, simulated target, real ioctl path)\n");
    printf("%-10s %9s %9s %7s %8s %9s %9s %9s %8s %8s %8s %s\n", "command", "writes", "reads", "req/B", "asked_s",
           "slept_s", "wall_s", "virt_s", "user_s", "sys_s", "rss_MiB", "counts");
    bool all_ok = true;
    for (Cmd &c : cmds) {
        if (c.name == std::string("program")) {
            std::ofstream fl(flash, std::ios::binary);
            for (uint64_t i = 0; i < 0x4000; ++i)
                fl.put(0x00);
        }
        Run virt = run(ctx, c.args, "virtual", flash);
        if (c.name == std::string("program")) {
            std::ofstream fl(flash, std::ios::binary);
            for (uint64_t i = 0; i < 0x4000; ++i)
                fl.put(0x00);
        }
        Run real = run(ctx, c.args, "real", flash);
        // Counted on the virtual clock: the real one may add redos.
        uint64_t w = virt.report["writes"], rd = virt.report["reads"];
        // Spin delays asked: 1 us per data frame, 43 us per reset, 2 us per start-up.
        uint64_t frames = virt.report["data_writes"] + virt.report["data_reads"];
        double asked = static_cast<double>(virt.report["sleep_us"] + frames + 3 * 43 + 2 * 2) / 1e6;
        bool ok = w == c.expect.w && rd == c.expect.r && virt.status == 0 && real.status == 0;
        all_ok = all_ok && ok;
        printf("%-10s %9llu %9llu %7.1f %8.3f %9.3f %9.3f %9.3f %8.3f %8.3f %8.1f %s\n", c.name,
               static_cast<unsigned long long>(w), static_cast<unsigned long long>(rd),
               static_cast<double>(w + rd) / size, asked, static_cast<double>(real.report["sleep_real_us"]) / 1e6,
               real.wall_s, virt.wall_s, real.user_s, real.sys_s, static_cast<double>(real.maxrss_kb) / 1024.0,
               ok ? "match the formulas" : "DIFFER from the formulas");
        if (!ok)
            printf("           expected %llu writes, %llu reads; status %d\n",
                   static_cast<unsigned long long>(c.expect.w), static_cast<unsigned long long>(c.expect.r),
                   real.status);
        printf("           wall beyond the sleeps: %.3f s (%zu redos); at 1 us/request: %.2f s, at 5 us/request: %.2f s\n",
               real.wall_s - static_cast<double>(real.report["sleep_real_us"]) / 1e6, redos(real.err),
               static_cast<double>(w + rd) * 1e-6 + asked, static_cast<double>(w + rd) * 5e-6 + asked);
    }
    printf("request counts %s\n", all_ok ? "equal the protocol's formulas" : "DO NOT equal the formulas");
}

using common::random_bytes;

bool starts_with(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::string have = common::slurp(path);
    return have.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), have.begin(),
                                                     [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); });
}

// The CPU of one port request through the link and the simulator, on the
// parallel port and on GPIO lines: whole-flash read-backs on the counted
// clock (no sleeps, no hold-ups), best of five runs each. Both ports make the
// same requests, the reads of the request floor at the claim left out; a
// GPIO request carries a line configuration instead of a byte.
void port_cost(const Context &ctx)
{
    if (ctx.bin.empty())
        return;
    std::string flash = ctx.tmp.path("port-flash.bin"), back = ctx.tmp.path("port-back.bin");
    common::write_file(flash, random_bytes(0x4000, 9));
    struct Port {
        const char *name, *dev, *wiring;
        uint64_t floor_reads;  // reads that time the port at the claim
    } ports[] = {{"parallel", "/dev/parport0", "ck=17,d=27", 9},
                 {"GPIO", "/dev/gpiochip0:ck=17,d=27", "ck=17,d=27", 9},
                 {"GPIO, rst", "/dev/gpiochip0:ck=17,d=27,rst=22", "ck=17,d=27,rst=22", 9}};
    printf("\nCPU per port request, link and simulator (whole-flash read-back, counted clock, best of 5)\n");
    printf("%-10s %10s %10s %12s %s\n", "port", "requests", "cpu_s", "ns/request", "result");
    uint64_t first = 0;
    for (const Port &port : ports) {
        double best = 1e9;
        uint64_t requests = 0;
        bool ok = true;
        for (int i = 0; i < 5; ++i) {
            std::remove(back.c_str());
            Run r = run(ctx, {"r", back}, "virtual", flash,
                        {std::string("C2_PROG_DEV=") + port.dev, std::string("HARLUNE_SIM_GPIO_WIRING=") + port.wiring});
            requests = r.report["writes"] + r.report["reads"] - port.floor_reads;
            ok = ok && r.status == 0 && starts_with(back, random_bytes(0x3E00, 9)) && requests > 0;
            best = std::min(best, r.user_s + r.sys_s);
        }
        if (!first)
            first = requests;
        printf("%-10s %10llu %10.3f %12.1f %s\n", port.name, static_cast<unsigned long long>(requests), best,
               best * 1e9 / static_cast<double>(requests),
               !ok ? "FAILED" : requests == first ? "exact, same requests" : "exact, OTHER REQUEST COUNT");
    }
}

// CPU-bound processes competing with the tool, killed by the destructor.
struct Hogs {
    explicit Hogs(int n)
    {
        fflush(nullptr);
        for (int i = 0; i < n; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                volatile unsigned long spin = 0;
                for (;;)
                    spin = spin + 1;
            }
            pids.push_back(pid);
        }
    }
    ~Hogs()
    {
        for (pid_t pid : pids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    std::vector<pid_t> pids;
};

// Whole-flash program and read-back timed by the real clock (the target
// resets on any clock pulse held low 20 us), idle and against two CPU-bound
// processes, at normal and at real-time priority; then injected hiccups.
void busy_machine(const Context &ctx)
{
    if (ctx.bin.empty())
        return;
    const size_t size = 0x3E00;
    std::string img = ctx.tmp.path("busy.bin"), flash = ctx.tmp.path("busy-flash.bin"),
                back = ctx.tmp.path("busy-back.bin");
    auto image = random_bytes(size, 7);
    common::write_file(img, image);
    printf("\nwhole flash on the real clock (%s; real-time rows need root or CAP_SYS_NICE)\n",
           geteuid() == 0 ? "root" : "not root");
    printf("%-9s %-5s %-9s %7s %8s %8s %7s %7s %6s %8s %s\n", "command", "load", "priority", ">=5us", ">=20us",
           "resets", "redos", "stderr", "status", "wall_s", "result");
    for (int hogs : {0, 2}) {
        for (bool rt : {false, true}) {
            Hogs load(hogs);
            for (bool program : {true, false}) {
                common::write_file(flash, random_bytes(0x4000, 8));  // needs an erase
                if (!program)
                    common::write_file(flash, image);
                std::vector<std::string> extra;
                if (rt)
                    extra.push_back("HARLUNE_SIM_ALLOW_RT=1");
                std::remove(back.c_str());
                Run r = run(ctx, program ? std::vector<std::string>{"p", img} : std::vector<std::string>{"r", back},
                            "real", flash, extra);
                bool exact = starts_with(program ? flash : back, image);
                printf("%-9s %-5s %-9s %7llu %8llu %8llu %7zu %7zu %6d %8.2f %s\n", program ? "program" : "read-back",
                       hogs ? "2 hogs" : "idle", rt ? "SCHED_FIFO" : "normal",
                       static_cast<unsigned long long>(r.report["lows_over_5us"]),
                       static_cast<unsigned long long>(r.report["lows_over_20us"]),
                       static_cast<unsigned long long>(r.report["unplanned_resets"]), redos(r.err), lines(r.err),
                       r.status, r.wall_s,
                       r.status == 0 ? (exact ? "exact" : "WRONG BYTES WITH STATUS 0") : (exact ? "failed" : "failed, not written"));
            }
        }
    }

    // Holds with C2CK high (10 ms after every flash command), on the counted
    // clock so that nothing else holds a strobe: harmless on silicon, so no
    // redo may follow.
    for (bool program : {true, false}) {
        common::write_file(flash, program ? random_bytes(0x4000, 8) : image);
        std::remove(back.c_str());
        Run r = run(ctx, program ? std::vector<std::string>{"p", img} : std::vector<std::string>{"r", back}, "virtual",
                    flash, {"HARLUNE_SIM_HOLD_US=10000", "HARLUNE_SIM_HOLD_AFTER=commands"});
        printf("%-9s held 10 ms with C2CK high after every command, counted clock: %llu holds, %zu redos, "
               "%zu stderr lines, status %d, %s\n",
               program ? "program" : "read-back", static_cast<unsigned long long>(r.report["holds"]), redos(r.err),
               lines(r.err), r.status, starts_with(program ? flash : back, image) ? "exact" : "NOT EXACT");
    }

    // A 100 us hiccup in one strobe in 500,000 on top of two hogs, 20 seeds.
    int good = 0, wrong = 0;
    size_t total_redos = 0;
    uint64_t total_resets = 0;
    {
        Hogs load(2);
        for (int seed = 1; seed <= 20; ++seed) {
            common::write_file(flash, random_bytes(0x4000, 100 + static_cast<unsigned>(seed)));
            Run r = run(ctx, {"p", img}, "wire", flash,
                        {"HARLUNE_SIM_STALL_US=100", "HARLUNE_SIM_STALL_ONE_IN=500000",
                         "HARLUNE_SIM_STALL_SEED=" + std::to_string(seed)});
            bool exact = starts_with(flash, image);
            good += r.status == 0 && exact;
            wrong += r.status == 0 && !exact;
            total_redos += redos(r.err);
            total_resets += r.report["unplanned_resets"];
        }
    }
    printf("programs with 100 us hiccups (1 strobe in 500,000) and 2 hogs, wire clock: %d of 20 exact with status 0, "
           "%d WRONG WITH STATUS 0, %d failed (%llu target resets, %zu redos in all)\n",
           good, wrong, 20 - good - wrong, static_cast<unsigned long long>(total_resets), total_redos);
}

// The time a run takes on the simulator's counted clock: the sum of the
// gaps of its request trace (D tokens, microseconds).
double traced_s(const std::string &trace)
{
    std::ifstream in(trace);
    double us = 0;
    for (std::string t; in >> t;)
        if (t[0] == 'D')
            us += std::stod(t.substr(1));
    return us / 1e6;
}

// A command on the simulated FTDI chip twice, `fresh` putting the flash back
// before each: on the real clock (wall time, result), then on the counted
// clock with a trace (its time).
struct FtdiRun {
    Run real, counted;
    double counted_s;  // -1 when the counted run failed
    bool exact;        // the real run left the image in the file (r) or the flash
};

FtdiRun ftdi_run(const Context &ctx, const char *cmd, const std::string &img, const std::string &back,
                 const std::string &flash, const std::vector<uint8_t> &image, std::vector<std::string> env,
                 const std::function<void()> &fresh)
{
    std::vector<std::string> args = {cmd, *cmd == 'r' ? back : img};
    FtdiRun f;
    fresh();
    f.real = run(ctx, args, "real", flash, env);
    f.exact = f.real.status == 0 && starts_with(*cmd == 'r' ? back : flash, image);
    fresh();
    std::string trace = ctx.tmp.path("ftdi-trace");
    env.push_back("HARLUNE_SIM_TRACE=" + trace);
    f.counted = run(ctx, args, "virtual", flash, env);
    f.counted_s = f.counted.status == 0 ? traced_s(trace) : -1;
    std::remove(trace.c_str());
    return f;
}

// Whole flash on the simulated FTDI chip: read-back and program at high
// speed and at full speed (64-byte packets, 40 us between packets), with a
// chip that takes 50 or 250 ns per command; C2CK on TCK and on ACBUS with a
// reset line. Wall time on the real clock (sleeps slept, each round trip
// 125 us), and the same run's time on the counted clock; USB transfers,
// round trips and bytes sent; the shortest and longest strobe low phase on
// the chip's clock, strobes held across a packet or a transfer.
void ftdi_commands(const Context &ctx)
{
    if (ctx.bin.empty())
        return;
    const size_t size = 0x3E00;
    std::string img = ctx.tmp.path("ftdi.bin"), flash = ctx.tmp.path("ftdi-flash.bin"),
                back = ctx.tmp.path("ftdi-back.bin");
    auto image = random_bytes(size, 11);
    common::write_file(img, image);
    printf("\nwhole flash on the simulated FTDI chip (0x3E00 bytes, round trip 125 us, real clock, sleeps slept)\n");
    printf("%-9s %-15s %-5s %6s %8s %8s %10s %8s %8s %6s %6s %6s %8s %8s %s\n", "command", "pins", "speed", "cmd_ns",
           "usb_wr", "rtrips", "bytes_out", "short_ns", "long_ns", "p_lows", "t_lows", "status", "wall_s", "counted",
           "result");
    struct Pins {
        const char *dev, *wiring;
    } pins[] = {{"ftdi:ck=0,d=1", "ck=0,d=1"}, {"ftdi:ck=8,d=9,rst=10", "ck=8,d=9,rst=10"}};
    struct Link {
        const char *speed;
        int command_ns;
    } links[] = {{"high", 50}, {"high", 250}, {"full", 50}, {"full", 250}};
    for (const char *cmd : {"r", "p"})
        for (const Link &link : links)
            for (const Pins &pin : pins) {
                auto fresh = [&] {
                    common::write_file(flash, random_bytes(0x4000, 12));  // needs an erase
                    if (*cmd != 'p')
                        common::write_file(flash, image);
                    std::remove(back.c_str());
                };
                std::vector<std::string> env = {std::string("C2_PROG_DEV=") + pin.dev,
                                                std::string("HARLUNE_SIM_FTDI_WIRING=") + pin.wiring,
                                                std::string("HARLUNE_SIM_FTDI_SPEED=") + link.speed,
                                                "HARLUNE_SIM_FTDI_PACKET_GAP_US=40",
                                                "HARLUNE_SIM_FTDI_COMMAND_NS=" + std::to_string(link.command_ns)};
                FtdiRun f = ftdi_run(ctx, cmd, img, back, flash, image, env, fresh);
                Run &r = f.real;
                auto n = [&r](const char *key) { return static_cast<unsigned long long>(r.report[key]); };
                printf("%-9s %-15s %-5s %6d %8llu %8llu %10llu %8llu %8llu %6llu %6llu %6d %8.2f %8.2f %s\n",
                       *cmd == 'p' ? "program" : "read-back", pin.wiring, link.speed, link.command_ns,
                       n("usb_writes"), n("round_trips"), n("usb_bytes_out"), n("shortest_low_ns"),
                       n("longest_low_ns"), n("packet_lows"), n("transfer_lows"), r.status, r.wall_s, f.counted_s,
                       f.exact && redos(r.err) == 0 ? "exact, no redo" : "FAILED");
                fflush(stdout);
            }
}

// Block reads in batches on the simulated FT232H (high speed, 50 ns a
// command, C2CK on TCK): whole-flash read-back, verify and program at 125 us
// and 1 ms a round trip, by a target that answers at once and by one whose
// out-ready comes 0 to 76 us late (seeded). Round trips in all and per
// 256-byte block, bytes sent, wall time on the real clock (sleeps slept),
// the counted clock (each round trip its time, the chip its own, the host's
// work nothing) and a read pass on it (its sleeps taken off: the
// read-back's, verify's and each of a program's two reading passes),
// restarts of the target beyond the run's own (each a miss recovered).
void read_batches(const Context &ctx)
{
    if (ctx.bin.empty())
        return;
    const size_t size = 0x3E00, blocks = size / 256;
    std::string img = ctx.tmp.path("batch.bin"), flash = ctx.tmp.path("batch-flash.bin"),
                back = ctx.tmp.path("batch-back.bin");
    auto image = random_bytes(size, 13);
    common::write_file(img, image);
    printf("\nblock reads in batches, whole flash on the simulated FT232H (0x3E00 bytes, high speed, C2CK on TCK)\n");
    printf("%-9s %6s %-10s %6s %8s %7s %10s %8s %8s %9s %8s %s\n", "command", "rtt_us", "target", "status",
           "rtrips", "per_blk", "bytes_out", "wall_s", "counted", "read_pass", "restarts", "result");
    struct Target {
        const char *name;
        std::vector<std::string> env;
    } targets[] = {{"at once", {}}, {"ready 0-76", {"HARLUNE_SIM_READY_US=0-76", "HARLUNE_SIM_RESPONSE_SEED=5"}}};
    for (const char *cmd : {"r", "v", "p"})
        for (int rtt_us : {125, 1000}) {
            uint64_t own_resets = 0;
            for (const Target &target : targets) {
                auto fresh = [&] {
                    common::write_file(flash, *cmd == 'p' ? random_bytes(0x4000, 12) : image);
                    std::remove(back.c_str());
                };
                std::vector<std::string> env = {"C2_PROG_DEV=ftdi:ck=0,d=1", "HARLUNE_SIM_FTDI_WIRING=ck=0,d=1",
                                                "HARLUNE_SIM_FTDI_RTT_US=" + std::to_string(rtt_us)};
                env.insert(env.end(), target.env.begin(), target.env.end());
                FtdiRun f = ftdi_run(ctx, cmd, img, back, flash, image, env, fresh);
                Run &v = f.counted;
                double counted = f.counted_s;
                if (&target == &targets[0])
                    own_resets = v.report["resets"];
                double sleeps = static_cast<double>(v.report["sleep_us"]) / 1e6;
                // A program's reading passes are each a verify's: its own column shows none.
                double pass = *cmd == 'p' ? 0 : counted - sleeps;
                uint64_t trips = v.report["round_trips"];
                printf("%-9s %6d %-10s %6d %8llu %7.1f %10llu %8.2f %8.2f %9.2f %8lld %s\n",
                       *cmd == 'p' ? "program" : *cmd == 'v' ? "verify" : "read-back", rtt_us, target.name,
                       f.real.status, static_cast<unsigned long long>(trips), static_cast<double>(trips) / blocks,
                       static_cast<unsigned long long>(v.report["usb_bytes_out"]), f.real.wall_s, counted, pass,
                       static_cast<long long>(v.report["resets"] - own_resets), f.exact ? "exact" : "FAILED");
                fflush(stdout);
            }
        }
}

// Whole-flash read-back on parallel ports of 1 to 4 us a request: redos
// on the counted clock (nothing but the port's own cost in the pulses), and
// redos and wall time on the real clock with sleeps skipped.
void slow_ports(const Context &ctx)
{
    if (ctx.bin.empty())
        return;
    std::string flash = ctx.tmp.path("slow-flash.bin"), back = ctx.tmp.path("slow-back.bin");
    common::write_file(flash, random_bytes(0x4000, 11));
    printf("\nwhole-flash read-back, parallel port of N us a request\n");
    printf("%-6s %-40s %-34s\n", "us", "counted clock: status redos wire_s", "wire clock: status redos wall_s");
    for (int us : {1, 2, 3, 4}) {
        std::string cost = "HARLUNE_SIM_PPDEV_REQUEST_US=" + std::to_string(us);
        std::remove(back.c_str());
        Run v = run(ctx, {"r", back}, "virtual", flash, {cost});
        bool v_exact = v.status == 0 && starts_with(back, random_bytes(0x3E00, 11));
        std::remove(back.c_str());
        Run w = run(ctx, {"r", back}, "wire", flash, {cost});
        bool w_exact = w.status == 0 && starts_with(back, random_bytes(0x3E00, 11));
        // The wire's time on the counted clock: every request at its cost, every sleep whole.
        double wire_s = static_cast<double>((v.report["writes"] + v.report["reads"]) * static_cast<uint64_t>(us)) / 1e6 +
                        static_cast<double>(v.report["sleep_us"]) / 1e6;
        printf("%-6d %6d %6zu %8.2f %-14s %6d %6zu %8.2f %s\n", us, v.status, redos(v.err), wire_s,
               v_exact ? "exact" : "no file", w.status, redos(w.err), w.wall_s, w_exact ? "exact" : "no file");
    }
}

// The measurements, in the order they print.
void (*const sections[])(const Context &) = {udelay_table, request_cost,
                                              [](const Context &) { watchdog_cost(); }, commands,
                                              port_cost, slow_ports, busy_machine, ftdi_commands,
                                              read_batches};

}  // namespace

int main(int argc, char **argv)
{
    const std::map<std::string, void (*)(const Context &)> alone = {
        {"ftdi", ftdi_commands}, {"batches", read_batches}, {"ports", slow_ports}};
    if (argc != 1 && argc != 3 && !(argc == 4 && alone.count(argv[3]))) {
        fprintf(stderr, "usage: %s [path/to/harlune path/to/libharlune_sim.so [ftdi|batches|ports]]\n", argv[0]);
        return 2;
    }
    if (!open_counting_port()) {
        fprintf(stderr, "%s: the counting port could not be opened\n", argv[0]);
        return 1;
    }
    Context ctx;
    if (argc >= 3) {
        ctx.bin = argv[1];
        ctx.lib = argv[2];
    }
    if (argc == 4) {  // one section alone
        alone.at(argv[3])(ctx);
        return 0;
    }
    for (auto section : sections)
        section(ctx);
    return 0;
}
