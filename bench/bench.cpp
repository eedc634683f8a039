// harlune benchmark: udelay precision, the link's own CPU cost per port
// request, and whole-flash program / verify / read-back runs of the real
// binary on the simulated target, with request counts checked against the
// protocol's formulas.
//
//   build/bench/harlune_bench [path/to/harlune path/to/libharlune_sim.so]
//
// Each measurement is one function in `sections` below; the scratch files
// of a run live in one private directory, removed at the end.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <time.h>

#include "c2.h"
#include "common.h"

extern uint64_t stub_writes, stub_reads;
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
    stub_writes = stub_reads = 0;
    uint64_t cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    unsigned sink = 0;
    for (int i = 0; i < frames; ++i) {
        AddressWrite(static_cast<uint8_t>(i));
        sink += AddressRead();
    }
    cpu = now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    uint64_t requests = stub_writes + stub_reads;
    printf("\nlink CPU per port request (counting stub): %.2f ns over %llu requests%s\n",
           static_cast<double>(cpu) / static_cast<double>(requests), static_cast<unsigned long long>(requests),
           sink == 0xFFFFFFFF ? "" : "");
}

struct Run {
    double wall_s, user_s, sys_s;
    long maxrss_kb;
    int status;
    std::map<std::string, uint64_t> report;
};

Run run(const Context &ctx, const std::vector<std::string> &args, bool real_time, const std::string &flash)
{
    std::string report = ctx.tmp.path("report");
    std::remove(report.c_str());  // no stale counters if this run writes none
    std::vector<std::string> env = {"LD_PRELOAD=" + ctx.lib, "HARLUNE_SIM_REPORT=" + report,
                                    "HARLUNE_SIM_FLASH=" + flash};
    env.push_back(real_time ? "HARLUNE_SIM_CLOCK=real" : "HARLUNE_SIM_CLOCK=virtual");
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
    // Claim, line drive, two start-ups, the device ID, final reset and release.
    void run_frame()
    {
        r += 0;
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
        Run virt = run(ctx, c.args, false, flash);
        if (c.name == std::string("program")) {
            std::ofstream fl(flash, std::ios::binary);
            for (uint64_t i = 0; i < 0x4000; ++i)
                fl.put(0x00);
        }
        Run real = run(ctx, c.args, true, flash);
        uint64_t w = real.report["writes"], rd = real.report["reads"];
        // Spin delays asked: 1 us per data frame, 43 us per reset, 2 us per start-up.
        uint64_t frames = real.report["data_writes"] + real.report["data_reads"];
        double asked = static_cast<double>(real.report["sleep_us"] + frames + 3 * 43 + 2 * 2) / 1e6;
        bool ok = w == c.expect.w && rd == c.expect.r && real.status == 0;
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
        printf("           wall beyond the sleeps: %.3f s; at 1 us/request: %.2f s, at 2 us/request: %.2f s\n",
               real.wall_s - static_cast<double>(real.report["sleep_real_us"]) / 1e6,
               static_cast<double>(w + rd) * 1e-6 + asked, static_cast<double>(w + rd) * 2e-6 + asked);
    }
    printf("request counts %s\n", all_ok ? "equal the protocol's formulas" : "DO NOT equal the formulas");
}

// The measurements, in the order they print.
void (*const sections[])(const Context &) = {udelay_table, request_cost,
                                              [](const Context &) { watchdog_cost(); }, commands};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 1 && argc != 3) {
        fprintf(stderr, "usage: %s [path/to/harlune path/to/libharlune_sim.so]\n", argv[0]);
        return 2;
    }
    Context ctx;
    if (argc == 3) {
        ctx.bin = argv[1];
        ctx.lib = argv[2];
    }
    for (auto section : sections)
        section(ctx);
    return 0;
}
