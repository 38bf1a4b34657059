#include "crashreporter/crsh_async_file.h"
#include "support/EventWait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A pipe whose read end never blocks, to see what has reached the descriptor after each call.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe()
    {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    }
    ~Pipe()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    std::size_t drain()
    {
        std::size_t total = 0;
        std::uint8_t chunk[4096];
        for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
            total += static_cast<std::size_t>(n);
        return total;
    }
};

TEST(CrashAsyncFile, SmallWritesWaitInTheBufferLargeOnesGoStraightThrough)
{
    Pipe pipe;
    crsh_async_file file;
    crsh_async_file_init(&file, pipe.fds[1], 0);
    std::vector<std::uint8_t> bytes(300, 0x5A);

    // 300 bytes into an empty buffer: written directly, nothing buffered.
    ASSERT_TRUE(crsh_async_file_write(&file, bytes.data(), 300));
    EXPECT_EQ(pipe.drain(), 300u);
    EXPECT_EQ(file.buffered_bytes, 0u);

    // 100 bytes wait; 200 more would pass 256, so the 100 go out and the 200 wait.
    ASSERT_TRUE(crsh_async_file_write(&file, bytes.data(), 100));
    EXPECT_EQ(pipe.drain(), 0u);
    ASSERT_TRUE(crsh_async_file_write(&file, bytes.data(), 200));
    EXPECT_EQ(pipe.drain(), 100u);
    EXPECT_EQ(file.buffered_bytes, 200u);

    // Exactly filling the buffer keeps the bytes; one more byte flushes them first.
    ASSERT_TRUE(crsh_async_file_write(&file, bytes.data(), 56));
    EXPECT_EQ(pipe.drain(), 0u);
    ASSERT_TRUE(crsh_async_file_write(&file, bytes.data(), 1));
    EXPECT_EQ(pipe.drain(), 256u);

    ASSERT_TRUE(crsh_async_file_flush(&file));
    EXPECT_EQ(pipe.drain(), 1u);
    EXPECT_TRUE(crsh_async_file_flush(&file)); // empty buffer
    EXPECT_EQ(file.total_bytes, 657u);
    EXPECT_FALSE(crsh_async_file_failed(&file));
}

TEST(CrashAsyncFile, TheLimitRefusesAWholeWriteAndTheFileRemembersIt)
{
    int fd = memfd_create("crash-limit", 0);
    ASSERT_GE(fd, 0);
    crsh_async_file file;
    crsh_async_file_init(&file, fd, 262144);
    std::vector<std::uint8_t> bytes(262144, 0x11);

    ASSERT_TRUE(crsh_async_file_write(&file, bytes.data(), 262000));
    EXPECT_FALSE(crsh_async_file_failed(&file));
    EXPECT_FALSE(crsh_async_file_write(&file, bytes.data(), 145)); // 262145: one byte too many
    EXPECT_TRUE(crsh_async_file_failed(&file));
    EXPECT_TRUE(crsh_async_file_write(&file, bytes.data(), 144)); // exactly to the limit
    EXPECT_FALSE(crsh_async_file_write(&file, bytes.data(), 1));
    EXPECT_FALSE(crsh_async_file_write(&file, bytes.data(), SIZE_MAX)); // no wrap of the sum
    ASSERT_TRUE(crsh_async_file_flush(&file));
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 262144);
    // The refusal stays known even though flush succeeded.
    EXPECT_TRUE(crsh_async_file_failed(&file));
    EXPECT_TRUE(crsh_async_file_close(&file));
}

TEST(CrashAsyncFile, FailingDescriptorsAreReportedByWriteFlushAndClose)
{
    Pipe pipe;
    crsh_async_file file;
    crsh_async_file_init(&file, pipe.fds[0], 0); // the read end: write() fails with EBADF
    std::uint8_t bytes[300] = {};

    EXPECT_FALSE(crsh_async_file_write(&file, bytes, sizeof bytes));
    EXPECT_TRUE(crsh_async_file_failed(&file));

    crsh_async_file_init(&file, pipe.fds[0], 0);
    ASSERT_TRUE(crsh_async_file_write(&file, bytes, 10)); // buffered: not yet known
    EXPECT_FALSE(crsh_async_file_failed(&file));
    EXPECT_FALSE(crsh_async_file_write(&file, bytes, 250)); // the flush fails
    EXPECT_EQ(file.buffered_bytes, 10u);                    // nothing overran the buffer
    EXPECT_FALSE(crsh_async_file_close(&file));
    pipe.fds[0] = -1; // closed by the writer

    EXPECT_EQ(crsh_async_writen(-1, bytes, 1), -1);
    EXPECT_EQ(crsh_async_writen(pipe.fds[1], bytes, 0), 0);

    // A full disk: the first refusal's errno is kept with the bytes the file took; the limit's refusal
    // is no system error. A device cannot be emptied for another try; a file can.
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    crsh_async_file_init(&file, full, 100);
    EXPECT_FALSE(crsh_async_file_write(&file, bytes, 101));
    EXPECT_EQ(file.error, 0);
    ASSERT_TRUE(crsh_async_file_write(&file, bytes, 100)); // buffered
    EXPECT_FALSE(crsh_async_file_flush(&file));
    EXPECT_EQ(file.error, ENOSPC);
    EXPECT_EQ(file.written_bytes, 0u);
    EXPECT_FALSE(crsh_async_file_rewind(&file, 100));
    close(full);
    const int fd = memfd_create("crash-rewind", 0);
    ASSERT_GE(fd, 0);
    crsh_async_file_init(&file, fd, 0);
    ASSERT_TRUE(crsh_async_file_write(&file, bytes, sizeof bytes));
    EXPECT_EQ(file.written_bytes, sizeof bytes);
    ASSERT_TRUE(crsh_async_file_rewind(&file, 20));
    EXPECT_FALSE(crsh_async_file_write(&file, bytes, 21));
    ASSERT_TRUE(crsh_async_file_write(&file, bytes, 20));
    const int copy = dup(fd);
    EXPECT_TRUE(crsh_async_file_close(&file));
    EXPECT_EQ(lseek(copy, 0, SEEK_END), 20); // only the second try's bytes
    close(copy);
}

std::atomic<int> g_interruptions{0};

TEST(CrashAsyncFile, WritesInterruptedBySignalsAreRetried)
{
    if (!std::ifstream("/proc/self/syscall"))
        GTEST_SKIP() << "the kernel does not report threads' system calls";
    // A full pipe whose write end blocks: the write below waits until a signal interrupts it.
    Pipe pipe;
    ASSERT_EQ(fcntl(pipe.fds[1], F_SETPIPE_SZ, 4096), 4096);
    std::vector<std::uint8_t> filler(4096, 1);
    ASSERT_EQ(write(pipe.fds[1], filler.data(), filler.size()), 4096);
    ASSERT_EQ(fcntl(pipe.fds[1], F_SETFL, 0), 0);

    struct sigaction interrupt = {}, previous = {};
    interrupt.sa_handler = [](int) { g_interruptions.fetch_add(1); };
    sigemptyset(&interrupt.sa_mask);
    interrupt.sa_flags = 0; // no SA_RESTART: the blocked write fails with EINTR
    ASSERT_EQ(sigaction(SIGUSR2, &interrupt, &previous), 0);
    g_interruptions = 0;

    const pid_t writer = static_cast<pid_t>(syscall(SYS_gettid));
    const pthread_t writerThread = pthread_self();
    std::atomic<bool> finished{false};
    bool retried = false;
    std::thread helper([&] {
        while (!hybtest::inSystemCall(writer, SYS_write)) {
        }
        pthread_kill(writerThread, SIGUSR2);
        while (g_interruptions.load() == 0) {
        }
        // The interrupted write has returned; the writer must be back in write() for the same bytes.
        while (!finished.load() && !hybtest::inSystemCall(writer, SYS_write)) {
        }
        retried = !finished.load();
        // Take the filler only, so that the writer's bytes are all still in the pipe afterwards.
        std::uint8_t chunk[4096];
        for (std::size_t taken = 0; taken < sizeof chunk;) {
            ssize_t n = read(pipe.fds[0], chunk, sizeof chunk - taken);
            if (n > 0)
                taken += static_cast<std::size_t>(n);
        }
    });
    std::vector<std::uint8_t> bytes(512, 2);
    ssize_t written = crsh_async_writen(pipe.fds[1], bytes.data(), bytes.size());
    finished = true;
    helper.join();
    sigaction(SIGUSR2, &previous, nullptr);

    EXPECT_EQ(written, 512);
    EXPECT_EQ(g_interruptions.load(), 1);
    EXPECT_TRUE(retried);
    EXPECT_EQ(pipe.drain(), 512u);
}

} // namespace
