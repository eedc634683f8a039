#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "c2.h"
#include "c2_lines.h"
#include "port.h"

extern char **environ;

namespace support {

void attach(const harlune_sim::Config &config, uint8_t shadow)
{
    harlune_sim::configure(config);
    PortProblem problem;
    port_open(config.device.c_str(), &problem);
    port_claim(&problem);
    c2_watch_floor(0);
    dshadow = shadow;
}

void detach()
{
    port_close();
}

std::string link_trace()
{
    std::string t = harlune_sim::trace();
    if (t.rfind("C", 0) == 0)
        t.erase(0, t.size() > 1 ? 2 : 1);
    return t;
}

std::string writes(const std::vector<uint8_t> &bytes)
{
    std::string s;
    char token[8];
    for (uint8_t b : bytes) {
        snprintf(token, sizeof token, "%sW%02X", s.empty() ? "" : " ", b);
        s += token;
    }
    return s;
}

static std::vector<std::string> split(const std::string &s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string t; in >> t;)
        out.push_back(t);
    return out;
}

std::string without_delays(const std::string &trace)
{
    std::string s;
    s.reserve(trace.size());
    for (size_t p = trace.find_first_not_of(" \n"); p != std::string::npos;) {
        size_t end = std::min(trace.find_first_of(" \n", p), trace.size());
        if (trace[p] != 'D') {
            if (!s.empty())
                s += ' ';
            s.append(trace, p, end - p);
        }
        p = trace.find_first_not_of(" \n", end);
    }
    return s;
}

std::vector<std::string> last_requests(const std::string &trace, size_t n)
{
    std::vector<std::string> out;
    size_t pos = trace.size();
    while (out.size() < n && pos > 0) {
        size_t last = trace.find_last_not_of(" \n", pos - 1);
        if (last == std::string::npos)
            break;
        size_t first = trace.find_last_of(" \n", last);
        first = first == std::string::npos ? 0 : first + 1;
        if (trace[first] != 'D')
            out.insert(out.begin(), trace.substr(first, last - first + 1));
        pos = first;
    }
    return out;
}

size_t count_tokens(const std::string &trace, char kind)
{
    size_t n = 0;
    for (const std::string &t : split(trace))
        n += t[0] == kind;
    return n;
}

std::vector<Frame> frames()
{
    std::vector<Frame> out;
    for (const std::string &t : split(harlune_sim::frames())) {
        size_t colon = t.find(':');
        if (colon == std::string::npos)
            out.push_back({t, 0});
        else
            out.push_back({t.substr(0, colon), static_cast<uint32_t>(std::stoul(t.substr(colon + 1), nullptr, 16))});
    }
    return out;
}

std::vector<uint32_t> values(const std::vector<Frame> &fs, const std::string &kind)
{
    std::vector<uint32_t> out;
    for (const Frame &f : fs)
        if (f.kind == kind)
            out.push_back(f.value);
    return out;
}

size_t count(const std::vector<Frame> &fs, const std::string &kind)
{
    return values(fs, kind).size();
}

std::vector<int> status_samples(uint8_t status)
{
    std::vector<int> s;
    for (int i = 0; i < 8; ++i)
        s.push_back((status >> i) & 1);
    return s;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

Result run_harlune(const std::vector<std::string> &args, const RunOptions &options)
{
    TempDir tmp;
    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    for (char **e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan += ':';  // not ":" + v.substr(13): a false -Wrestrict of GCC 12 at -O2
            asan.append(v, 13);
            continue;
        }
        if (v.rfind("HARLUNE_SIM_", 0) == 0 || v.rfind("LD_PRELOAD=", 0) == 0 ||
            (options.unset_device && v.rfind("C2_PROG_DEV=", 0) == 0))
            continue;
        env.push_back(v);
    }
    std::string clock = options.clock;
    for (const std::string &e : options.env)
        if (e.rfind("HARLUNE_SIM_CLOCK=", 0) == 0)
            clock = e.substr(18);
    if (clock.empty())
        clock = "virtual";  // counted time: no run depends on this machine's load
    if (options.preload) {
        env.push_back("LD_PRELOAD=" HARLUNE_SIM_LIB);
        env.push_back("HARLUNE_SIM_CLOCK=" + clock);  // options.env repeats it or names none
        env.push_back(asan);
        env.push_back("HARLUNE_SIM_REPORT=" + tmp.path("report"));
        if (options.trace) {
            env.push_back("HARLUNE_SIM_TRACE=" + tmp.path("trace"));
            env.push_back("HARLUNE_SIM_FRAMES=" + tmp.path("frames"));
        }
        if (!options.flash_file.empty())
            env.push_back("HARLUNE_SIM_FLASH=" + options.flash_file);
    }
    for (const std::string &e : options.env)
        env.push_back(e);

    std::vector<std::string> argv = options.wrapper;
    argv.push_back(HARLUNE_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    common::Process p = common::run(argv, env, [&options] {
        if (options.merge_stderr)
            dup2(1, 2);
        for (int fd : options.reader_gone) {
            int pipefd[2];
            if (pipe(pipefd) == 0) {
                dup2(pipefd[1], fd);
                close(pipefd[0]);
                close(pipefd[1]);
            }
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            signal(sig, SIG_DFL);
        for (int sig : options.ignored_signals)
            signal(sig, SIG_IGN);
        if (options.guard_s)
            alarm(options.guard_s);
    });

    Result run;
    run.status = p.status;
    run.out = std::move(p.out);
    run.err = std::move(p.err);
    std::istringstream report(common::slurp(tmp.path("report")));
    for (std::string line; std::getline(report, line);) {
        if (line.rfind("fault ", 0) == 0) {
            run.faults.push_back(line.substr(6));
            continue;
        }
        std::istringstream fields(line);
        std::string key;
        uint64_t value = 0;
        if (fields >> key >> value)
            run.report[key] = value;
    }
    // On the wire clock the machine may hold the tool up inside a strobe and
    // make it redo a command: its notes (and the run's summary) are allowed
    // only where the simulator saw such a hold-up.
    if (clock == "wire" && run.report["host_holds"] > 0)
        for (std::string *text : {&run.err, &run.out}) {
            std::istringstream in(*text);
            std::string kept;
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("harlune: ", 0) == 0 && (line.find(" redone ") != std::string::npos || line.find(" redos in this run: ") != std::string::npos)) {
                    ++run.redo_notes;
                    continue;
                }
                kept += line + (in.eof() ? "" : "\n");
            }
            *text = kept;
        }
    // Each note needs a strobe held low 5 us or more: a gap of 5 us or more
    // from one request to the next.
    if (run.redo_notes > run.report["host_holds"])
        ADD_FAILURE() << run.redo_notes << " redo notes but only " << run.report["host_holds"]
                      << " hold-ups of the host: false alarms of the watchdog";
    if (options.trace) {
        run.trace = common::slurp(tmp.path("trace"));
        run.frames = common::slurp(tmp.path("frames"));
        while (!run.trace.empty() && isspace(static_cast<unsigned char>(run.trace.back())))
            run.trace.pop_back();
        while (!run.frames.empty() && isspace(static_cast<unsigned char>(run.frames.back())))
            run.frames.pop_back();
    }
    return run;
}

Result EndToEnd::run(std::vector<std::string> args, std::vector<std::string> env, bool trace)
{
    RunOptions o;
    o.env = std::move(env);
    o.trace = trace;
    return run(std::move(args), std::move(o));
}

Result EndToEnd::run(std::vector<std::string> args, RunOptions o)
{
    o.flash_file = flash;
    Result r = run_harlune(args, o);
    if (faults_fail) {
        EXPECT_TRUE(r.faults.empty()) << r.faults.front();
    }
    return r;
}

std::vector<uint8_t> EndToEnd::flash_start(size_t n)
{
    std::vector<uint8_t> f = read_file(flash);
    return std::vector<uint8_t>(f.begin(), f.begin() + static_cast<long>(std::min(n, f.size())));
}

}  // namespace support
