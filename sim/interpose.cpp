// C library entry points taken over by the simulator. Each one serves the
// simulated device, clock or sleep through requests.h, and passes everything
// else to the C library's own function (libc.h).
#undef _FORTIFY_SOURCE  // the fortified inline open() would clash with ours

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>

#include "libc.h"
#include "requests.h"

namespace d = harlune_sim::detail;
namespace libc = harlune_sim::libc;

namespace {

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

bool needs_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

// The device and the chip are real descriptors (of /dev/null) the simulator
// answers for.
int open_served(const char* path)
{
    int fd = libc::open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0 && d::is_device_path(path))
        d::device_opened(fd);
    else if (fd >= 0)
        d::chip_opened(fd);
    return fd;
}

bool serves(const char* path)
{
    return d::active() && (d::is_device_path(path) || d::is_chip_path(path));
}

mode_t mode_argument(int flags, va_list args)
{
    return needs_mode(flags) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// A sleep of `ns`: skipped (virtual and wire time), or slept by `real` and
// measured (real time).
template <typename F>
auto sleep_for(uint64_t ns, F real) -> decltype(real())
{
    if (d::sleep_skipped(ns))
        return 0;
    uint64_t start = libc::now_ns();
    auto result = real();
    d::slept(ns, libc::now_ns() - start);
    return result;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return serves(path) ? open_served(path) : libc::open(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_argument(flags, args);
    va_end(args);
    return serves(path) ? open_served(path) : libc::open64(path, flags, mode);
}

// The fortified entry points callers get with _FORTIFY_SOURCE.
int __open_2(const char* path, int flags)
{
    return serves(path) ? open_served(path) : libc::open_2(path, flags);
}

int __open64_2(const char* path, int flags)
{
    return serves(path) ? open_served(path) : libc::open64_2(path, flags);
}

int close(int fd)
{
    if (d::is_device(fd))
        d::device_closing(fd);
    else if (d::is_gpio(fd))
        d::gpio_closing(fd);
    return libc::close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (d::is_device(fd))
        return d::port_request(request, arg);
    if (d::is_gpio(fd))
        return d::gpio_request(fd, request, arg);
    int result = libc::ioctl(fd, request, arg);
    if (result < 0 && errno == EBADF)
        d::bad_descriptor(fd, request);
    return result;
}

int usleep(useconds_t us)
{
    if (!d::active())
        return libc::usleep(us);
    return sleep_for(uint64_t{us} * 1000, [&] { return libc::usleep(us); });
}

int nanosleep(const struct timespec* request, struct timespec* remaining)
{
    if (!d::active() || !request)
        return libc::nanosleep(request, remaining);
    if (!valid(request)) {
        errno = EINVAL;
        return -1;
    }
    if (d::sleep_skipped(to_ns(*request))) {
        if (remaining)
            *remaining = from_ns(0);
        return 0;
    }
    uint64_t start = libc::now_ns();
    int result = libc::nanosleep(request, remaining);
    d::slept(to_ns(*request), libc::now_ns() - start);
    return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remaining)
{
    bool absolute = flags & TIMER_ABSTIME;
    if (!d::active() || !request || (absolute && !d::replaced_clock(clock)))
        return libc::clock_nanosleep(clock, flags, request, remaining);
    if (!valid(request))
        return EINVAL;
    uint64_t ns = to_ns(*request);
    if (absolute) {
        uint64_t now = d::clock_peek(clock);
        ns = ns > now ? ns - now : 0;
    }
    if (d::sleep_skipped(ns)) {
        if (remaining && !absolute)
            *remaining = from_ns(0);
        return 0;
    }
    uint64_t start = libc::now_ns();
    int result = libc::clock_nanosleep(clock, flags, request, remaining);
    uint64_t spent = libc::now_ns() - start;
    d::slept(absolute ? spent : ns, spent);
    return result;
}

unsigned sleep(unsigned seconds)
{
    if (!d::active())
        return libc::sleep(seconds);
    return sleep_for(uint64_t{seconds} * kNsPerSecond, [&] { return libc::sleep(seconds); });
}

int clock_gettime(clockid_t clock, struct timespec* ts) noexcept
{
    if (!d::active() || !d::replaced_clock(clock))
        return libc::clock_gettime(clock, ts);
    *ts = from_ns(d::clock_read(clock));
    return 0;
}

// Real-time priority and locked memory: refused under test unless allowed.
int sched_setscheduler(pid_t pid, int policy, const struct sched_param* param) noexcept
{
    if (d::active() && !d::rt_request()) {
        errno = EPERM;
        return -1;
    }
    return libc::sched_setscheduler(pid, policy, param);
}

int sched_setparam(pid_t pid, const struct sched_param* param) noexcept
{
    if (d::active() && !d::rt_request()) {
        errno = EPERM;
        return -1;
    }
    return libc::sched_setparam(pid, param);
}

int mlockall(int flags) noexcept
{
    if (d::active() && !d::rt_request()) {
        errno = EPERM;
        return -1;
    }
    return libc::mlockall(flags);
}

}  // extern "C"
