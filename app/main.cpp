// harlune: program, verify and read back a C2 target's flash through a
// parallel-port adapter.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "c2.h"
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
    return result;
}

int no_target(const char *device)
{
    fprintf(stderr, "No target answering on %s: check the adapter, the cable and the target's power\n",
            device);
    return finish(-1);
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

    OpenPorts(device);
    c2_catch_signals();
    c2_open();

    int32_t length = argc == 4 ? parse_length(argv[3]) : DEFAULT_READ_LENGTH;

    if (c2_init() != 0)
        return no_target(device);
    sleep(1);
    int id = c2_device_id();
    if (id < 0)
        return no_target(device);
    printf("The device id: %x\n", id);
    if (id == 0x00 || id == 0xFF)
        fprintf(stderr, "harlune: a device id of 0x%x usually means that no target answers: "
                        "check the wiring, the target's power and the cable\n", id);
    if (c2_init() != 0)
        return no_target(device);
    printf("I've reset the device\n");
    sleep(1);

    const char *command = argv[1];
    if (strcmp(command, "p") == 0) {
        c2_interrupt_note("The flash content is incomplete: program the device again");
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
