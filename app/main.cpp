// harlune: program, verify and read back a C2 target's flash through a
// parallel-port adapter, GPIO lines or an FTDI MPSSE chip.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include "c2.h"
#include "c2_stop.h"
#include "fpi.h"
#include "image.h"

namespace {

constexpr int32_t DEFAULT_READ_LENGTH = 0x3E00;

void disp_usage()
{
    printf("The correct calling syntax is:\n"
           "harlune command file [length]\n"
           "The command can be:\n"
           "\tp - programm\n"
           "\tv - verify\n"
           "\tr - read and store to the file\n"
           "\tlength can optionally be specified when reading\n");
}

// --help: the usage, then how C2_PROG_DEV names each port.
void disp_help()
{
    disp_usage();
    printf("\n"
           "C2_PROG_DEV names the port (default /dev/parport0):\n"
           "\t/dev/parport0 - a parallel port with the adapter\n"
           "\t/dev/gpiochip0:ck=17,d=27[,rst=22] - GPIO lines of a GPIO chip\n"
           "\tftdi:[VID:PID[:SERIAL]:]ck=0,d=1[,rst=2][,if=B] - an FTDI MPSSE chip,\n"
           "\t  pins 0-7 ADBUS0-7, 8-15 ACBUS0-7\n"
           "harlune --version prints the version and the ports built in.\n"
           "See man harlune.\n");
}

void disp_version()
{
    printf("harlune %s\nports:\n", HARLUNE_VERSION);
    for (int i = 0; c2_port_name(i); ++i)
        printf("\t%s\n", c2_port_name(i));
}

// strtol in base 0, saturated to the signed 32-bit range; no error check.
int32_t parse_length(const char *text)
{
    long value = strtol(text, nullptr, 0);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// End every run alike: final reset pulse, lines released, a newline. The
// check is the last: a stop signal after it no longer changes the result.
int finish(int result)
{
    c2_stop_if_interrupted();
    C2CK_reset();
    c2_release();
    printf("\n");
    c2_redo_summary();
    return result;
}

// A start-up or device-ID read that failed: rc -1, nothing answered;
// C2_DISTURBED, its diagnostic is already out.
int no_target(const char *device, int rc)
{
    if (rc != C2_DISTURBED)
        fprintf(stderr, "No target answering on %s: check the adapter, the cable and the target's power\n",
                device);
    return finish(-1);
}

// Real-time priority and locked memory keep the host from being preempted or
// paging inside a clock pulse, which the target takes for a reset. Where the
// system does not allow it (no CAP_SYS_NICE, no rtprio limit) the run goes on
// as before. Already real-time (chrt) is kept as it is.
void run_realtime()
{
    constexpr int PRIORITY = 50;  // below the kernel's interrupt threads
    int policy = sched_getscheduler(0);
    if (policy != SCHED_FIFO && policy != SCHED_RR) {
        struct sched_param sp = {};
        sp.sched_priority = PRIORITY;
        struct rlimit rl;
        if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &sp) != 0) {
            if (getrlimit(RLIMIT_RTPRIO, &rl) != 0 || rl.rlim_cur == 0)
                return;
            sp.sched_priority = static_cast<int>(std::min<rlim_t>(rl.rlim_cur, PRIORITY));
            if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &sp) != 0)
                return;
        }
    }
#if !defined(__SANITIZE_ADDRESS__)
    // Only where nothing limits it: under a memlock limit a later malloc
    // could fail. (The sanitizers' shadow memory cannot be locked.)
    struct rlimit ml;
    if (geteuid() == 0 || (getrlimit(RLIMIT_MEMLOCK, &ml) == 0 && ml.rlim_cur == RLIM_INFINITY))
        mlockall(MCL_CURRENT | MCL_FUTURE);
#endif
    c2_set_realtime(true);
}

}  // namespace

int main(int argc, char **argv)
{
    int result = 1;

    // A standard descriptor closed outright (>&-) would otherwise be handed
    // to the port by its open, and messages would go out on the port's data
    // lines: park /dev/null there first.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return -1;
    // A reader that goes away (| head, a killed tee) must not end the run
    // half-way through the flash: its writes just fail, and the exit status
    // keeps telling what happened to the flash.
    signal(SIGPIPE, SIG_IGN);
    // Every line out before anything the tool or a layer below prints on
    // stderr, so a combined log keeps the order the user saw.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Asked for alone, before any port is named or opened.
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "--version") == 0)) {
        argv[1][2] == 'h' ? disp_help() : disp_version();
        return fflush(stdout) == 0 ? 0 : 1;
    }

    // Used whole, whatever its length: a long path fails at the open.
    const char *device = getenv("C2_PROG_DEV");
    if (device != nullptr) {
        printf("using %s\n", device);
    } else {
        printf("C2_PROG_DEV not set, setting to /dev/parport0\n");
        device = "/dev/parport0";
    }

    if (argc < 3) {
        disp_usage();
        return 1;
    }

    PortProblem problem;
    if (OpenPorts(device, &problem) != 0) {
        if (problem.claiming)
            printf("Problem claiming %s\n", problem.name.c_str());
        else
            printf("Problem opening %s\n", problem.name.c_str());
        fflush(stdout);
        fprintf(stderr, "harlune: %s: %s\n%s", problem.name.c_str(), problem.detail.c_str(), problem.hint.c_str());
        return 1;
    }
    c2_catch_signals();
    run_realtime();
    c2_open();

    int32_t length = argc == 4 ? parse_length(argv[3]) : DEFAULT_READ_LENGTH;

    int rc;
    if ((rc = c2_init()) != 0)
        return no_target(device, rc);
    sleep(1);
    int id = c2_device_id();
    if (id < 0)
        return no_target(device, id);
    printf("The device id: %x\n", id);
    if (id == 0x00 || id == 0xFF)
        fprintf(stderr, "harlune: a device id of 0x%x usually means that no target answers: "
                        "check the wiring, the target's power and the cable\n", id);
    if ((rc = c2_init()) != 0)
        return no_target(device, rc);
    printf("I've reset the device\n");
    sleep(1);

    const char *command = argv[1];
    if (strcmp(command, "p") == 0) {
        result = writeprg(argv[2]);
    } else if (strcmp(command, "v") == 0) {
        result = checkprg(argv[2]);
    } else if (strcmp(command, "r") == 0) {
        result = storeprg(argv[2], length);
    } else {
        disp_usage();
    }

    return finish(result);
}
