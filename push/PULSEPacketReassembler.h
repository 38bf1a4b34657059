// The reassembly of the TCP byte stream into packets framed by their big-endian u16 length (header
// included): the fixed buffer the socket receives into, and the framing of what it holds.
//
// Guarantees:
// - One buffer of kCapacity (100240) bytes for the reassembler's life. Receives go only into
//   freeSpace(), so bytes from the network can never pass the buffer's end; since a packet is at most
//   65535 bytes, at most 65534 unframed bytes stay behind a framing pass and freeSpace() is never empty.
// - frame() hands every complete packet to the callback in order, as a view into the buffer that is
//   valid during the call. Lengths 1-5 are framed like any other (the dispatcher drops them); a length
//   of 0 cannot be framed and ends the pass with ZeroLength (the bytes stay until reset()).
// - The callback may reset() the reassembler (the socket closing): framing then stops at once.
// - Thread: one thread at a time (the socket's).
#pragma once

#include "push/PULSEBufferReaders.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace push {

class PULSEPacketReassembler {
public:
    static constexpr std::size_t kCapacity = 100240;

    enum class Outcome {
        NeedMore,   // every complete packet was framed; fewer bytes than the next one needs remain
        ZeroLength, // a length of 0 stopped framing
        Stopped,    // the callback answered false
    };

    PULSEPacketReassembler() : m_buffer(new std::uint8_t[kCapacity]) {}

    // Where the next receive may write (at most this many bytes); moves the unframed rest to the front
    // first.
    std::span<std::uint8_t> freeSpace();
    // Counts bytes a receive wrote into freeSpace() (at most its size).
    void received(std::size_t count);
    // Frames what is held. The callback answers false to stop.
    Outcome frame(const std::function<bool(PULSEBytesView packet)>& deliver);
    // Forgets everything held.
    void reset();
    // Bytes held and not yet framed.
    std::size_t receivedLength() const { return m_length - m_start; }
    // Those bytes (the start of the next packet), valid until the next call that changes the buffer.
    PULSEBytesView held() const { return {m_buffer.get() + m_start, m_length - m_start}; }

private:
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::size_t m_start = 0;  // the first unframed byte
    std::size_t m_length = 0; // the end of the bytes held
};

} // namespace push
