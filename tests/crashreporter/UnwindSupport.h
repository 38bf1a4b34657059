// Helpers for the frame readers' tests: register states, fake stacks in the test's own memory, bytes
// mapped as a memory object, and hand-made __unwind_info sections.
#pragma once

#include "crashreporter/crsh_macho.h"
#include "crashreporter/crsh_thread_state.h"

#include "CFIBuilder.h"
#include "TestMemory.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace crashtest {

// An arm64 state holding exactly the given registers.
inline crsh_thread_state arm64State(std::initializer_list<std::pair<crsh_regnum_t, std::uint64_t>> registers)
{
    crsh_thread_state state;
    EXPECT_EQ(crsh_thread_state_init(&state, CRSH_CPU_TYPE_ARM64), CRSH_ERR_NONE);
    for (const auto& [index, value] : registers)
        crsh_thread_state_set_reg(&state, index, value);
    return state;
}

inline std::uint64_t reg(const crsh_thread_state& state, crsh_regnum_t index)
{
    EXPECT_TRUE(crsh_thread_state_has_reg(&state, index)) << crsh_thread_state_get_reg_name(&state, index);
    return crsh_thread_state_get_reg(&state, index);
}

// Words on a fake stack; slot i is at address(i).
class FakeStack {
public:
    explicit FakeStack(std::size_t words) : m_words(words, 0) {}
    std::uint64_t address(std::size_t slot) const { return reinterpret_cast<std::uint64_t>(&m_words[slot]); }
    std::uint64_t& operator[](std::size_t slot) { return m_words[slot]; }
    // A frame record (caller's fp, return address) at slot.
    void record(std::size_t slot, std::uint64_t callerFp, std::uint64_t returnAddress)
    {
        m_words[slot] = callerFp;
        m_words[slot + 1] = returnAddress;
    }

private:
    std::vector<std::uint64_t> m_words;
};

// Bytes that end right before an unreadable page, with a memory object over them.
class MappedBytes {
public:
    explicit MappedBytes(const std::vector<std::uint8_t>& bytes) : m_placed(bytes.empty() ? std::vector<std::uint8_t>{0} : bytes, true)
    {
        EXPECT_EQ(crsh_async_mobject_init(&m_mobj, getpid(), m_placed.address(), bytes.empty() ? 1 : bytes.size(), true),
                  CRSH_ERR_NONE);
    }
    explicit MappedBytes(const Bytes& bytes) : MappedBytes(bytes.data()) {}
    ~MappedBytes() { crsh_async_mobject_free(&m_mobj); }
    MappedBytes(const MappedBytes&) = delete;
    MappedBytes& operator=(const MappedBytes&) = delete;

    crsh_vm_address_t address(std::size_t offset = 0) const { return m_placed.address() + offset; }
    const crsh_async_mobject* mobj() const { return &m_mobj; }
    // The first unreadable address after the bytes.
    crsh_vm_address_t end() const { return m_placed.address() + crsh_async_mobject_length(&m_mobj); }

private:
    PlacedBytes m_placed;
    crsh_async_mobject m_mobj{};
};

// An __unwind_info section with one second-level page per call, regular or compressed.
class UnwindInfoBuilder {
public:
    struct Function {
        std::uint32_t offset;
        std::uint32_t encoding; // regular pages: the encoding; compressed ones: the encoding index
    };
    std::vector<std::uint32_t> common;

    void regularPage(std::vector<Function> functions) { m_pages.push_back({false, std::move(functions), {}}); }
    void compressedPage(std::vector<Function> functions, std::vector<std::uint32_t> own)
    {
        m_pages.push_back({true, std::move(functions), std::move(own)});
    }

    // Offsets into the built bytes, set by build().
    std::size_t indexOffset = 0;
    std::vector<std::size_t> pageOffsets;

    std::vector<std::uint8_t> build(std::uint32_t sentinelOffset = 0xFFFFF)
    {
        const std::uint32_t commonOffset = 28;
        indexOffset = commonOffset + 4 * common.size();
        std::size_t pageStart = indexOffset + 12 * (m_pages.size() + 1);
        pageOffsets.clear();
        Bytes pages;
        for (const Page& page : m_pages) {
            pageOffsets.push_back(pageStart + pages.size());
            if (page.compressed) {
                const std::uint16_t entries = 12;
                pages.u32(3).u16(entries).u16(static_cast<std::uint16_t>(page.functions.size()));
                pages.u16(static_cast<std::uint16_t>(entries + 4 * page.functions.size()));
                pages.u16(static_cast<std::uint16_t>(page.own.size()));
                for (const Function& function : page.functions)
                    pages.u32(((function.offset - page.functions[0].offset) & 0xFFFFFF) | (function.encoding << 24));
                for (std::uint32_t encoding : page.own)
                    pages.u32(encoding);
            } else {
                pages.u32(2).u16(8).u16(static_cast<std::uint16_t>(page.functions.size()));
                for (const Function& function : page.functions)
                    pages.u32(function.offset).u32(function.encoding);
            }
        }
        Bytes section;
        section.u32(1).u32(commonOffset).u32(static_cast<std::uint32_t>(common.size()));
        section.u32(static_cast<std::uint32_t>(indexOffset)).u32(0);
        section.u32(static_cast<std::uint32_t>(indexOffset)).u32(static_cast<std::uint32_t>(m_pages.size() + 1));
        for (std::uint32_t encoding : common)
            section.u32(encoding);
        for (std::size_t i = 0; i < m_pages.size(); ++i)
            section.u32(m_pages[i].functions.empty() ? 0 : m_pages[i].functions[0].offset)
                .u32(static_cast<std::uint32_t>(pageOffsets[i]))
                .u32(0);
        section.u32(sentinelOffset).u32(0).u32(0);
        section.raw(pages.data());
        return section.data();
    }

private:
    struct Page {
        bool compressed;
        std::vector<Function> functions;
        std::vector<std::uint32_t> own;
    };
    std::vector<Page> m_pages;
};

inline void put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value)
{
    std::memcpy(&bytes[offset], &value, 4);
}

} // namespace crashtest
