// How every file of the push client writes a log line: one call into the logging framework with level
// 31, the line's flag (error 1, warning 2, info 4, debug 8), context 0, the source path, the compiler's
// full name of the calling function, the line and no tag. Filtering is left to the loggers' level
// masks; nothing here tests a level first.
//
//     PULSE_LOG_ERROR("trans data to obj with error:%ld", code);
//
// Errors and warnings are synchronous: the call returns once every logger that takes the flag has
// handled the line, so a failure is written before the client goes on (or the process ends). Info and
// debug lines, the client's routine chatter (two or more per pushed message), are handed to the logging
// queue and the call returns at once; they reach the loggers in order with the others, batched, so a
// logger that writes files does not stop the client thread for each line. A synchronous call must not
// be made from the logging queue or from a logger's own queue.
#pragma once

#include "pushlog/PULSELog.h"
#include "pushlog/PULSELogFlags.h"

#include <cstdint>

namespace push {

inline constexpr std::uint64_t kPULSELogLevel = pushlog::PULSELogLevelVerbose; // 31

} // namespace push

#define PULSE_LOG_AT(asynchronous, flag, ...)                                                                  \
    ::pushlog::PULSELog::log((asynchronous), ::push::kPULSELogLevel, (flag), 0, __FILE__, __PRETTY_FUNCTION__, \
                             __LINE__, ::platform::Value(), __VA_ARGS__)
#define PULSE_LOG_ERROR(...) PULSE_LOG_AT(false, ::pushlog::PULSELogFlagError, __VA_ARGS__)
#define PULSE_LOG_WARN(...) PULSE_LOG_AT(false, ::pushlog::PULSELogFlagWarning, __VA_ARGS__)
#define PULSE_LOG_INFO(...) PULSE_LOG_AT(true, ::pushlog::PULSELogFlagInfo, __VA_ARGS__)
#define PULSE_LOG_DEBUG(...) PULSE_LOG_AT(true, ::pushlog::PULSELogFlagDebug, __VA_ARGS__)
// A debug line whose text the logger makes from the block, later and on its own queue: for a text that
// costs more than the caller's work (a description of a pushed message's information). The block must
// hold what it reads and only read it.
#define PULSE_LOG_DEBUG_LATER(...)                                                                            \
    ::pushlog::PULSELog::logDeferred(true, ::push::kPULSELogLevel, ::pushlog::PULSELogFlagDebug, 0, __FILE__, \
                                     __PRETTY_FUNCTION__, __LINE__, ::platform::Value(), __VA_ARGS__)
