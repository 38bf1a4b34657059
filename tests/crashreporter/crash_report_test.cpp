// Real crashes in child processes: the chain calls the reporter's callback on the alternate stack, the
// callback writes a report of the crashed thread, and the child dies by the signal under its default action.
#include "crashreporter/CRCrashSignalHandler.h"
#include "crashreporter/crsh_log_writer.h"

#include "CrashChild.h"
#include "ReportFile.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <sys/syscall.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace {

// What the child's callback needs, prepared before the crash.
struct ChildState {
    crsh_log_writer writer;
    crsh_image_list images;
    const char* directory;
};
ChildState g_child;

bool writeReport(int signo, siginfo_t* info, ucontext_t* uap, void*, crsh_signal_handler_callback* next)
{
    int fd = crashtest::openChildFile(g_child.directory, "report");
    if (fd >= 0) {
        crsh_async_file file;
        crsh_async_file_init(&file, fd, 0);
        crsh_thread_state state;
        crsh_thread_state_mcontext_init(&state, &uap->uc_mcontext);
        crsh_log_writer_signal_info signal{signo, info->si_code, reinterpret_cast<std::uint64_t>(info->si_addr),
                                           nullptr};
        (void)crsh_log_writer_write(&g_child.writer, static_cast<crsh_thread_t>(syscall(SYS_gettid)), &g_child.images,
                                    &file, &signal, &state);
        (void)crsh_async_file_close(&file);
    }
    int marker = crashtest::openChildFile(g_child.directory, "marker");
    if (marker >= 0) {
        char pid[16];
        int length = 0;
        for (pid_t value = getpid(); value > 0; value /= 10)
            pid[length++] = static_cast<char>('0' + value % 10);
        while (length > 0)
            (void)write(marker, &pid[--length], 1);
        close(marker);
    }
    return crsh_signal_forward(next, signo, info, uap);
}

void prepareChild(int signo)
{
    g_child.directory = std::getenv("CRASH_CHILD_DIR");
    ASSERT_NE(g_child.directory, nullptr);
    ASSERT_EQ(crsh_log_writer_init(&g_child.writer, "com.example.crash", "1.0", 0x3, false), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_image_list_init(&g_child.images, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_image_list_append_loaded_objects(&g_child.images), CRSH_ERR_NONE);
    ASSERT_TRUE(CRCrashSignalHandler::sharedHandler()->registerHandlerForSignal(signo, writeReport, nullptr).ok());
}

// Three calls deep, each with its own frame record; the last writes through a null pointer.
#define CRASH_FUNCTION extern "C" __attribute__((noinline, no_sanitize("address", "undefined")))
CRASH_FUNCTION void crashLevel3(volatile int* target)
{
    *target = 1;
}
CRASH_FUNCTION void crashLevel2(volatile int* target)
{
    crashLevel3(target);
    asm volatile("" ::: "memory"); // keeps the call from becoming a jump
}
CRASH_FUNCTION void crashLevel1(volatile int* target)
{
    crashLevel2(target);
    asm volatile("" ::: "memory");
}
CRASH_FUNCTION int divide(const volatile int* dividend, const volatile int* divisor)
{
    return *dividend / *divisor;
}

TEST(CrashReportPeer, DISABLED_NullPointer)
{
    prepareChild(SIGSEGV);
    crashLevel1(nullptr);
    ADD_FAILURE() << "still alive";
}

TEST(CrashReportPeer, DISABLED_DivisionByZero)
{
    prepareChild(SIGFPE);
    volatile int one = 1, zero = 0;
    volatile int result = divide(&one, &zero);
    ADD_FAILURE() << "still alive: " << result;
}

// The first 16 bytes of this executable's GNU build-id, read from the file.
std::vector<std::uint8_t> executableBuildId()
{
    std::vector<std::uint8_t> file = crashtest::readBytes("/proc/self/exe");
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr program;
        std::memcpy(&program, file.data() + header.e_phoff + i * sizeof program, sizeof program);
        if (program.p_type != PT_NOTE)
            continue;
        for (std::size_t at = program.p_offset; at + sizeof(Elf64_Nhdr) <= program.p_offset + program.p_filesz;) {
            Elf64_Nhdr note;
            std::memcpy(&note, file.data() + at, sizeof note);
            std::size_t name = at + sizeof note;
            std::size_t desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && std::memcmp(file.data() + name, "GNU", 4) == 0)
                return {file.begin() + static_cast<long>(desc), file.begin() + static_cast<long>(desc) + 16};
            at = desc + ((note.n_descsz + 3) & ~3u);
        }
    }
    return {};
}

std::uint64_t offsetInExecutable(const void* function)
{
    Dl_info info{};
    EXPECT_NE(dladdr(function, &info), 0);
    return reinterpret_cast<std::uint64_t>(function) - reinterpret_cast<std::uint64_t>(info.dli_fbase);
}

struct ChildReport {
    int status = -1;
    std::string pid;
    crashtest::Report report;
};

ChildReport runCrash(const char* peer)
{
    crashtest::ChildFiles files;
    ChildReport child;
    child.status = crashtest::runChild(peer, files);
    std::vector<std::uint8_t> marker = crashtest::readBytes(files.path("marker"));
    child.pid.assign(marker.begin(), marker.end());
    child.report = crashtest::unpackReport(crashtest::readBytes(files.path("report")));
    return child;
}

TEST(CrashReport, ANullPointerThreeCallsDeep)
{
    ChildReport child = runCrash("CrashReportPeer.DISABLED_NullPointer");
    ASSERT_NE(child.status, -1);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "status " << child.status;
    EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
    ASSERT_FALSE(child.pid.empty()); // the callback ran
    ASSERT_TRUE(child.report);
    const Crsh__CrashReport* report = child.report.get();

    ASSERT_NE(report->report_info, nullptr);
    EXPECT_EQ(report->system_info->operating_system, CRSH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS);
    EXPECT_EQ(report->system_info->architecture, CRSH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
    ASSERT_NE(report->process_info, nullptr);
    EXPECT_EQ(std::to_string(report->process_info->process_id), child.pid);
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(std::string(report->process_info->process_name), std::filesystem::path(executable).filename().string());
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    EXPECT_STREQ(report->signal->code, "SEGV_MAPERR");
    EXPECT_EQ(report->signal->address, 0u);

    // The test executable among the images, with its build-id.
    const Crsh__CrashReport__BinaryImage* self = nullptr;
    for (std::size_t i = 0; i < report->n_binary_images; ++i) {
        if (executable == report->binary_images[i]->name)
            self = report->binary_images[i];
    }
    ASSERT_NE(self, nullptr);
    ASSERT_TRUE(self->has_uuid);
    std::vector<std::uint8_t> buildId = executableBuildId();
    ASSERT_EQ(buildId.size(), 16u);
    EXPECT_EQ(std::vector<std::uint8_t>(self->uuid.data, self->uuid.data + self->uuid.len), buildId);
    ASSERT_NE(self->code_type, nullptr);
    EXPECT_EQ(self->code_type->type, 0x01000007u);

    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_registers, 21u);
    ASSERT_GE(crashed->n_frames, 3u);
    // Frame 0 inside crashLevel3 (a few instructions long), then two more inside the executable.
    std::uint64_t first = crashed->frames[0]->pc - self->base_address;
    std::uint64_t level3 = offsetInExecutable(reinterpret_cast<const void*>(&crashLevel3));
    EXPECT_GE(first, level3);
    EXPECT_LT(first, level3 + 64);
    for (std::size_t i = 1; i <= 2; ++i) {
        EXPECT_GE(crashed->frames[i]->pc, self->base_address) << i;
        EXPECT_LT(crashed->frames[i]->pc, self->base_address + self->size) << i;
    }
    std::uint64_t second = crashed->frames[1]->pc - self->base_address;
    std::uint64_t level2 = offsetInExecutable(reinterpret_cast<const void*>(&crashLevel2));
    EXPECT_GT(second, level2);
    EXPECT_LT(second, level2 + 64);
}

TEST(CrashReport, AnIntegerDivisionByZero)
{
    ChildReport child = runCrash("CrashReportPeer.DISABLED_DivisionByZero");
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "status " << child.status;
    EXPECT_EQ(WTERMSIG(child.status), SIGFPE);
    ASSERT_TRUE(child.report);
    EXPECT_STREQ(child.report->signal->name, "SIGFPE");
    EXPECT_STREQ(child.report->signal->code, "FPE_INTDIV");
}

} // namespace
