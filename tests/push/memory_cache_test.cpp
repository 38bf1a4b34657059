#include "PushTest.h"

#include "push/PULSEMemoryCache.h"

#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

#include <gtest/gtest.h>

using namespace push;
using platform::Value;

namespace {

class MemoryCache : public pushtest::PushTest {
protected:
    static void memoryWarning() {
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidReceiveMemoryWarningNotification);
    }
};

std::string key(int i) {
    return "k" + std::to_string(i);
}

} // namespace

TEST_F(MemoryCache, TheDefaultBoundKeeps999Entries) {
    PULSEMemoryCache cache;
    for (int i = 1; i <= 999; ++i)
        cache.setObject(i, key(i));
    EXPECT_EQ(cache.cacheObjects().size(), 999u);
    EXPECT_EQ(cache.cachedCount(), 999);
    EXPECT_TRUE(cache.hasObjectForKey(key(1)));

    cache.setObject(1000, key(1000));
    EXPECT_EQ(cache.cacheObjects().size(), 999u);
    EXPECT_FALSE(cache.hasObjectForKey(key(1)));
    EXPECT_EQ(cache.objectForKey(key(1000)), Value(1000));
    EXPECT_EQ(cache.cacheKeys().front(), key(2));
    EXPECT_EQ(cache.cachedCount(), 999);
}

TEST_F(MemoryCache, ReinsertingAKeyAppendsItAgain) {
    PULSEMemoryCache cache;
    cache.setMaxCacheCount(4);
    cache.setObject("old", "a");
    cache.setObject("b", "b");
    cache.setObject("new", "a");
    EXPECT_EQ(cache.cachedCount(), 3);
    EXPECT_EQ(cache.cacheKeys(), (std::deque<std::string>{"a", "b", "a"}));
    EXPECT_EQ(cache["a"], Value("new"));

    // The fourth insert evicts the first occurrence of "a", and with it the newer object.
    cache.setObject("c", "c");
    EXPECT_EQ(cache.cacheKeys(), (std::deque<std::string>{"b", "a", "c"}));
    EXPECT_FALSE(cache.hasObjectForKey("a"));
    EXPECT_EQ(cache.cachedCount(), 3);
}

TEST_F(MemoryCache, RemovalsAndTheCount) {
    PULSEMemoryCache cache;
    cache.setMaxCacheCount(4);
    cache.setObject(1, "a");
    cache.setObject(2, "b");
    cache.setObject(3, "c");
    cache.removeObjectForKey("a");
    EXPECT_FALSE(cache.hasObjectForKey("a"));
    EXPECT_EQ(cache.cacheKeys(), (std::deque<std::string>{"b", "c"}));
    EXPECT_EQ(cache.cachedCount(), 3); // unchanged: the next insert evicts one key early
    cache.setObject(4, "d");
    EXPECT_EQ(cache.cacheKeys(), (std::deque<std::string>{"c", "d"}));
    EXPECT_EQ(cache.cachedCount(), 3);

    cache.removeObjectsAtIndexes(0, 5); // clipped to the list; keys and count stay
    EXPECT_TRUE(cache.cacheObjects().empty());
    EXPECT_EQ(cache.cacheKeys().size(), 2u);
    EXPECT_EQ(cache.cachedCount(), 3);

    cache.removeAllObjects();
    cache.setObject("x", "a");
    cache.setObject("y", "b");
    cache.setObject("x", "c");
    cache.removeObject(Value("x"));
    EXPECT_EQ(cache.cacheKeys(), (std::deque<std::string>{"b"}));
    EXPECT_EQ(cache.cachedCount(), 1);
    cache.removeObject(Value("absent"));
    EXPECT_EQ(cache.cachedCount(), 1);

    cache.removeFirstObject();
    cache.removeFirstObject(); // empty: nothing
    EXPECT_EQ(cache.cachedCount(), 0);
    EXPECT_TRUE(cache.cacheObjects().empty());

    // A null object removes the entry but still counts and lists the key.
    cache.setObject(1, "n");
    cache.setObject(Value(), "n");
    EXPECT_FALSE(cache.hasObjectForKey("n"));
    EXPECT_EQ(cache.cachedCount(), 2);
    EXPECT_EQ(cache.cacheKeys().size(), 2u);
}

TEST_F(MemoryCache, MemoryWarningEmptiesOnlyCachesThatAskForIt) {
    PULSEMemoryCache clearing;
    PULSEMemoryCache keeping;
    keeping.setClearWhenMemoryLow(false);
    clearing.setObject(1, "a");
    keeping.setObject(1, "a");
    PULSEMemoryCache copy(clearing);
    memoryWarning();
    EXPECT_TRUE(clearing.cacheObjects().empty());
    EXPECT_EQ(clearing.cachedCount(), 0);
    EXPECT_TRUE(copy.cacheObjects().empty()); // a copy observes the warning too
    EXPECT_EQ(keeping.objectForKey("a"), Value(1));
    EXPECT_EQ(keeping.cachedCount(), 1);
}

TEST_F(MemoryCache, ArchiveRoundTrip) {
    PULSEMemoryCache cache;
    cache.setMaxCacheCount(50);
    cache.setClearWhenMemoryLow(false);
    cache.setObject(platform::Dictionary{{"type", "msg_status"}}, "1:1700000000");
    cache.setObject("v", "2:1700000001");
    const platform::Dictionary archive = cache.encodeWithCoder();
    EXPECT_EQ(archive.keys(),
              (std::vector<std::string>{"cacheCount", "maxCacheCount", "clearWhenMemoryLow", "cacheObjects", "cacheKeys"}));
    PULSEMemoryCache decoded(archive);
    EXPECT_EQ(decoded.encodeWithCoder(), archive);
    EXPECT_EQ(decoded.maxCacheCount(), 50);
    EXPECT_FALSE(decoded.clearWhenMemoryLow());

    // Fields of the wrong type keep their defaults.
    PULSEMemoryCache odd(platform::Dictionary{{"cacheCount", "x"}, {"cacheKeys", platform::Array{1, "k"}}});
    EXPECT_EQ(odd.cachedCount(), 0);
    EXPECT_EQ(odd.maxCacheCount(), 1000);
    EXPECT_EQ(odd.cacheKeys(), (std::deque<std::string>{"k"}));
}
