#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "c2_lines.h"
#include "port.h"

extern char **environ;

namespace support {

void attach(const harlune_sim::Config &config, uint8_t shadow)
{
    harlune_sim::configure(config);
    fh = port_open(config.device.c_str());
    port_claim(fh);
    dshadow = shadow;
}

void detach()
{
    if (fh >= 0)
        port_close(fh);
    fh = -1;
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
    for (const std::string &t : split(trace)) {
        if (t[0] == 'D')
            continue;
        if (!s.empty())
            s += ' ';
        s += t;
    }
    return s;
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

TempDir::TempDir()
{
    char tmpl[] = "/tmp/harlune-test-XXXXXX";
    dir = mkdtemp(tmpl);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string TempDir::path(const std::string &name) const { return dir + "/" + name; }

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

static std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Result run_harlune(const std::vector<std::string> &args, const RunOptions &options)
{
    TempDir tmp;
    std::vector<std::string> env;
    std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    for (char **e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan += ":" + v.substr(13);
            continue;
        }
        if (v.rfind("HARLUNE_SIM_", 0) == 0 || v.rfind("LD_PRELOAD=", 0) == 0 ||
            (options.unset_device && v.rfind("C2_PROG_DEV=", 0) == 0))
            continue;
        env.push_back(v);
    }
    if (options.preload) {
        env.push_back("LD_PRELOAD=" HARLUNE_SIM_LIB);
        env.push_back("HARLUNE_SIM_CLOCK=virtual");  // counted time: exact traces, no machine load
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

    std::vector<char *> cargv, cenv;
    for (auto &a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto &e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    std::string out_path = tmp.path("stdout"), err_path = tmp.path("stderr");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);

    Result run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.out = slurp(out_path);
    run.err = slurp(err_path);
    std::istringstream report(slurp(tmp.path("report")));
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
    if (options.trace) {
        run.trace = slurp(tmp.path("trace"));
        run.frames = slurp(tmp.path("frames"));
        while (!run.trace.empty() && isspace(static_cast<unsigned char>(run.trace.back())))
            run.trace.pop_back();
        while (!run.frames.empty() && isspace(static_cast<unsigned char>(run.frames.back())))
            run.frames.pop_back();
    }
    return run;
}

}  // namespace support
