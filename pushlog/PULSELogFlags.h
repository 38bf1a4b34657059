// Flags and levels of the push client's logging framework.
//
// A message carries exactly one flag (its severity). A level is a bit mask over the flags; a logger
// receives a message exactly when (its level AND the message's flag) is not zero.
#pragma once

#include <cstdint>

namespace pushlog {

inline constexpr std::uint64_t PULSELogFlagError = 1;
inline constexpr std::uint64_t PULSELogFlagWarning = 2;
inline constexpr std::uint64_t PULSELogFlagInfo = 4;
inline constexpr std::uint64_t PULSELogFlagDebug = 8;
inline constexpr std::uint64_t PULSELogFlagVerbose = 16;

inline constexpr std::uint64_t PULSELogLevelOff = 0;
inline constexpr std::uint64_t PULSELogLevelError = 1;
inline constexpr std::uint64_t PULSELogLevelWarning = 3;
inline constexpr std::uint64_t PULSELogLevelInfo = 7;
inline constexpr std::uint64_t PULSELogLevelDebug = 15;
inline constexpr std::uint64_t PULSELogLevelVerbose = 31;
inline constexpr std::uint64_t PULSELogLevelAll = ~std::uint64_t{0};

// Whether a logger of the given level receives a message of the given flag.
constexpr bool levelAcceptsFlag(std::uint64_t level, std::uint64_t flag) { return (level & flag) != 0; }

} // namespace pushlog
