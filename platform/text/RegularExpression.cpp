#include "platform/text/RegularExpression.h"

#include <glib.h>

#include <string>

namespace platform {

namespace {

GRegex* compile(const std::string& pattern) {
    GError* error = nullptr;
    GRegex* regex = g_regex_new(pattern.c_str(), G_REGEX_OPTIMIZE, static_cast<GRegexMatchFlags>(0), &error);
    if (error)
        g_error_free(error);
    return regex;
}

} // namespace

bool RegularExpression::isValidPattern(std::string_view pattern) {
    if (pattern.find('\0') != std::string_view::npos)
        return false;
    GRegex* regex = compile(std::string(pattern));
    if (!regex)
        return false;
    g_regex_unref(regex);
    return true;
}

bool RegularExpression::wholeMatch(std::string_view text, std::string_view pattern) {
    // The pattern must compile alone first: then its parentheses balance, and the wrapper below cannot be
    // closed early by a stray ")" of the pattern. "\E" ends an open "\Q" quote (and is ignored
    // otherwise); a trailing comment of extended mode would swallow the closing ")" and leave the wrapper
    // uncompilable, which counts as no match.
    if (!isValidPattern(pattern) || !g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return false;
    const std::string wrapped = "(*LIMIT_MATCH=" + std::to_string(kMatchLimit) + ")\\A(?:" + std::string(pattern) + "\\E)\\z";
    GRegex* regex = compile(wrapped);
    if (!regex)
        return false;
    GError* error = nullptr;
    const gboolean matched = g_regex_match_full(regex, text.data(), static_cast<gssize>(text.size()), 0,
                                                static_cast<GRegexMatchFlags>(0), nullptr, &error);
    if (error)
        g_error_free(error);
    g_regex_unref(regex);
    return matched && !error;
}

} // namespace platform
