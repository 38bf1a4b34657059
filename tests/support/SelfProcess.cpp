#include "support/SelfProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

extern char** environ;

namespace hybtest {

int runThisTestExecutable(const std::string& filter, const std::vector<std::string>& extraEnvironment) {
    int status = runThisTestExecutableForStatus(filter, extraEnvironment);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runThisTestExecutableForStatus(const std::string& filter, const std::vector<std::string>& extraEnvironment) {
    std::string exe = std::filesystem::read_symlink("/proc/self/exe");
    std::string filterArgument = "--gtest_filter=" + filter;
    const char* argv[] = {exe.c_str(), filterArgument.c_str(), "--gtest_also_run_disabled_tests", nullptr};
    // An extra entry replaces an inherited one of the same name.
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : extraEnvironment)
            replaced = replaced || nameOf(extra) == nameOf(entry);
        if (!replaced)
            env.push_back(std::move(entry));
    }
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, const_cast<char* const*>(argv), envp.data()) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

int runWithoutDescriptors(int left, const std::function<int(const std::function<void()>& giveBack)>& child) {
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const rlimit few{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0)
            ::_exit(125);
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken.push_back(fd);
        for (; left > 0 && !taken.empty(); --left) {
            ::close(taken.back());
            taken.pop_back();
        }
        ::_exit(child([&taken] {
            for (int fd : taken)
                ::close(fd);
            taken.clear();
        }));
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace hybtest
