// The fixed colour tables of the terminal logger: 16 ANSI colours with their code texts, and the 240
// colours of codes 16 to 255 of a 256-colour terminal.
#pragma once

#include <array>
#include <cstdint>

namespace pushlog {

struct RGB8 {
    std::uint8_t r, g, b;
};

struct TerminalColor {
    const char* foregroundCode;
    const char* backgroundCode;
    std::uint8_t r, g, b;
};

const std::array<TerminalColor, 16>& terminalColors16();
const std::array<RGB8, 240>& terminalColors256();

} // namespace pushlog
