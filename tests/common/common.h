// Helpers shared by the tests, the simulator's tests and the benchmark:
// whole files, private scratch directories and runs of another program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace common {

// The whole content of a file; empty when it cannot be read.
std::string slurp(const std::string &path);
// Create or truncate a file with these bytes.
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
// n bytes from a seeded generator: the same seed, the same bytes.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);

// A private directory made with mkdtemp under /tmp, removed with its
// content by the destructor.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "harlune-test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path(const std::string &name) const;
    std::string dir;
};

struct Process {
    int status = -1;          // exit status, or 128 + signal when killed
    std::string out, err;     // what it wrote to stdout and stderr
    struct rusage usage {};   // its CPU time and peak RSS
};

// Runs argv[0] with exactly `env` as its environment and /dev/null as its
// stdin, and waits for it. The caller's stdio buffers are flushed first, so
// the child inherits none of their content. `setup`, if given, runs in the
// child once its standard descriptors are in place, just before the exec.
Process run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::function<void()> &setup = nullptr);

}  // namespace common
