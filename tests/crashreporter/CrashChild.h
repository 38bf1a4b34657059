// Children of the crash reporter's tests: a peer test of this executable that crashes (or raises) on
// purpose, run with the sanitizers' own signal handling off so that the chain under test is ours.
#pragma once

#include "support/SelfProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace crashtest {

constexpr const char* kChildSanitizerOptions =
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0";
constexpr const char* kChildThreadSanitizerOptions =
    "TSAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";

// A directory for one test's files, removed afterwards.
class ChildFiles {
public:
    ChildFiles()
    {
        m_dir = std::filesystem::temp_directory_path() /
                ("crash-child-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
    }
    ~ChildFiles() { std::filesystem::remove_all(m_dir); }
    std::string path(const std::string& name) const { return (m_dir / name).string(); }

private:
    std::filesystem::path m_dir;
};

// The child's wait status; the child gets CRASH_CHILD_DIR=dir.
inline int runChild(const std::string& test, const ChildFiles& files)
{
    return hybtest::runThisTestExecutableForStatus(test, {kChildSanitizerOptions, kChildThreadSanitizerOptions, "CRASH_CHILD_DIR=" + files.path("")});
}

inline std::vector<std::uint8_t> readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// In the child: a file of its directory, opened for writing (async-signal-safe once the path is built).
inline int openChildFile(const char* directory, const char* name)
{
    char path[4096];
    std::snprintf(path, sizeof path, "%s%s", directory, name);
    return open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace crashtest
