#include "InterfaceFixture.h"

#include "platform/core/Log.h"
#include "platform/text/DateFormatter.h"
#include "platform/ui/TouchDriver.h"
#include "plugins/DatePicker.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace platform;
using Plugin = plugins::DatePicker;

namespace {

class DatePickerTest : public pluginstest::InterfaceTest<Plugin> {
protected:
    DatePickerTest() {
        const char* zone = std::getenv("TZ");
        m_zone = zone ? std::optional<std::string>(zone) : std::nullopt;
        setenv("TZ", "UTC", 1);
    }
    ~DatePickerTest() override {
        if (m_zone)
            setenv("TZ", m_zone->c_str(), 1);
        else
            unsetenv("TZ");
    }
    platform::DatePicker& picker() { return *plugin().datePicker(); }
    bool sheetShown() { return plugin().datePickerContainer() && plugin().datePickerContainer()->superview() == controller->view(); }
    static std::string selected(double seconds) { return "datePicker._dateSelected(\"" + formatString("%.6f", seconds) + "\");"; }

    std::optional<std::string> m_zone;
};

// 2026-03-14 09:26:00 UTC.
constexpr double kMoment = 1773480360;
const char* const kMomentText = "2026-03-14T09:26:00Z";

} // namespace

TEST_F(DatePickerTest, WithoutTheAllowOptionsNowIsBothLimits) {
    start();
    const double before = DateFormatter::now().secondsSince1970;
    call("show", {Dictionary{{"date", kMomentText}}});
    ASSERT_TRUE(sheetShown());
    ASSERT_TRUE(picker().minimumDate() && picker().maximumDate());
    EXPECT_EQ(picker().minimumDate(), picker().maximumDate());
    EXPECT_GE(picker().minimumDate()->secondsSince1970, before);
    EXPECT_EQ(picker().date(), *picker().minimumDate()) << "clamped to now";
    EXPECT_TRUE(answers().empty()) << "never answers";

    call("show", {Dictionary{{"date", kMomentText}, {"allowOldDates", 1}, {"allowFutureDates", true}}});
    EXPECT_FALSE(picker().minimumDate());
    EXPECT_FALSE(picker().maximumDate());
    EXPECT_EQ(picker().date().secondsSince1970, kMoment);

    // minDate and maxDate override; unreadable ones change nothing; a minimum after the maximum wins.
    call("show", {Dictionary{{"date", kMomentText}, {"allowOldDates", 0}, {"allowFutureDates", 1}, {"minDate", "2026-03-01T00:00:00Z"},
                             {"maxDate", "not a date"}}});
    EXPECT_EQ(picker().minimumDate()->secondsSince1970, 1772323200);
    EXPECT_FALSE(picker().maximumDate());
    call("show", {Dictionary{{"date", kMomentText}, {"minDate", "2026-04-01T00:00:00Z"}, {"maxDate", "2026-03-01T00:00:00Z"}}});
    EXPECT_EQ(picker().date().secondsSince1970, 1775001600);

    // An absent or unreadable start date means now.
    call("show", {Dictionary{{"allowOldDates", 1}, {"allowFutureDates", 1}, {"date", "14/03/2026"}}});
    EXPECT_NEAR(picker().date().secondsSince1970, DateFormatter::now().secondsSince1970, 120);
}

TEST_F(DatePickerTest, ModesIntervalsLocalesAndButtons) {
    start();
    const std::pair<Value, DatePickerMode> modes[] = {{"date", DatePickerMode::Date}, {"time", DatePickerMode::Time},
                                                      {"datetime", DatePickerMode::DateAndTime}, {"DATE", DatePickerMode::DateAndTime},
                                                      {1, DatePickerMode::DateAndTime}};
    for (const auto& [mode, expected] : modes) {
        call("show", {Dictionary{{"mode", mode}}});
        EXPECT_EQ(picker().datePickerMode(), expected) << mode.description();
    }
    call("show", {Dictionary{{"minuteInterval", 15}, {"locale", "zh_CN"}}});
    EXPECT_EQ(picker().minuteInterval(), 15);
    EXPECT_EQ(picker().locale(), "zh_CN");
    call("show", {Dictionary{{"minuteInterval", 7}, {"locale", 5}}});
    EXPECT_EQ(picker().minuteInterval(), 15) << "7 does not divide 60";
    EXPECT_EQ(picker().locale(), "zh_CN");

    call("show", {Dictionary{{"doneButtonLabel", "完成"}, {"doneButtonColor", "#ff0000"}, {"cancelButtonLabel", "取消"},
                             {"cancelButtonColor", "ff0000"}}});
    EXPECT_EQ(plugin().doneButton()->titleForState(kControlStateNormal), "完成");
    EXPECT_EQ(plugin().doneButton()->tintColor(), Color::fromRGBA255(255, 0, 0)) << "pure red";
    EXPECT_EQ(plugin().cancelButton()->tintColor(), Color::fromRGBA255(0x0f, 0, 0)) << "read from the second character";
    call("show", {"not options"});
    EXPECT_EQ(plugin().doneButton()->titleForState(kControlStateNormal), "Done") << "never a sheet without its buttons";
    EXPECT_EQ(plugin().cancelButton()->titleForState(kControlStateNormal), "Cancel");
    EXPECT_EQ(plugin().doneButton()->tintColor(), Color::black());
    call("show", {Dictionary{{"doneButtonLabel", ""}, {"cancelButtonLabel", 7}}});
    EXPECT_EQ(plugin().doneButton()->titleForState(kControlStateNormal), "Done") << "an empty label";
    EXPECT_EQ(plugin().cancelButton()->titleForState(kControlStateNormal), "Cancel") << "a label that is not text";
    EXPECT_EQ(picker().datePickerMode(), DatePickerMode::DateAndTime);

    EXPECT_EQ(Plugin::colorFromHexString("#"), Color::black());
    EXPECT_EQ(Plugin::colorFromHexString("#xyz"), Color::black());
    EXPECT_EQ(Plugin::colorFromHexString("#0x00ff00"), Color::fromRGBA255(0, 255, 0));
    EXPECT_EQ(Plugin::colorFromHexString("#12345678901"), Color::fromRGBA255(255, 255, 255)) << "past 32 bits: the largest";
    EXPECT_EQ(Plugin::colorFromHexString("#ff00zz"), Color::fromRGBA255(0, 0xff, 0)) << "as far as the digits go";
}

TEST_F(DatePickerTest, ChangesAndDoneReachThePageCancelRunsItsScript) {
    hybtest::LogCapture log;
    start();
    call("show", {Dictionary{{"date", kMomentText}, {"allowOldDates", 1}, {"allowFutureDates", 1}}});
    settle();
    const Rect sheet = plugin().datePickerComponentsContainer()->frame();
    EXPECT_EQ(sheet, Rect(0, 568 - 260, 320, 260));
    EXPECT_EQ(plugin().datePickerContainer()->backgroundColor(), Color::black().withAlpha(0.4));
    EXPECT_TRUE(log.contains("320.00"));
    EXPECT_TRUE(log.contains("568.00"));

    picker().setDateAsUser(Date{kMoment + 3600});
    picker().setDateAsUser(Date{kMoment + 7200});
    EXPECT_EQ(scripts(), (std::vector<std::string>{selected(kMoment + 3600), selected(kMoment + 7200)}));
    TouchDriver::tap(*plugin().doneButton());
    ASSERT_EQ(scripts().size(), 3u);
    EXPECT_EQ(scripts()[2], selected(kMoment + 7200)) << "Done reports once more";
    TouchDriver::tap(*plugin().doneButton());  // sliding away: once per showing
    EXPECT_EQ(scripts().size(), 3u);
    settle();
    EXPECT_FALSE(sheetShown());

    // The views are kept for the next show; Cancel logs, then runs its script.
    auto container = plugin().datePickerContainer();
    call("show", {Dictionary{}});
    EXPECT_EQ(plugin().datePickerContainer(), container);
    settle();
    std::size_t logged = 0;
    Log::Hook previous = Log::setCaptureHook([&](std::string_view line) {
        if (line == "JS Cancel is going to be executed")
            logged = scripts().size();
    });
    TouchDriver::tap(*plugin().cancelButton());
    Log::setCaptureHook(previous);
    ASSERT_EQ(scripts().size(), 4u);
    EXPECT_EQ(logged, 3u) << "the log line comes before the script";
    EXPECT_EQ(scripts().back(), "datePicker._dateSelectionCanceled();");
    settle();
    EXPECT_FALSE(sheetShown());
    EXPECT_TRUE(answers().empty());
}

TEST_F(DatePickerTest, AShowDuringTheSlideAwayKeepsTheSheet) {
    start();
    call("show", {Dictionary{}});
    settle();
    TouchDriver::tap(*plugin().cancelButton());
    settle(0.1);
    call("show", {Dictionary{}});
    settle();
    EXPECT_TRUE(sheetShown());
    EXPECT_EQ(plugin().datePickerComponentsContainer()->frame(), Rect(0, 568 - 260, 320, 260));
}

TEST_F(DatePickerTest, SheetInEachMode) {
    start();
    m_webView->setBackgroundColor(Color::white());
    for (const char* mode : {"date", "time", "datetime"}) {
        call("show", {Dictionary{{"mode", mode}, {"date", kMomentText}, {"allowOldDates", 1}, {"allowFutureDates", 1},
                                 {"doneButtonLabel", "Done"}, {"doneButtonColor", "#007aff"}, {"cancelButtonLabel", "Cancel"},
                                 {"cancelButtonColor", "#ff3b30"}}});
        picker().setTimeZone("UTC");
        settle();
        expectScreen(std::string("date_picker_sheet_") + mode);
    }
}
