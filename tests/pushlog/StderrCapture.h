// Sends standard error to a temporary file while alive; text() reads what was written.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace pushlog::testing {

class StderrCapture {
public:
    StderrCapture() {
        const char* tmp = std::getenv("TMPDIR");
        std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/pushlog-stderr-XXXXXX";
        m_fd = mkstemp(path.data());
        m_path = path;
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(m_fd, STDERR_FILENO);
    }
    ~StderrCapture() {
        restore();
        close(m_fd);
        unlink(m_path.c_str());
    }
    void restore() {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    std::string text() const {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

private:
    int m_fd = -1;
    int m_saved = -1;
    std::string m_path;
};

} // namespace pushlog::testing
