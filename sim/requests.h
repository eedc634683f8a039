// What the interposed C library calls ask of the simulator: the parallel
// port's and the GPIO chip's opens, closes and requests, the host's clocks
// and sleeps, and the real-time requests. Internal to libharlune_sim.
#pragma once

#include <cstdint>
#include <ctime>

namespace harlune_sim::detail {

// configure() has run: the interposed calls are served.
bool active();
bool is_device_path(const char* path);
bool is_device(int fd);
void device_opened(int fd);
void device_closing(int fd);
// PPCLAIM, PPWDATA, PPRSTATUS and anything else asked of the device.
int port_request(unsigned long request, void* arg);

// The GPIO chip and its line requests.
bool is_chip_path(const char* path);
bool is_gpio(int fd);
void chip_opened(int fd);
void gpio_closing(int fd);
int gpio_request(int fd, unsigned long request, void* arg);
// The C library answered EBADF for `fd`: a line request used after its release?
void bad_descriptor(int fd, unsigned long request);

// The clocks the simulator replaces, a read of one (virtual time advances)
// and what it shows without a read.
bool replaced_clock(clockid_t clock);
uint64_t clock_read(clockid_t clock);
uint64_t clock_peek(clockid_t clock);
// A sleep of `ns` asked for: true when it is over already; false (real mode)
// when the caller sleeps and then reports the time spent with slept().
bool sleep_skipped(uint64_t ns);
void slept(uint64_t ns, uint64_t real_ns);

// sched_setscheduler, sched_setparam or mlockall: counted; true when it may
// reach the C library.
bool rt_request();

}  // namespace harlune_sim::detail
