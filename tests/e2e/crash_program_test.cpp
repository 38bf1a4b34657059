// A real crash on this machine becomes a readable report: the crash-test program enables the reporter and
// dies by SIGSEGV; its next run finds the report, prints it as text and moves it aside.
#include <gtest/gtest.h>

#include "support/TempHome.h"

#include <elf.h>
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
};

// Runs the program with the home and the sanitizers' signal handling off; its output goes to a file.
ProgramRun runProgram(const std::string& home, const std::vector<std::string>& arguments)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.rfind("XDG_DATA_HOME=", 0) != 0 && entry.rfind("ASAN_OPTIONS=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("XDG_DATA_HOME=" + home);
    env.push_back("ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
                  "detect_leaks=0");
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{CRASH_TEST_PROGRAM};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string outPath = home + "/out.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ProgramRun run;
    if (posix_spawn(&run.pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) == 0)
        waitpid(run.pid, &run.status, 0);
    posix_spawn_file_actions_destroy(&actions);
    std::ifstream in(outPath, std::ios::binary);
    run.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

// The offset of a function of the program, from its symbol table.
std::uint64_t symbolOffset(const std::string& path, const std::string& name)
{
    std::ifstream in(path, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    for (int i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        std::memcpy(&section, file.data() + header.e_shoff + i * sizeof section, sizeof section);
        if (section.sh_type != SHT_SYMTAB)
            continue;
        Elf64_Shdr strings;
        std::memcpy(&strings, file.data() + header.e_shoff + section.sh_link * sizeof strings, sizeof strings);
        for (std::size_t at = section.sh_offset; at + sizeof(Elf64_Sym) <= section.sh_offset + section.sh_size;
             at += sizeof(Elf64_Sym)) {
            Elf64_Sym symbol;
            std::memcpy(&symbol, file.data() + at, sizeof symbol);
            if (name == file.data() + strings.sh_offset + symbol.st_name)
                return symbol.st_value;
        }
    }
    return 0;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

TEST(CrashProgram, ASegmentationFaultIsReportedOnTheNextRun)
{
    hybtest::TempHome home; // only for its temporary folder
    const std::string root = home.root();

    ProgramRun crash = runProgram(root, {"--segv"});
    ASSERT_TRUE(WIFSIGNALED(crash.status)) << "status " << crash.status;
    EXPECT_EQ(WTERMSIG(crash.status), SIGSEGV);

    ProgramRun next = runProgram(root, {});
    ASSERT_TRUE(WIFEXITED(next.status)) << "status " << next.status;
    EXPECT_EQ(WEXITSTATUS(next.status), 0);
    const std::string& text = next.out;
    std::vector<std::string> all = lines(text);
    auto has = [&](const std::string& line) { return std::find(all.begin(), all.end(), line) != all.end(); };
    EXPECT_TRUE(has("Exception Type:  SIGSEGV")) << text;
    EXPECT_TRUE(has("Exception Codes: SEGV_MAPERR at 0x0"));
    // The process name as the kernel keeps it (15 characters) and the first run's pid.
    EXPECT_TRUE(has("Process:         crash_test_prog [" + std::to_string(crash.pid) + "]")) << text;
    EXPECT_TRUE(has("Code Type:       X86-64"));

    // Frames through the crashing function and its caller, offsets in the program.
    const std::uint64_t crashing = symbolOffset(CRASH_TEST_PROGRAM, "writeThroughNull");
    const std::uint64_t caller = symbolOffset(CRASH_TEST_PROGRAM, "crashBySegmentationFault");
    ASSERT_NE(crashing, 0u);
    auto frameOffset = [&](const std::string& prefix) -> std::uint64_t {
        for (const std::string& line : all) {
            if (line.rfind(prefix, 0) == 0 && line.find("crash_test_program") != std::string::npos)
                return std::stoull(line.substr(line.rfind(" + ") + 3));
        }
        return 0;
    };
    const std::uint64_t frame0 = frameOffset("0   "), frame1 = frameOffset("1   ");
    EXPECT_GE(frame0, crashing);
    EXPECT_LT(frame0, crashing + 64);
    EXPECT_GT(frame1, caller);
    EXPECT_LT(frame1, caller + 64);

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
    EXPECT_EQ(WEXITSTATUS(quiet.status), 0);
    EXPECT_EQ(quiet.out, "");
}

TEST(CrashProgram, AnAbortAndADivisionByZeroAreReportedToo)
{
    hybtest::TempHome home;
    for (const auto& [mode, signo, name] : {std::tuple{"--abort", SIGABRT, "SIGABRT"}, {"--divide", SIGFPE, "SIGFPE"}}) {
        ProgramRun crash = runProgram(home.root(), {mode});
        ASSERT_TRUE(WIFSIGNALED(crash.status)) << mode;
        EXPECT_EQ(WTERMSIG(crash.status), signo) << mode;
        ProgramRun next = runProgram(home.root(), {});
        EXPECT_NE(next.out.find(std::string("Exception Type:  ") + name + "\n"), std::string::npos) << next.out;
    }
}

} // namespace
