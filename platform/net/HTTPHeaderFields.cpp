#include "platform/net/HTTPHeaderFields.h"

#include "platform/net/HTTPSyntax.h"
#include "platform/net/URLError.h"

#include <algorithm>

namespace platform {

bool HTTPHeaderFields::isValidName(std::string_view name) {
    if (name.empty())
        return false;
    // A token: visible ASCII without separators.
    return std::all_of(name.begin(), name.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f && std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
    });
}

bool HTTPHeaderFields::isValidValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

Status HTTPHeaderFields::check(std::string_view name, std::string_view value) {
    if (!isValidName(name))
        return makeURLError(kURLErrorBadURL, "invalid header field name \"" + std::string(name) + "\"");
    if (!isValidValue(value))
        return makeURLError(kURLErrorBadURL,
                            "header field \"" + std::string(name) + "\" has a line break or NUL in its value");
    return {};
}

const HTTPHeaderFields::Field* HTTPHeaderFields::find(std::string_view name) const {
    for (const Field& f : m_fields)
        if (http::equalsIgnoringCase(f.first, name))
            return &f;
    return nullptr;
}

HTTPHeaderFields::Field* HTTPHeaderFields::find(std::string_view name) {
    return const_cast<Field*>(std::as_const(*this).find(name));
}

Status HTTPHeaderFields::setValue(std::string_view name, std::string_view value) {
    if (Status s = check(name, value); !s)
        return s;
    if (Field* f = find(name))
        f->second = value;
    else
        m_fields.emplace_back(std::string(name), std::string(value));
    return {};
}

Status HTTPHeaderFields::addValue(std::string_view name, std::string_view value) {
    if (Status s = check(name, value); !s)
        return s;
    if (Field* f = find(name)) {
        f->second += ", ";
        f->second += value;
    } else {
        m_fields.emplace_back(std::string(name), std::string(value));
    }
    return {};
}

bool HTTPHeaderFields::remove(std::string_view name) {
    auto it = std::find_if(m_fields.begin(), m_fields.end(), [&](const Field& f) { return http::equalsIgnoringCase(f.first, name); });
    if (it == m_fields.end())
        return false;
    m_fields.erase(it);
    return true;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
    if (const Field* f = find(name))
        return f->second;
    return std::nullopt;
}

Dictionary HTTPHeaderFields::dictionary() const {
    Dictionary d;
    for (const Field& f : m_fields)
        d.set(f.first, f.second);
    return d;
}

} // namespace platform
