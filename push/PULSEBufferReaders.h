// The big-endian readers with which every received packet is parsed.
//
// Each reader takes the packet's valid bytes and an offset (16 bits, as the packet format has it) that
// it advances by the size of its field at once, whether the read succeeds or not:
// - a read that ends exactly at the end of the bytes succeeds; one that would pass it gives 0;
// - an offset that wraps past 65535 makes the read fail (0), and the offset keeps the wrapped value;
// - so a parser that keeps reading after the end gets zeros and never touches memory outside the bytes.
//
// Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace push {

using PULSEBytesView = std::span<const std::uint8_t>;

std::uint8_t PULSEReadInt8(PULSEBytesView bytes, std::uint16_t& offset);
std::uint16_t PULSEReadInt16(PULSEBytesView bytes, std::uint16_t& offset);
std::uint32_t PULSEReadInt32(PULSEBytesView bytes, std::uint16_t& offset);
std::uint64_t PULSEReadInt64(PULSEBytesView bytes, std::uint16_t& offset);

// A 16-bit big-endian byte count, then that many UTF-8 bytes. The offset moves past the count and the
// bytes whatever the outcome. A count of 0 (or one that could not be read) gives ""; bytes that run past
// the end, or are not UTF-8, give nothing; a zero byte inside the text ends it.
std::optional<std::string> PULSEReadString(PULSEBytesView bytes, std::uint16_t& offset);

} // namespace push
