// A date picker: a date (or a countdown duration) shown as columns of wheels, kept within a minimum
// and a maximum, in steps of a minute interval, in a time zone.
//
// Guarantees:
// - Main thread only.
// - A date outside [minimumDate, maximumDate] is clamped; when the minimum lies after the maximum the
//   minimum wins. minuteInterval takes divisors of 60 from 1 to 30; other values are ignored (logged).
// - setDate from code sends nothing; the user's choice (setDateAsUser) is clamped, snapped to the
//   interval (to the nearest step, seconds dropped) and sends value-changed.
#pragma once

#include "platform/core/Value.h"
#include "platform/ui/Control.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class PickerView;

enum class DatePickerMode { Time = 0, Date = 1, DateAndTime = 2, CountDownTimer = 3 };

class DatePicker : public Control {
public:
    explicit DatePicker(Rect frame = Rect(0, 0, 320, 216));

    DatePickerMode datePickerMode() const { return m_mode; }
    void setDatePickerMode(DatePickerMode mode);
    Date date() const { return m_date; }
    void setDate(Date date, bool animated = false);
    std::optional<Date> minimumDate() const { return m_minimum; }
    void setMinimumDate(std::optional<Date> date);
    std::optional<Date> maximumDate() const { return m_maximum; }
    void setMaximumDate(std::optional<Date> date);
    int minuteInterval() const { return m_minuteInterval; }
    void setMinuteInterval(int interval);
    const std::string& locale() const { return m_locale; }
    void setLocale(std::string identifier) { m_locale = std::move(identifier); }
    // A zone name ("Asia/Shanghai"); nullopt: the system's.
    std::optional<std::string> timeZone() const { return m_timeZone; }
    void setTimeZone(std::optional<std::string> name);
    // Seconds, for the countdown mode (below a day, in whole steps of the interval).
    double countDownDuration() const { return m_countDown; }
    void setCountDownDuration(double seconds);

    // The user picks a date: clamped, snapped to the interval, then value-changed.
    void setDateAsUser(Date date);

    // The text of each column's selected row (what the wheels show in the middle).
    std::vector<std::string> columnTitles() const;

protected:
    void layoutSubviews() override;

private:
    class Columns;
    std::string zoneName() const;
    std::optional<std::string> titleAt(long column, long step) const;
    Date clamped(Date date) const;
    Date snapped(Date date) const;
    void refresh();

    DatePickerMode m_mode = DatePickerMode::DateAndTime;
    Date m_date;
    std::optional<Date> m_minimum, m_maximum;
    int m_minuteInterval = 1;
    std::string m_locale;
    std::optional<std::string> m_timeZone;
    double m_countDown = 0;
    std::shared_ptr<PickerView> m_wheels;
    std::shared_ptr<Columns> m_columns;
};

} // namespace platform
