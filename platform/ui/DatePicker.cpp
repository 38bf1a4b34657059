#include "platform/ui/DatePicker.h"

#include "platform/core/Log.h"
#include "platform/runloop/Clock.h"
#include "platform/system/TimeZone.h"
#include "platform/ui/PickerView.h"

#include <glib.h>

#include <cmath>
#include <cstdio>

namespace platform {

namespace {

constexpr long kReach = 4;  // rows shown each side of the selection
constexpr double kDay = 86400;
const char* const kWeekdays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Wall-clock fields of a moment in a zone.
struct Fields {
    int year = 1970, month = 1, day = 1, weekday = 1, hour = 0, minute = 0;
    double offset = 0;  // seconds east of UTC
};

Fields fieldsOf(double seconds, const std::string& zone) {
    Fields f;
    GTimeZone* tz = g_time_zone_new_identifier(zone.c_str());
    if (!tz)
        tz = g_time_zone_new_utc();
    GDateTime* utc = g_date_time_new_from_unix_utc(static_cast<gint64>(std::floor(seconds)));
    GDateTime* local = utc ? g_date_time_to_timezone(utc, tz) : nullptr;
    if (local) {
        f.year = g_date_time_get_year(local);
        f.month = g_date_time_get_month(local);
        f.day = g_date_time_get_day_of_month(local);
        f.weekday = g_date_time_get_day_of_week(local);
        f.hour = g_date_time_get_hour(local);
        f.minute = g_date_time_get_minute(local);
        f.offset = static_cast<double>(g_date_time_get_utc_offset(local)) / 1e6;
        g_date_time_unref(local);
    }
    if (utc)
        g_date_time_unref(utc);
    g_time_zone_unref(tz);
    return f;
}

// Two digits at least ("07").
std::string two(int v) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", v);
    return text;
}

} // namespace

// The wheels' data: for each column, rows around the current value, the current one in the middle.
class DatePicker::Columns : public PickerViewDataSource, public PickerViewDelegate {
public:
    explicit Columns(DatePicker& owner) : m_owner(owner) {}
    long numberOfComponents(PickerView&) override { return static_cast<long>(m_owner.columnTitles().size()); }
    long numberOfRows(PickerView&, long) override { return 2 * kReach + 1; }
    std::optional<std::string> titleForRow(PickerView&, long row, long component) override {
        return m_owner.titleAt(component, row - kReach);
    }
    std::optional<double> widthForComponent(PickerView& wheels, long component) override {
        // The day column of date-and-time takes half the width; the others share the rest.
        if (m_owner.datePickerMode() == DatePickerMode::DateAndTime && component == 0)
            return wheels.bounds().width() / 2;
        return std::nullopt;
    }

private:
    DatePicker& m_owner;
};

DatePicker::DatePicker(Rect frame) : Control(frame) {
    setBackgroundColor(Color::white());
    m_date = Date{std::floor(std::chrono::duration<double>(Clock::current().now().time_since_epoch()).count())};
    setNeedsLayout();
}

void DatePicker::layoutSubviews() {
    if (!m_wheels) {
        m_columns = std::make_shared<Columns>(*this);
        m_wheels = std::make_shared<PickerView>(bounds());
        m_wheels->setUserInteractionEnabled(false);
        m_wheels->setDataSource(m_columns);
        m_wheels->setDelegate(m_columns);
    }
    if (m_wheels->superview().get() != this)
        addSubview(m_wheels);
    m_wheels->setFrame(bounds());
    refresh();
}

void DatePicker::refresh() {
    if (!m_wheels)
        return;
    m_wheels->reloadAllComponents();
    for (long c = 0; c < m_wheels->numberOfComponents(); ++c)
        m_wheels->selectRow(kReach, c, false);
}

std::string DatePicker::zoneName() const { return m_timeZone.value_or(TimeZone::systemName()); }

// Column `column`'s title `step` rows from the current value.
std::optional<std::string> DatePicker::titleAt(long column, long step) const {
    const double interval = m_minuteInterval;
    if (m_mode == DatePickerMode::CountDownTimer) {
        long total = static_cast<long>(m_countDown / 60);
        if (column == 0) {
            long h = total / 60 + step;
            return h >= 0 && h < 24 ? std::optional(std::to_string(h) + (h == 1 ? " hour" : " hours")) : std::nullopt;
        }
        long m = total % 60 + step * m_minuteInterval;
        return m >= 0 && m < 60 ? std::optional(std::to_string(m) + " min") : std::nullopt;
    }
    Fields now = fieldsOf(m_date.secondsSince1970, zoneName());
    auto hourColumn = [&](long s) -> std::optional<std::string> {
        long h = now.hour + s;
        return h >= 0 && h < 24 ? std::optional(two(static_cast<int>(h))) : std::nullopt;
    };
    auto minuteColumn = [&](long s) -> std::optional<std::string> {
        long m = now.minute + s * static_cast<long>(interval);
        return m >= 0 && m < 60 ? std::optional(two(static_cast<int>(m))) : std::nullopt;
    };
    switch (m_mode) {
    case DatePickerMode::Time:
        return column == 0 ? hourColumn(step) : minuteColumn(step);
    case DatePickerMode::Date: {
        if (column == 0) {
            long m = now.month + step;
            return m >= 1 && m <= 12 ? std::optional(std::string(kMonths[m - 1])) : std::nullopt;
        }
        if (column == 1) {
            long d = now.day + step;
            int last = g_date_get_days_in_month(static_cast<GDateMonth>(now.month), static_cast<GDateYear>(now.year));
            return d >= 1 && d <= last ? std::optional(std::to_string(d)) : std::nullopt;
        }
        return std::to_string(now.year + step);
    }
    case DatePickerMode::DateAndTime:
        if (column == 0) {
            Fields day = fieldsOf(m_date.secondsSince1970 + static_cast<double>(step) * kDay, zoneName());
            return std::string(kWeekdays[day.weekday - 1]) + " " + kMonths[day.month - 1] + " " + std::to_string(day.day);
        }
        return column == 1 ? hourColumn(step) : minuteColumn(step);
    case DatePickerMode::CountDownTimer:
        break;
    }
    return std::nullopt;
}

std::vector<std::string> DatePicker::columnTitles() const {
    long columns = m_mode == DatePickerMode::Time || m_mode == DatePickerMode::CountDownTimer ? 2 : 3;
    std::vector<std::string> titles;
    for (long c = 0; c < columns; ++c)
        titles.push_back(titleAt(c, 0).value_or(""));
    return titles;
}

void DatePicker::setDatePickerMode(DatePickerMode mode) {
    m_mode = mode;
    refresh();
}

Date DatePicker::clamped(Date date) const {
    if (m_maximum && date.secondsSince1970 > m_maximum->secondsSince1970)
        date = *m_maximum;
    if (m_minimum && date.secondsSince1970 < m_minimum->secondsSince1970)
        date = *m_minimum;  // the minimum wins when it lies after the maximum
    return date;
}

// To the nearest step of the interval in the zone's wall clock, seconds dropped.
Date DatePicker::snapped(Date date) const {
    double seconds = date.secondsSince1970;
    Fields f = fieldsOf(seconds, zoneName());
    double local = seconds + f.offset;
    double minutes = std::floor(local / 60);
    double step = m_minuteInterval;
    double snappedMinutes = std::round(minutes / step) * step;
    Date result{snappedMinutes * 60 - f.offset};
    // Snapping past a bound steps back inside it.
    if (m_maximum && result.secondsSince1970 > m_maximum->secondsSince1970)
        result.secondsSince1970 -= step * 60;
    if (m_minimum && result.secondsSince1970 < m_minimum->secondsSince1970)
        result.secondsSince1970 += step * 60;
    return result;
}

void DatePicker::setDate(Date date, bool /*animated*/) {
    if (!std::isfinite(date.secondsSince1970))
        return;
    m_date = clamped(date);
    refresh();
}

void DatePicker::setMinimumDate(std::optional<Date> date) {
    m_minimum = date;
    setDate(m_date);
}

void DatePicker::setMaximumDate(std::optional<Date> date) {
    m_maximum = date;
    setDate(m_date);
}

void DatePicker::setMinuteInterval(int interval) {
    if (interval < 1 || interval > 30 || 60 % interval != 0) {
        Log::writef("DatePicker: minute interval %d is not a divisor of 60 from 1 to 30; ignored", interval);
        return;
    }
    m_minuteInterval = interval;
    refresh();
}

void DatePicker::setTimeZone(std::optional<std::string> name) {
    m_timeZone = std::move(name);
    refresh();
}

void DatePicker::setCountDownDuration(double seconds) {
    if (!std::isfinite(seconds))
        return;
    double step = m_minuteInterval * 60.0;
    m_countDown = std::clamp(std::floor(seconds / step) * step, 0.0, kDay - step);
    refresh();
}

void DatePicker::setDateAsUser(Date date) {
    if (!std::isfinite(date.secondsSince1970))
        return;
    m_date = clamped(snapped(clamped(date)));
    refresh();
    sendActionsForControlEvents(kControlEventValueChanged);
}

} // namespace platform
