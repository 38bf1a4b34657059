// A key/value cache bounded by a count of inserts, with its keys in insertion order: an insert that
// brings the count to the bound evicts the oldest key first, and the platform's memory warning empties
// it (unless told not to). The report cache builds on it.
//
// Counting, as the cache keeps it: every insert with a key adds 1, evicting the first key and removing an
// object's keys take 1 per key, removeAllObjects sets 0; removeObjectForKey and removeObjectsAtIndexes
// leave the count alone. A key inserted twice stands twice in the key list. With the default bound of
// 1000 the cache holds at most 999 entries.
//
// Thread: no lock. A cache belongs to one owner at a time; the memory-warning handler runs on the
// thread that posts the warning (the main thread), so an owner on another thread guards its cache itself
// (subclasses override removeAllObjects to take their lock).
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <deque>
#include <string>

namespace push {

class PULSEMemoryCache {
public:
    static constexpr std::int64_t kDefaultMaxCacheCount = 1000;

    // Archive keys.
    static constexpr const char* kCacheCountKey = "cacheCount";
    static constexpr const char* kMaxCacheCountKey = "maxCacheCount";
    static constexpr const char* kClearWhenMemoryLowKey = "clearWhenMemoryLow";
    static constexpr const char* kCacheObjectsKey = "cacheObjects";
    static constexpr const char* kCacheKeysKey = "cacheKeys";

    // The process-wide cache, made on first use.
    static PULSEMemoryCache& shareInstance();

    // An empty cache that observes the memory warning.
    PULSEMemoryCache();
    // A copy (shallow copies of the entries and keys) that observes the memory warning too.
    PULSEMemoryCache(const PULSEMemoryCache& other);
    PULSEMemoryCache& operator=(const PULSEMemoryCache&) = delete;
    // Stops observing. A subclass whose removeAllObjects takes its own lock calls
    // unObserveAllNotifications() in its own destructor first.
    virtual ~PULSEMemoryCache();

    // A cache read back from its archive (encodeWithCoder): the defaults and the observer first, then
    // the archived fields; a field missing from the archive, or of another type, keeps its default.
    explicit PULSEMemoryCache(const platform::Dictionary& archive);
    platform::Dictionary encodeWithCoder() const;

    bool clearWhenMemoryLow() const { return m_clearWhenMemoryLow; }
    void setClearWhenMemoryLow(bool value) { m_clearWhenMemoryLow = value; }
    std::int64_t maxCacheCount() const { return m_maxCacheCount; }
    void setMaxCacheCount(std::int64_t value) { m_maxCacheCount = value; }
    std::int64_t cachedCount() const { return m_cachedCount; }
    void setCachedCount(std::int64_t value) { m_cachedCount = value; }
    const std::deque<std::string>& cacheKeys() const { return m_cacheKeys; }
    const platform::Dictionary& cacheObjects() const { return m_cacheObjects; }

    bool hasObjectForKey(const std::string& key) const;
    // The object, or a null value.
    platform::Value objectForKey(const std::string& key) const;
    platform::Value operator[](const std::string& key) const { return objectForKey(key); }
    // The bounded insert. A null object removes the key's entry (the count and key list still grow).
    void setObject(platform::Value object, const std::string& key);
    void setObjectForKeyedSubscript(platform::Value object, const std::string& key) { setObject(std::move(object), key); }

    void removeFirstObject();
    // Removes the entries of the keys at list positions [location, location + length) (clipped to the
    // list); the key list and the count stay.
    void removeObjectsAtIndexes(std::size_t location, std::size_t length);
    // Removes every key whose object equals the given one.
    void removeObject(const platform::Value& object);
    // Removes the key's entry and every occurrence of the key; the count stays.
    void removeObjectForKey(const std::string& key);
    virtual void removeAllObjects();

    void observeNotification(const std::string& name);
    void unObserveAllNotifications();
    void handleNotification();

protected:
    // The entries themselves, for subclasses that insert without the bounded insert.
    platform::Dictionary& mutableCacheObjects() { return m_cacheObjects; }
    // Object equality for removeObject (the report cache compares reports without their time stamps).
    virtual bool objectsEqual(const platform::Value& a, const platform::Value& b) const { return a == b; }

private:
    void removeKeyOccurrences(const std::string& key);

    bool m_clearWhenMemoryLow = true;
    std::int64_t m_maxCacheCount = kDefaultMaxCacheCount;
    std::int64_t m_cachedCount = 0;
    std::deque<std::string> m_cacheKeys;
    platform::Dictionary m_cacheObjects;
};

} // namespace push
