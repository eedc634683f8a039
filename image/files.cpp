// Raw image files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "c2_stop.h"
#include "fpi.h"
#include "image.h"

namespace {

// Opened with O_NONBLOCK so that a FIFO with no one at the other end cannot
// hold the open; the flag is cleared again so reads and writes wait as usual.
int open_nonblocking(const char *path, int flags, mode_t mode = 0)
{
    int fd = open(path, flags | O_NONBLOCK, mode);
    if (fd >= 0) {
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0)
            fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace

int readfile(const char *path, uint8_t **buffer)
{
    *buffer = nullptr;
    // A FIFO with no writer opens at once and fails at the seek, as a pipe does.
    int fd = open_nonblocking(path, O_RDONLY);
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

int writefile(const char *path, int32_t length, const uint8_t *data, struct stat *opened)
{
    if (opened)
        opened->st_mode = 0;
    // A FIFO with no reader fails here with ENXIO instead of waiting for one.
    int fd = open_nonblocking(path, O_WRONLY | O_CREAT | O_TRUNC, 0700);
    if (fd < 0) {
        c2_note_start();
        perror(path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        st.st_mode = 0;
    if (opened)
        *opened = st;
    for (int32_t done = 0; done < length;) {
        // A stop signal ends a write that waits on a slow reader; the stop
        // path says why.
        if (c2_interrupted()) {
            close(fd);
            return -5;
        }
        ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            c2_note_start();
            perror("write");
            fprintf(stderr, "I can't write data\n");
            close(fd);
            return -5;
        }
        done += static_cast<int32_t>(n);
    }
    // Mode 0666 only for a complete regular file (a FIFO or a device keeps
    // its own): set through a second descriptor once the first has closed
    // cleanly, as a close may report a deferred write error (NFS). Through a
    // descriptor, not the path: the path may have been swapped for a link
    // since the open, and this tool often runs as root.
    int keep = -1;
    if (S_ISREG(st.st_mode) && (keep = dup(fd)) < 0) {
        c2_note_start();
        perror("dup");
        fprintf(stderr, "I can't write data\n");
        close(fd);
        return -5;
    }
    if (close(fd) != 0) {
        c2_note_start();
        perror("close");
        fprintf(stderr, "I can't write data\n");
        if (keep >= 0)
            close(keep);
        return -5;
    }
    if (keep >= 0) {
        fchmod(keep, 0666);
        close(keep);
    }
    return 0;
}
