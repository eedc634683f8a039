// Program, verify and read back, in blocks of up to 256 bytes from address 0.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

#include "c2_stop.h"
#include "fpi.h"
#include "image.h"

namespace {

// Block addresses carry 16 bits: past 64 KiB a transfer would wrap to 0.
bool fits_address_space(const char *what, int32_t size)
{
    if (size <= C2_ADDRESS_SPACE)
        return true;
    fprintf(stderr, "%s: %d bytes is more than the %d bytes that C2 flash addresses reach; nothing done\n",
            what, size, C2_ADDRESS_SPACE);
    return false;
}

// Run transfer(address, length) on each block of up to 256 bytes from
// address 0, stopping at the first that fails; 0 or that failure.
template <typename Transfer>
int each_block(int32_t size, Transfer transfer)
{
    for (int32_t offset = 0; offset < size; offset += C2_BLOCK_SIZE) {
        int rc = transfer(offset, std::min(C2_BLOCK_SIZE, size - offset));
        if (rc != 0)
            return rc;
    }
    return 0;
}

// readfile for the program and verify commands, Intel HEX turned into its
// image: the size, or -1 after the messages (the buffer is then released).
int32_t read_image(const char *path, uint8_t **image)
{
    int32_t size = readfile(path, image);
    if (size > 0 && is_intel_hex(path, *image, size)) {
        uint8_t *text = *image;
        size = parse_intel_hex(path, text, size, image);
        free(text);
    }
    if (size <= 0) {
        fprintf(stderr, "I can't read from %s the data to be programmed\n", path);
        free(*image);
        *image = nullptr;
        return -1;
    }
    if (!fits_address_space(path, size)) {
        free(*image);
        *image = nullptr;
        return -1;
    }
    return size;
}

// Compare the flash with the image and say so when it matches.
int verify_and_report(int32_t size, const uint8_t *image)
{
    int result = vrfyprg(size, image);
    if (result == 0) {
        c2_progress_end();
        printf("Succesfully verified %d bytes\n", size);
    }
    return result;
}

// The read-back file storeprg opened: the stop path removes it, as long as
// the path still names that regular file (never a FIFO or a device).
const char *output_path = nullptr;
struct stat output_stat;

void remove_output()
{
    struct stat now;
    if (output_path && S_ISREG(output_stat.st_mode) && lstat(output_path, &now) == 0 &&
        now.st_dev == output_stat.st_dev && now.st_ino == output_stat.st_ino)
        unlink(output_path);
}

}  // namespace

int readprg(int32_t size, uint8_t **buffer)
{
    *buffer = nullptr;
    uint8_t *data = size >= 0 ? static_cast<uint8_t *>(malloc(size > 0 ? static_cast<size_t>(size) : 1)) : nullptr;
    if (data == nullptr) {
        fprintf(stderr, "I can't allocate the memory\n");
        return -1;
    }
    if (each_block(size, [data](int32_t a, int32_t n) { return c2_block_read(a, data + a, n); }) != 0) {
        fprintf(stderr, "c2_block_read error in readprg\n");
        free(data);
        return -1;
    }
    *buffer = data;
    return 0;
}

int vrfyprg(int32_t size, const uint8_t *image)
{
    uint8_t *device;
    if (readprg(size, &device) != 0) {
        fprintf(stderr, "I was not able to allocate memory in the \"vrfyprg\" function\n");
        return -1;
    }
    int result = 0;
    for (int32_t i = 0; i < size; ++i) {
        if (device[i] != image[i]) {
            c2_note_start();
            fprintf(stderr, "Comparison error at 0x%4.4x: device:0x%2.2x file:0x%2.2x \n", i,
                    device[i], image[i]);
            result = 1;
        }
    }
    free(device);
    return result;
}

int writeprg(const char *path)
{
    uint8_t *image;
    int32_t size = read_image(path, &image);
    if (size < 0)
        return -1;

    uint8_t *device;
    if (readprg(size, &device) != 0) {
        fprintf(stderr, "I can't read data from the device\n");
        free(image);
        return -1;
    }

    // Programming only clears bits: a 1 over a 0 needs an erase first.
    bool erase = false;
    for (int32_t i = 0; i < size; ++i)
        if (image[i] & ~device[i])
            erase = true;

    c2_progress_end();
    if (erase) {
        printf("device needs erasing!\n");
        // A refused erase prints its own diagnostic; programming goes on and
        // the verification tells what came of it. One given up after its
        // redos left the target in no known state: nothing more is written.
        if (c2_device_erase() == C2_DISTURBED) {
            fprintf(stderr, "\nProgramming stopped: the device erase did not complete\n");
            free(device);
            free(image);
            return -1;
        }
        printf("erased\n");
    }

    // Every block, even one that already matches the flash.
    if (each_block(size, [image](int32_t a, int32_t n) { return c2_block_write(a, image + a, n); }) != 0) {
        fprintf(stderr, "\nProgramming stopped: the flash holds only the blocks written before\n");
        free(device);
        free(image);
        return -1;
    }

    free(device);
    int result = verify_and_report(size, image);
    free(image);
    return result;
}

int checkprg(const char *path)
{
    uint8_t *image;
    int32_t size = read_image(path, &image);
    if (size < 0)
        return -1;
    int result = verify_and_report(size, image);
    free(image);
    return result;
}

int storeprg(const char *path, int32_t length)
{
    if (!fits_address_space("Read length", length))
        return -1;
    uint8_t *device;
    if (readprg(length, &device) != 0) {
        fprintf(stderr, "I can't read the data from the device\n");
        return -1;
    }
    // A stop signal up to the run's last check means no file: one that came
    // during the last frames stops here, before the file is opened; one that
    // comes later has the stop path remove what was written.
    c2_stop_if_interrupted();
    output_path = path;
    c2_interrupt_cleanup(remove_output);
    int result = writefile(path, length, device, &output_stat);
    free(device);
    return result;
}

void printbuf(int32_t length, const uint8_t *data)
{
    for (int32_t i = 0; i < length; ++i) {
        if (i % 8 == 0)
            printf("\n%2.2x : ", i);
        printf("%2.2x ", data[i]);
    }
    printf("\n");
}
