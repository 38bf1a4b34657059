#include "platform/files/BoundStreamPair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <thread>

using namespace platform;

TEST(BoundStreamPair, WriterBlocksWhenFullAndEverythingArrivesInOrder) {
    auto [in, out] = BoundStreamPair::make(16);
    ASSERT_TRUE(in->open());
    ASSERT_TRUE(out->open());
    std::string sent;
    for (int i = 0; i < 500; ++i)
        sent += static_cast<char>('a' + i % 26);
    std::thread writer([&, out = out] {
        const auto* p = reinterpret_cast<const std::uint8_t*>(sent.data());
        for (std::size_t done = 0; done < sent.size();) {
            long n = out->write(p + done, sent.size() - done);
            ASSERT_GT(n, 0);
            ASSERT_LE(n, 16);
            done += static_cast<std::size_t>(n);
        }
        out->close();
    });
    std::string received;
    std::uint8_t buffer[7];
    for (long n; (n = in->read(buffer, sizeof buffer)) > 0;)
        received.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
    writer.join();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(in->tryRead(buffer, 1).state, InputStream::ReadState::AtEnd);
}

TEST(BoundStreamPair, ClosedReaderFailsTheBlockedWriter) {
    auto [in, out] = BoundStreamPair::make(4);
    ASSERT_TRUE(in->open());
    ASSERT_TRUE(out->open());
    const std::uint8_t data[8] = {};
    ASSERT_EQ(out->write(data, 8), 4);
    EXPECT_FALSE(out->hasSpaceAvailable());
    auto blocked = std::async(std::launch::async, [out = out, &data] { return out->write(data, 8); });
    in->close();
    EXPECT_EQ(blocked.get(), -1);
    EXPECT_EQ(out->streamError().code, EPIPE);
}

TEST(BoundStreamPair, ReadableHandlerFiresOnceForDataAndForTheEnd) {
    auto [in, out] = BoundStreamPair::make();
    ASSERT_TRUE(in->open());
    ASSERT_TRUE(out->open());
    std::uint8_t buffer[4];
    EXPECT_EQ(in->tryRead(buffer, 4).state, InputStream::ReadState::WouldBlock);
    std::atomic<int> calls{0};
    in->setReadableHandler([&] { ++calls; });
    const std::uint8_t byte = 7;
    ASSERT_EQ(out->write(&byte, 1), 1);
    ASSERT_EQ(out->write(&byte, 1), 1);
    EXPECT_EQ(calls, 1); // one call per handler set
    auto outcome = in->tryRead(buffer, 4);
    EXPECT_EQ(outcome.state, InputStream::ReadState::Bytes);
    EXPECT_EQ(outcome.count, 2u);
    in->setReadableHandler([&] { ++calls; });
    out->close();
    EXPECT_EQ(calls, 2);
    // A handler set when the end is already there runs at once.
    in->setReadableHandler([&] { ++calls; });
    EXPECT_EQ(calls, 3);
}

TEST(BoundStreamPair, UnopenedOrClosedEndsRefuse) {
    auto [in, out] = BoundStreamPair::make();
    const std::uint8_t byte = 1;
    EXPECT_EQ(out->write(&byte, 1), -1);
    std::uint8_t buffer[1];
    EXPECT_EQ(in->read(buffer, 1), -1);
    ASSERT_TRUE(out->open());
    out->close();
    EXPECT_FALSE(out->open());
    EXPECT_EQ(out->write(&byte, 1), -1);
}
