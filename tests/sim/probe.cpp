// A bare host for the preloaded simulator: claims the port, pulses reset,
// reads the status once, sleeps a second and prints how long the monotonic
// clock says that took. Argument 1: device; argument 2 "keep": exit with
// the device still open.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const char* device = argc > 1 ? argv[1] : "/dev/parport0";
    int fd = open(device, O_RDWR);
    if (fd < 0) {
        perror(device);
        return 3;
    }
    if (ioctl(fd, 0x708Bul) != 0)
        return 4;
    uint8_t b = 0x20;  // C2CK high, driver on, reset active
    for (int i = 0; i < 3; ++i)
        ioctl(fd, 0x40017086ul, &b);
    usleep(40);
    b = 0x28;
    ioctl(fd, 0x40017086ul, &b);
    usleep(3);
    b = 0x68;
    ioctl(fd, 0x40017086ul, &b);
    uint8_t status = 0;
    ioctl(fd, 0x80017081ul, &status);

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    sleep(1);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    long long ns = (t1.tv_sec - t0.tv_sec) * 1000000000ll + (t1.tv_nsec - t0.tv_nsec);
    printf("status %02x slept %lld\n", status, ns);
    if (argc <= 2 || strcmp(argv[2], "keep") != 0)
        close(fd);
    return 0;
}
