// Errors are values. An `Error` is what the platform's error objects are (a domain, a code and a
// dictionary of details); `Result<T>` carries either a value or an error and must be looked at.
// No exception crosses a module boundary: code that calls a library that throws catches at the call.
#pragma once

#include "platform/core/Value.h"

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace platform {

// Well-known error domains.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";

// Keys of an error's details.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";
inline constexpr const char* kURLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";

struct Error {
    std::string domain;
    long long code = 0;
    Dictionary userInfo;

    Error() = default;
    Error(std::string domain, long long code, std::string description = {}) : domain(std::move(domain)), code(code) {
        if (!description.empty())
            userInfo.set(kLocalizedDescriptionKey, std::move(description));
    }

    // The human-readable description: the details' own text, else "<domain> error <code>".
    std::string localizedDescription() const {
        if (const std::string* s = userInfo[kLocalizedDescriptionKey].getString())
            return *s;
        return "The operation couldn't be completed. (" + domain + " error " + std::to_string(code) + ".)";
    }

    friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_data(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(m_data); }
    const T& value() const& { assert(ok()); return std::get<0>(m_data); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(m_data)); }
    T valueOr(T fallback) const& { return ok() ? std::get<0>(m_data) : std::move(fallback); }
    const Error& error() const { assert(!ok()); return std::get<1>(m_data); }

    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, Error> m_data;
};

// A result with no value: success, or an error.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { assert(m_failed); return m_error; }

private:
    Error m_error;
    bool m_failed = false;
};

using Status = Result<void>;

} // namespace platform
