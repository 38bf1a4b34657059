// Real crashes on this machine become readable reports: the crash-test program enables the reporter and
// dies (a null pointer, three calls deep, two threads at once, a stack overflow on a worker, an uncaught
// exception, a crash beside three waiting threads); its next run finds the report, prints it as text and
// moves it aside. The frames are named from the program's and the system libraries' symbol tables, in the
// optimized build as in the sanitizer build; every thread's frames are there, or the report says why not.
#include <gtest/gtest.h>

#include "support/TempHome.h"
#include "support/crash_test_program/TracingAllowed.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

extern char** environ;

namespace {

struct ProgramRun {
    pid_t pid = -1;
    int status = -1;
    std::string out;
    std::string error;
};

// Runs the program (by default the crash-test program) with the home and the sanitizers' signal handling
// off; its output goes to a file. A run that does not crash looks for leaks too, where the machine lets
// the leak checker stop the program's threads (it traces them).
ProgramRun runProgram(const std::string& home, const std::vector<std::string>& arguments,
                      const std::string& program = CRASH_TEST_PROGRAM)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("XDG_DATA_HOME=", 0) != 0 && entry.rfind("ASAN_OPTIONS=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("XDG_DATA_HOME=" + home);
    env.push_back(std::string("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
                              "detect_leaks=") +
                  (arguments.empty() && crashtest::tracingAllowed() ? "1" : "0"));
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string outPath = home + "/out.txt";
    const std::string errorPath = home + "/error.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ProgramRun run;
    if (posix_spawn(&run.pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) == 0)
        waitpid(run.pid, &run.status, 0);
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in(outPath, std::ios::binary);
    run.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::ifstream error(errorPath, std::ios::binary);
    run.error.assign(std::istreambuf_iterator<char>(error), std::istreambuf_iterator<char>());
    return run;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// The report a crash left, as the next run prints it.
std::string crashAndShow(const std::string& home, const std::string& mode, int signo,
                         const std::string& program = CRASH_TEST_PROGRAM)
{
    ProgramRun crash = runProgram(home, {mode}, program);
    EXPECT_TRUE(WIFSIGNALED(crash.status)) << mode << " status " << crash.status << "\n" << crash.error;
    if (WIFSIGNALED(crash.status)) {
        EXPECT_EQ(WTERMSIG(crash.status), signo) << mode;
    }
    ProgramRun next = runProgram(home, {}, program);
    EXPECT_EQ(next.status, 0) << mode << "\n" << next.error;
    return next.out;
}

// The frame lines of the crashed thread: (image, symbol) of each, in order.
std::vector<std::pair<std::string, std::string>> crashedFrames(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> frames;
    bool inCrashed = false;
    for (const std::string& line : lines(text)) {
        if (line.rfind("Thread ", 0) == 0) {
            inCrashed = line.size() > 9 && line.compare(line.size() - 9, 9, " Crashed:") == 0;
            continue;
        }
        if (!inCrashed)
            continue;
        if (line.empty())
            break;
        // "<index> <image, 35 columns> 0x<pc> <symbol> + <offset>"
        std::istringstream fields(line.substr(4));
        std::string image, pc, symbol;
        fields >> image >> pc >> symbol;
        frames.emplace_back(image, symbol);
    }
    return frames;
}

struct ThreadText {
    bool crashed = false;
    std::vector<std::pair<std::string, std::string>> frames; // (image, symbol)
};

// Every thread of the text, in order.
std::vector<ThreadText> threadsOf(const std::string& text)
{
    std::vector<ThreadText> threads;
    bool inThread = false;
    for (const std::string& line : lines(text)) {
        if (line.rfind("Thread ", 0) == 0 && line.back() == ':' && line.find(" crashed with ") == std::string::npos) {
            threads.emplace_back();
            threads.back().crashed = line.size() > 9 && line.compare(line.size() - 9, 9, " Crashed:") == 0;
            inThread = true;
            continue;
        }
        if (!inThread)
            continue;
        if (line.empty()) {
            inThread = false;
            continue;
        }
        std::istringstream fields(line.substr(4));
        std::string image, pc, symbol;
        fields >> image >> pc >> symbol;
        threads.back().frames.emplace_back(image, symbol);
    }
    return threads;
}

// Whether the frames hold the symbols in this order (others may come between).
bool holdsInOrder(const ThreadText& thread, const std::vector<std::string>& symbols)
{
    std::size_t next = 0;
    for (const auto& frame : thread.frames) {
        if (next < symbols.size() && frame.second == symbols[next])
            ++next;
    }
    return next == symbols.size();
}

std::size_t count(const std::vector<ThreadText>& threads, bool crashed)
{
    return static_cast<std::size_t>(
        std::count_if(threads.begin(), threads.end(), [&](const ThreadText& t) { return t.crashed == crashed; }));
}

// A crash with other threads running is reported by a helper process that runs this program's code on
// its memory: ThreadSanitizer cannot follow it there, so in that build those reports are not checked.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "ThreadSanitizer cannot follow the report helper"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif

TEST(CrashProgram, ASegmentationFaultIsReportedOnTheNextRun)
{
    hybtest::TempHome home; // only for its temporary folder
    const std::string root = home.root();

    ProgramRun crash = runProgram(root, {"--segv"});
    ASSERT_TRUE(WIFSIGNALED(crash.status)) << "status " << crash.status;
    EXPECT_EQ(WTERMSIG(crash.status), SIGSEGV);

    // The run that shows the report ends cleanly, without a leak.
    ProgramRun next = runProgram(root, {});
    ASSERT_TRUE(WIFEXITED(next.status)) << "status " << next.status << "\n" << next.error;
    EXPECT_EQ(WEXITSTATUS(next.status), 0) << next.error;
    const std::string& text = next.out;
    std::vector<std::string> all = lines(text);
    auto has = [&](const std::string& line) { return std::find(all.begin(), all.end(), line) != all.end(); };
    EXPECT_TRUE(has("Exception Type:  SIGSEGV")) << text;
    EXPECT_TRUE(has("Exception Codes: SEGV_MAPERR at 0x0"));
    // The whole program name (the kernel keeps 15 bytes of it), the first run's pid, the version of the
    // program's bundle, and no placeholder for the key the report does not have.
    EXPECT_TRUE(has("Process:         crash_test_program [" + std::to_string(crash.pid) + "]")) << text;
    EXPECT_TRUE(has("Identifier:      crash_test_program"));
    EXPECT_TRUE(has("Version:         1"));
    EXPECT_TRUE(has("CrashReporter Key:   ???"));
    EXPECT_TRUE(has("Code Type:       X86-64"));

    // Frames through the crashing function and its caller, named from the program's symbol table.
    const auto frames = crashedFrames(text);
    ASSERT_GE(frames.size(), 3u) << text;
    EXPECT_EQ(frames[0], std::make_pair(std::string("crash_test_program"), std::string("writeThroughNull"))) << text;
    EXPECT_EQ(frames[1], std::make_pair(std::string("crash_test_program"), std::string("crashBySegmentationFault")));
    EXPECT_EQ(frames[2], std::make_pair(std::string("crash_test_program"), std::string("main")));

    // The program's image line is marked "+".
    bool programImage = false;
    for (const std::string& line : all)
        programImage |= line.find(" +crash_test_program x86_64  <") != std::string::npos &&
                        line.find(std::string(" ") + CRASH_TEST_PROGRAM) != std::string::npos;
    EXPECT_TRUE(programImage) << text;

    // The report was moved aside: the slot is free for the next crash.
    const std::filesystem::path folder =
        std::filesystem::path(root) / "org.hybridhost.app/Library/Caches/crashreporter/crash_test_program";
    EXPECT_FALSE(std::filesystem::exists(folder / "live_report.crshlog"));
    EXPECT_FALSE(std::filesystem::is_empty(folder / "queued_reports"));

    // A run without a pending report prints nothing.
    ProgramRun quiet = runProgram(root, {});
    EXPECT_EQ(WEXITSTATUS(quiet.status), 0) << quiet.error;
    EXPECT_EQ(quiet.out, "");
}

TEST(CrashProgram, ACrashThreeCallsDeepNamesEveryFunctionDownToMain)
{
    hybtest::TempHome home;
    const std::string text = crashAndShow(home.root(), "--deep", SIGSEGV);
    const auto frames = crashedFrames(text);
    ASSERT_GE(frames.size(), 4u) << text;
    const std::vector<std::string> expected{"crashLevel3", "crashLevel2", "crashLevel1", "main"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(frames[i].first, "crash_test_program") << i << "\n" << text;
        EXPECT_EQ(frames[i].second, expected[i]) << i << "\n" << text;
    }
    // Below main the walk goes on through the system library that started it to the program's entry,
    // and every frame lies in a listed image (no "???" frame made up at the end).
    EXPECT_EQ(frames.back().second, "_start") << text;
    for (const auto& [image, symbol] : frames)
        EXPECT_NE(image, "???") << text;
}

TEST(CrashProgram, TwoThreadsCrashingAtOnceLeaveOneWholeReport)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    for (int run = 0; run < 5; ++run) {
        SCOPED_TRACE(run);
        const std::string text = crashAndShow(home.root(), "--two-threads", SIGSEGV);
        std::size_t crashedThreads = 0;
        for (const std::string& line : lines(text))
            crashedThreads += line.rfind("Thread ", 0) == 0 && line.find(" Crashed:") != std::string::npos ? 1 : 0;
        EXPECT_EQ(crashedThreads, 1u) << text;
        const auto frames = crashedFrames(text);
        ASSERT_FALSE(frames.empty()) << text;
        EXPECT_EQ(frames[0].second, "writeThroughNull") << text;
        // The other faulting thread was stopped too, wherever it was: no thread is listed bare.
        if (crashtest::tracingAllowed()) {
            EXPECT_EQ(text.find("Other Threads:"), std::string::npos) << text;
        }
    }
}

constexpr const char* kTracingRefused = "not stopped: tracing was refused; listed without registers or frames";
constexpr const char* kWrittenInside =
    "not stopped: the report was written inside the crashed process; listed without registers or frames";

// A report of the parked threads' program whose other threads are bare: it says why (one of the notes),
// and the crashed thread is whole.
void expectOthersBare(const std::string& text, const std::vector<std::string>& notes)
{
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::string& note) {
        return text.find("\nOther Threads:   " + note + "\n") != std::string::npos;
    })) << text;
    const std::vector<ThreadText> threads = threadsOf(text);
    ASSERT_EQ(count(threads, true), 1u) << text;
    EXPECT_GE(count(threads, false), 3u) << text;
    for (const ThreadText& thread : threads) {
        if (thread.crashed)
            EXPECT_TRUE(holdsInOrder(thread, {"writeThroughNull", "crashBySegmentationFault", "main"})) << text;
        else
            EXPECT_TRUE(thread.frames.empty()) << text;
    }
}

// The threads that were waiting when the main thread crashed are stopped and read: each is listed with its
// frames, named from the function it waits in down to its start routine. Where this machine refuses
// tracing, they are listed bare and the report says why.
TEST(CrashProgram, EveryThreadIsListedWithItsFramesDownToItsStartRoutine)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    const std::string text = crashAndShow(home.root(), "--parked-threads", SIGSEGV);
    if (!crashtest::tracingAllowed()) {
        // Refused for the threads, or (a security module that also guards memory reads) for the helper's
        // reads, after which the crashed thread writes the report itself.
        expectOthersBare(text, {kTracingRefused, kWrittenInside});
        return;
    }
    const std::vector<ThreadText> threads = threadsOf(text);
    ASSERT_EQ(count(threads, true), 1u) << text;
    ASSERT_GE(count(threads, false), 3u) << text;
    const ThreadText& crashed = *std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; });
    EXPECT_TRUE(holdsInOrder(crashed, {"writeThroughNull", "crashBySegmentationFault", "main"})) << text;
    EXPECT_NE(text.find(" crashed with X86-64 Thread State:\n"), std::string::npos) << text;
    EXPECT_NE(text.find("   rip: 0x"), std::string::npos) << text;

    const std::vector<std::vector<std::string>> parked{{"parkHere", "parkedInFirst", "firstParkedThread"},
                                                       {"parkHere", "parkedInSecond", "secondParkedThread"},
                                                       {"parkHere", "parkedInThird", "thirdParkedThread"}};
    for (const auto& symbols : parked) {
        const auto found = std::find_if(threads.begin(), threads.end(), [&](const ThreadText& t) {
            return !t.crashed && holdsInOrder(t, symbols);
        });
        ASSERT_NE(found, threads.end()) << symbols[2] << "\n" << text;
        // The walk goes past the start routine into the system library that started the thread, and every
        // frame lies in a listed image.
        const auto start = std::find_if(found->frames.begin(), found->frames.end(),
                                        [&](const auto& frame) { return frame.second == symbols[2]; });
        EXPECT_NE(start + 1, found->frames.end()) << text;
        for (const auto& [image, symbol] : found->frames)
            EXPECT_NE(image, "???") << text;
    }
    // Every thread was stopped: the report has nothing to say of them.
    EXPECT_EQ(text.find("Other Threads:"), std::string::npos) << text;
}

// Where tracing is refused (here by a system-call filter, as in a sandbox), or no helper process can be
// started, the crashed thread's report is still whole; the others are listed bare, and the report says so.
TEST(CrashProgram, WithoutTracingTheOtherThreadsAreListedBareAndTheReportSaysWhy)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    for (const auto& [mode, note] :
         {std::pair{"--parked-untraceable", kTracingRefused}, {"--parked-alone", kWrittenInside}}) {
        SCOPED_TRACE(mode);
        // Where the machine refuses tracing altogether, the helper may be refused its reads as well.
        const std::vector<std::string> notes =
            crashtest::tracingAllowed() ? std::vector<std::string>{note}
                                        : std::vector<std::string>{kTracingRefused, kWrittenInside};
        expectOthersBare(crashAndShow(home.root(), mode, SIGSEGV), notes);
    }
}

TEST(CrashProgram, AStackOverflowOnAWorkerThreadIsReported)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    const std::string text = crashAndShow(home.root(), "--thread-overflow", SIGSEGV);
    EXPECT_NE(text.find("Exception Type:  SIGSEGV\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Crashed Thread:  0\n"), std::string::npos) << text; // not the main thread
    if (crashtest::tracingAllowed()) {
        EXPECT_EQ(text.find("Other Threads:"), std::string::npos) << text;
    }
    const auto frames = crashedFrames(text);
    ASSERT_EQ(frames.size(), 512u) << text; // cut at the writer's limit
    for (std::size_t i = 0; i < frames.size(); i += 100)
        EXPECT_EQ(frames[i].second, "recurseForEver") << i;
}

// The sizes of the reports moved aside into the queued-reports folder.
std::vector<std::uintmax_t> queuedReportSizes(const std::string& root)
{
    std::vector<std::uintmax_t> sizes;
    const std::filesystem::path folder =
        std::filesystem::path(root) / "org.hybridhost.app/Library/Caches/crashreporter/crash_test_program/queued_reports";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        sizes.push_back(entry.file_size());
    return sizes;
}

// The "Other Threads:" line of the text ("" without one).
std::string otherThreadsNote(const std::string& text)
{
    const std::string key = "\nOther Threads:   ";
    const std::size_t at = text.find(key);
    if (at == std::string::npos)
        return "";
    return text.substr(at + key.size(), text.find('\n', at + key.size()) - at - key.size());
}

const std::vector<std::string> kThreeCallsDeep{"crashLevel3", "crashLevel2", "crashLevel1", "main", "_start"};

// The report of a crash beside the three parked threads: the crashed thread and each parked one read.
void expectParkedThreadsRead(const std::string& text)
{
    const std::vector<ThreadText> threads = threadsOf(text);
    ASSERT_EQ(count(threads, true), 1u) << text;
    const ThreadText& crashed = *std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; });
    EXPECT_TRUE(holdsInOrder(crashed, {"writeThroughNull", "crashBySegmentationFault", "main"})) << text;
    for (const char* routine : {"firstParkedThread", "secondParkedThread", "thirdParkedThread"}) {
        EXPECT_TRUE(std::any_of(threads.begin(), threads.end(),
                                [&](const ThreadText& t) { return !t.crashed && holdsInOrder(t, {"parkHere", routine}); }))
            << routine << "\n" << text;
    }
}

// Sixteen threads 600 calls deep, or 1,200 threads, do not fit in a report whole: the report is still
// read, within the size limit, with the crashed thread whole down to _start; the other threads are cut
// to the frames that fit (the deepest go), and the report says so.
TEST(CrashProgram, ThreadsPastTheReportsSizeLimitAreCutAndTheCrashedThreadIsWhole)
{
    SKIP_UNDER_THREAD_SANITIZER();
    for (const auto& [mode, threads] : {std::pair{"--deep-threads", 16u}, {"--many-threads", 1200u}}) {
        SCOPED_TRACE(mode);
        hybtest::TempHome home;
        const std::string text = crashAndShow(home.root(), mode, SIGSEGV);
        const std::vector<std::uintmax_t> sizes = queuedReportSizes(home.root());
        ASSERT_EQ(sizes.size(), 1u);
        EXPECT_LE(sizes[0], 262144u);
        const std::vector<ThreadText> all = threadsOf(text);
        ASSERT_EQ(count(all, true), 1u) << text;
        EXPECT_GE(count(all, false), threads) << otherThreadsNote(text);
        const auto frames = crashedFrames(text);
        ASSERT_GE(frames.size(), kThreeCallsDeep.size()) << text;
        const ThreadText& crashed = *std::find_if(all.begin(), all.end(), [](const auto& t) { return t.crashed; });
        EXPECT_TRUE(holdsInOrder(crashed, kThreeCallsDeep)) << text;
        EXPECT_EQ(frames.back().second, "_start");
        if (std::string(mode) == "--deep-threads" && crashtest::tracingAllowed()) {
            // The deep threads that were read in time (on a slow build or a busy machine some may not be,
            // and the report says so) keep the same number of frames, from the one each waits in: their
            // deepest calls, down to the start routine, go.
            const std::string note = otherThreadsNote(text);
            const std::size_t cutAt = note.find(" cut to their first ");
            const std::size_t cap = cutAt == std::string::npos ? 0 : std::stoul(note.substr(cutAt + 20));
            std::size_t read = 0;
            for (const ThreadText& thread : all) {
                if (thread.crashed || !holdsInOrder(thread, {"descendThenPark"}))
                    continue;
                ++read;
                if (cutAt == std::string::npos) {
                    EXPECT_EQ(thread.frames.size(), 512u) << note; // the most a thread has
                } else {
                    EXPECT_EQ(thread.frames.size(), cap) << note;
                    EXPECT_GT(cap, 100u) << note;
                    EXPECT_EQ(thread.frames.back().second, "descendThenPark");
                }
            }
            if (read < 16) {
                // Named with the time reading had: half of what the stops left of the report's 3 s.
                const std::string unread = std::to_string(16 - read) + " not read within the report's first ";
                const std::size_t at = note.find(unread);
                ASSERT_NE(at, std::string::npos) << note;
                const unsigned long readMs = std::stoul(note.substr(at + unread.size()));
                EXPECT_GE(readMs, 1500u) << note;
                EXPECT_LE(readMs, 2000u) << note;
            } else {
                EXPECT_NE(cutAt, std::string::npos) << note;
            }
        }
        if (std::string(mode) == "--many-threads" && crashtest::tracingAllowed()) {
            // Asking every thread to stop is bounded by the stop time as well: each thread listed without
            // frames is one the note counts (not asked in time, not stopped in time, or not read in time).
            const std::string note = otherThreadsNote(text);
            const auto bare = static_cast<std::size_t>(std::count_if(
                all.begin(), all.end(), [](const ThreadText& t) { return !t.crashed && t.frames.empty(); }));
            std::size_t counted = 0;
            for (const char* part : {" not asked to stop within ", " not stopped within ", " not read within "}) {
                const std::size_t at = note.find(part);
                if (at == std::string::npos)
                    continue;
                const std::size_t separator = note.rfind("; ", at);
                const std::size_t start = separator == std::string::npos ? 0 : separator + 2;
                counted += std::stoul(note.substr(start, at - start));
            }
            EXPECT_GE(counted, bare) << note;
        }
    }
}

// With every descriptor taken when the main thread crashes, the report is written all the same, its
// threads listed and read.
TEST(CrashProgram, ACrashWithNoDescriptorLeftIsReportedWithItsThreads)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    const std::string text = crashAndShow(home.root(), "--no-descriptors", SIGSEGV);
    if (!crashtest::tracingAllowed()) {
        expectOthersBare(text, {kTracingRefused, kWrittenInside});
        return;
    }
    expectParkedThreadsRead(text);
    EXPECT_EQ(otherThreadsNote(text), "") << text;
}

// A child forked before exec that crashes leaves no report (the program ends with status 3 when it finds
// one); the program's own crash afterwards is reported, as its own.
TEST(CrashProgram, AForkedChildsCrashLeavesNoReportAndTheParentsIsWhole)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    ProgramRun crash = runProgram(home.root(), {"--fork-crash"});
    ASSERT_TRUE(WIFSIGNALED(crash.status)) << "status " << crash.status << "\n" << crash.error;
    EXPECT_EQ(WTERMSIG(crash.status), SIGSEGV);
    ProgramRun next = runProgram(home.root(), {});
    ASSERT_EQ(next.status, 0) << next.error;
    EXPECT_NE(next.out.find("Process:         crash_test_program [" + std::to_string(crash.pid) + "]\n"),
              std::string::npos)
        << next.out;
    const std::vector<ThreadText> threads = threadsOf(next.out);
    ASSERT_EQ(count(threads, true), 1u) << next.out;
    const ThreadText& crashed = *std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; });
    EXPECT_TRUE(holdsInOrder(crashed, kThreeCallsDeep)) << next.out;
}

// A thread held in vfork cannot be stopped: it is listed bare with the reason, the others are read.
TEST(CrashProgram, AThreadHeldInVforkIsListedBareWithTheReason)
{
    SKIP_UNDER_THREAD_SANITIZER();
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    hybtest::TempHome home;
    const std::string text = crashAndShow(home.root(), "--vfork-thread", SIGSEGV);
    EXPECT_EQ(otherThreadsNote(text), "1 not stopped within 1000 ms (held in the kernel, as in vfork); listed "
                                      "without registers or frames")
        << text;
    expectParkedThreadsRead(text);
    const std::vector<ThreadText> threads = threadsOf(text);
    EXPECT_EQ(std::count_if(threads.begin(), threads.end(), [](const ThreadText& t) { return !t.crashed && t.frames.empty(); }),
              1)
        << text;
}

TEST(CrashProgram, TextsThatAreNotUTF8AreShownWithReplacementCharacters)
{
    hybtest::TempHome home;
    std::string text = crashAndShow(home.root(), "--bad-reason", SIGABRT);
    EXPECT_NE(text.find("*** Terminating app due to uncaught exception 'std::runtime_error', reason: "
                        "'not \uFFFD\uFFFD UTF-8'\n"),
              std::string::npos)
        << text;

    // A program whose path is not UTF-8: its path, name and image are reported with U+FFFD.
    const std::string odd = home.root() + "/odd\xFF" "dir";
    std::filesystem::create_directories(odd);
    std::filesystem::copy_file(CRASH_TEST_PROGRAM, odd + "/crash_test_program");
    text = crashAndShow(home.root(), "--segv", SIGSEGV, odd + "/crash_test_program");
    const std::string shown = home.root() + "/odd\uFFFD" "dir/crash_test_program";
    EXPECT_NE(text.find("Path:            " + shown + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" +crash_test_program x86_64  <"), std::string::npos) << text;
    EXPECT_NE(text.find("> " + shown + "\n"), std::string::npos) << text;
}

TEST(CrashProgram, AnAbortAndADivisionByZeroAreReportedToo)
{
    hybtest::TempHome home;
    for (const auto& [mode, signo, name] : {std::tuple{"--abort", SIGABRT, "SIGABRT"}, {"--divide", SIGFPE, "SIGFPE"}}) {
        const std::string text = crashAndShow(home.root(), mode, signo);
        EXPECT_NE(text.find(std::string("Exception Type:  ") + name + "\n"), std::string::npos) << text;
    }
}

} // namespace

// A thread the program started itself with a 16 KiB stack before enabling the reporter (it has no
// alternate signal stack) crashes with most of its stack used: the report is made on the reporter's own
// stack, so it is whole whether the helper writes it, is refused its tracing, or cannot be started at all
// (the crashed thread then writes it itself).
TEST(CrashProgram, AThreadWithA16KiBStackIsReportedWithOrWithoutTheHelper)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    for (const auto& [mode, note] : {std::pair{"--small-stack", ""}, {"--small-stack-untraceable", kTracingRefused},
                                     {"--small-stack-alone", kWrittenInside}}) {
        SCOPED_TRACE(mode);
        const std::string text = crashAndShow(home.root(), mode, SIGSEGV);
        EXPECT_NE(text.find("Exception Type:  SIGSEGV\n"), std::string::npos) << text;
        const std::vector<ThreadText> threads = threadsOf(text);
        ASSERT_EQ(count(threads, true), 1u) << text;
        const ThreadText& crashed = *std::find_if(threads.begin(), threads.end(), [](const auto& t) { return t.crashed; });
        EXPECT_EQ(crashed.frames.front().second, "writeThroughNull") << text;
        EXPECT_TRUE(holdsInOrder(crashed, {"writeThroughNull", "smallStackThread"})) << text;
        EXPECT_EQ(count(threads, false), 4u) << text; // the main thread and the three parked ones
        if (!crashtest::tracingAllowed())
            continue;
        if (std::string(note).empty()) {
            for (const char* routine : {"firstParkedThread", "secondParkedThread", "thirdParkedThread"}) {
                EXPECT_TRUE(std::any_of(threads.begin(), threads.end(), [&](const ThreadText& t) {
                    return !t.crashed && holdsInOrder(t, {"parkHere", routine});
                })) << routine << "\n" << text;
            }
        } else {
            EXPECT_NE(text.find(note), std::string::npos) << text;
        }
    }
}

// A stack overflow on a thread the program starts itself (16 KiB, the helper writing the report) or on
// one GLib starts (the crashed thread writing the report itself, starting a process refused) is reported:
// every thread started after the reporter was enabled has an alternate stack.
TEST(CrashProgram, AStackOverflowOnAThreadOfTheProgramOrOfALibraryIsReported)
{
    SKIP_UNDER_THREAD_SANITIZER();
    hybtest::TempHome home;
    for (const char* mode : {"--small-stack-overflow", "--library-thread-overflow"}) {
        SCOPED_TRACE(mode);
        const std::string text = crashAndShow(home.root(), mode, SIGSEGV);
        EXPECT_NE(text.find("Exception Type:  SIGSEGV\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("Crashed Thread:  0\n"), std::string::npos) << text; // not the main thread
        const auto frames = crashedFrames(text);
        ASSERT_FALSE(frames.empty()) << text;
        EXPECT_EQ(frames.front().second, "recurseForEver") << text;
        // 16 KiB (less the thread's own records) holds some 27 of its frames; the other thread's are cut at
        // the writer's limit.
        EXPECT_GE(std::count_if(frames.begin(), frames.end(), [](const auto& f) { return f.second == "recurseForEver"; }),
                  20)
            << text;
    }
}
