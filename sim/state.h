// Glue between the interposed C library calls and the simulator.
// Internal to libharlune_sim.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

namespace harlune_sim::detail {

// The C library's own functions (resolved lazily with RTLD_NEXT).
int real_open(const char* path, int flags, mode_t mode);
int real_close(int fd);
int real_clock_gettime(clockid_t clock, struct timespec* ts);

// configure() has run: the interposed calls are served.
bool active();
bool real_time();
bool is_device_path(const char* path);
bool is_device(int fd);
void device_opened(int fd);
void device_closing(int fd);
// PPCLAIM, PPWDATA, PPRSTATUS and anything else asked of the device.
int port_request(unsigned long request, void* arg);

// Virtual clock: the clocks it replaces, a read (advancing it) and a sleep.
bool virtual_clock(clockid_t clock);
uint64_t clock_read();
// real_time: the host read a replaced clock (it is waiting on purpose).
void clock_read_real();
uint64_t clock_now();
void sleep_virtual(uint64_t ns);
// real_time: a sleep of `ns` asked for, `real_ns` really spent.
void sleep_real(uint64_t ns, uint64_t real_ns);

}  // namespace harlune_sim::detail
