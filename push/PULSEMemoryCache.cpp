#include "push/PULSEMemoryCache.h"

#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

#include <algorithm>

namespace push {

PULSEMemoryCache& PULSEMemoryCache::shareInstance() {
    static PULSEMemoryCache* instance = new PULSEMemoryCache; // lives for the process
    return *instance;
}

PULSEMemoryCache::PULSEMemoryCache() {
    observeNotification(platform::kApplicationDidReceiveMemoryWarningNotification);
}

PULSEMemoryCache::PULSEMemoryCache(const PULSEMemoryCache& other)
    : m_clearWhenMemoryLow(other.m_clearWhenMemoryLow),
      m_maxCacheCount(other.m_maxCacheCount),
      m_cachedCount(other.m_cachedCount),
      m_cacheKeys(other.m_cacheKeys),
      m_cacheObjects(other.m_cacheObjects) {
    observeNotification(platform::kApplicationDidReceiveMemoryWarningNotification);
}

PULSEMemoryCache::PULSEMemoryCache(const platform::Dictionary& archive) : PULSEMemoryCache() {
    if (const auto* count = archive[kCacheCountKey].getInteger())
        m_cachedCount = *count;
    if (const auto* max = archive[kMaxCacheCountKey].getInteger())
        m_maxCacheCount = *max;
    if (const auto* clear = archive[kClearWhenMemoryLowKey].getBool())
        m_clearWhenMemoryLow = *clear;
    if (const auto* objects = archive[kCacheObjectsKey].getDictionary())
        m_cacheObjects = *objects;
    if (const auto* keys = archive[kCacheKeysKey].getArray()) {
        m_cacheKeys.clear();
        for (const platform::Value& key : *keys) {
            if (const auto* text = key.getString())
                m_cacheKeys.push_back(*text);
        }
    }
}

PULSEMemoryCache::~PULSEMemoryCache() {
    unObserveAllNotifications();
}

platform::Dictionary PULSEMemoryCache::encodeWithCoder() const {
    platform::Array keys(m_cacheKeys.begin(), m_cacheKeys.end());
    return platform::Dictionary{
        {kCacheCountKey, m_cachedCount},
        {kMaxCacheCountKey, m_maxCacheCount},
        {kClearWhenMemoryLowKey, m_clearWhenMemoryLow},
        {kCacheObjectsKey, m_cacheObjects},
        {kCacheKeysKey, std::move(keys)},
    };
}

bool PULSEMemoryCache::hasObjectForKey(const std::string& key) const {
    return m_cacheObjects.contains(key);
}

platform::Value PULSEMemoryCache::objectForKey(const std::string& key) const {
    const platform::Value* object = m_cacheObjects.find(key);
    return object ? *object : platform::Value();
}

void PULSEMemoryCache::setObject(platform::Value object, const std::string& key) {
    ++m_cachedCount;
    while (m_cachedCount >= m_maxCacheCount && !m_cacheKeys.empty())
        removeFirstObject();
    m_cacheKeys.push_back(key);
    if (object.isNull())
        m_cacheObjects.remove(key);
    else
        m_cacheObjects.set(key, std::move(object));
}

void PULSEMemoryCache::removeFirstObject() {
    if (m_cacheKeys.empty())
        return;
    m_cacheObjects.remove(m_cacheKeys.front());
    m_cacheKeys.pop_front();
    --m_cachedCount;
}

void PULSEMemoryCache::removeObjectsAtIndexes(std::size_t location, std::size_t length) {
    const std::size_t end = location + std::min(length, m_cacheKeys.size() - std::min(location, m_cacheKeys.size()));
    for (std::size_t i = location; i < end; ++i)
        m_cacheObjects.remove(m_cacheKeys[i]);
}

void PULSEMemoryCache::removeObject(const platform::Value& object) {
    std::vector<std::string> matching;
    for (const auto& entry : m_cacheObjects) {
        if (objectsEqual(entry.value, object))
            matching.push_back(entry.key);
    }
    for (const std::string& key : matching) {
        removeKeyOccurrences(key);
        m_cacheObjects.remove(key);
        --m_cachedCount;
    }
}

void PULSEMemoryCache::removeObjectForKey(const std::string& key) {
    m_cacheObjects.remove(key);
    removeKeyOccurrences(key);
}

void PULSEMemoryCache::removeAllObjects() {
    m_cacheKeys.clear();
    m_cacheObjects.clear();
    m_cachedCount = 0;
}

void PULSEMemoryCache::observeNotification(const std::string& name) {
    platform::NotificationCenter::defaultCenter().addObserver(this, name, nullptr,
                                                              [this](const platform::Notification&) { handleNotification(); });
}

void PULSEMemoryCache::unObserveAllNotifications() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
}

void PULSEMemoryCache::handleNotification() {
    if (m_clearWhenMemoryLow)
        removeAllObjects();
}

void PULSEMemoryCache::removeKeyOccurrences(const std::string& key) {
    m_cacheKeys.erase(std::remove(m_cacheKeys.begin(), m_cacheKeys.end(), key), m_cacheKeys.end());
}

} // namespace push
