// Framing the received byte stream: chunk shapes, the buffer's bounds with the largest packets, and
// lengths that cannot be framed.
#include "push/PULSEPacketReassembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using push::PULSEPacketReassembler;
using Bytes = std::vector<std::uint8_t>;

Bytes packet(std::size_t length, std::uint8_t fill) {
    Bytes bytes(length, fill);
    bytes[0] = static_cast<std::uint8_t>(length >> 8);
    bytes[1] = static_cast<std::uint8_t>(length);
    return bytes;
}

// Feeds the stream in chunks of the given size, as far as the free space takes them; answers the
// packets framed.
std::vector<Bytes> feed(PULSEPacketReassembler& reassembler, const Bytes& stream, std::size_t chunk) {
    std::vector<Bytes> packets;
    std::size_t offset = 0;
    while (offset < stream.size()) {
        auto space = reassembler.freeSpace();
        EXPECT_FALSE(space.empty());
        const std::size_t count = std::min({chunk, space.size(), stream.size() - offset});
        std::memcpy(space.data(), stream.data() + offset, count);
        reassembler.received(count);
        offset += count;
        EXPECT_EQ(reassembler.frame([&](push::PULSEBytesView bytes) {
            packets.emplace_back(bytes.begin(), bytes.end());
            return true;
        }),
                  PULSEPacketReassembler::Outcome::NeedMore);
    }
    return packets;
}

TEST(PacketReassemblerTest, FramesAnyChunkShapeInOrder) {
    Bytes stream;
    std::vector<Bytes> expected;
    for (std::size_t i = 0; i < 300; ++i) {
        expected.push_back(packet(6 + i * 37 % 400, static_cast<std::uint8_t>(i)));
        stream.insert(stream.end(), expected.back().begin(), expected.back().end());
    }
    for (std::size_t chunk : {std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(4096), stream.size()}) {
        PULSEPacketReassembler reassembler;
        EXPECT_EQ(feed(reassembler, stream, chunk), expected) << "chunk " << chunk;
        EXPECT_EQ(reassembler.receivedLength(), 0u);
    }
}

TEST(PacketReassemblerTest, LargestPacketsBackToBackStayWithinTheBuffer) {
    Bytes stream;
    for (int i = 0; i < 6; ++i) {
        const auto largest = packet(65535, static_cast<std::uint8_t>(i + 1));
        stream.insert(stream.end(), largest.begin(), largest.end());
    }
    PULSEPacketReassembler reassembler;
    const auto packets = feed(reassembler, stream, PULSEPacketReassembler::kCapacity);
    ASSERT_EQ(packets.size(), 6u);
    EXPECT_EQ(packets[5], packet(65535, 6));
}

TEST(PacketReassemblerTest, ShortLengthsFrameZeroStopsAndResetInsideTheCallbackEnds) {
    PULSEPacketReassembler reassembler;
    const Bytes stream = {0, 3, 9, 0, 2, 0, 0, 0, 4};
    auto space = reassembler.freeSpace();
    std::memcpy(space.data(), stream.data(), stream.size());
    reassembler.received(stream.size());
    std::vector<std::size_t> lengths;
    EXPECT_EQ(reassembler.frame([&](push::PULSEBytesView bytes) {
        lengths.push_back(bytes.size());
        return true;
    }),
              PULSEPacketReassembler::Outcome::ZeroLength);
    EXPECT_EQ(lengths, (std::vector<std::size_t>{3, 2}));
    EXPECT_EQ(reassembler.receivedLength(), 4u);

    reassembler.reset();
    const Bytes two = {0, 2, 0, 2, 0, 2};
    space = reassembler.freeSpace();
    std::memcpy(space.data(), two.data(), two.size());
    reassembler.received(two.size());
    int calls = 0;
    EXPECT_EQ(reassembler.frame([&](push::PULSEBytesView) {
        ++calls;
        reassembler.reset();
        return false;
    }),
              PULSEPacketReassembler::Outcome::Stopped);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reassembler.receivedLength(), 0u);
    EXPECT_EQ(reassembler.freeSpace().size(), PULSEPacketReassembler::kCapacity);
}

} // namespace
