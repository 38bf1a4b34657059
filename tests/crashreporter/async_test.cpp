#include "crashreporter/crsh_async.h"
#include "crashreporter/crsh_sysctl.h"

#include "TestMemory.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(CrashAsync, ErrorTextsCoverTheTableAndNothingElse)
{
    EXPECT_STREQ(crsh_strerror(CRSH_ERR_NONE), "No error");
    EXPECT_STREQ(crsh_strerror(CRSH_ERR_OUTPUT), "Output file can not be opened (or written to)");
    EXPECT_STREQ(crsh_strerror(CRSH_ERR_NOT_FOUND), "Not found");
    EXPECT_STREQ(crsh_strerror(CRSH_ERR_INVALID_DATA), "The input data is in an unknown or invalid format.");
    EXPECT_STREQ(crsh_strerror(static_cast<crsh_error_t>(10)), "Unhandled error code");
    EXPECT_STREQ(crsh_strerror(static_cast<crsh_error_t>(-1)), "Unhandled error code");
}

TEST(CrashAsync, ApplyOffsetRefusesToWrapEitherWay)
{
    const crsh_vm_address_t nearTop = UINT64_MAX - 15;
    crsh_vm_address_t result = 0;
    EXPECT_FALSE(crsh_async_address_apply_offset(nearTop, 32, &result));
    EXPECT_FALSE(crsh_async_address_apply_offset(16, -32, &result));
    EXPECT_FALSE(crsh_async_address_apply_offset(0, INT64_MIN, &result));
    EXPECT_TRUE(crsh_async_address_apply_offset(nearTop, 15, &result));
    EXPECT_EQ(result, UINT64_MAX);
    EXPECT_TRUE(crsh_async_address_apply_offset(16, -16, &result));
    EXPECT_EQ(result, 0u);
    for (crsh_vm_address_t base : {crsh_vm_address_t{0}, crsh_vm_address_t{16}, nearTop, UINT64_MAX}) {
        EXPECT_TRUE(crsh_async_address_apply_offset(base, 0, &result));
        EXPECT_EQ(result, base);
    }
    EXPECT_TRUE(crsh_async_address_apply_offset(1, 1, nullptr));
}

TEST(CrashAsync, TaskReadsMapFailuresToErrorCodes)
{
    const crsh_task_t self = crsh_async_task_self();
    std::uint8_t byte = 0xAA;
    EXPECT_EQ(crsh_async_task_memcpy(self, 0, 0, &byte, 1), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_async_task_memcpy(self, UINT64_MAX, 1, &byte, 1), CRSH_ERR_NO_MEMORY);
    EXPECT_EQ(crsh_async_read_addr(self, 0, &byte, 1), CRSH_KERN_INVALID_ADDRESS);

    // A range running into an unreadable page is short, hence not found; errno stays as it was.
    crashtest::PlacedBytes placed({1, 2, 3, 4}, true);
    std::uint8_t buffer[8] = {};
    errno = 1234;
    EXPECT_EQ(crsh_async_task_memcpy(self, placed.address(), 0, buffer, 8), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(crsh_async_task_memcpy(self, placed.address(), 1, buffer, 3), CRSH_ERR_NONE);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(buffer[2], 4);
    EXPECT_EQ(crsh_async_task_memcpy(self, placed.address() + 8, -6, buffer, 1), CRSH_ERR_NONE);
    EXPECT_EQ(buffer[0], 3);
}

// Once the main thread has ended, the process's id names a thread without memory; reads of the process's
// own memory still succeed (a worker that crashes then is still reported with its frames).
TEST(CrashAsync, SelfReadsWorkAfterTheMainThreadHasEnded)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static volatile std::uint32_t value = 0x5eed;
        pthread_t worker;
        if (pthread_create(&worker, nullptr, [](void*) -> void* {
                // Until the main thread has ended (its /proc status turns to zombie), at most 5 s.
                for (int i = 0; i < 500; ++i) {
                    char status[64] = {};
                    FILE* file = std::fopen(("/proc/self/task/" + std::to_string(getpid()) + "/stat").c_str(), "r");
                    if (file == nullptr)
                        break;
                    const bool zombie = std::fgets(status, sizeof status, file) != nullptr && std::strstr(status, ") Z") != nullptr;
                    std::fclose(file);
                    if (zombie)
                        break;
                    usleep(10000);
                }
                std::uint32_t read = 0;
                const crsh_error_t error = crsh_async_task_memcpy(crsh_async_task_self(),
                                                                  reinterpret_cast<crsh_vm_address_t>(&value), 0, &read,
                                                                  sizeof read);
                _exit(error != CRSH_ERR_NONE ? 1 : read != 0x5eed ? 2 : 0);
            }, nullptr) != 0)
            _exit(3);
        syscall(SYS_exit, 0); // the main thread alone ends
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(CrashAsync, TaskValueReadsConvertTheByteOrderAndZeroOnFailure)
{
    const crsh_task_t self = crsh_async_task_self();
    crashtest::PlacedBytes placed({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}, true);
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    ASSERT_EQ(crsh_async_task_read_uint8(self, placed.address(), 7, &u8), CRSH_ERR_NONE);
    EXPECT_EQ(u8, 0x08);
    ASSERT_EQ(crsh_async_task_read_uint16(self, &crsh_async_byteorder_direct, placed.address(), 0, &u16), CRSH_ERR_NONE);
    EXPECT_EQ(u16, 0x0201);
    ASSERT_EQ(crsh_async_task_read_uint16(self, &crsh_async_byteorder_swapped, placed.address(), 0, &u16), CRSH_ERR_NONE);
    EXPECT_EQ(u16, 0x0102);
    ASSERT_EQ(crsh_async_task_read_uint32(self, &crsh_async_byteorder_swapped, placed.address(), 4, &u32), CRSH_ERR_NONE);
    EXPECT_EQ(u32, 0x05060708u);
    ASSERT_EQ(crsh_async_task_read_uint64(self, &crsh_async_byteorder_direct, placed.address(), 0, &u64), CRSH_ERR_NONE);
    EXPECT_EQ(u64, 0x0807060504030201u);

    // Failed reads give zero, not whatever the reader's stack held.
    u16 = 0xFFFF;
    u32 = 0xFFFFFFFF;
    u64 = UINT64_MAX;
    EXPECT_EQ(crsh_async_task_read_uint16(self, &crsh_async_byteorder_swapped, placed.address(), 7, &u16), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_async_task_read_uint32(self, &crsh_async_byteorder_direct, 0, 0, &u32), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(crsh_async_task_read_uint64(self, &crsh_async_byteorder_swapped, placed.address(), 1, &u64), CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(u16, 0);
    EXPECT_EQ(u32, 0u);
    EXPECT_EQ(u64, 0u);
}

TEST(CrashAsync, StringAndMemoryLoops)
{
    EXPECT_EQ(crsh_async_strcmp("abc", "abc"), 0);
    EXPECT_LT(crsh_async_strcmp("abc", "abd"), 0);
    EXPECT_GT(crsh_async_strcmp("abc", "ab"), 0);
    EXPECT_GT(crsh_async_strcmp("\xC3", "a"), 0); // bytes compare unsigned
    EXPECT_EQ(crsh_async_strncmp("__TEXTxyz", "__TEXTabc", 6), 0);
    EXPECT_NE(crsh_async_strncmp("__TEXTxyz", "__TEXTabc", 7), 0);
    EXPECT_EQ(crsh_async_strncmp("ab", "ab\0z", 4), 0);
    EXPECT_EQ(crsh_async_strncmp("x", "y", 0), 0);
    // Sixteen bytes with no terminator compare over exactly sixteen.
    const char unterminated[16] = {'_', '_', 'l', 'o', 'n', 'g', 's', 'e', 'g', 'm', 'e', 'n', 't', 'n', 'a', 'm'};
    EXPECT_EQ(crsh_async_strncmp(unterminated, "__longsegmentnamemore", 16), 0);

    std::uint8_t buffer[6] = {9, 9, 9, 9, 9, 9};
    crsh_async_memset(buffer, 0, 0);
    EXPECT_EQ(buffer[0], 9);
    crsh_async_memset(buffer + 1, 7, 4);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(buffer[4], 7);
    EXPECT_EQ(buffer[5], 9);
    crsh_async_memcpy(buffer, "abc", 3);
    EXPECT_EQ(buffer[2], 'c');
    EXPECT_EQ(buffer[3], 7);
}

TEST(CrashAsync, ThreadSelfNamesTheCallingThread)
{
    const crsh_thread_t mine = crsh_async_mach_thread_self();
    EXPECT_EQ(mine, crsh_async_mach_thread_self());
    crsh_thread_t other = mine;
    std::thread([&other] { other = crsh_async_mach_thread_self(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_EQ(crsh_async_task_self(), getpid());
    EXPECT_EQ(crsh_async_page_size(), crashtest::pageSize());
}

TEST(CrashSysctl, KnownNamesAnswerFromTheSystem)
{
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    char* release = crsh_sysctl_string("kern.osrelease");
    ASSERT_NE(release, nullptr);
    EXPECT_STREQ(release, system.release);
    std::free(release);
    char* machine = crsh_sysctl_string("hw.machine");
    ASSERT_NE(machine, nullptr);
    EXPECT_STREQ(machine, system.machine);
    std::free(machine);
    char* version = crsh_sysctl_string("kern.osversion");
    ASSERT_NE(version, nullptr);
    EXPECT_STREQ(version, system.version);
    std::free(version);

    std::int32_t value = 0;
    ASSERT_TRUE(crsh_sysctl_int("sysctl.proc_native", &value));
    EXPECT_EQ(value, 1);
    ASSERT_TRUE(crsh_sysctl_int("hw.logicalcpu_max", &value));
    EXPECT_EQ(value, sysconf(_SC_NPROCESSORS_CONF));
    ASSERT_TRUE(crsh_sysctl_int("hw.physicalcpu_max", &value));
    EXPECT_GE(value, 1);
#if defined(__x86_64__)
    ASSERT_TRUE(crsh_sysctl_int("hw.cputype", &value));
    EXPECT_EQ(value, 0x01000007);
    ASSERT_TRUE(crsh_sysctl_int("hw.cpusubtype", &value));
    EXPECT_EQ(value, 3);
#endif
}

TEST(CrashSysctl, UnknownNamesAndWrongWidthsFail)
{
    errno = 0;
    EXPECT_EQ(crsh_sysctl_string("kern.hostname"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    std::int32_t value = 42;
    errno = 0;
    EXPECT_FALSE(crsh_sysctl_int("hw.memsize", &value));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(value, 42);
    // A string value does not fit a 4-byte buffer.
    EXPECT_FALSE(crsh_sysctl_int("kern.osversion", &value));
    EXPECT_EQ(errno, ENOMEM);
}

TEST(CrashSysctl, ValidUTF8PrefixStopsAtTheFirstBadOrTruncatedSequence)
{
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("abc\xC3"), 3u);
    const char name[16] = "fifteen-letters";
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>(name), sizeof name), 15u);
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("\xEF\xBB\xBF" "ab"), 5u);     // the mark is counted
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("\xEF\xBB"), 0u);              // too short to be the mark
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("a\xC3\xA9" "b"), 4u);         // two-byte sequence
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("\xE2\x82\xAC!"), 4u);         // three-byte sequence
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("\xF0\x9F\x98\x80"), 4u);      // four-byte sequence
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("ok\xE2\x82" "x"), 2u);        // broken continuation
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("ok\x80"), 2u);                // stray continuation byte
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes("ok\xF8\x80\x80\x80\x80"), 2u); // no five-byte sequences
    const std::uint8_t cut[] = {'a', 0xE2, 0x82, 0xAC};
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes(cut, 3), 1u); // the length cuts the sequence
    EXPECT_EQ(crsh_sysctl_valid_utf8_bytes(cut, 0), 0u);
}

// Each byte outside a well-formed sequence becomes U+FFFD; the copy never passes its capacity and never
// splits a character.
TEST(CrashAsync, UTF8CopiesReplaceEveryBadByte)
{
    auto sanitized = [](const std::string& source, std::size_t capacity = 64) {
        std::vector<char> out(capacity + 1, 'X');
        const std::size_t written = crsh_async_utf8_sanitize(out.data(), capacity, source.data(), source.size());
        EXPECT_EQ(out[capacity], 'X') << "wrote past the capacity";
        EXPECT_EQ(std::strlen(out.data()), written);
        return std::string(out.data(), written);
    };
    EXPECT_EQ(sanitized("plain \u00E9\u20AC\U0001F600"), "plain \u00E9\u20AC\U0001F600");
    EXPECT_EQ(sanitized("a\xFF" "b"), "a\uFFFD" "b");
    EXPECT_EQ(sanitized("\xC0\x80"), "\uFFFD\uFFFD");                 // an overlong zero
    EXPECT_EQ(sanitized("\xE0\x80\xAF"), "\uFFFD\uFFFD\uFFFD");         // an overlong slash
    EXPECT_EQ(sanitized("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");         // a surrogate
    EXPECT_EQ(sanitized("\xF4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD"); // above U+10FFFF
    EXPECT_EQ(sanitized("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");         // U+10FFFF itself
    EXPECT_EQ(sanitized("end\xE2\x82"), "end\uFFFD\uFFFD");             // cut at the end
    EXPECT_EQ(sanitized(std::string("stop\0here", 9)), "stop");           // a zero ends the text
    // Capacity counts the terminating zero; a character that does not fit whole is left out.
    EXPECT_EQ(sanitized("abc", 3), "ab");
    EXPECT_EQ(sanitized("a\u00E9", 3), "a");
    EXPECT_EQ(sanitized("a\xFF", 4), "a");
    EXPECT_EQ(sanitized("a\xFF", 5), "a\uFFFD");
    EXPECT_EQ(sanitized("abc", 1), "");
    char untouched = 'X';
    EXPECT_EQ(crsh_async_utf8_sanitize(&untouched, 0, "abc", 3), 0u);
    EXPECT_EQ(untouched, 'X');

    char* copy = crsh_strdup_utf8("x\xFFy");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "x\uFFFDy");
    std::free(copy);
    EXPECT_EQ(crsh_strdup_utf8(nullptr), nullptr);
}

} // namespace
