// Running the project's programs from the end-to-end tests: one run to its end with its output caught,
// or a server started in the background that hands over its first line (its URL) and is stopped with
// SIGTERM. Each run has a home of its own (HOME, the XDG homes, its runtime folder), removed after it:
// what one run keeps (preferences, push state, logs, the keychain) is not seen by the next.
#pragma once

#include "EngineHarness.h"
#include "support/PrivateEnvironment.h"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace e2e {

struct ProgramRun {
    int exitStatus = -1;  // -1: not started, or ended by a signal
    std::string out;
    std::string err;
};

// Runs `program` with `arguments` to its end (the test's CTest time-out bounds it).
inline ProgramRun runProgram(const std::string& program, std::vector<std::string> arguments)
{
    quietAccessibility();
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    TempFolder home;
    std::vector<std::string> environment = hybtest::environmentWithHomeIn(home.path());
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    ProgramRun run;
    char* out = nullptr;
    char* err = nullptr;
    int status = 0;
    GError* error = nullptr;
    if (!g_spawn_sync(nullptr, argv.data(), envp.data(), G_SPAWN_DEFAULT, nullptr, nullptr, &out, &err, &status, &error)) {
        run.err = error->message;
        g_error_free(error);
        return run;
    }
    run.out = out ? out : "";
    run.err = err ? err : "";
    g_free(out);
    g_free(err);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A program that serves in the background: started, its first line of output read, stopped with
// SIGTERM by stop() or the destructor. The rest of its output is read by stop().
class BackgroundProgram {
public:
    BackgroundProgram(const std::string& program, std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), program);
        std::vector<char*> argv;
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = hybtest::environmentWithHomeIn(m_home.path());
        std::vector<char*> envp;
        for (auto& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        int outFd = -1;
        GError* error = nullptr;
        if (!g_spawn_async_with_pipes(nullptr, argv.data(), envp.data(), G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &m_pid, nullptr,
                                      &outFd, nullptr, &error)) {
            m_error = error->message;
            g_error_free(error);
            return;
        }
        m_out = fdopen(outFd, "r");
        char line[4096];
        // Blocks until the program prints its first line or ends (then it gives nothing).
        if (m_out && std::fgets(line, sizeof line, m_out)) {
            m_firstLine = line;
            if (!m_firstLine.empty() && m_firstLine.back() == '\n')
                m_firstLine.pop_back();
        }
    }
    ~BackgroundProgram() { stop(); }
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    const std::string& firstLine() const { return m_firstLine; }
    const std::string& error() const { return m_error; }

    // SIGTERM, then its exit status (-1 when it ended otherwise) once it has gone; the output after the
    // first line goes to rest().
    int stop()
    {
        if (m_pid <= 0)
            return m_exitStatus;
        ::kill(m_pid, SIGTERM);
        if (m_out) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, m_out)) > 0)
                m_rest.append(buffer, n);
            std::fclose(m_out);
            m_out = nullptr;
        }
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        g_spawn_close_pid(m_pid);
        m_pid = 0;
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_exitStatus;
    }
    const std::string& rest() const { return m_rest; }

private:
    TempFolder m_home; // made before the program starts, removed after it has ended
    GPid m_pid = 0;
    std::FILE* m_out = nullptr;
    std::string m_firstLine;
    std::string m_rest;
    std::string m_error;
    int m_exitStatus = -1;
};

} // namespace e2e
