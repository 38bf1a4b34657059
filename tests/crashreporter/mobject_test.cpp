#include "crashreporter/crsh_async_mobject.h"

#include "TestMemory.h"

#include <gtest/gtest.h>

namespace {

using crashtest::pageSize;
using crashtest::PlacedBytes;

std::vector<std::uint8_t> counting(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    return bytes;
}

TEST(CrashMemoryObject, KeepsTheInPageOffsetOfAMidPageStart)
{
    PlacedBytes placed(counting(pageSize()));
    crsh_async_mobject object;
    ASSERT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address() + 100, 50, true), CRSH_ERR_NONE);
    EXPECT_EQ(object.address % pageSize(), 100u);
    EXPECT_EQ(crsh_async_mobject_base_address(&object), placed.address() + 100);
    EXPECT_EQ(crsh_async_mobject_length(&object), 50u);
    EXPECT_EQ(crsh_async_mobject_task(&object), getpid());
    EXPECT_EQ(*static_cast<const std::uint8_t*>(crsh_async_mobject_remap_address(&object, placed.address(), 120, 1)),
              static_cast<std::uint8_t>(120 * 7));
    crsh_async_mobject_free(&object);
}

TEST(CrashMemoryObject, IsASnapshotThatLaterWritesDoNotChange)
{
    PlacedBytes placed(counting(64));
    crsh_async_mobject object;
    ASSERT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address(), 64, true), CRSH_ERR_NONE);
    placed.data()[3] = 0xEE;
    std::uint8_t value = 0;
    ASSERT_EQ(crsh_async_mobject_read_uint8(&object, placed.address(), 3, &value), CRSH_ERR_NONE);
    EXPECT_EQ(value, 21);
    crsh_async_mobject_free(&object);
}

TEST(CrashMemoryObject, StopsAtAnUnreadablePageUnlessTheWholeRangeIsRequired)
{
    // The second page of the range is the unreadable guard page.
    PlacedBytes placed(counting(pageSize()));
    crsh_async_mobject object;
    ASSERT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address() + 16, pageSize(), false), CRSH_ERR_NONE);
    EXPECT_EQ(crsh_async_mobject_length(&object), pageSize() - 16);
    EXPECT_EQ(object.vm_length, pageSize());
    crsh_async_mobject_free(&object);

    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address() + 16, pageSize(), true), CRSH_ERR_NO_MEMORY);
    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address() + pageSize(), 8, false), CRSH_ERR_NO_MEMORY);
    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), 0, 8, false), CRSH_ERR_NO_MEMORY);
}

TEST(CrashMemoryObject, RefusesEmptyAndWrappingRanges)
{
    crsh_async_mobject object;
    PlacedBytes placed(counting(16));
    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address(), 0, false), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), UINT64_MAX - 8, 16, false), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), UINT64_MAX - 8, 4, false), CRSH_ERR_INVALID_ARGUMENT);
    // Too long to copy in full.
    EXPECT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address(), CRSH_ASYNC_MOBJECT_MAX_LENGTH + 1, true),
              CRSH_ERR_NO_MEMORY);
}

TEST(CrashMemoryObject, RemapAcceptsRangesUpToTheLastByteOnly)
{
    PlacedBytes placed(counting(256));
    crsh_async_mobject object;
    const crsh_vm_address_t base = placed.address() + 32;
    ASSERT_EQ(crsh_async_mobject_init(&object, getpid(), base, 128, true), CRSH_ERR_NONE);
    EXPECT_NE(crsh_async_mobject_remap_address(&object, base, 0, 128), nullptr);
    EXPECT_NE(crsh_async_mobject_remap_address(&object, base + 100, 20, 8), nullptr);
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base + 100, 20, 9), nullptr);
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base, 0, 129), nullptr);
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base, -1, 1), nullptr);
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base + 10, -10, 1), reinterpret_cast<const void*>(object.address));
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base, 128, 0), reinterpret_cast<const void*>(object.address + 128));
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base, INT64_MAX, 1), nullptr);
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, UINT64_MAX, 1, 1), nullptr);
    EXPECT_EQ(crsh_async_mobject_remap_address(&object, base, 0, UINT64_MAX), nullptr);

    const std::uintptr_t local = object.address;
    EXPECT_TRUE(crsh_async_mobject_verify_local_pointer(&object, local, 0, 128));
    EXPECT_TRUE(crsh_async_mobject_verify_local_pointer(&object, local + 128, -8, 8));
    EXPECT_FALSE(crsh_async_mobject_verify_local_pointer(&object, local, 1, 128));
    EXPECT_FALSE(crsh_async_mobject_verify_local_pointer(&object, local, -1, 1));
    EXPECT_FALSE(crsh_async_mobject_verify_local_pointer(&object, local, 0, UINT64_MAX));
    EXPECT_FALSE(crsh_async_mobject_verify_local_pointer(&object, UINTPTR_MAX, 1, 0));
    crsh_async_mobject_free(&object);
}

TEST(CrashMemoryObject, ValueReadsAreBoundedAndByteOrdered)
{
    PlacedBytes placed({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99});
    crsh_async_mobject object;
    ASSERT_EQ(crsh_async_mobject_init(&object, getpid(), placed.address(), 9, true), CRSH_ERR_NONE);
    std::uint16_t u16 = 0;
    std::uint32_t u32 = 0;
    std::uint64_t u64 = 0;
    EXPECT_EQ(crsh_async_mobject_read_uint16(&object, &crsh_async_byteorder_swapped, placed.address(), 7, &u16), CRSH_ERR_NONE);
    EXPECT_EQ(u16, 0x8899);
    EXPECT_EQ(crsh_async_mobject_read_uint32(&object, &crsh_async_byteorder_direct, placed.address(), 5, &u32), CRSH_ERR_NONE);
    EXPECT_EQ(u32, 0x99887766u);
    EXPECT_EQ(crsh_async_mobject_read_uint64(&object, &crsh_async_byteorder_direct, placed.address(), 1, &u64), CRSH_ERR_NONE);
    EXPECT_EQ(u64, 0x9988776655443322u);
    EXPECT_EQ(crsh_async_mobject_read_uint64(&object, &crsh_async_byteorder_direct, placed.address(), 2, &u64),
              CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_async_mobject_read_uint32(&object, &crsh_async_byteorder_direct, placed.address(), -1, &u32),
              CRSH_ERR_INVALID_ARGUMENT);
    std::uint8_t u8 = 0;
    EXPECT_EQ(crsh_async_mobject_read_uint8(&object, placed.address(), 9, &u8), CRSH_ERR_INVALID_ARGUMENT);
    crsh_async_mobject_free(&object);
}

} // namespace
