#include "push/PULSEReportCacheController.h"

#include "push/PULSELogging.h"

#include "platform/formats/ArchiveValue.h"
#include "platform/formats/KeyedArchiver.h"

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

namespace push {

namespace {

constexpr const char* kTimeStampKey = "itime";

// The time of a report flag ("<rid>:<seconds>") and its request id, for ordering; unreadable parts are 0.
std::pair<std::uint64_t, std::uint64_t> flagAge(const std::string& flag) {
    std::uint64_t rid = 0;
    std::uint64_t seconds = 0;
    const auto colon = flag.find(':');
    std::from_chars(flag.data(), flag.data() + (colon == std::string::npos ? flag.size() : colon), rid);
    if (colon != std::string::npos)
        std::from_chars(flag.data() + colon + 1, flag.data() + flag.size(), seconds);
    return {seconds, rid};
}

bool valueHolds(const platform::Value& value, const platform::Value& report) {
    if (PULSEReportCacheController::reportEqual(value, report))
        return true;
    if (const auto* set = value.getArray())
        return std::any_of(set->begin(), set->end(), [&](const platform::Value& item) {
            return PULSEReportCacheController::reportEqual(item, report);
        });
    return false;
}

} // namespace

PULSEReportCacheController::PULSEReportCacheController(SynchronizeBlock block) : m_syncBlock(std::move(block)) {}

PULSEReportCacheController::PULSEReportCacheController(const PULSEReportCacheController& other) : PULSEMemoryCache(other) {
    std::lock_guard lock(other.m_mutex);
    m_syncBlock = other.m_syncBlock;
    m_sendingPackageCache = other.m_sendingPackageCache;
    m_maxArchiveLength = other.m_maxArchiveLength;
}

PULSEReportCacheController::PULSEReportCacheController(const platform::Dictionary& archive) : PULSEMemoryCache(archive) {
    if (const auto* sending = archive[kSendingCacheKey].getDictionary())
        m_sendingPackageCache = *sending;
}

PULSEReportCacheController::~PULSEReportCacheController() {
    // The memory warning must not reach a cache that is going away.
    unObserveAllNotifications();
}

platform::Dictionary PULSEReportCacheController::encodeWithCoder() const {
    std::lock_guard lock(m_mutex);
    platform::Dictionary archive = PULSEMemoryCache::encodeWithCoder();
    archive.set(kSendingCacheKey, m_sendingPackageCache);
    return archive;
}

void PULSEReportCacheController::setSyncBlock(SynchronizeBlock block) {
    std::lock_guard lock(m_mutex);
    m_syncBlock = std::move(block);
}

void PULSEReportCacheController::synchronize() {
    std::lock_guard lock(m_mutex);
    if (m_syncBlock)
        m_syncBlock();
}

std::uint64_t PULSEReportCacheController::count() const {
    std::lock_guard lock(m_mutex);
    return cacheObjects().size();
}

std::string PULSEReportCacheController::description() const {
    std::lock_guard lock(m_mutex);
    return std::to_string(m_sendingPackageCache.size());
}

platform::Dictionary PULSEReportCacheController::sendingPackageCache() const {
    std::lock_guard lock(m_mutex);
    return m_sendingPackageCache;
}

void PULSEReportCacheController::addLocked(platform::Dictionary& set, const platform::Value& value, const std::string& flag) {
    set.set(flag, value);
    calculateCacheLength();
    synchronize();
}

void PULSEReportCacheController::addSendingCacheObject(const platform::Value& value, const std::string& flag) {
    if (value.isNull())
        return;
    std::lock_guard lock(m_mutex);
    addLocked(m_sendingPackageCache, value, flag);
}

void PULSEReportCacheController::addCacheObject(const platform::Value& value, const std::string& flag) {
    if (value.isNull())
        return;
    std::lock_guard lock(m_mutex);
    addLocked(mutableCacheObjects(), value, flag);
}

void PULSEReportCacheController::transferSendingObjectToCache(const platform::Value& value, const std::string& flag) {
    std::lock_guard lock(m_mutex);
    addCacheObject(value, flag);
    m_sendingPackageCache.remove(flag);
}

void PULSEReportCacheController::changeSendingObjectFailedForKey(const std::string& flag) {
    std::lock_guard lock(m_mutex);
    const platform::Value* value = m_sendingPackageCache.find(flag);
    if (!value)
        return;
    transferSendingObjectToCache(platform::Value(*value), flag);
    synchronize();
}

void PULSEReportCacheController::transferSendingCacheToCache() {
    std::lock_guard lock(m_mutex);
    const platform::Dictionary snapshot = m_sendingPackageCache;
    for (const auto& [flag, value] : snapshot) {
        mutableCacheObjects().set(flag, value);
        m_sendingPackageCache.remove(flag);
    }
}

void PULSEReportCacheController::resetCache() {
    std::lock_guard lock(m_mutex);
    transferSendingCacheToCache();
    synchronize();
}

void PULSEReportCacheController::removeSendingObjectForKey(const std::string& flag) {
    std::lock_guard lock(m_mutex);
    if (m_sendingPackageCache.empty())
        return;
    m_sendingPackageCache.remove(flag);
    synchronize();
}

void PULSEReportCacheController::removeCacheObjectForKey(const std::string& flag) {
    std::lock_guard lock(m_mutex);
    if (cacheObjects().empty())
        return;
    removeObjectForKey(flag);
    synchronize();
}

bool PULSEReportCacheController::checkReportFlag(const std::string& flag) const {
    std::lock_guard lock(m_mutex);
    return cacheObjects().contains(flag);
}

bool PULSEReportCacheController::containsCacheObject(const platform::Value& report) const {
    if (!report.isDictionary())
        return false;
    std::lock_guard lock(m_mutex);
    for (const auto* set : {&m_sendingPackageCache, &cacheObjects()})
        for (const auto& [flag, value] : *set)
            if (valueHolds(value, report))
                return true;
    return false;
}

void PULSEReportCacheController::PULSEEnumerateObjectsUsingBlock(const EnumerationBlock& block) const {
    std::lock_guard lock(m_mutex);
    const platform::Dictionary snapshot = cacheObjects();
    bool stop = false;
    for (const auto& [flag, value] : snapshot) {
        block(flag, value, stop);
        if (stop)
            break;
    }
}

void PULSEReportCacheController::calculateCacheLength() {
    std::lock_guard lock(m_mutex);
    auto length = [&]() -> std::size_t {
        auto archived = platform::KeyedArchiver::archivedLength(platform::ArchiveValue(encodeWithCoder()));
        return archived ? *archived : 0;
    };
    std::size_t current = length();
    if (current <= m_maxArchiveLength)
        return;
    // Drop the oldest cached entries until the archive fits; what is in flight stays.
    std::vector<std::string> flags;
    for (const auto& [flag, value] : cacheObjects())
        flags.push_back(flag);
    std::sort(flags.begin(), flags.end(), [](const std::string& a, const std::string& b) { return flagAge(a) < flagAge(b); });
    std::size_t dropped = 0;
    for (const auto& flag : flags) {
        if (current <= m_maxArchiveLength)
            break;
        removeObjectForKey(flag);
        ++dropped;
        current = length();
    }
    PULSE_LOG_WARN("report cache of %zu bytes beyond its limit: dropped the %zu oldest cached reports", current, dropped);
}

void PULSEReportCacheController::removeAllObjects() {
    std::lock_guard lock(m_mutex);
    PULSEMemoryCache::removeAllObjects();
}

bool PULSEReportCacheController::reportEqual(const platform::Value& a, const platform::Value& b) {
    const auto* left = a.getDictionary();
    const auto* right = b.getDictionary();
    if (left || right) {
        if (!left || !right)
            return false;
        auto countWithoutTime = [](const platform::Dictionary& d) { return d.size() - (d.contains(kTimeStampKey) ? 1 : 0); };
        if (countWithoutTime(*left) != countWithoutTime(*right))
            return false;
        for (const auto& [key, value] : *left) {
            if (key == kTimeStampKey)
                continue;
            const platform::Value* other = right->find(key);
            if (!other || !reportEqual(value, *other))
                return false;
        }
        return true;
    }
    const auto* leftArray = a.getArray();
    const auto* rightArray = b.getArray();
    if (leftArray && rightArray)
        return leftArray->size() == rightArray->size() &&
               std::equal(leftArray->begin(), leftArray->end(), rightArray->begin(), reportEqual);
    return a == b;
}

} // namespace push
