// Raw image files: result codes, messages, contents and modes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include <csignal>

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "c2.h"
#include "c2_stop.h"
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

// fn() in a child process, so that signal handlers, filters and the umask it
// sets stay there; meanwhile(pid) runs in the parent until the child ends.
// The child's result (& 0xff) or 128 + the signal that ended it, and its stderr.
struct Child {
    int status;
    std::string err;
};

template <typename Fn, typename Meanwhile>
Child in_child(Fn fn, Meanwhile meanwhile)
{
    TempDir t;
    std::string err = t.path("stderr");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
        alarm(60);  // a hang fails the test instead of holding it
        _exit(fn() & 0xff);
    }
    meanwhile(pid);
    int ws = 0;
    waitpid(pid, &ws, 0);
    auto text = support::read_file(err);
    return {WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws), std::string(text.begin(), text.end())};
}

template <typename Fn>
Child in_child(Fn fn)
{
    return in_child(fn, [](pid_t) {});
}

// From now on close(fd) fails with EIO in this process, as NFS reports a
// deferred write error at the close. False where seccomp filters are refused.
bool fail_close_of(int fd)
{
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
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

TEST(Files, FailedCloseLeavesTheModeAsItWas)
{
    TempDir t;
    std::string existing = t.path("existing"), fresh = t.path("fresh");
    support::write_file(existing, {1, 2, 3});
    chmod(existing.c_str(), 0640);
    for (const std::string &path : {existing, fresh}) {
        SCOPED_TRACE(path);
        Child c = in_child([&path] {
            umask(022);
            int next = open("/dev/null", O_RDONLY);  // the descriptor writefile's open gets
            close(next);
            if (!fail_close_of(next))
                return 77;
            uint8_t data[16] = {};
            return writefile(path.c_str(), 16, data);
        });
        if (c.status == 77)
            GTEST_SKIP() << "seccomp filters refused here";
        EXPECT_EQ(c.status, 251);  // -5
        EXPECT_EQ(c.err, "close: Input/output error\nI can't write data\n");
        EXPECT_EQ(mode_of(path), path == existing ? 0640u : 0700u);
    }
}

TEST(Files, StopSignalEndsAWriteWaitingForAReader)
{
    TempDir t;
    std::string fifo = t.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    int capacity = fcntl(reader, F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    Child c = in_child(
        [&fifo, capacity] {
            c2_catch_signals();
            std::vector<uint8_t> data(4 * static_cast<size_t>(capacity));
            return writefile(fifo.c_str(), static_cast<int32_t>(data.size()), data.data());
        },
        [reader, capacity](pid_t pid) {
            // Once the pipe is full the child waits inside its write.
            siginfo_t info{};
            for (int queued = 0; queued < capacity;) {
                if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0)
                    return;
                usleep(1000);
                ioctl(reader, FIONREAD, &queued);
            }
            kill(pid, SIGINT);
        });
    close(reader);
    EXPECT_EQ(c.status, 251);  // -5
    EXPECT_EQ(c.err, "");  // the stop path explains
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
