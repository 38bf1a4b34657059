#include "runtime/HYBBase64.h"

#include <array>

namespace runtime {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kSkip = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kSkip;
    for (std::uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecodeTable = makeDecodeTable();

} // namespace

platform::Bytes hybBase64Decode(std::string_view text) {
    platform::Bytes out;
    out.reserve((text.size() + 3) / 4 * 3);
    std::uint32_t group = 0;
    int collected = 0;
    for (char c : text) {
        std::uint8_t value = kDecodeTable[static_cast<unsigned char>(c)];
        if (value == kSkip)
            continue;
        group = (group << 6) | value;
        if (++collected < 4)
            continue;
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
        out.push_back(static_cast<std::uint8_t>(group));
        group = 0;
        collected = 0;
    }
    // A partial group: three values carry two bytes, two values one byte, one value nothing.
    if (collected == 3) {
        group <<= 6;
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
    } else if (collected == 2) {
        group <<= 12;
        out.push_back(static_cast<std::uint8_t>(group >> 16));
    }
    return out;
}

std::string hybBase64Encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    hybBase64Append(out, bytes);
    return out;
}

void hybBase64Append(std::string& out, std::span<const std::uint8_t> bytes) {
    out.reserve(out.size() + base64Length(bytes.size()));
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t group = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(kAlphabet[(group >> 18) & 63]);
        out.push_back(kAlphabet[(group >> 12) & 63]);
        out.push_back(kAlphabet[(group >> 6) & 63]);
        out.push_back(kAlphabet[group & 63]);
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 0)
        return;
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2)
        group |= std::uint32_t{bytes[i + 1]} << 8;
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
}

} // namespace runtime
