#include "support/TempHome.h"

#include "platform/files/FileManager.h"
#include "support/EngineProcesses.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace hybtest {
namespace {

std::string makeRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/hybtest-home-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("TempHome: cannot make a temporary folder");
    return pattern;
}

} // namespace

TempHome::TempHome()
    : m_root(makeRoot()), m_folders(m_root + "/home", m_root + "/home/App.bundle"),
      m_previous(platform::AppFolders::current()) {
    auto status = m_folders.createFolders();
    if (!status)
        throw std::runtime_error("TempHome: " + status.error().localizedDescription());
    (void)platform::FileManager::defaultManager().createDirectory(m_folders.bundle(), true);
    platform::AppFolders::install(m_folders);
    // A death test's child (the test run again in a new process) ends without its destructors or exit
    // handlers: its home is removed once it has ended.
    if (!GTEST_FLAG_GET(internal_run_death_test).empty())
        removeWhenThisProcessEnds(m_root);
}

TempHome::~TempHome() {
    platform::AppFolders::install(m_previous);
    // A web engine that showed pages of this home may write into it until its processes end.
    removeNowAndAfterEngine(m_root);
}

void TempHome::writeBundleFile(const std::string& relativePath, const std::string& contents) const {
    auto& files = platform::FileManager::defaultManager();
    std::string path = m_folders.bundle() + "/" + relativePath;
    (void)files.createDirectory(platform::deletingLastPathComponent(path), true);
    auto status = files.writeAtomically(path, platform::Bytes(contents.begin(), contents.end()));
    if (!status)
        throw std::runtime_error("TempHome: " + status.error().localizedDescription());
}

bool setImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    int flags = 0;
    const bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                     (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0)
        ::close(fd);
    return set;
}

} // namespace hybtest
