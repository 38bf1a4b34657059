// HTTP header fields as requests and responses hold them: names compare without regard to case, the first
// spelling of a name is kept, fields keep the order in which they were first set.
//
// Header injection is refused: a name that is empty or holds a separator, or a name or value that holds
// CR, LF or NUL, is not stored and the setter answers an error (domain kURLErrorDomain, kURLErrorBadURL).
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class HTTPHeaderFields {
public:
    using Field = std::pair<std::string, std::string>;

    // Replaces the value of the field (or adds it last).
    Status setValue(std::string_view name, std::string_view value);
    // Adds a value: a field already present gets ", " and the new value appended.
    Status addValue(std::string_view name, std::string_view value);
    // Removes the field; false when it was absent.
    bool remove(std::string_view name);
    void clear() { m_fields.clear(); }

    std::optional<std::string> value(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    bool empty() const { return m_fields.empty(); }
    std::size_t size() const { return m_fields.size(); }
    const std::vector<Field>& fields() const { return m_fields; }

    // The fields as a dictionary (name -> string value), in order.
    Dictionary dictionary() const;

    // Whether a name or value may be sent as it stands (no CR, LF or NUL; names also no separators).
    static bool isValidName(std::string_view name);
    static bool isValidValue(std::string_view value);

    friend bool operator==(const HTTPHeaderFields&, const HTTPHeaderFields&) = default;

private:
    const Field* find(std::string_view name) const;
    Field* find(std::string_view name);
    static Status check(std::string_view name, std::string_view value);

    std::vector<Field> m_fields;
};

} // namespace platform
