// Plain log lines of the deploy library (no levels), to the process's error stream. Tests may install
// a sink to read them.
#pragma once

#include <functional>
#include <string>

namespace deploy {

void logLine(const std::string& line);
// Replaces the sink (an empty function restores the error stream). Not thread-safe against logLine;
// set it before the code under test runs.
void setLogSink(std::function<void(const std::string&)> sink);

} // namespace deploy
