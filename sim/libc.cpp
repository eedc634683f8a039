// The C library's own functions, resolved with RTLD_NEXT.
#include "libc.h"

#include <dlfcn.h>

#include <cstring>

namespace harlune_sim::libc {

namespace {

template <typename F>
F next(const char* name)
{
    void* p = dlsym(RTLD_NEXT, name);
    F f;
    static_assert(sizeof f == sizeof p);
    memcpy(&f, &p, sizeof f);
    return f;
}

// The function `name` of the next object in the search order, looked up once.
#define NEXT(type, name)                       \
    using Fn = type;                           \
    static Fn next_fn = nullptr;               \
    if (!next_fn)                              \
        next_fn = next<Fn>(name)

using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);

}  // namespace

int open(const char* path, int flags, mode_t mode)
{
    NEXT(OpenFn, "open");
    return next_fn(path, flags, mode);
}

int open64(const char* path, int flags, mode_t mode)
{
    NEXT(OpenFn, "open64");
    return next_fn(path, flags, mode);
}

int open_2(const char* path, int flags)
{
    NEXT(Open2Fn, "__open_2");
    return next_fn(path, flags);
}

int open64_2(const char* path, int flags)
{
    NEXT(Open2Fn, "__open64_2");
    return next_fn(path, flags);
}

int close(int fd)
{
    NEXT(int (*)(int), "close");
    return next_fn(fd);
}

int ioctl(int fd, unsigned long request, void* arg)
{
    NEXT(int (*)(int, unsigned long, ...), "ioctl");
    return next_fn(fd, request, arg);
}

int usleep(useconds_t us)
{
    NEXT(int (*)(useconds_t), "usleep");
    return next_fn(us);
}

int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    NEXT(int (*)(const struct timespec*, struct timespec*), "nanosleep");
    return next_fn(request, remaining);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining)
{
    NEXT(int (*)(clockid_t, int, const struct timespec*, struct timespec*), "clock_nanosleep");
    return next_fn(clock, flags, request, remaining);
}

unsigned sleep(unsigned seconds)
{
    NEXT(unsigned (*)(unsigned), "sleep");
    return next_fn(seconds);
}

int clock_gettime(clockid_t clock, struct timespec* ts)
{
    NEXT(int (*)(clockid_t, struct timespec*), "clock_gettime");
    return next_fn(clock, ts);
}

int sched_setscheduler(pid_t pid, int policy, const struct sched_param* param)
{
    NEXT(int (*)(pid_t, int, const struct sched_param*), "sched_setscheduler");
    return next_fn(pid, policy, param);
}

int sched_setparam(pid_t pid, const struct sched_param* param)
{
    NEXT(int (*)(pid_t, const struct sched_param*), "sched_setparam");
    return next_fn(pid, param);
}

int mlockall(int flags)
{
    NEXT(int (*)(int), "mlockall");
    return next_fn(flags);
}

uint64_t now_ns(clockid_t clock)
{
    struct timespec ts;
    libc::clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace harlune_sim::libc
