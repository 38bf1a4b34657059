// One colour choice of the terminal logger (by flag mask and context, or by tag) with its escape bytes
// prepared for the colour mode of the process.
#pragma once

#include "pushlog/PULSECLIColor.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pushlog {

// The escape language of the terminal, chosen once per process from the environment.
enum class TerminalColorMode { None, XcodeColors, Ansi16, Ansi256 };

// The context value that stands for every context.
inline constexpr std::int64_t kEveryContext = 2147483647;

class PULSETTYLoggerColorProfile {
public:
    PULSETTYLoggerColorProfile(const std::optional<PULSECLIColor>& foreground,
                               const std::optional<PULSECLIColor>& background, std::uint64_t flag,
                               std::int64_t context, TerminalColorMode mode);

    // Index of the nearest colour of the mode's table (0 for a mode without table).
    static std::uint64_t codeIndexForColor(const PULSECLIColor& color, TerminalColorMode mode);
    // The mode the environment asks for: "XcodeColors" exactly "YES" first, then "TERM" containing
    // "color" in any case (with "256": the 256-colour table).
    static TerminalColorMode modeForEnvironment(const char* xcodeColors, const char* term);

    std::string description() const;

    std::uint64_t mask;
    std::int64_t context;
    std::uint8_t fg_r = 0, fg_g = 0, fg_b = 0;
    std::uint8_t bg_r = 0, bg_g = 0, bg_b = 0;
    std::uint64_t fgCodeIndex = 0;
    std::string fgCodeRaw;
    std::uint64_t bgCodeIndex = 0;
    std::string bgCodeRaw;
    std::string fgCode; // the escape sequences; empty = none
    std::string bgCode;
    std::string resetCode;
};

} // namespace pushlog
