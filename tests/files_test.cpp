// Raw image files: result codes, messages, contents and modes.
#include <gtest/gtest.h>

#include <cstdlib>

#include <csignal>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "image.h"
#include "support.h"

using support::TempDir;

namespace {

struct Read {
    int rc;
    std::vector<uint8_t> data;
    std::string err;
};

Read read(const std::string &path)
{
    uint8_t *buf = reinterpret_cast<uint8_t *>(1);  // must be reset
    testing::internal::CaptureStderr();
    Read r;
    r.rc = readfile(path.c_str(), &buf);
    r.err = testing::internal::GetCapturedStderr();
    if (r.rc >= 0) {
        EXPECT_NE(buf, nullptr);
        r.data.assign(buf, buf + r.rc);
    } else {
        EXPECT_EQ(buf, nullptr);
    }
    free(buf);
    return r;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

TEST(Files, RoundTripKeepsBytesAndLength)
{
    TempDir t;
    for (size_t n : {size_t{1}, size_t{255}, size_t{256}, size_t{0x3E00}, size_t{0x10001}}) {
        auto data = support::random_bytes(n, static_cast<uint32_t>(n));
        std::string p = t.path("img" + std::to_string(n));
        ASSERT_EQ(writefile(p.c_str(), static_cast<int32_t>(n), data.data()), 0);
        Read r = read(p);
        EXPECT_EQ(r.rc, static_cast<int>(n));
        EXPECT_EQ(r.data, data);
    }
}

TEST(Files, EmptyFileReadsAsZeroBytesWithABuffer)
{
    TempDir t;
    support::write_file(t.path("empty"), {});
    Read r = read(t.path("empty"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
}

TEST(Files, ReadFailuresSayWhatFailed)
{
    TempDir t;
    std::string missing = t.path("missing");
    EXPECT_EQ(read(missing).rc, -1);
    EXPECT_EQ(read(missing).err, missing + ": No such file or directory\n");

    Read dir = read(t.dir);
    EXPECT_EQ(dir.rc, -1);
    EXPECT_EQ(dir.err, t.dir + ": Is a directory\n");

    std::string fifo = t.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Keep a writer open so the read-only open does not block.
    pid_t writer = fork();
    if (writer == 0) {
        FILE *f = fopen(fifo.c_str(), "w");
        sleep(2);
        if (f)
            fclose(f);
        _exit(0);
    }
    Read pipe = read(fifo);
    EXPECT_EQ(pipe.rc, -2);
    EXPECT_EQ(pipe.err, "lseek: Illegal seek\n");
    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);

    if (geteuid() != 0) {  // root reads anything
        std::string locked = t.path("locked");
        support::write_file(locked, {1, 2, 3});
        chmod(locked.c_str(), 0);
        EXPECT_EQ(read(locked).rc, -1);
    }
}

TEST(Files, WriteTruncatesAndSetsMode0666)
{
    TempDir t;
    std::string p = t.path("out");
    support::write_file(p, std::vector<uint8_t>(1000, 0xAA));
    mode_t old = umask(022);
    uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(writefile(p.c_str(), 3, data), 0);
    EXPECT_EQ(support::read_file(p), std::vector<uint8_t>({1, 2, 3}));
    std::string fresh = t.path("fresh");
    EXPECT_EQ(writefile(fresh.c_str(), 0, data), 0);
    umask(old);
    EXPECT_EQ(support::read_file(fresh).size(), 0u);
    EXPECT_EQ(mode_of(fresh), 0666u);
    EXPECT_EQ(mode_of(p), 0666u);
}

TEST(Files, WriteFailures)
{
    TempDir t;
    uint8_t data[16] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(writefile(t.path("no/such/dir").c_str(), 16, data), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), t.path("no/such/dir") + ": No such file or directory\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(writefile(t.dir.c_str(), 16, data), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), t.dir + ": Is a directory\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(writefile("/dev/full", 16, data), -5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "write: No space left on device\nI can't write data\n");
}

TEST(Files, PrintbufDumpsEightBytesALine)
{
    uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 0xFE, 0xFF};
    testing::internal::CaptureStdout();
    printbuf(10, data);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n00 : 00 01 02 03 04 05 06 07 \n08 : fe ff \n");
}

}  // namespace
