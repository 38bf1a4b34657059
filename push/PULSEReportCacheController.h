// The report cache: HTTP statistics reports on their way to the server (the sending set) and reports
// whose request failed or was in flight when the client stopped (the cached set, the memory cache's
// entries), both keyed by the report flag of their request ("<request id>:<seconds>"). Values are
// reports (dictionaries) or sets of reports (arrays).
//
//   request built ──> cached reports folded in (removeCacheObjectForKey)
//   request sent  ──> addSendingCacheObject(flag)
//   answer "done" ──> removeSendingObjectForKey(flag)
//   answer "keep" or failure ──> changeSendingObjectFailedForKey(flag): back to the cached set
//   restart       ──> resetCache: everything in flight back to the cached set
//
// Report equality ignores "itime" at every depth of dictionaries (and arrays of them).
//
// Guarantees:
// - Every add is followed by the size check: when the keyed archive of the cache passes the limit
//   (52,428,800 bytes), the oldest cached entries (by the time in their flag) are dropped until it is
//   under it; the sending set is never touched.
// - A memory warning empties the cached set, never the sending set.
// - Thread: the owner's thread (the client thread) and the main thread (memory warning) may both reach
//   it; one recursive lock guards both sets. The synchronize block runs with the lock held: it may read
//   the cache (encodeWithCoder) but must not wait for another thread that uses it.
#pragma once

#include "push/PULSEMemoryCache.h"

#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace push {

class PULSEReportCacheController : public PULSEMemoryCache {
public:
    using SynchronizeBlock = std::function<void()>;
    using EnumerationBlock = std::function<void(const std::string& flag, const platform::Value& value, bool& stop)>;

    static constexpr const char* kSendingCacheKey = "sendingCache";
    static constexpr std::size_t kMaxArchiveLength = 52'428'800;

    explicit PULSEReportCacheController(SynchronizeBlock block = nullptr);
    // copyWithZone: the same fields and block, its own observer.
    PULSEReportCacheController(const PULSEReportCacheController& other);
    // Read back from encodeWithCoder(); the synchronize block is not archived.
    explicit PULSEReportCacheController(const platform::Dictionary& archive);
    ~PULSEReportCacheController() override;

    platform::Dictionary encodeWithCoder() const;
    void setSyncBlock(SynchronizeBlock block);

    // Runs the synchronize block, when there is one.
    void synchronize();
    // Entries of the cached set.
    std::uint64_t count() const;
    // The number of entries of the sending set.
    std::string description() const;
    platform::Dictionary sendingPackageCache() const;

    void addSendingCacheObject(const platform::Value& value, const std::string& flag);
    void addCacheObject(const platform::Value& value, const std::string& flag);
    void transferSendingObjectToCache(const platform::Value& value, const std::string& flag);
    void changeSendingObjectFailedForKey(const std::string& flag);
    void transferSendingCacheToCache();
    void resetCache();
    void removeSendingObjectForKey(const std::string& flag);
    void removeCacheObjectForKey(const std::string& flag);
    bool checkReportFlag(const std::string& flag) const;
    // Whether a report equal to this one is in flight or cached (alone or inside a set).
    bool containsCacheObject(const platform::Value& report) const;
    // Calls the block for each entry of a snapshot of the cached set, under the lock.
    void PULSEEnumerateObjectsUsingBlock(const EnumerationBlock& block) const;
    // The size check.
    void calculateCacheLength();

    void removeAllObjects() override;

    // The archive limit of the size check (tests set a small one).
    void setMaxArchiveLength(std::size_t length) { m_maxArchiveLength = length; }

    static bool reportEqual(const platform::Value& a, const platform::Value& b);

protected:
    bool objectsEqual(const platform::Value& a, const platform::Value& b) const override { return reportEqual(a, b); }

private:
    void addLocked(platform::Dictionary& set, const platform::Value& value, const std::string& flag);

    mutable std::recursive_mutex m_mutex;
    SynchronizeBlock m_syncBlock;
    platform::Dictionary m_sendingPackageCache;
    std::size_t m_maxArchiveLength = kMaxArchiveLength;
};

} // namespace push
