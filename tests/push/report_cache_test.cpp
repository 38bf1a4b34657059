// The report cache: moving reports between the sending and the cached set, when it writes itself,
// report equality without time stamps, the memory warning, and the size limit.
#include "PushTest.h"

#include "push/PULSEReportCacheController.h"

#include "platform/formats/ArchiveValue.h"
#include "platform/formats/KeyedArchiver.h"

#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using push::PULSEReportCacheController;

Value report(const std::string& type, std::int64_t itime, const std::string& payload = "p") {
    return Dictionary{{"type", type}, {"itime", itime}, {"payload", payload}};
}

class ReportCache : public pushtest::PushTest {
protected:
    PULSEReportCacheController m_cache{[this] { ++m_syncs; }};
    int m_syncs = 0;
};

TEST_F(ReportCache, AFailedRequestMovesItsReportsBackToTheCachedSet) {
    m_cache.addSendingCacheObject(Array{report("a", 1700000000)}, "3:1700000000");
    EXPECT_EQ(m_syncs, 1);
    m_syncs = 0;
    m_cache.changeSendingObjectFailedForKey("3:1700000000");
    EXPECT_EQ(m_syncs, 2);
    EXPECT_FALSE(m_cache.sendingPackageCache().contains("3:1700000000"));
    EXPECT_TRUE(m_cache.checkReportFlag("3:1700000000"));
    EXPECT_EQ(m_cache.objectForKey("3:1700000000"), Value(Array{report("a", 1700000000)}));

    // An unknown flag changes nothing and writes nothing.
    m_syncs = 0;
    m_cache.changeSendingObjectFailedForKey("9:1");
    EXPECT_EQ(m_syncs, 0);
    // No value: nothing stored, nothing written.
    m_cache.addCacheObject(Value(), "x");
    m_cache.addSendingCacheObject(Value(), "y");
    EXPECT_EQ(m_syncs, 0);
    EXPECT_EQ(m_cache.count(), 1u);
}

TEST_F(ReportCache, ResetMovesEverythingInFlightAndWritesOnce) {
    m_cache.addSendingCacheObject(report("a", 1), "1:10");
    m_cache.addSendingCacheObject(report("b", 2), "3:11");
    m_cache.addSendingCacheObject(report("c", 3), "5:12");
    EXPECT_EQ(m_cache.description(), "3");
    m_cache.removeSendingObjectForKey("5:12");
    m_syncs = 0;
    m_cache.resetCache();
    EXPECT_EQ(m_syncs, 1);
    EXPECT_EQ(m_cache.description(), "0");
    EXPECT_EQ(m_cache.count(), 2u);

    // Removing from an empty set writes nothing; from a set that holds entries, it writes.
    PULSEReportCacheController empty([this] { ++m_syncs; });
    m_syncs = 0;
    empty.removeCacheObjectForKey("1:10");
    empty.removeSendingObjectForKey("1:10");
    EXPECT_EQ(m_syncs, 0);
    m_cache.removeCacheObjectForKey("1:10");
    EXPECT_EQ(m_syncs, 1);
    EXPECT_EQ(m_cache.count(), 1u);
}

TEST_F(ReportCache, AMemoryWarningEmptiesOnlyTheCachedSet) {
    m_cache.addCacheObject(report("a", 1), "1:1");
    m_cache.addSendingCacheObject(report("b", 2), "3:2");
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidReceiveMemoryWarningNotification);
    EXPECT_EQ(m_cache.count(), 0u);
    EXPECT_EQ(m_cache.description(), "1");
}

TEST_F(ReportCache, ReportsAreEqualWithoutTheirTimeStamps) {
    EXPECT_TRUE(PULSEReportCacheController::reportEqual(report("a", 1), report("a", 2)));
    EXPECT_FALSE(PULSEReportCacheController::reportEqual(report("a", 1), report("a", 1, "q")));
    const Value nested1 = Dictionary{{"inner", Dictionary{{"itime", 1}, {"v", 1}}}, {"itime", 5}};
    const Value nested2 = Dictionary{{"inner", Dictionary{{"itime", 9}, {"v", 1}}}};
    EXPECT_TRUE(PULSEReportCacheController::reportEqual(nested1, nested2));
    EXPECT_TRUE(PULSEReportCacheController::reportEqual(Array{nested1}, Array{nested2}));
    EXPECT_FALSE(PULSEReportCacheController::reportEqual(report("a", 1), Array{report("a", 1)}));
    EXPECT_FALSE(PULSEReportCacheController::reportEqual(report("a", 1), "a"));
    EXPECT_FALSE(PULSEReportCacheController::reportEqual(Dictionary{{"itime", 1}, {"x", 1}}, Dictionary{{"x", 1}, {"y", 1}}));

    // Found alone or inside a set, in either set; what is not a dictionary never is.
    m_cache.addSendingCacheObject(Array{report("a", 1), report("b", 1)}, "1:1");
    m_cache.addCacheObject(report("c", 1), "3:1");
    EXPECT_TRUE(m_cache.containsCacheObject(report("b", 99)));
    EXPECT_TRUE(m_cache.containsCacheObject(report("c", 99)));
    EXPECT_FALSE(m_cache.containsCacheObject(report("d", 1)));
    EXPECT_FALSE(m_cache.containsCacheObject(Array{report("a", 1), report("b", 1)}));
}

TEST_F(ReportCache, ArchivesAndCopiesKeepBothSets) {
    m_cache.addCacheObject(report("a", 1), "1:1");
    m_cache.addSendingCacheObject(report("b", 2), "3:2");
    PULSEReportCacheController back(m_cache.encodeWithCoder());
    EXPECT_EQ(back.count(), 1u);
    EXPECT_EQ(back.description(), "1");
    EXPECT_EQ(back.encodeWithCoder(), m_cache.encodeWithCoder());

    PULSEReportCacheController copy(m_cache);
    m_syncs = 0;
    copy.synchronize();
    EXPECT_EQ(m_syncs, 1); // the copy keeps the block
    std::vector<std::string> flags;
    copy.PULSEEnumerateObjectsUsingBlock([&](const std::string& flag, const Value&, bool&) { flags.push_back(flag); });
    EXPECT_EQ(flags, std::vector<std::string>{"1:1"});
}

TEST_F(ReportCache, AnArchiveBeyondItsLimitDropsTheOldestCachedReports) {
    const std::string big(4000, 'z');
    m_cache.addSendingCacheObject(report("in-flight", 1, "s" + big), "99:1000");
    m_cache.setMaxArchiveLength(20000);
    // Flags by age: the time after the colon, then the request id.
    for (const char* flag : {"7:1005", "5:1001", "9:1003", "3:1001", "11:1004"})
        m_cache.addCacheObject(report(flag, 1, flag + big), flag); // distinct texts: the archive shares equal ones
    EXPECT_LT(m_cache.count(), 5u);
    EXPECT_TRUE(m_cache.checkReportFlag("7:1005"));
    EXPECT_TRUE(m_cache.checkReportFlag("11:1004"));
    EXPECT_FALSE(m_cache.checkReportFlag("3:1001"));
    EXPECT_FALSE(m_cache.checkReportFlag("5:1001"));
    EXPECT_TRUE(m_cache.sendingPackageCache().contains("99:1000"));
    auto length = platform::KeyedArchiver::archivedLength(platform::ArchiveValue(m_cache.encodeWithCoder()));
    ASSERT_TRUE(length);
    EXPECT_LE(*length, 20000u);
}

} // namespace
