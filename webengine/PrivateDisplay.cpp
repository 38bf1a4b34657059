#include "webengine/PrivateDisplay.h"

#include <gdk/gdk.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace webengine {

namespace {

platform::Error displayError(const std::string& message)
{
    return platform::Error(platform::kPOSIXErrorDomain, errno ? errno : EIO, message);
}

// Reads the display number Xvfb writes to the pipe ("N\n"), bounded by the time-out.
std::string readDisplayNumber(int fd, std::chrono::milliseconds timeout)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos && text.size() < 16) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {};
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char buffer[16];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return {};
        text.append(buffer, static_cast<size_t>(n));
    }
    const auto end = text.find('\n');
    if (end == std::string::npos || end == 0)
        return {};
    for (size_t i = 0; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return {};
    }
    return text.substr(0, end);
}

// The display DISPLAY names, opened; null when unset or unreachable.
GdkDisplay* openEnvironmentDisplay()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return nullptr;
    return gdk_display_open(display);
}

} // namespace

bool PrivateDisplay::isDisplayAvailable()
{
    GdkDisplay* connection = openEnvironmentDisplay();
    if (!connection)
        return false;
    gdk_display_close(connection);
    return true;
}

bool PrivateDisplay::openDefaultDisplay()
{
    GdkDisplay* connection = openEnvironmentDisplay();
    if (!connection)
        return false;
    gdk_display_manager_set_default_display(gdk_display_manager_get(), connection);
    return true;
}

platform::Result<std::unique_ptr<PrivateDisplay>> PrivateDisplay::start(std::chrono::milliseconds timeout)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return displayError("cannot make a pipe for Xvfb");
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return displayError("cannot start Xvfb");
    }
    if (child == 0) {
        // However this process ends (an abort, _Exit, a signal), the server is told to stop; it may
        // already have ended before the request took hold.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(127);
        // The write end must survive exec; everything the server says goes to /dev/null.
        const int writeEnd = dup(fds[1]);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        const std::string fd = std::to_string(writeEnd);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    const std::string number = readDisplayNumber(fds[0], timeout);
    close(fds[0]);
    if (number.empty()) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        errno = 0;
        return displayError("Xvfb did not start (is the xvfb package installed?)");
    }
    const std::string name = ":" + number;
    setenv("DISPLAY", name.c_str(), 1);
    return std::unique_ptr<PrivateDisplay>(new PrivateDisplay(child, name));
}

PrivateDisplay::~PrivateDisplay()
{
    kill(m_server, SIGTERM);
    int status = 0;
    while (waitpid(m_server, &status, 0) < 0 && errno == EINTR) {
    }
}

} // namespace webengine
