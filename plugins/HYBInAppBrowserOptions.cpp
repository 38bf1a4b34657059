#include "plugins/HYBInAppBrowserOptions.h"

#include "runtime/TextCase.h"

#include <cstdlib>
#include <string>
#include <variant>

namespace plugins {

namespace {

// A value as the option string gives it: a number, "yes"/"no", or text as written.
using OptionValue = std::variant<double, bool, std::string>;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number: an optional sign, digits, an optional fraction; nothing else (no blanks, no
// exponent, no "inf" or "nan").
std::optional<double> decimalNumber(const std::string& text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        ++digits;
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && isDigit(text[i]); ++i)
            ++digits;
    if (digits == 0 || i != text.size())
        return std::nullopt;
    return std::strtod(text.c_str(), nullptr);
}

OptionValue readValue(std::string_view written) {
    const std::string lower = runtime::lowercased(written);
    if (std::optional<double> number = decimalNumber(lower))
        return *number;
    if (lower == "yes")
        return true;
    if (lower == "no")
        return false;
    return std::string(written);
}

// Text reads as true when it starts with Y, y, T, t or a digit 1 to 9.
bool textIsTrue(const std::string& text) {
    if (text.empty())
        return false;
    const char c = text.front();
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

bool asBool(const OptionValue& value) {
    if (const double* number = std::get_if<double>(&value))
        return *number != 0;
    if (const bool* flag = std::get_if<bool>(&value))
        return *flag;
    return textIsTrue(std::get<std::string>(value));
}

void apply(HYBInAppBrowserOptions& options, const std::string& key, std::string_view written) {
    const OptionValue value = readValue(written);
    struct BoolOption {
        const char* key;
        bool HYBInAppBrowserOptions::*field;
    };
    static constexpr BoolOption kBools[] = {
        {"location", &HYBInAppBrowserOptions::location},
        {"toolbar", &HYBInAppBrowserOptions::toolbar},
        {"clearcache", &HYBInAppBrowserOptions::clearcache},
        {"clearsessioncache", &HYBInAppBrowserOptions::clearsessioncache},
        {"enableviewportscale", &HYBInAppBrowserOptions::enableviewportscale},
        {"mediaplaybackrequiresuseraction", &HYBInAppBrowserOptions::mediaplaybackrequiresuseraction},
        {"allowinlinemediaplayback", &HYBInAppBrowserOptions::allowinlinemediaplayback},
        {"keyboarddisplayrequiresuseraction", &HYBInAppBrowserOptions::keyboarddisplayrequiresuseraction},
        {"suppressesincrementalrendering", &HYBInAppBrowserOptions::suppressesincrementalrendering},
        {"hidden", &HYBInAppBrowserOptions::hidden},
        {"disallowoverscroll", &HYBInAppBrowserOptions::disallowoverscroll},
    };
    for (const BoolOption& option : kBools) {
        if (key == option.key) {
            options.*option.field = asBool(value);
            return;
        }
    }
    // Text options keep the value as the page wrote it, even when it reads as a number or yes/no.
    if (key == "toolbarposition")
        options.toolbarposition = std::string(written);
    else if (key == "closebuttoncaption")
        options.closebuttoncaption = std::string(written);
    else if (key == "presentationstyle")
        options.presentationstyle = std::string(written);
    else if (key == "transitionstyle")
        options.transitionstyle = std::string(written);
}

} // namespace

HYBInAppBrowserOptions HYBInAppBrowserOptions::parseOptions(std::string_view text) {
    HYBInAppBrowserOptions options;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::string_view piece = text.substr(0, comma);
        const std::size_t equals = piece.find('=');
        if (equals != std::string_view::npos && piece.find('=', equals + 1) == std::string_view::npos)
            apply(options, runtime::lowercased(piece.substr(0, equals)), piece.substr(equals + 1));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return options;
}

} // namespace plugins
