// Hand-made call-frame sections (__eh_frame or __debug_frame) for the CFI parser's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crashtest {

class Bytes {
public:
    Bytes& u8(std::uint8_t value)
    {
        m_data.push_back(value);
        return *this;
    }
    Bytes& u16(std::uint16_t value) { return little(value, 2); }
    Bytes& u32(std::uint32_t value) { return little(value, 4); }
    Bytes& u64(std::uint64_t value) { return little(value, 8); }
    Bytes& uleb(std::uint64_t value)
    {
        do {
            std::uint8_t byte = value & 0x7F;
            value >>= 7;
            m_data.push_back(static_cast<std::uint8_t>(byte | (value != 0 ? 0x80 : 0)));
        } while (value != 0);
        return *this;
    }
    Bytes& sleb(std::int64_t value)
    {
        for (;;) {
            std::uint8_t byte = value & 0x7F;
            value >>= 7;
            bool done = (value == 0 && (byte & 0x40) == 0) || (value == -1 && (byte & 0x40) != 0);
            m_data.push_back(static_cast<std::uint8_t>(byte | (done ? 0 : 0x80)));
            if (done)
                return *this;
        }
    }
    Bytes& str(const std::string& text)
    {
        m_data.insert(m_data.end(), text.begin(), text.end());
        m_data.push_back(0);
        return *this;
    }
    Bytes& raw(const std::vector<std::uint8_t>& bytes)
    {
        m_data.insert(m_data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    std::size_t size() const { return m_data.size(); }
    const std::vector<std::uint8_t>& data() const { return m_data; }

private:
    Bytes& little(std::uint64_t value, int count)
    {
        for (int i = 0; i < count; ++i)
            m_data.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        return *this;
    }

    std::vector<std::uint8_t> m_data;
};

// A section under construction: entries are appended with their length fields.
class CFISection {
public:
    // Appends an entry whose content is given; answers the offset of its length field.
    std::size_t entry(const Bytes& content, bool form64 = false)
    {
        std::size_t at = m_section.size();
        if (form64)
            m_section.u32(0xFFFFFFFF).u64(content.size());
        else
            m_section.u32(static_cast<std::uint32_t>(content.size()));
        m_section.raw(content.data());
        return at;
    }
    // Where the content of the next entry will start (after a 4- or 12-byte length field).
    std::size_t nextContent(bool form64 = false) const { return m_section.size() + (form64 ? 12 : 4); }
    void terminator() { m_section.u32(0); }
    void raw(const std::vector<std::uint8_t>& bytes) { m_section.raw(bytes); }
    const std::vector<std::uint8_t>& data() const { return m_section.data(); }
    std::size_t size() const { return m_section.size(); }

private:
    Bytes m_section;
};

} // namespace crashtest
