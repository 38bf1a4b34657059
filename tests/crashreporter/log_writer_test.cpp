#include "crashreporter/crsh_log_writer.h"

#include "crashreporter/crsh_signal_names.h"
#include "ReportFile.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

using crashtest::Report;

crsh_thread_t self()
{
    return static_cast<crsh_thread_t>(syscall(SYS_gettid));
}

// A writer record for this process, freed afterwards.
struct Writer {
    crsh_log_writer writer;
    Writer() { EXPECT_EQ(crsh_log_writer_init(&writer, "com.example.app", "2.5", 0, false), CRSH_ERR_NONE); }
    ~Writer() { crsh_log_writer_free(&writer); }
};

// Writes a report into memory and reads it back.
Report write(crsh_log_writer* writer, const crsh_log_writer_signal_info& signal, const crsh_thread_state* state,
             crsh_image_list* images = nullptr, crsh_thread_t crashed = self())
{
    int fd = memfd_create("crash-report", 0);
    EXPECT_GE(fd, 0);
    crsh_async_file file;
    crsh_async_file_init(&file, fd, 0);
    EXPECT_EQ(crsh_log_writer_write(writer, crashed, images, &file, &signal, state), CRSH_ERR_NONE);
    EXPECT_TRUE(crsh_async_file_flush(&file));
    EXPECT_FALSE(crsh_async_file_failed(&file));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return crashtest::unpackReport(bytes);
}

constexpr crsh_log_writer_signal_info kSegv{SIGSEGV, SEGV_MAPERR, 0x10, nullptr};

// A stack of frame records laid out as a thread's would be: each record holds the next record's address
// and a return address; the state starts at the first.
struct SyntheticStack {
    std::vector<std::uint64_t> words;
    crsh_thread_state state;

    explicit SyntheticStack(std::size_t records)
        : words(2 * records + 2)
    {
        for (std::size_t i = 0; i < records; ++i) {
            words[2 * i] = i + 1 < records ? reinterpret_cast<std::uint64_t>(&words[2 * (i + 1)]) : 0;
            words[2 * i + 1] = 0x7000'0000 + 16 * i;
        }
        (void)crsh_thread_state_init(&state, CRSH_CPU_TYPE_X86_64);
        crsh_thread_state_set_reg(&state, CRSH_REG_IP, 0x6000'0000);
        crsh_thread_state_set_reg(&state, CRSH_REG_FP, reinterpret_cast<std::uint64_t>(words.data()));
        crsh_thread_state_set_reg(&state, CRSH_REG_SP, reinterpret_cast<std::uint64_t>(words.data()) - 64);
        crsh_thread_state_set_reg(&state, CRSH_X86_64_RAX, 42);
    }
};

// With no descriptor left the thread list cannot be read: the crashed thread is written alone, whole, and
// the report says why. Written in a forked child, whose descriptors may all be taken.
TEST(CrashLogWriter, WithNoDescriptorLeftTheCrashedThreadIsWrittenAlone)
{
    Writer record;
    SyntheticStack stack(4);
    const int fd = memfd_create("crash-report", 0);
    ASSERT_GE(fd, 0);
    const pid_t child = fork();
    if (child == 0) {
        const rlimit limit{static_cast<rlim_t>(std::max(fd + 1, 64)), static_cast<rlim_t>(std::max(fd + 1, 64))};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            _exit(2);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        crsh_async_file file;
        crsh_async_file_init(&file, fd, 0);
        const bool written = crsh_log_writer_write(&record.writer, self(), nullptr, &file, &kSegv, &stack.state) ==
                                 CRSH_ERR_NONE &&
                             crsh_async_file_flush(&file);
        _exit(written ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)));
    ASSERT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    Report report = crashtest::unpackReport(bytes);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->n_threads, 1u);
    EXPECT_TRUE(report->threads[0]->crashed);
    EXPECT_EQ(report->threads[0]->n_frames, 5u);
    ASSERT_NE(report->report_info->threads_note, nullptr);
    EXPECT_STREQ(report->report_info->threads_note,
                 "the thread list could not be read; only the crashed thread is listed");
}

// Without its workspace a writer writes nothing and says so.
TEST(CrashLogWriter, AWriterWithoutItsWorkspaceWritesNothing)
{
    Writer record;
    crsh_log_writer_unmap_workspace(&record.writer);
    const int fd = memfd_create("crash-report", 0);
    crsh_async_file file;
    crsh_async_file_init(&file, fd, 0);
    SyntheticStack stack(2);
    EXPECT_EQ(crsh_log_writer_write(&record.writer, self(), nullptr, &file, &kSegv, &stack.state), CRSH_ERR_NO_MEMORY);
    EXPECT_TRUE(crsh_async_file_flush(&file));
    EXPECT_EQ(lseek(fd, 0, SEEK_END), 0);
    close(fd);
}

// Reading the other threads ends half way through what the stops left of the write's 3 s: the time the
// note on threads not read names.
TEST(CrashLogWriter, ReadingEndsHalfWayThroughWhatTheStopsLeft)
{
    constexpr std::uint64_t kStart = 5000000000, kMs = 1000000;
    EXPECT_EQ(crsh_log_writer_read_deadline(kStart, kStart), kStart + 1500 * kMs);
    EXPECT_EQ(crsh_log_writer_read_deadline(kStart, kStart + CRSH_LOG_WRITER_STOP_WAIT_NS), kStart + 2000 * kMs);
    EXPECT_EQ(crsh_log_writer_read_deadline(kStart, kStart + 2800 * kMs), kStart + 2900 * kMs);
    // Stops that used up the write's time leave reading none.
    EXPECT_EQ(crsh_log_writer_read_deadline(kStart, kStart + CRSH_LOG_WRITER_TIME_NS), kStart + CRSH_LOG_WRITER_TIME_NS);
    EXPECT_EQ(crsh_log_writer_read_deadline(kStart, kStart + 4000 * kMs), kStart + 4000 * kMs);
}

TEST(CrashLogWriter, TheRecordDescribesThisProcess)
{
    Writer record;
    const crsh_log_writer& writer = record.writer;
    EXPECT_EQ(writer.process_info.process_id, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(std::string(writer.process_info.process_path), std::filesystem::read_symlink("/proc/self/exe").string());
    ASSERT_NE(writer.process_info.process_name, nullptr);
    // The whole program name, although the kernel keeps only its first 15 bytes.
    EXPECT_EQ(std::string(writer.process_info.process_name),
              std::filesystem::read_symlink("/proc/self/exe").filename().string());
    EXPECT_EQ(writer.process_info.parent_process_id, static_cast<std::uint32_t>(getppid()));
    EXPECT_TRUE(writer.process_info.has_start_time);
    EXPECT_LE(writer.process_info.start_time, static_cast<std::uint64_t>(time(nullptr)));
    EXPECT_TRUE(writer.process_info.native);
    EXPECT_EQ(writer.machine_info.cpu_type, 0x01000007);
    EXPECT_EQ(writer.machine_info.cpu_subtype, 3);
    EXPECT_STREQ(writer.application_info.identifier, "com.example.app");
    EXPECT_STREQ(writer.system_info.version, "9.0");

    Writer other;
    EXPECT_NE(std::memcmp(writer.uuid, other.writer.uuid, sizeof writer.uuid), 0);
}

TEST(CrashLogWriter, ProcessInfoReadsOddCommandNames)
{
    // A thread's /proc record has the same layout; its name may hold ")" and blanks, and bytes that are
    // not UTF-8 end the name.
    std::mutex mutex;
    std::condition_variable changed;
    bool named = false, done = false;
    pid_t tid = 0;
    std::thread thread([&] {
        pthread_setname_np(pthread_self(), "a) (b \xC3");
        std::unique_lock<std::mutex> lock(mutex);
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        named = true;
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return named; });
    }
    std::optional<CRCrashProcessInfo> info = CRCrashProcessInfo::initWithProcessID(tid);
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    thread.join();

    ASSERT_TRUE(info);
    EXPECT_EQ(info->processName(), std::optional<std::string>("a) (b "));
    EXPECT_EQ(info->parentProcessID(), getppid());
    EXPECT_FALSE(info->isTraced());
    EXPECT_TRUE(info->startTime());

    EXPECT_FALSE(CRCrashProcessInfo::initWithProcessID(-5));
}

TEST(CrashLogWriter, TheReportHoldsTheRecordAndTheSignal)
{
    Writer record;
    record.writer.symbol_strategy = 0;
    std::uint64_t codes[] = {1, 0x10};
    crsh_log_writer_mach_info mach{1, codes, 2};
    crsh_log_writer_signal_info signal{SIGBUS, BUS_ADRERR, 0x1234, &mach};
    Report report = write(&record.writer, signal, nullptr);
    ASSERT_TRUE(report);

    ASSERT_NE(report->report_info, nullptr);
    EXPECT_FALSE(report->report_info->user_requested);
    ASSERT_TRUE(report->report_info->has_uuid);
    EXPECT_EQ(std::memcmp(report->report_info->uuid.data, record.writer.uuid, 16), 0);
    EXPECT_EQ(report->system_info->operating_system, CRSH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__IPHONE_OS);
    EXPECT_EQ(report->system_info->architecture, CRSH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
    EXPECT_STREQ(report->system_info->os_version, "9.0");
    EXPECT_GT(report->system_info->timestamp, 0);
    EXPECT_STREQ(report->application_info->identifier, "com.example.app");
    EXPECT_STREQ(report->application_info->version, "2.5");
    ASSERT_NE(report->machine_info, nullptr);
    EXPECT_EQ(report->machine_info->processor->type, 0x01000007u);
    EXPECT_EQ(report->machine_info->processor->encoding,
              CRSH__CRASH_REPORT__PROCESSOR__TYPE_ENCODING__TYPE_ENCODING_MACH);
    ASSERT_NE(report->process_info, nullptr);
    EXPECT_EQ(report->process_info->process_id, static_cast<std::uint32_t>(getpid()));
    EXPECT_TRUE(report->process_info->native);
    EXPECT_EQ(report->exception, nullptr);

    // Host numbers are written under the report's names (SIGBUS is 7 here, 10 in the table).
    EXPECT_STREQ(report->signal->name, "SIGBUS");
    EXPECT_STREQ(report->signal->code, "BUS_ADRERR");
    EXPECT_EQ(report->signal->address, 0x1234u);
    ASSERT_NE(report->signal->mach_exception, nullptr);
    EXPECT_EQ(report->signal->mach_exception->type, 1u);
    ASSERT_EQ(report->signal->mach_exception->n_codes, 2u);
    EXPECT_EQ(report->signal->mach_exception->codes[1], 0x10u);

    // A signal without a counterpart in the table goes by its number, and so does its code.
    report = write(&record.writer, {SIGSTKFLT, 3, 0, nullptr}, nullptr);
    ASSERT_TRUE(report);
    EXPECT_STREQ(report->signal->name, "#16");
    EXPECT_STREQ(report->signal->code, "#3");
    EXPECT_EQ(report->signal->mach_exception, nullptr);
}

TEST(CrashLogWriter, HostSignalsAndCodesAreTranslatedByMeaning)
{
    struct Case {
        int signo, code;
        const char* name;
        const char* codeName;
    };
    for (const Case& c : {Case{SIGFPE, FPE_INTDIV, "SIGFPE", "FPE_INTDIV"}, Case{SIGFPE, FPE_FLTDIV, "SIGFPE", "FPE_FLTDIV"},
                          Case{SIGFPE, FPE_FLTSUB, "SIGFPE", "FPE_FLTSUB"}, Case{SIGILL, ILL_ILLOPN, "SIGILL", "ILL_ILLOPN"},
                          Case{SIGILL, ILL_ILLTRP, "SIGILL", "ILL_ILLTRP"}, Case{SIGILL, ILL_BADSTK, "SIGILL", "ILL_BADSTK"},
                          Case{SIGSEGV, SEGV_ACCERR, "SIGSEGV", "SEGV_ACCERR"}, Case{SIGSEGV, 4, "SIGSEGV", "#4"},
                          Case{SIGTRAP, TRAP_BRKPT, "SIGTRAP", "TRAP_BRKPT"}, Case{SIGABRT, SI_TKILL, "SIGABRT", "#-6"},
                          Case{SIGUSR1, 0, "SIGUSR1", "#0"}, Case{SIGCHLD, 1, "SIGCHLD", "#1"}}) {
        int signo = 0, code = 0;
        ASSERT_TRUE(crsh_signal_from_host(c.signo, c.code, &signo, &code)) << c.name;
        char signalText[CRSH_SIGNAL_NUMBER_TEXT_BYTES], codeText[CRSH_SIGNAL_NUMBER_TEXT_BYTES];
        EXPECT_STREQ(crsh_signal_name_text(signo, signalText), c.name);
        EXPECT_STREQ(crsh_signal_code_name_text(signo, code, codeText), c.codeName) << c.name << " " << c.code;
    }
    int signo = 0, code = 0;
    EXPECT_FALSE(crsh_signal_from_host(SIGPWR, 0, &signo, &code));
    EXPECT_FALSE(crsh_signal_from_host(SIGRTMIN, 0, &signo, &code));
}

TEST(CrashLogWriter, ThreadsAreWrittenBareUnlessTheirStateIsGiven)
{
    // A second thread that waits: it is listed, and written with its number and flag only.
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false, done = false;
    std::thread other([&] {
        std::unique_lock<std::mutex> lock(mutex);
        started = true;
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return started; });
    }

    Writer record;
    Report withoutState = write(&record.writer, kSegv, nullptr);
    SyntheticStack stack(4);
    Report withState = write(&record.writer, kSegv, &stack.state);
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    changed.notify_all();
    other.join();
    ASSERT_TRUE(withoutState && withState);

    // Without a state the calling (crashed) thread is left out; the others are bare, and the report says
    // why: written inside the process, the writer cannot stop them.
    EXPECT_EQ(withState->n_threads, withoutState->n_threads + 1);
    for (const Report* report : {&withoutState, &withState}) {
        ASSERT_NE((*report)->report_info->threads_note, nullptr);
        EXPECT_STREQ((*report)->report_info->threads_note, "not stopped: the report was written inside the crashed "
                                                           "process; listed without registers or frames");
    }
    EXPECT_EQ(crashtest::crashedThread(withoutState.get()), nullptr);
    for (std::size_t i = 0; i < withoutState->n_threads; ++i) {
        EXPECT_EQ(withoutState->threads[i]->thread_number, i);
        EXPECT_EQ(withoutState->threads[i]->n_frames, 0u);
        EXPECT_EQ(withoutState->threads[i]->n_registers, 0u);
    }
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(withState.get());
    ASSERT_NE(crashed, nullptr);
    ASSERT_EQ(crashed->n_registers, 21u);
    EXPECT_STREQ(crashed->registers[0]->name, "rip");
    EXPECT_EQ(crashed->registers[0]->value, 0x6000'0000u);
    EXPECT_STREQ(crashed->registers[3]->name, "rax");
    EXPECT_EQ(crashed->registers[3]->value, 42u);
    EXPECT_EQ(crashed->registers[4]->value, 0u); // rbx holds no value
    ASSERT_EQ(crashed->n_frames, 5u);
    EXPECT_EQ(crashed->frames[0]->pc, 0x6000'0000u);
    EXPECT_EQ(crashed->frames[1]->pc, 0x7000'0000u);
    EXPECT_EQ(crashed->frames[4]->pc, 0x7000'0030u);

    // A live report for a thread that is not among the process's: nothing is marked crashed.
    Report live = write(&record.writer, kSegv, &stack.state, nullptr, -1);
    ASSERT_TRUE(live);
    EXPECT_EQ(crashtest::crashedThread(live.get()), nullptr);
}

// In a process of more threads than a write lists, the crashed thread is listed however late the thread
// list names it (here: started last), with its frames; the threads past the capacity are counted.
TEST(CrashLogWriter, TheCrashedThreadIsListedWhenThreadsArePastTheCapacity)
{
    std::atomic<bool> release{false};
    std::atomic<std::size_t> parked{0};
    auto park = [](void* opaque) -> void* {
        auto* flags = static_cast<std::pair<std::atomic<bool>*, std::atomic<std::size_t>*>*>(opaque);
        flags->second->fetch_add(1);
        while (!flags->first->load())
            usleep(10000);
        return nullptr;
    };
    std::pair<std::atomic<bool>*, std::atomic<std::size_t>*> flags{&release, &parked};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 128 * 1024);
    std::vector<pthread_t> waiting;
    for (std::size_t i = 0; i < CRSH_LOG_WRITER_MAX_THREADS + 8; ++i) {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attributes, +park, &flags), 0) << i;
        waiting.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    while (parked.load() < waiting.size())
        usleep(1000);

    Writer record;
    SyntheticStack stack(4);
    Report report;
    std::thread last([&] { report = write(&record.writer, kSegv, &stack.state); });
    last.join();
    release.store(true);
    for (pthread_t thread : waiting)
        pthread_join(thread, nullptr);

    ASSERT_TRUE(report);
    EXPECT_EQ(report->n_threads, CRSH_LOG_WRITER_MAX_THREADS);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_frames, 5u);
    EXPECT_EQ(crashed->n_registers, 21u);
    ASSERT_NE(report->report_info->threads_note, nullptr);
    EXPECT_NE(std::string(report->report_info->threads_note).find(" past the first 4096 left out"), std::string::npos)
        << report->report_info->threads_note;
}

TEST(CrashLogWriter, AThreadIsCutAfter512Frames)
{
    Writer record;
    SyntheticStack stack(600);
    Report report = write(&record.writer, kSegv, &stack.state);
    ASSERT_TRUE(report);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_frames, 512u);
}

TEST(CrashLogWriter, BrokenFrameChainsEndTheFramesNotTheWriter)
{
    Writer record;
    long page = getpagesize();
    auto* unmapped = static_cast<std::uint8_t*>(mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(unmapped, MAP_FAILED);
    std::uint64_t selfPointing[2];
    selfPointing[0] = reinterpret_cast<std::uint64_t>(selfPointing);
    selfPointing[1] = 0x7100'0000;

    struct Case {
        const char* what;
        std::uint64_t rbp, rsp;
        std::size_t frames;
    };
    for (const Case& c : {Case{"unmapped", reinterpret_cast<std::uint64_t>(unmapped), reinterpret_cast<std::uint64_t>(unmapped), 1},
                          Case{"self-pointing", reinterpret_cast<std::uint64_t>(selfPointing), 0, 2},
                          Case{"null", 0, 0, 1}}) {
        SCOPED_TRACE(c.what);
        SyntheticStack stack(1);
        crsh_thread_state_set_reg(&stack.state, CRSH_REG_FP, c.rbp);
        crsh_thread_state_set_reg(&stack.state, CRSH_REG_SP, c.rsp);
        Report report = write(&record.writer, kSegv, &stack.state);
        ASSERT_TRUE(report);
        const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
        ASSERT_NE(crashed, nullptr);
        EXPECT_EQ(crashed->n_frames, c.frames);
        EXPECT_EQ(crashed->n_registers, 21u);
    }
    munmap(unmapped, page);
}

TEST(CrashLogWriter, TheRecordedExceptionIsWrittenWithItsFrames)
{
    Writer record;
    crsh_log_writer_set_exception(&record.writer, {"Oops", "it broke", {}});
    Report report = write(&record.writer, kSegv, nullptr);
    ASSERT_TRUE(report);
    ASSERT_NE(report->exception, nullptr);
    EXPECT_STREQ(report->exception->name, "Oops");
    EXPECT_STREQ(report->exception->reason, "it broke");
    EXPECT_EQ(report->exception->n_frames, 0u);

    Writer withFrames;
    std::vector<std::uint64_t> addresses(600);
    for (std::size_t i = 0; i < addresses.size(); ++i)
        addresses[i] = 0x5000 + i;
    crsh_log_writer_set_exception(&withFrames.writer, {"Name", "Reason", addresses});
    report = write(&withFrames.writer, kSegv, nullptr);
    ASSERT_TRUE(report && report->exception);
    ASSERT_EQ(report->exception->n_frames, 512u);
    EXPECT_EQ(report->exception->frames[511]->pc, 0x5000u + 511);

    EXPECT_DEATH(crsh_log_writer_set_exception(&withFrames.writer, {"Again", "", {}}),
                 "writer->uncaught_exception.has_exception == false");
}

// A function that lies in the test program itself, whether the reporter is linked in or loaded beside it.
[[gnu::noinline]] void functionOfTheProgram() { asm volatile(""); }

TEST(CrashLogWriter, LoadedObjectsAreListedAsImages)
{
    crsh_image_list list;
    ASSERT_EQ(crsh_image_list_init(&list, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_image_list_append_loaded_objects(&list), CRSH_ERR_NONE);
    crsh_image_list_set_reading(&list, true);
    const crsh_macho_image* image =
        crsh_image_list_find(&list, reinterpret_cast<std::uint64_t>(&functionOfTheProgram));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::string(image->name), std::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(crsh_macho_image_cpu_type(image), 0x01000007);
    EXPECT_EQ(crsh_macho_image_cpu_subtype(image), 3);
    std::uint8_t uuid[CRSH_IMAGE_UUID_BYTES];
    EXPECT_TRUE(crsh_macho_image_uuid(image, uuid));
    // No Mach-O commands: no sections, no symbols.
    crsh_async_mobject section;
    EXPECT_EQ(crsh_macho_image_map_section(image, "__TEXT", "__unwind_info", &section), CRSH_ERR_NOT_FOUND);
    crsh_vm_address_t address = 0;
    EXPECT_NE(crsh_macho_find_symbol_by_name(image, "main", &address), CRSH_ERR_NONE);
    crsh_image_list_set_reading(&list, false);
    crsh_image_list_free(&list);
}

// Texts that are not UTF-8 reach the report with U+FFFD in place of each bad byte, so that a reader takes
// them as texts (it reads a field that is not UTF-8 as absent).
TEST(CrashLogWriter, TheReportsTextsAreUTF8)
{
    crsh_log_writer writer;
    ASSERT_EQ(crsh_log_writer_init(&writer, "com.\xFF" "example", "1.\xC3", 0, false), CRSH_ERR_NONE);
    EXPECT_STREQ(writer.application_info.identifier, "com.\uFFFD" "example");
    EXPECT_STREQ(writer.application_info.version, "1.\uFFFD");
    crsh_log_writer_set_exception(&writer, {"Bad\xC0\x80Name", "reason \xED\xA0\x80 ok \xF0\x9F\x98\x80", {}});
    EXPECT_STREQ(writer.uncaught_exception.name, "Bad\uFFFD\uFFFDName");
    EXPECT_STREQ(writer.uncaught_exception.reason, "reason \uFFFD\uFFFD\uFFFD ok \U0001F600");

    crsh_image_list images;
    ASSERT_EQ(crsh_image_list_init(&images, getpid()), CRSH_ERR_NONE);
    ASSERT_EQ(crsh_image_list_append_native(&images, 0x7f0000000000, 0x1000, "/lib/\xFE" "odd.so", nullptr),
              CRSH_ERR_NONE);
    Report report = write(&writer, kSegv, nullptr, &images);
    ASSERT_TRUE(report);
    ASSERT_EQ(report->n_binary_images, 1u);
    EXPECT_STREQ(report->binary_images[0]->name, "/lib/\uFFFD" "odd.so");
    EXPECT_STREQ(report->exception->reason, "reason \uFFFD\uFFFD\uFFFD ok \U0001F600");
    crsh_image_list_free(&images);
    crsh_log_writer_free(&writer);
}

} // namespace
