// Raw image files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image.h"

int readfile(const char *path, uint8_t **buffer)
{
    *buffer = nullptr;
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        perror(path);
        return -1;
    }

    int result;
    struct stat st;
    off_t size;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        // A directory opens and may even seek; say what it is.
        errno = EISDIR;
        perror(path);
        result = -1;
    } else if ((size = lseek(fd, 0, SEEK_END)) < 0) {
        perror("lseek");
        result = -2;
    } else if (size > INT32_MAX) {
        // The length travels as a signed 32-bit count.
        errno = EFBIG;
        perror("data buffer malloc");
        result = -3;
    } else if ((*buffer = static_cast<uint8_t *>(malloc(size > 0 ? static_cast<size_t>(size) : 1))) == nullptr) {
        perror("data buffer malloc");
        result = -3;
    } else if (lseek(fd, 0, SEEK_SET) != 0) {
        perror("lseek");
        result = -4;
    } else if (read(fd, *buffer, static_cast<size_t>(size)) != size) {
        fprintf(stderr, "I can't read data\n");
        result = -5;
    } else {
        result = static_cast<int>(size);
    }

    close(fd);
    if (result < 0) {
        free(*buffer);
        *buffer = nullptr;
    }
    return result;
}

int writefile(const char *path, int32_t length, const uint8_t *data)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0700);
    if (fd < 0) {
        perror(path);
        return -1;
    }
    for (int32_t done = 0; done < length;) {
        ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
        if (n < 0) {
            perror("write");
            fprintf(stderr, "I can't write data\n");
            close(fd);
            return -5;
        }
        done += static_cast<int32_t>(n);
    }
    // Through the descriptor, not the path: the path may have been swapped
    // for a link since the open, and this tool often runs as root.
    fchmod(fd, 0666);
    if (close(fd) != 0) {
        perror("write");
        fprintf(stderr, "I can't write data\n");
        return -5;
    }
    return 0;
}
