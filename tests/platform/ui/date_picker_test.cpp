#include "platform/ui/DatePicker.h"

#include "support/LogCapture.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {
// 2026-03-14 09:26:53 UTC = 17:26:53 in Shanghai.
constexpr double kMoment = 1773480413;
} // namespace

TEST(DatePickerTest, DatesAreClampedAndTheMinimumWins) {
    DatePicker picker;
    picker.setTimeZone("Asia/Shanghai");
    picker.setMinimumDate(Date{1000});
    picker.setMaximumDate(Date{2000});
    picker.setDate(Date{5000});
    EXPECT_EQ(picker.date().secondsSince1970, 2000);
    picker.setDate(Date{10});
    EXPECT_EQ(picker.date().secondsSince1970, 1000);
    picker.setMinimumDate(Date{3000});  // after the maximum
    EXPECT_EQ(picker.date().secondsSince1970, 3000);
    picker.setDate(Date{2500});
    EXPECT_EQ(picker.date().secondsSince1970, 3000);
}

TEST(DatePickerTest, TheUserChoiceSnapsToTheIntervalAndSendsValueChanged) {
    hybtest::LogCapture log;
    auto shared = std::make_shared<DatePicker>();
    DatePicker& picker = *shared;
    picker.setTimeZone("Asia/Shanghai");
    int changes = 0;
    auto target = std::make_shared<int>();
    picker.addTarget(target, [&](Control&) { ++changes; }, kControlEventValueChanged);

    picker.setMinuteInterval(7);
    picker.setMinuteInterval(0);
    picker.setMinuteInterval(60);
    EXPECT_EQ(picker.minuteInterval(), 1);
    EXPECT_TRUE(log.contains("minute interval 7"));
    picker.setMinuteInterval(15);

    picker.setDate(Date{kMoment});
    EXPECT_EQ(changes, 0) << "code sets silently";
    EXPECT_EQ(picker.date().secondsSince1970, kMoment);

    picker.setDateAsUser(Date{kMoment});  // 17:26:53 -> 17:30:00
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(picker.date().secondsSince1970, kMoment - 26 * 60 - 53 + 30 * 60);
    EXPECT_EQ(picker.columnTitles(), (std::vector<std::string>{"Sat Mar 14", "17", "30"}));

    picker.setDateAsUser(Date{kMoment - 4 * 60});  // 17:22:53 -> 17:15
    EXPECT_EQ(picker.date().secondsSince1970, kMoment - 11 * 60 - 53);

    // Snapping past the maximum steps back inside it.
    picker.setMaximumDate(Date{kMoment});
    picker.setDateAsUser(Date{kMoment});
    EXPECT_EQ(picker.date().secondsSince1970, kMoment - 11 * 60 - 53);
    EXPECT_EQ(changes, 3);
}

TEST(DatePickerRenderTest, EachMode) {
    auto root = std::make_shared<View>(Rect(0, 0, 640, 432));
    root->setBackgroundColor(Color::grey(0.6));
    const DatePickerMode modes[] = {DatePickerMode::Time, DatePickerMode::Date, DatePickerMode::DateAndTime, DatePickerMode::CountDownTimer};
    for (int i = 0; i < 4; ++i) {
        auto picker = std::make_shared<DatePicker>(Rect((i % 2) * 320, (i / 2) * 216, 315, 211));
        picker->setTimeZone("Asia/Shanghai");
        picker->setMinuteInterval(5);
        picker->setDatePickerMode(modes[i]);
        picker->setDateAsUser(Date{kMoment});
        picker->setCountDownDuration(5400);
        root->addSubview(picker);
        picker->layoutIfNeeded();
    }
    hybtest::expectSnapshot(*root, "date_picker_each_mode");
}
