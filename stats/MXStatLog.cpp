#include "stats/MXStatLog.h"

#include "stats/MXStatConfig.h"

#include "platform/core/Log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace stats {

namespace {
void writeLine(const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0)
        return;
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(static_cast<std::size_t>(length));
    platform::Log::write(line);
}
} // namespace

void MXStatLog(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

void MXStatDebugLog(const char* format, ...) {
    if (!MXStatConfig::getInstance().debugEnable())
        return;
    std::va_list args;
    va_start(args, format);
    writeLine(format, args);
    va_end(args);
}

} // namespace stats
