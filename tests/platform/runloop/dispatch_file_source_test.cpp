#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchFileSource.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/DispatchSemaphore.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>

#include <fcntl.h>
#include <unistd.h>

using namespace platform;

namespace {

class DispatchFileSourceTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_path = m_home.folders().caches() + "/log.txt";
        ASSERT_TRUE(FileManager::defaultManager().createFile(m_path, Bytes{'x'}));
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
    }
    void TearDown() override { ::close(m_fd); }
    std::string m_path;
    int m_fd = -1;
    std::shared_ptr<DispatchQueue> m_queue = DispatchQueue::createSerial("file events");
};

TEST_F(DispatchFileSourceTest, RenameThenDeleteOfTheOpenFileAreReported) {
    auto made = DispatchFileSource::create(m_fd, DispatchFileSource::Delete | DispatchFileSource::Rename, m_queue);
    ASSERT_TRUE(made);
    auto source = *made;
    DispatchSemaphore event;
    std::atomic<unsigned> seen{0};
    source->setEventHandler([&](unsigned events) {
        seen |= events;
        event.signal();
    });
    source->resume();
    ASSERT_TRUE(FileManager::defaultManager().moveItem(m_path, m_path + ".1"));
    ASSERT_TRUE(event.wait(std::chrono::seconds(10)));
    EXPECT_EQ(seen.load() & DispatchFileSource::Rename, DispatchFileSource::Rename);
    ASSERT_TRUE(FileManager::defaultManager().removeItem(m_path + ".1"));
    while (!(seen.load() & DispatchFileSource::Delete))
        ASSERT_TRUE(event.wait(std::chrono::seconds(10)));
    DispatchSemaphore cancelled;
    source->setCancelHandler([&] { cancelled.signal(); });
    source->cancel();
    EXPECT_TRUE(cancelled.wait(std::chrono::seconds(10)));
}

TEST_F(DispatchFileSourceTest, OnlyRequestedEventsAndABadDescriptorIsAnError) {
    auto made = DispatchFileSource::create(m_fd, DispatchFileSource::Delete, m_queue);
    ASSERT_TRUE(made);
    std::atomic<unsigned> seen{0};
    DispatchSemaphore event;
    (*made)->setEventHandler([&](unsigned events) {
        seen |= events;
        event.signal();
    });
    (*made)->resume();
    ASSERT_TRUE(FileManager::defaultManager().moveItem(m_path, m_path + ".moved")); // not asked for
    ASSERT_TRUE(FileManager::defaultManager().removeItem(m_path + ".moved"));
    ASSERT_TRUE(event.wait(std::chrono::seconds(10)));
    EXPECT_EQ(seen.load(), static_cast<unsigned>(DispatchFileSource::Delete));
    (*made)->cancel();

    auto bad = DispatchFileSource::create(987654, DispatchFileSource::Delete, m_queue);
    EXPECT_FALSE(bad);
}

} // namespace
