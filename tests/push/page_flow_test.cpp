// Page views and flows on the virtual clock, and the location facts with their archive.
#include "PushTest.h"

#include "push/PULSELocationInfoController.h"
#include "push/PULSEPageFlow.h"

#include "platform/formats/ArchiveValue.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using push::PULSEPageFlowSession;

class PageFlow : public pushtest::PushTest {
protected:
    PageFlow() {
        installIdentity("0123456789abcdef01234567");
        m_session.setupSession();
    }
    static constexpr double kT0 = 1'700'000'000.0;
    // The corrected clock at T0 + seconds (the virtual clock starts at T0 and only moves forward).
    static double t(double seconds) { return kT0 + seconds; }
    void at(double seconds) { m_clock.advance(t(seconds) - push::PULSECorrectedTime()); }
    Array recorded() const { return m_session.currentFlow()->pageFlow(); }

    PULSEPageFlowSession m_session;
};

Value page(const std::string& name, std::int64_t seconds) { return Dictionary{{name, seconds}}; }

TEST_F(PageFlow, AViewStoppedWithinItsFirstSecondLastsOneAndLaterOnesAreCut) {
    at(100.0);
    m_session.setViewStart("A");
    at(100.4);
    m_session.setViewStop("A");
    at(200.0);
    m_session.setViewStart("A");
    at(202.9);
    m_session.setViewStop("A");
    EXPECT_EQ(recorded(), (Array{page("A", 1), page("A", 2)}));
    EXPECT_EQ(countLines("添加页面成功"), 2);
    EXPECT_FALSE(m_session.currentPage());
}

TEST_F(PageFlow, NestedViewsFormAStack) {
    at(100);
    m_session.setViewStart("A");
    at(105);
    m_session.setViewStart("B");
    at(108);
    m_session.setViewStop("B");
    ASSERT_TRUE(m_session.currentPage());
    EXPECT_EQ(m_session.currentPage()->pageName(), "A");
    EXPECT_TRUE(m_session.currentFlow()->tempFlow().empty());
    at(110);
    m_session.setViewStop("A");
    EXPECT_EQ(recorded(), (Array{page("B", 3), page("A", 10)}));

    // Stopping the outer view while the inner one is current finds it among the open pages.
    at(200);
    m_session.setViewStart("A");
    at(204);
    m_session.setViewStart("B");
    at(207);
    m_session.setViewStop("A");
    EXPECT_EQ(recorded().back(), page("A", 7));
    EXPECT_EQ(m_session.currentPage()->pageName(), "B");
    EXPECT_TRUE(m_session.currentFlow()->tempFlow().empty());

    // A name neither current nor open: both lines, nothing changes.
    m_session.setViewStop("C");
    EXPECT_EQ(countLines("该页面已经被停止或者从未被开始"), 1);
    EXPECT_EQ(countLines("不存在要停止的页面"), 1);
    EXPECT_EQ(recorded().size(), 3u);
}

TEST_F(PageFlow, LoggedViewsAreRecordedAtOnceAndMalformedOnesRefused) {
    at(100);
    m_session.setViewStart("A");
    m_session.setViewLogSecond(Array{"D", 7});
    EXPECT_EQ(recorded(), Array{page("D", 7)});
    EXPECT_EQ(m_session.currentPage()->pageName(), "A");

    const Array bad[] = {Array{}, Array{"D"}, Array{Value(3), 7}, Array{Value(), 7}, Array{"D", 0},
                         Array{"D", -4}, Array{"D", "abc"}, Array{"D", Dictionary{}}};
    for (const auto& view : bad)
        m_session.setViewLogSecond(view);
    EXPECT_EQ(countLines(PULSEPageFlowSession::kMalformedLogLine), 8);
    EXPECT_EQ(recorded(), Array{page("D", 7)});
    EXPECT_TRUE(m_session.currentFlow()->tempFlow().empty());
}

TEST_F(PageFlow, GoingInactiveRecordsEveryOpenPageAndStoresTheFlowOnce) {
    at(1000);
    m_session.setViewStart("B");
    at(1030);
    m_session.setViewStart("A");
    m_session.savePageFlowWithTime(t(1060));
    EXPECT_EQ(recorded(), (Array{page("B", 60), page("A", 30)}));
    EXPECT_EQ(m_session.currentPage()->pageName(), "A");
    auto store = push::PULSEFileCacheController::shareInstanceWithType(0);
    EXPECT_EQ(store->objectForKey("__PULSEPFLastFlow").toValue(), Value(Array{page("B", 60), page("A", 30)}));

    // The next run takes the stored flow once, and restarts the open pages at its start.
    PULSEPageFlowSession next;
    at(5000);
    next.trySetupSession();
    EXPECT_EQ(next.currentFlow()->pageFlow(), (Array{page("B", 60), page("A", 30)}));
    EXPECT_FALSE(store->hasObjectForKey("__PULSEPFLastFlow"));
    PULSEPageFlowSession third;
    third.trySetupSession();
    EXPECT_TRUE(third.currentFlow()->pageFlow().empty());

    // In the same process the saved pages come back open at the new start.
    m_session.closeSession();
    at(6000);
    m_session.trySetupSession();
    EXPECT_EQ(m_session.currentPage()->startTime(), t(6000));
    ASSERT_EQ(m_session.currentFlow()->tempFlow().size(), 1u);
    EXPECT_EQ(m_session.currentFlow()->tempFlow()[0]->pageName(), "B");
}

TEST_F(PageFlow, AStopAtTheStartTimeKeepsThePageOpenWithoutLooping) {
    at(50);
    m_session.setViewStart("A");
    m_session.setViewStart("B");
    m_session.savePageFlowWithTime(t(50));
    EXPECT_TRUE(recorded().empty());
    EXPECT_EQ(m_session.currentFlow()->tempFlow().size(), 2u);
}

TEST_F(PageFlow, PagesAndFlowsArchiveAndCopy) {
    push::PULSEPageFlowSession::registerArchiveClasses();
    EXPECT_EQ(push::PULSEPage(std::nullopt).pageName(), "unknow");

    auto flow = std::make_shared<push::PULSEPageFlow>();
    auto open = std::make_shared<push::PULSEPage>("open");
    open->PFStart(123.75);
    flow->AddPage(open);
    auto done = std::make_shared<push::PULSEPage>("done");
    done->setDuration(4);
    flow->AddPage(done);

    auto bytes = platform::KeyedArchiver::archivedData(platform::ArchiveValue(flow));
    ASSERT_TRUE(bytes.ok());
    auto back = platform::KeyedUnarchiver::unarchive(*bytes);
    ASSERT_TRUE(back.ok());
    auto decoded = back->objectOfClass<push::PULSEPageFlow>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pageFlow(), Array{page("done", 4)});
    ASSERT_EQ(decoded->tempFlow().size(), 1u);
    EXPECT_EQ(decoded->tempFlow()[0]->startTime(), 123.0);

    auto copy = flow->copy();
    copy->tempFlow()[0]->PFStart(1);
    EXPECT_EQ(open->startTime(), 123.75);
}

// ---- location facts ----

Value wifi(const std::string& ssid) { return Dictionary{{"mac_address", "aa:bb"}, {"ssid", ssid}}; }

TEST(LocationInfo, ListsHoldEachEntryOnceAndCountAcrossThem) {
    push::PULSELocationInfoController info;
    info.addWifiInfo(wifi("home"));
    info.addWifiInfo(wifi("home"));
    EXPECT_EQ(info.count(), 1u);
    info.addCellInfo(Dictionary{{"mobile_network_code", "01"}, {"mobile_country_code", "460"}});
    info.addGpsInfo(Dictionary{{"lat", 1.5}, {"lng", 2.5}});
    EXPECT_EQ(info.count(), 3u);
    info.removeWifiInfo(wifi("other"));
    info.removeGpsInfo(wifi("home"));
    EXPECT_EQ(info.count(), 3u);
    info.removeWifiInfo(wifi("home"));
    EXPECT_EQ(info.count(), 2u);
    EXPECT_TRUE(info.wifiInfo().empty());

    auto copy = info.copy();
    copy->addWifiInfo(wifi("cafe"));
    EXPECT_EQ(info.count(), 2u);
    EXPECT_TRUE(info.wifiInfo().empty());

    info.clearAllInfo();
    EXPECT_EQ(info.count(), 0u);
    EXPECT_TRUE(info.cellInfo().empty() && info.gpsInfo().empty());
}

TEST(LocationInfo, DecodesWithMissingOrWrongKeys) {
    push::PULSELocationInfoController::registerArchiveClass();
    auto info = std::make_shared<push::PULSELocationInfoController>();
    info->addWifiInfo(wifi("home"));
    auto bytes = platform::KeyedArchiver::archivedData(platform::ArchiveValue(info));
    ASSERT_TRUE(bytes.ok());
    auto back = platform::KeyedUnarchiver::unarchive(*bytes);
    ASSERT_TRUE(back.ok());
    auto decoded = back->objectOfClass<push::PULSELocationInfoController>();
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->wifiInfo(), Array{wifi("home")});
    EXPECT_EQ(decoded->count(), 1u);

    platform::ArchiveDictionary fields{{"PULSE_wifiInfo", "not a list"}, {"PULSE_count", 2}};
    push::PULSELocationInfoController partial{platform::KeyedUnarchiver(fields)};
    EXPECT_TRUE(partial.wifiInfo().empty());
    EXPECT_TRUE(partial.gpsInfo().empty());
    EXPECT_EQ(partial.count(), 2u);
}

} // namespace
