#include "pushlog/PULSETTYLoggerColorProfile.h"

#include "pushlog/TerminalColorTables.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace pushlog {

namespace {

constexpr char kEscape = '\x1b';

std::uint8_t component255(double value) {
    const double scaled = std::clamp(value, 0.0, 1.0) * 255.0;
    return static_cast<std::uint8_t>(scaled);
}

std::size_t tableSize(TerminalColorMode mode) {
    switch (mode) {
    case TerminalColorMode::Ansi16: return 16;
    case TerminalColorMode::Ansi256: return 240;
    default: return 0;
    }
}

RGB8 tableColor(TerminalColorMode mode, std::size_t index) {
    if (mode == TerminalColorMode::Ansi16) {
        const TerminalColor& c = terminalColors16()[index];
        return {c.r, c.g, c.b};
    }
    return terminalColors256()[index];
}

std::string tableCode(TerminalColorMode mode, std::size_t index, bool foreground) {
    if (mode == TerminalColorMode::Ansi16) {
        const TerminalColor& c = terminalColors16()[index];
        return foreground ? c.foregroundCode : c.backgroundCode;
    }
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, foreground ? "38;5;%dm" : "48;5;%dm", static_cast<int>(16 + index));
    return buffer;
}

struct ColorCodes {
    std::uint8_t r = 0, g = 0, b = 0;
    std::uint64_t index = 0;
    std::string raw;
    std::string code;
};

ColorCodes codesFor(const std::optional<PULSECLIColor>& color, TerminalColorMode mode, bool foreground) {
    ColorCodes codes;
    if (!color)
        return codes;
    double r = 0, g = 0, b = 0;
    color->getRed(&r, &g, &b, nullptr);
    codes.r = component255(r);
    codes.g = component255(g);
    codes.b = component255(b);
    if (mode == TerminalColorMode::Ansi16 || mode == TerminalColorMode::Ansi256) {
        codes.index = PULSETTYLoggerColorProfile::codeIndexForColor(*color, mode);
        codes.raw = tableCode(mode, codes.index, foreground);
        codes.code = std::string(1, kEscape) + "[" + codes.raw;
    } else if (mode == TerminalColorMode::XcodeColors) {
        char buffer[24];
        const int length = std::snprintf(buffer, sizeof buffer, foreground ? "%sfg%u,%u,%u;" : "%sbg%u,%u,%u;",
                                         "\x1b[", unsigned{codes.r}, unsigned{codes.g}, unsigned{codes.b});
        codes.code.assign(buffer, static_cast<std::size_t>(std::clamp(length, 0, 23)));
    }
    return codes;
}

} // namespace

PULSETTYLoggerColorProfile::PULSETTYLoggerColorProfile(const std::optional<PULSECLIColor>& foreground,
                                                       const std::optional<PULSECLIColor>& background,
                                                       std::uint64_t flag, std::int64_t context,
                                                       TerminalColorMode mode)
    : mask(flag), context(context) {
    const ColorCodes fg = codesFor(foreground, mode, true);
    const ColorCodes bg = codesFor(background, mode, false);
    fg_r = fg.r, fg_g = fg.g, fg_b = fg.b;
    bg_r = bg.r, bg_g = bg.g, bg_b = bg.b;
    fgCodeIndex = fg.index, fgCodeRaw = fg.raw, fgCode = fg.code;
    bgCodeIndex = bg.index, bgCodeRaw = bg.raw, bgCode = bg.code;
    if (mode == TerminalColorMode::Ansi16 || mode == TerminalColorMode::Ansi256)
        resetCode = "\x1b[0m";
    else if (mode == TerminalColorMode::XcodeColors)
        resetCode = "\x1b[;";
}

std::uint64_t PULSETTYLoggerColorProfile::codeIndexForColor(const PULSECLIColor& color, TerminalColorMode mode) {
    double r = 0, g = 0, b = 0;
    color.getRed(&r, &g, &b, nullptr);
    double best = 100.0;
    std::uint64_t bestIndex = 0;
    for (std::size_t i = 0; i < tableSize(mode); ++i) {
        const RGB8 c = tableColor(mode, i);
        const double dr = c.r / 255.0 - r, dg = c.g / 255.0 - g, db = c.b / 255.0 - b;
        const double distance = std::sqrt(dr * dr + dg * dg + db * db);
        if (distance < best) {
            best = distance;
            bestIndex = i;
        }
    }
    return bestIndex;
}

TerminalColorMode PULSETTYLoggerColorProfile::modeForEnvironment(const char* xcodeColors, const char* term) {
    if (xcodeColors && std::strcmp(xcodeColors, "YES") == 0)
        return TerminalColorMode::XcodeColors;
    if (!term)
        return TerminalColorMode::None;
    std::string lower(term);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.find("color") == std::string::npos)
        return TerminalColorMode::None;
    return lower.find("256") != std::string::npos ? TerminalColorMode::Ansi256 : TerminalColorMode::Ansi16;
}

std::string PULSETTYLoggerColorProfile::description() const {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, "<PULSETTYLoggerColorProfile: %p mask:%i ctxt:%ld fg:%u,%u,%u bg:%u,%u,%u fgCode:%s bgCode:%s>",
                  static_cast<const void*>(this), static_cast<int>(mask), static_cast<long>(context), unsigned{fg_r},
                  unsigned{fg_g}, unsigned{fg_b}, unsigned{bg_r}, unsigned{bg_g}, unsigned{bg_b}, fgCodeRaw.c_str(),
                  bgCodeRaw.c_str());
    return buffer;
}

} // namespace pushlog
