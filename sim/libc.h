// The C library's own functions behind the interposed ones, resolved lazily
// with RTLD_NEXT so the library works preloaded, as an ordinary link
// dependency, and behind the sanitizers' own interceptors.
// Internal to libharlune_sim.
#pragma once

#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace harlune_sim::libc {

int open(const char* path, int flags, mode_t mode);
int open64(const char* path, int flags, mode_t mode);
int open_2(const char* path, int flags);    // __open_2
int open64_2(const char* path, int flags);  // __open64_2
int close(int fd);
int ioctl(int fd, unsigned long request, void* arg);
int usleep(useconds_t us);
int nanosleep(const struct timespec* request, struct timespec* remaining);
int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining);
unsigned sleep(unsigned seconds);
int clock_gettime(clockid_t clock, struct timespec* ts);
int sched_setscheduler(pid_t pid, int policy, const struct sched_param* param);
int sched_setparam(pid_t pid, const struct sched_param* param);
int mlockall(int flags);

// CLOCK_MONOTONIC (or another clock) in nanoseconds, from the C library.
uint64_t now_ns(clockid_t clock = CLOCK_MONOTONIC);

}  // namespace harlune_sim::libc
