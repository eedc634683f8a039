// C library entry points taken over by the simulator. Each resolves the real
// function lazily with RTLD_NEXT, so the library works both preloaded and as
// an ordinary link dependency (and behind the sanitizers' own interceptors).
#undef _FORTIFY_SOURCE  // the fortified inline open() would clash with ours

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "state.h"

namespace d = harlune_sim::detail;

namespace {

using OpenFn = int (*)(const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using UsleepFn = int (*)(useconds_t);
using NanosleepFn = int (*)(const struct timespec*, struct timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const struct timespec*, struct timespec*);
using SleepFn = unsigned (*)(unsigned);
using ClockGettimeFn = int (*)(clockid_t, struct timespec*);
using Open2Fn = int (*)(const char*, int);

template <typename F>
F next(const char* name)
{
    void* p = dlsym(RTLD_NEXT, name);
    F f;
    static_assert(sizeof f == sizeof p);
    memcpy(&f, &p, sizeof f);
    return f;
}

#define REAL(type, name)                                   \
    static type next_##name = nullptr;                     \
    if (!next_##name)                                      \
        next_##name = next<type>(#name)

constexpr uint64_t kNsPerSecond = 1000000000;

uint64_t to_ns(const struct timespec& ts)
{
    return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

struct timespec from_ns(uint64_t ns)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return ts;
}

bool valid(const struct timespec* ts)
{
    return ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < static_cast<long>(kNsPerSecond);
}

uint64_t real_now()
{
    struct timespec ts;
    d::real_clock_gettime(CLOCK_MONOTONIC, &ts);
    return to_ns(ts);
}

bool needs_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

// The device is a real descriptor (of /dev/null) the simulator answers for.
int open_device()
{
    int fd = d::real_open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0)
        d::device_opened(fd);
    return fd;
}

template <typename F>
int open_common(F real, const char* path, int flags, mode_t mode)
{
    if (d::active() && d::is_device_path(path))
        return open_device();
    return needs_mode(flags) ? real(path, flags, mode) : real(path, flags);
}

}  // namespace

namespace harlune_sim::detail {

int real_open(const char* path, int flags, mode_t mode)
{
    REAL(OpenFn, open);
    return next_open(path, flags, mode);
}

int real_close(int fd)
{
    REAL(CloseFn, close);
    return next_close(fd);
}

int real_clock_gettime(clockid_t clock, struct timespec* ts)
{
    REAL(ClockGettimeFn, clock_gettime);
    return next_clock_gettime(clock, ts);
}

}  // namespace harlune_sim::detail

extern "C" {

int open(const char* path, int flags, ...)
{
    REAL(OpenFn, open);
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return open_common(next_open, path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    REAL(OpenFn, open64);
    mode_t mode = 0;
    if (needs_mode(flags)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return open_common(next_open64, path, flags, mode);
}

// The fortified entry points callers get with _FORTIFY_SOURCE.
int __open_2(const char* path, int flags)
{
    REAL(Open2Fn, __open_2);
    if (d::active() && d::is_device_path(path))
        return open_device();
    return next___open_2(path, flags);
}

int __open64_2(const char* path, int flags)
{
    REAL(Open2Fn, __open64_2);
    if (d::active() && d::is_device_path(path))
        return open_device();
    return next___open64_2(path, flags);
}

int close(int fd)
{
    REAL(CloseFn, close);
    if (d::is_device(fd))
        d::device_closing(fd);
    return next_close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    REAL(IoctlFn, ioctl);
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (d::is_device(fd))
        return d::port_request(request, arg);
    return next_ioctl(fd, request, arg);
}

int usleep(useconds_t us)
{
    REAL(UsleepFn, usleep);
    if (!d::active())
        return next_usleep(us);
    uint64_t ns = uint64_t{us} * 1000;
    if (!d::real_time()) {
        d::sleep_virtual(ns);
        return 0;
    }
    uint64_t start = real_now();
    int result = next_usleep(us);
    d::sleep_real(ns, real_now() - start);
    return result;
}

int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    REAL(NanosleepFn, nanosleep);
    if (!d::active() || !request)
        return next_nanosleep(request, remaining);
    if (!valid(request)) {
        errno = EINVAL;
        return -1;
    }
    if (!d::real_time()) {
        d::sleep_virtual(to_ns(*request));
        if (remaining)
            *remaining = from_ns(0);
        return 0;
    }
    uint64_t start = real_now();
    int result = next_nanosleep(request, remaining);
    d::sleep_real(to_ns(*request), real_now() - start);
    return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining)
{
    REAL(ClockNanosleepFn, clock_nanosleep);
    bool absolute = flags & TIMER_ABSTIME;
    if (!d::active() || !request || (absolute && !d::virtual_clock(clock)))
        return next_clock_nanosleep(clock, flags, request, remaining);
    if (!valid(request))
        return EINVAL;
    if (!d::real_time()) {
        uint64_t ns = to_ns(*request);
        if (absolute)
            ns = ns > d::clock_now() ? ns - d::clock_now() : 0;
        d::sleep_virtual(ns);
        if (remaining && !absolute)
            *remaining = from_ns(0);
        return 0;
    }
    uint64_t start = real_now();
    int result = next_clock_nanosleep(clock, flags, request, remaining);
    uint64_t spent = real_now() - start;
    d::sleep_real(absolute ? spent : to_ns(*request), spent);
    return result;
}

unsigned sleep(unsigned seconds)
{
    REAL(SleepFn, sleep);
    if (!d::active())
        return next_sleep(seconds);
    uint64_t ns = uint64_t{seconds} * kNsPerSecond;
    if (!d::real_time()) {
        d::sleep_virtual(ns);
        return 0;
    }
    uint64_t start = real_now();
    unsigned result = next_sleep(seconds);
    d::sleep_real(ns, real_now() - start);
    return result;
}

int clock_gettime(clockid_t clock, struct timespec* ts) noexcept
{
    REAL(ClockGettimeFn, clock_gettime);
    if (!d::active() || !d::virtual_clock(clock))
        return next_clock_gettime(clock, ts);
    if (d::real_time()) {
        d::clock_read_real();
        return next_clock_gettime(clock, ts);
    }
    *ts = from_ns(d::clock_read());
    return 0;
}

}  // extern "C"
