#include "push/PULSEFIFOQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

using namespace push;

namespace {

struct Request {
    explicit Request(std::uint64_t rid) : rid(rid) {}
    std::uint64_t rid;
};

using Queue = PULSEFIFOQueue<Request, std::uint64_t>;
using RequestPtr = std::shared_ptr<Request>;

Queue makeQueue(std::uint64_t max = 20) {
    return Queue(max, [](const Request& r) { return r.rid; });
}

std::vector<std::uint64_t> rids(const Queue& queue) {
    std::vector<std::uint64_t> out;
    queue.enumerateObjects([&](const RequestPtr& r, std::size_t, bool&) { out.push_back(r->rid); });
    return out;
}

std::vector<RequestPtr> requests(std::uint64_t from, std::uint64_t to) {
    std::vector<RequestPtr> out;
    for (std::uint64_t rid = from; rid <= to; ++rid)
        out.push_back(std::make_shared<Request>(rid));
    return out;
}

} // namespace

TEST(FIFOQueue, TheTwentyFirstEnqueueDropsTheFront) {
    Queue queue = makeQueue();
    const auto all = requests(1, 21);
    for (const auto& r : all)
        queue.enqueue(r);
    EXPECT_EQ(queue.count(), 20);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(1), nullptr);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(21), all[20]);
    EXPECT_EQ(queue.dequeue(), all[1]);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(2), nullptr);
}

TEST(FIFOQueue, HighPriorityInsertsGrowToTheMaximumPlusTwo) {
    Queue queue = makeQueue();
    const auto all = requests(1, 20);
    for (const auto& r : all)
        queue.enqueue(r);
    const auto urgent = requests(100, 102);
    queue.enqueueWithHighPriority(urgent[0]);
    EXPECT_EQ(queue.count(), 21);
    queue.enqueueWithHighPriority(urgent[1]);
    EXPECT_EQ(queue.count(), 22);
    queue.enqueueWithHighPriority(urgent[2]);
    EXPECT_EQ(queue.count(), 22);
    // The third dropped the front (the second urgent one) before going in front itself.
    EXPECT_EQ(rids(queue).front(), 102u);
    EXPECT_EQ(rids(queue)[1], 100u);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(101), nullptr);

    // Into an empty queue it simply goes in.
    Queue empty = makeQueue();
    empty.enqueueWithHighPriority(urgent[0]);
    EXPECT_EQ(rids(empty), (std::vector<std::uint64_t>{100}));
}

TEST(FIFOQueue, KeyedHighPriorityItemIsFoundByBothKeys) {
    Queue queue = makeQueue();
    auto item = std::make_shared<Request>(7);
    queue.enqueue(std::make_shared<Request>(1));
    queue.enqueueHighPriorityItem(item, 900);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(7), item);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(900), item);
    EXPECT_EQ(queue.dequeue(), item);
    // Its own key is gone; the given key still finds it while it lives elsewhere...
    EXPECT_EQ(queue.getObjectFromQueueWithKey(7), nullptr);
    EXPECT_EQ(queue.getObjectFromQueueWithKey(900), item);
    // ...and reads as absent once it is freed.
    item.reset();
    EXPECT_EQ(queue.getObjectFromQueueWithKey(900), nullptr);
    queue.enqueueHighPriorityItem(nullptr, 5);
    EXPECT_EQ(queue.count(), 1);
}

TEST(FIFOQueue, KeyedEnqueueAndDequeueByKey) {
    Queue queue = makeQueue(2);
    const auto all = requests(1, 3);
    queue.enqueueItem(all[0], 50);
    queue.enqueueItem(nullptr, 51);
    EXPECT_EQ(queue.count(), 1);
    EXPECT_EQ(queue.dequeueItemWithKey(50), all[0]);
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.dequeueItemWithKey(50), nullptr);

    for (const auto& r : all)
        queue.enqueueItem(r, r->rid + 100);
    EXPECT_EQ(rids(queue), (std::vector<std::uint64_t>{2, 3}));
    EXPECT_EQ(queue.dequeueItemWithKey(103), all[2]);
    EXPECT_EQ(rids(queue), (std::vector<std::uint64_t>{2}));
    queue.removeItem(all[1]);
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.dequeue(), nullptr);
}

TEST(FIFOQueue, CopyQueueWithConditions) {
    Queue blocked = makeQueue();
    Queue sending = makeQueue();
    const auto all = requests(1, 4);
    for (const auto& r : all)
        sending.enqueue(r);

    blocked.copyQueue(sending, [](const RequestPtr&) { return false; });
    EXPECT_EQ(blocked.count(), 0);
    EXPECT_EQ(sending.count(), 0);
    EXPECT_EQ(sending.getObjectFromQueueWithKey(1), nullptr);

    for (const auto& r : all)
        sending.enqueue(r);
    blocked.copyQueue(sending, [](const RequestPtr& r) { return r->rid % 2 == 0; });
    EXPECT_EQ(rids(blocked), (std::vector<std::uint64_t>{2, 4}));
    EXPECT_EQ(rids(sending), (std::vector<std::uint64_t>{2, 4}));

    Queue copy = blocked;
    blocked.copyQueue(copy);
    EXPECT_EQ(rids(blocked), (std::vector<std::uint64_t>{2, 4, 2, 4}));
    EXPECT_EQ(copy.count(), 2);

    // Accepted items past the receiver's bound push its front items out.
    Queue small = makeQueue(3);
    Queue many = makeQueue();
    for (const auto& r : requests(1, 5))
        many.enqueue(r);
    small.copyQueue(many, [](const RequestPtr&) { return true; });
    EXPECT_EQ(rids(small), (std::vector<std::uint64_t>{3, 4, 5}));
    EXPECT_EQ(many.count(), 5);
}

TEST(FIFOQueue, EnumerationOrderAndStop) {
    Queue queue = makeQueue();
    for (const auto& r : requests(1, 4))
        queue.enqueue(r);
    std::vector<std::uint64_t> seen;
    queue.enumerateObjects(
        [&](const RequestPtr& r, std::size_t index, bool& stop) {
            seen.push_back(r->rid * 10 + index);
            stop = seen.size() == 2;
        },
        PULSEEnumerationOptions::Reverse);
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{43, 32}));
}

TEST(FIFOQueue, FreedEntriesUnderOtherKeysDoNotPileUp) {
    Queue queue = makeQueue();
    for (std::uint64_t i = 0; i < 10000; ++i) {
        auto r = std::make_shared<Request>(i);
        queue.enqueueHighPriorityItem(r, 1'000'000 + i);
        queue.dequeue();
    }
    EXPECT_EQ(queue.count(), 0);
    // Every item is freed, so every entry reads as absent; and the sweep kept the map small.
    EXPECT_EQ(queue.getObjectFromQueueWithKey(1'000'000 + 9999), nullptr);
    EXPECT_LE(queue.keyCount(), 40u);
}
