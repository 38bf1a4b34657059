#include "webengine/ContentDisposition.h"

namespace webengine {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

} // namespace

bool isAttachmentDisposition(std::string_view value)
{
    std::string_view type = value.substr(0, value.find(';'));
    while (!type.empty() && isBlank(type.front()))
        type.remove_prefix(1);
    while (!type.empty() && isBlank(type.back()))
        type.remove_suffix(1);
    // No type: what stands first is a parameter (its name, then "="), or nothing at all.
    if (type.empty() || type.find('=') != std::string_view::npos)
        return false;
    return !equalsIgnoringCase(type, "inline");
}

} // namespace webengine
