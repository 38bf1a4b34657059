#include "deploy/DeployLog.h"

#include <cstdio>

namespace deploy {

namespace {
std::function<void(const std::string&)>& sink() {
    static std::function<void(const std::string&)> s_sink;
    return s_sink;
}
} // namespace

void logLine(const std::string& line) {
    if (sink()) {
        sink()(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

void setLogSink(std::function<void(const std::string&)> s) { sink() = std::move(s); }

} // namespace deploy
