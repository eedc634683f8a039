// The parallel port through Linux ppdev. The only file that includes the
// ppdev headers.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "port_form.h"

// The request numbers the adapter protocol is built on.
static_assert(PPCLAIM == 0x708B);
static_assert(PPWDATA == 0x40017086);
static_assert(PPRSTATUS == 0x80017081);

namespace {

// The character devices of ppdev (a printer device, lp, is major 6).
constexpr unsigned PP_MAJOR = 99;

// PPCLAIM sleeps in the kernel until the port's holder lets it go: ppdev
// asks no holder to give way and never says busy. A timer signal each
// second ends the sleep (EINTR, never restarted), so that after the first
// the wait is told, and after the last it is given up.
constexpr int CLAIM_NOTE_S = 1;
constexpr int CLAIM_LIMIT_S = 4;

std::string device;  // as C2_PROG_DEV names it
int fd = -1;         // the port's ppdev device
volatile sig_atomic_t claim_ticks = 0;

extern "C" void on_claim_tick(int) { claim_ticks = claim_ticks + 1; }

// Any name is a parallel port device: the port asked last.
bool ppdev_takes(const char *) { return true; }

int ppdev_parse(const char *path, PortProblem *)
{
    device = path;
    return 0;
}

int ppdev_open(PortProblem *problem)
{
    fd = open(device.c_str(), O_RDWR);
    if (fd < 0) {
        std::string name = device;
        // A name that is nowhere near a device file may have meant another port.
        bool elsewhere = errno == ENOENT && name.compare(0, 5, "/dev/") != 0;
        return port_failed(problem,
                           elsewhere ? "  Check that the device exists (modprobe ppdev), that you may open it\n"
                                       "  (the lp group or a udev rule) and that C2_PROG_DEV names the right port.\n"
                                       "  C2_PROG_DEV takes one of three forms: a parallel port (/dev/parport0),\n"
                                       "  GPIO lines (/dev/gpiochipN:ck=LINE,d=LINE) or an FTDI chip (ftdi:ck=PIN,d=PIN).\n"
                                     : "  Check that the device exists (modprobe ppdev), that you may open it\n"
                                       "  (the lp group or a udev rule) and that C2_PROG_DEV names the right port.\n",
                           &name);
    }
    return 0;
}

// The device the kernel says holds the port ("lp0", "ppdev0"), or empty.
std::string holder()
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != PP_MAJOR)
        return {};
    std::ifstream in("/proc/sys/dev/parport/parport" + std::to_string(minor(st.st_rdev)) + "/devices/active");
    std::string name;
    if (!(in >> name) || name == "none")
        return {};
    return name;
}

// PPCLAIM with the wait told and bounded. Its result, errno set.
int claim_waiting()
{
    // A real-time signal of its own: SIGALRM stays the caller's (a wrapper's alarm).
    int sig = SIGRTMIN;
    struct sigaction tick, old;
    memset(&tick, 0, sizeof tick);
    tick.sa_handler = on_claim_tick;
    sigemptyset(&tick.sa_mask);
    sigaction(sig, &tick, &old);
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = sig;
    timer_t timer;
    bool timed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (timed) {
        struct itimerspec every = {{1, 0}, {1, 0}};
        timer_settime(timer, 0, &every, nullptr);
    }
    claim_ticks = 0;
    bool told = false;
    int rc;
    while ((rc = ioctl(fd, PPCLAIM)) != 0 && errno == EINTR && claim_ticks < CLAIM_LIMIT_S) {
        if (claim_ticks >= CLAIM_NOTE_S && !told) {
            std::string who = holder();
            if (!who.empty())
                who = "; the kernel names " + who;
            fprintf(stderr,
                    "harlune: waiting for %s: another program or driver holds the port (lp, a printer daemon,\n"
                    "  another harlune%s); fuser -v %s shows who has it open, lsmod | grep lp whether the\n"
                    "  printer driver is loaded. Giving up after %d s.\n",
                    device.c_str(), who.c_str(), device.c_str(), CLAIM_LIMIT_S);
            told = true;
        }
    }
    int err = errno;
    if (timed)
        timer_delete(timer);  // a signal it left pending goes with it
    sigaction(sig, &old, nullptr);
    errno = err;
    return rc;
}

int ppdev_claim(PortProblem *problem)
{
    if (claim_waiting() == 0)
        return 0;
    int err = errno;
    char text[200];
    switch (err) {
    case EINTR:
        snprintf(text, sizeof text,
                 "another program or driver held the port for %d s (lp, a printer daemon, another harlune)",
                 CLAIM_LIMIT_S);
        problem->detail = text;
        problem->hint = "  fuser -v " + device +
                        " shows the programs that have it open; lsmod | grep lp shows the\n"
                        "  printer driver (rmmod lp, or stop the printer daemon, frees the port).\n";
        break;
    case ENXIO:
        problem->detail = "the port is gone, or another program holds it for itself alone";
        problem->hint = "  Check that the port still exists (ls /sys/class/parport) and that no program\n"
                        "  claimed it exclusively (fuser -v " + device + ").\n";
        break;
    case EINVAL:
    case ENOTTY:
        problem->detail = "not a ppdev port: a printer device (/dev/lp0) or another file answers no PPCLAIM";
        problem->hint = "  Name the port's ppdev device, for example C2_PROG_DEV=/dev/parport0 (modprobe ppdev).\n";
        break;
    default:
        return port_failed(problem, "  Check that no other driver or program holds the port (lp, a printer daemon).\n");
    }
    errno = err;
    return -1;
}

[[noreturn]] void lost(const char *request)
{
    c2_port_lost(device + ": " + request + " failed: " + strerror(errno),
                 "  The port stopped answering (its card or driver went away); the target is not to\n"
                 "  blame. Check the port (dmesg) before running again.\n");
}

void ppdev_write_data(uint8_t value)
{
    if (ioctl(fd, PPWDATA, &value) != 0)
        lost("PPWDATA");
}

uint8_t ppdev_read_status()
{
    unsigned char status = 0x80;
    if (ioctl(fd, PPRSTATUS, &status) != 0)
        lost("PPRSTATUS");
    return status;
}

void ppdev_close()
{
    close(fd);
    fd = -1;
}

}  // namespace

// Each request at once, each wait the host's own.
const PortOps ppdev_port = {
    .name = "parallel port (Linux ppdev)",
    .request_noun = "port",
    .slow_hint = "  A port on the mainboard or on a PCI or PCIe card answers in 1 to 3 us; a port behind\n"
                 "  USB or one a virtual machine emulates is slower. Use such a port, or GPIO lines of\n"
                 "  an SoC or an FTDI MPSSE chip.\n",
    .takes = ppdev_takes,
    .parse = ppdev_parse,
    .open = ppdev_open,
    .claim = ppdev_claim,
    .write_data = ppdev_write_data,
    .read_status = ppdev_read_status,
    .close = ppdev_close,
};
