#include "push/PULSEPacketReassembler.h"

#include <algorithm>
#include <cstring>

namespace push {

std::span<std::uint8_t> PULSEPacketReassembler::freeSpace() {
    if (m_start > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + m_start, m_length - m_start);
        m_length -= m_start;
        m_start = 0;
    }
    return {m_buffer.get() + m_length, kCapacity - m_length};
}

void PULSEPacketReassembler::received(std::size_t count) {
    m_length += std::min(count, kCapacity - m_length);
}

PULSEPacketReassembler::Outcome PULSEPacketReassembler::frame(const std::function<bool(PULSEBytesView packet)>& deliver) {
    while (m_length - m_start >= 2) {
        const std::uint8_t* head = m_buffer.get() + m_start;
        const std::size_t length = static_cast<std::size_t>((head[0] << 8) | head[1]);
        if (length == 0)
            return Outcome::ZeroLength;
        if (m_length - m_start < length)
            break;
        // Consumed before the call, so a reset from inside it leaves nothing behind.
        m_start += length;
        if (!deliver(PULSEBytesView(head, length)))
            return Outcome::Stopped;
    }
    return Outcome::NeedMore;
}

void PULSEPacketReassembler::reset() {
    std::memset(m_buffer.get(), 0, 8);
    m_start = 0;
    m_length = 0;
}

} // namespace push
