// The bank-card client's texts by numeric id, in Chinese and English. The language follows the user's
// locale (platform/system/Locale.h): Chinese for a "zh" locale, English otherwise. An unknown id gives "".
// Main thread only.
#pragma once

#include <memory>
#include <string>

namespace cardpay {

class BCLocale {
public:
    static std::shared_ptr<BCLocale> instance();

    std::string getStringById(int id) const;
    // Whether the Chinese table is the one in use.
    static bool isChinese();
};

// A text of the table with its one placeholder ("%@" or "%d", the first one) replaced by `value`.
std::string formatText(const std::string& pattern, const std::string& value);

} // namespace cardpay
