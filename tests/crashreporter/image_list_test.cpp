#include "crashreporter/crsh_image_list.h"

#include "FixtureDumps.h"
#include "MachOBuilder.h"
#include "TestMemory.h"
#include "support/MachOLoader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

using Node = crsh_image_list_node;

std::unique_ptr<hybtest::MachOLoader> loadFixture()
{
    return hybtest::MachOLoader::load(crashtest::fixturePath("arm64_image.dylib"));
}

class CrashImageList : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(crsh_image_list_init(&m_list, getpid()), CRSH_ERR_NONE);
        for (int i = 0; i < 4; ++i) {
            m_loaders.push_back(loadFixture());
            ASSERT_NE(m_loaders.back(), nullptr);
        }
    }
    void TearDown() override { crsh_image_list_free(&m_list); }

    std::vector<crsh_vm_address_t> listed()
    {
        std::vector<crsh_vm_address_t> headers;
        crsh_image_list_set_reading(&m_list, true);
        for (crsh_macho_image* image = crsh_image_list_next(&m_list, nullptr); image != nullptr;
             image = crsh_image_list_next(&m_list, image))
            headers.push_back(image->header_addr);
        crsh_image_list_set_reading(&m_list, false);
        return headers;
    }

    // Head, tail and the back links agree with the forward links.
    void expectConsistentLinks()
    {
        auto* list = m_list.list;
        Node* previous = nullptr;
        for (Node* node = list->head(); node != nullptr; node = node->next.load()) {
            EXPECT_EQ(node->previous, previous);
            previous = node;
        }
        EXPECT_EQ(list->tail(), previous);
    }

    crsh_vm_address_t header(int i) const { return m_loaders[static_cast<std::size_t>(i)]->headerAddress(); }

    crsh_image_list m_list{};
    std::vector<std::unique_ptr<hybtest::MachOLoader>> m_loaders;
};

TEST_F(CrashImageList, ListsImagesInOrderAndFindsThemByAddress)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m_loaders[static_cast<std::size_t>(i)]->appendTo(&m_list), CRSH_ERR_NONE);
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(0), header(1), header(2)}));
    expectConsistentLinks();

    crsh_image_list_set_reading(&m_list, true);
    for (int i = 0; i < 3; ++i) {
        crsh_macho_image* found = crsh_image_list_find(&m_list, header(i) + 0x300);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->header_addr, header(i));
        EXPECT_EQ(crsh_image_list_find(&m_list, header(i) + found->text_size - 1), found);
        EXPECT_NE(crsh_image_list_find(&m_list, header(i) + found->text_size), found);
        EXPECT_NE(crsh_image_list_find(&m_list, header(i) - 1), found);
    }
    EXPECT_EQ(crsh_image_list_find(&m_list, header(3)), nullptr);
    crsh_image_list_set_reading(&m_list, false);
}

TEST_F(CrashImageList, RemovingHeadMiddleAndLastKeepsTheLinks)
{
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(m_loaders[static_cast<std::size_t>(i)]->appendTo(&m_list), CRSH_ERR_NONE);
    crsh_image_list_remove(&m_list, header(0));
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(1), header(2), header(3)}));
    expectConsistentLinks();
    crsh_image_list_remove(&m_list, header(2));
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(1), header(3)}));
    expectConsistentLinks();
    crsh_image_list_remove(&m_list, header(3));
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(1)}));
    expectConsistentLinks();
    crsh_image_list_remove(&m_list, header(3)); // no longer listed: nothing happens
    crsh_image_list_remove(&m_list, 12345);
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(1)}));
    crsh_image_list_remove(&m_list, header(1));
    EXPECT_EQ(m_list.list->head(), nullptr);
    EXPECT_EQ(m_list.list->tail(), nullptr);
    crsh_image_list_set_reading(&m_list, true);
    EXPECT_EQ(crsh_image_list_next(&m_list, nullptr), nullptr);
    crsh_image_list_set_reading(&m_list, false);
}

TEST_F(CrashImageList, RemovedNodeIsReusedByTheNextAppend)
{
    ASSERT_EQ(m_loaders[0]->appendTo(&m_list), CRSH_ERR_NONE);
    ASSERT_EQ(m_loaders[1]->appendTo(&m_list), CRSH_ERR_NONE);
    Node* removed = m_list.list->head();
    crsh_image_list_remove(&m_list, header(0));
    EXPECT_EQ(m_list.list->freeList(), removed);
    ASSERT_EQ(m_loaders[2]->appendTo(&m_list), CRSH_ERR_NONE);
    EXPECT_EQ(m_list.list->freeList(), nullptr);
    EXPECT_EQ(m_list.list->tail(), removed);
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(1), header(2)}));
    expectConsistentLinks();
}

TEST_F(CrashImageList, ReaderStandingOnARemovedImageWalksOn)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m_loaders[static_cast<std::size_t>(i)]->appendTo(&m_list), CRSH_ERR_NONE);
    crsh_image_list_set_reading(&m_list, true);
    crsh_macho_image* first = crsh_image_list_next(&m_list, nullptr);
    crsh_macho_image* second = crsh_image_list_next(&m_list, first);
    crsh_image_list_remove(&m_list, header(1));
    // The record and its node stay valid while this reader holds them.
    EXPECT_EQ(second->header_addr, header(1));
    crsh_macho_image* third = crsh_image_list_next(&m_list, second);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->header_addr, header(2));
    crsh_image_list_set_reading(&m_list, false);
}

TEST_F(CrashImageList, FailedAppendsListNothing)
{
    m_list.list->setNodeAllocator([](std::size_t) -> void* { return nullptr; });
    EXPECT_EQ(m_loaders[0]->appendTo(&m_list), CRSH_ERR_NO_MEMORY);
    EXPECT_EQ(m_list.list->head(), nullptr);
    EXPECT_EQ(m_list.list->tail(), nullptr);
    m_list.list->setNodeAllocator(std::malloc);

    crashtest::PlacedBytes notAnImage({0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(crsh_image_list_append(&m_list, notAnImage.address(), "elf"), CRSH_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(crsh_image_list_append(&m_list, 0, "nowhere"), CRSH_ERR_INTERNAL);
    EXPECT_TRUE(listed().empty());
    ASSERT_EQ(m_loaders[0]->appendTo(&m_list), CRSH_ERR_NONE);
    EXPECT_EQ(listed(), (std::vector<crsh_vm_address_t>{header(0)}));
}

TEST_F(CrashImageList, WritersAndReadersOnFourThreads)
{
    constexpr int kRounds = 200;
    std::atomic<int> writersDone{0};
    std::atomic<long> recordsSeen{0};
    const std::set<crsh_vm_address_t> known = {header(0), header(1), header(2), header(3)};
    const crsh_vm_size_t textSize = crashtest::dumpedField("arm64_image", "segname", "__TEXT", "vmsize");
    std::atomic<bool> torn{false};

    auto writer = [&](int first) {
        for (int round = 0; round < kRounds; ++round) {
            for (int i = first; i < first + 2; ++i)
                EXPECT_EQ(crsh_image_list_append(&m_list, header(i), "image"), CRSH_ERR_NONE);
            for (int i = first; i < first + 2; ++i)
                crsh_image_list_remove(&m_list, header(i));
        }
        writersDone.fetch_add(1);
    };
    auto reader = [&] {
        while (writersDone.load() < 2) {
            crsh_image_list_set_reading(&m_list, true);
            int steps = 0;
            for (crsh_macho_image* image = crsh_image_list_next(&m_list, nullptr); image != nullptr && steps < 64;
                 image = crsh_image_list_next(&m_list, image), ++steps) {
                if (known.count(image->header_addr) == 0 || image->text_size != textSize || image->name == nullptr ||
                    std::string(image->name) != "image")
                    torn = true;
                recordsSeen.fetch_add(1);
            }
            crsh_image_list_set_reading(&m_list, false);
        }
    };
    std::thread readers[] = {std::thread(reader), std::thread(reader)};
    std::thread writers[] = {std::thread(writer, 0), std::thread(writer, 2)};
    for (auto& thread : writers)
        thread.join();
    for (auto& thread : readers)
        thread.join();
    EXPECT_FALSE(torn.load());
    EXPECT_TRUE(listed().empty());
    expectConsistentLinks();
}

TEST_F(CrashImageList, TwoWritersRemovingOneImageRetireItOnce)
{
    // A double retirement would free the record twice when the list is freed.
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(m_loaders[static_cast<std::size_t>(i)]->appendTo(&m_list), CRSH_ERR_NONE);
        auto removeAll = [this] {
            for (int i = 0; i < 4; ++i)
                crsh_image_list_remove(&m_list, header(i));
        };
        std::thread first(removeAll), second(removeAll);
        first.join();
        second.join();
        ASSERT_TRUE(listed().empty());
    }
}

TEST(CrashSafeList, WithoutReadersRemoveFreesAtOnce)
{
    crsh_safe_list<std::uintptr_t> list;
    ASSERT_TRUE(list.append(2));
    ASSERT_TRUE(list.append(3));
    ASSERT_TRUE(list.prepend(1));
    std::vector<std::uintptr_t> values;
    for (auto* node = list.head(); node != nullptr; node = crsh_safe_list<std::uintptr_t>::next(node))
        values.push_back(crsh_safe_list<std::uintptr_t>::value(node));
    EXPECT_EQ(values, (std::vector<std::uintptr_t>{1, 2, 3}));
    EXPECT_EQ(list.head()->next.load()->previous, list.head());

    EXPECT_TRUE(list.remove(list.head()->next.load()));
    EXPECT_EQ(list.freeList(), nullptr);
    EXPECT_TRUE(list.remove(list.tail()));
    EXPECT_EQ(list.freeList(), nullptr);
    EXPECT_EQ(list.tail(), list.head());
    // A node of another list is not unlinked.
    crsh_safe_list<std::uintptr_t> other;
    ASSERT_TRUE(other.append(9));
    EXPECT_FALSE(list.remove(other.head()));
    EXPECT_EQ(crsh_safe_list<std::uintptr_t>::value(list.head()), 1u);
    EXPECT_EQ(crsh_safe_list<std::uintptr_t>::value(other.head()), 9u);

    list.setNodeAllocator([](std::size_t) -> void* { return nullptr; });
    EXPECT_FALSE(list.prepend(0));
    EXPECT_EQ(crsh_safe_list<std::uintptr_t>::value(list.head()), 1u);
    EXPECT_TRUE(list.remove(list.head()));
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_FALSE(list.prepend(0));
    EXPECT_EQ(list.head(), nullptr);
}

} // namespace
