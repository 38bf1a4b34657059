// The plain line formatter of a file logger until it is given another: "<yyyy/MM/dd HH:mm:ss:SSS>  <text>"
// in the device's time zone, or the date as a given date-text function renders it.
#pragma once

#include "pushlog/DateText.h"
#include "pushlog/PULSELogFormatter.h"

#include <functional>
#include <mutex>

namespace pushlog {

class PULSELogFileFormatterDefault : public PULSELogFormatter {
public:
    using DateFormatter = std::function<std::string(platform::Date)>;

    // With no date formatter, dates are "yyyy/MM/dd HH:mm:ss:SSS".
    explicit PULSELogFileFormatterDefault(DateFormatter dateFormatter = nullptr)
        : m_dateFormatter(std::move(dateFormatter)) {}

    LogText formatLogMessage(const PULSELogMessage& message) override {
        std::string line = dateText(message.timestamp());
        line += "  ";
        line += message.message();
        return makeLogText(std::move(line));
    }

private:
    std::string dateText(platform::Date date) {
        if (m_dateFormatter)
            return m_dateFormatter(date);
        std::lock_guard lock(m_mutex);
        return m_defaultDateText.format(date);
    }

    DateFormatter m_dateFormatter;
    std::mutex m_mutex;
    DateText m_defaultDateText{'/', ':'};
};

} // namespace pushlog
