#include "webengine/PrivateDisplay.h"

#include "platform/system/ProcessEnvironment.h"

#include <gdk/gdk.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace webengine {

namespace {

platform::Error displayError(const std::string& message)
{
    return platform::Error(platform::kPOSIXErrorDomain, errno ? errno : EIO, message);
}

// What came of waiting for the display number Xvfb writes to the pipe ("N\n").
struct DisplayNumber {
    enum class Outcome { Named, Closed, TimedOut } outcome = Outcome::Closed;
    std::string number;
};

// Reads the display number, bounded by the time-out.
DisplayNumber readDisplayNumber(int fd, std::chrono::milliseconds timeout)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos && text.size() < 16) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {DisplayNumber::Outcome::TimedOut, {}};
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return {DisplayNumber::Outcome::TimedOut, {}};
        if (ready < 0)
            return {};
        char buffer[16];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
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
    return {DisplayNumber::Outcome::Named, text.substr(0, end)};
}

// How long a server told to stop may take before it is killed.
constexpr int kStopGraceMilliseconds = 2000;

// Stops the server and reaps it: SIGTERM, then SIGKILL when it has not ended within the grace (a server
// that hangs, or ignores the request, never holds this process's end).
void stopServer(pid_t server)
{
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, server, 0));
    kill(server, SIGTERM);
    if (pidfd >= 0) {
        pollfd ended{pidfd, POLLIN, 0};
        int ready;
        while ((ready = poll(&ended, 1, kStopGraceMilliseconds)) < 0 && errno == EINTR) {
        }
        if (ready == 0)
            kill(server, SIGKILL);
        close(pidfd);
    }
    while (waitpid(server, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The last line the server wrote to its output (kept in `output`, a memory file), at most 200 bytes of
// it; empty when it wrote none.
std::string lastLineOf(int output)
{
    char buffer[4096];
    const off_t size = lseek(output, 0, SEEK_END);
    const off_t from = size > static_cast<off_t>(sizeof buffer) ? size - static_cast<off_t>(sizeof buffer) : 0;
    const ssize_t n = size > 0 ? pread(output, buffer, sizeof buffer, from) : 0;
    std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    const size_t start = text.find_last_of('\n');
    std::string line = start == std::string::npos ? text : text.substr(start + 1);
    if (line.size() > 200)
        line = line.substr(0, 200) + "...";
    return line;
}

std::string duration(std::chrono::milliseconds time)
{
    return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + " s" : std::to_string(time.count()) + " ms";
}

// Why a server that named no display did not: the error of its exec (sent through `execErrors` by the
// child), else how it ended, else that it is still running (it is stopped then), with the last line it
// wrote. Reaps it.
std::string whyNoDisplay(pid_t child, int execErrors, int output, DisplayNumber::Outcome outcome, std::chrono::milliseconds timeout)
{
    int execError = 0;
    ssize_t n;
    while ((n = read(execErrors, &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof execError)) {
        waitpid(child, nullptr, 0);
        if (execError == ENOENT)
            return "cannot start Xvfb: not found (is the xvfb package installed?)";
        return std::string("cannot start Xvfb: ") + std::strerror(execError);
    }
    // It closed the pipe: it is ending, or has ended (a moment may pass before it can be waited for).
    int status = 0;
    pid_t ended = 0;
    for (int polls = 0; outcome == DisplayNumber::Outcome::Closed && polls < 100; ++polls) {
        while ((ended = waitpid(child, &status, WNOHANG)) < 0 && errno == EINTR) {
        }
        if (ended != 0)
            break;
        usleep(10 * 1000);
    }
    std::string why;
    if (ended == child && WIFEXITED(status)) {
        why = "Xvfb exited with status " + std::to_string(WEXITSTATUS(status)) + " before naming a display";
    } else if (ended == child && WIFSIGNALED(status)) {
        why = "Xvfb was ended by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
              ") before naming a display";
    } else {
        stopServer(child);
        why = outcome == DisplayNumber::Outcome::TimedOut ? "Xvfb named no display within " + duration(timeout)
                                                          : "Xvfb named no display (it closed its display pipe)";
    }
    if (const std::string said = lastLineOf(output); !said.empty())
        why += " (it said: " + said + ")";
    return why;
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
    // The display number comes through one pipe; the error of a failed exec through the other, which the
    // exec closes.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return displayError("cannot make a pipe for Xvfb");
    int execErrors[2];
    if (pipe2(execErrors, O_CLOEXEC) != 0) {
        const platform::Error error = displayError("cannot make a pipe for Xvfb");
        close(fds[0]);
        close(fds[1]);
        return error;
    }
    // What the server says goes to a memory file, read only when it names no display.
    const int output = memfd_create("Xvfb output", MFD_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        const platform::Error error = displayError("cannot start Xvfb");
        for (int fd : {fds[0], fds[1], execErrors[0], execErrors[1], output})
            if (fd >= 0)
                close(fd);
        return error;
    }
    if (child == 0) {
        // However this process ends (an abort, _Exit, a signal), the server is told to stop; it may
        // already have ended before the request took hold.
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(127);
        // A process group of its own: a signal to the application's group (a terminal's interrupt key)
        // does not end the server under the application, which would lose its display in the middle of
        // its termination handlers (a payment road's result among them); the application ends it after.
        (void)setpgid(0, 0);
        // The write end must survive exec; what the server says goes to the memory file (else nowhere).
        const int writeEnd = dup(fds[1]);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0)
            dup2(null, STDIN_FILENO);
        const int said = output >= 0 ? output : null;
        if (said >= 0) {
            dup2(said, STDOUT_FILENO);
            dup2(said, STDERR_FILENO);
        }
        const std::string fd = std::to_string(writeEnd);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
               static_cast<char*>(nullptr));
        const int error = errno;
        (void)!write(execErrors[1], &error, sizeof error);
        _exit(127);
    }
    close(fds[1]);
    close(execErrors[1]);
    const DisplayNumber named = readDisplayNumber(fds[0], timeout);
    close(fds[0]);
    if (named.outcome != DisplayNumber::Outcome::Named) {
        const std::string why = whyNoDisplay(child, execErrors[0], output, named.outcome, timeout);
        close(execErrors[0]);
        if (output >= 0)
            close(output);
        errno = 0;
        return displayError(why);
    }
    close(execErrors[0]);
    if (output >= 0)
        close(output);
    const std::string name = ":" + named.number;
    if (platform::Status set = platform::ProcessEnvironment::set("DISPLAY", name, platform::ProcessEnvironment::Reach::EveryProgram); !set) {
        stopServer(child);
        return set.error();
    }
    return std::unique_ptr<PrivateDisplay>(new PrivateDisplay(child, name));
}

PrivateDisplay::~PrivateDisplay() { stopServer(m_server); }

} // namespace webengine
