#include "common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace common {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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

TempDir::TempDir(const std::string &prefix)
{
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp " + tmpl + ": " + strerror(errno));
    dir = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string TempDir::path(const std::string &name) const { return dir + "/" + name; }

Process run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::function<void()> &setup)
{
    TempDir tmp("harlune-run");
    std::string out_path = tmp.path("stdout"), err_path = tmp.path("stderr");
    std::vector<std::string> a = argv, e = env;
    std::vector<char *> cargv, cenv;
    for (auto &s : a)
        cargv.push_back(s.data());
    cargv.push_back(nullptr);
    for (auto &s : e)
        cenv.push_back(s.data());
    cenv.push_back(nullptr);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (setup)
            setup();
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    Process p;
    int wstatus = 0;
    while (wait4(pid, &wstatus, 0, &p.usage) < 0)
        if (errno != EINTR)
            throw std::runtime_error(std::string("wait4: ") + strerror(errno));
    p.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    p.out = slurp(out_path);
    p.err = slurp(err_path);
    return p;
}

}  // namespace common
