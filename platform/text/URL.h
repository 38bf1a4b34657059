// A parsed URL with the semantics of the platform's URL objects.
//
// Guarantees:
// - Creation from text fails (nullopt) when the text is empty (without a base) or is not a URL: a
//   character that may not stand in a URL (space, non-ASCII, "\"<>\\^`{|}", controls), a "%" not followed
//   by two hex digits, a second "#", "[" or "]" outside a bracketed host, or a port that is not a number
//   up to 65535. Valid text is kept as written: absoluteString() gives it back unchanged (no case folding,
//   no normalisation), except that a relative text is first resolved against its base (RFC 3986).
// - scheme() is as written. host() is percent-decoded, without the brackets of an IPv6 address; present
//   (possibly empty) exactly when the text has "//". port() is present only when the text names one.
// - path() is percent-decoded, with one trailing "/" removed unless the path is "/" itself; it is empty
//   for "http://h" and for URLs that have a scheme but no hierarchical path ("about:blank"). When the
//   escapes do not decode to UTF-8, the path keeps them as written.
// - pathComponents() starts with "/" for an absolute path, then the decoded segments (empty ones left out).
// - query() and fragment() are as written (still escaped); present-but-empty differs from absent.
// - resourceSpecifier() is everything after "scheme:" (the whole text when there is no scheme).
// - Two URLs are equal when their absolute strings are equal.
// - A URL is an immutable value; thread-safe to read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class URL {
public:
    static std::optional<URL> fromString(std::string_view text);
    // Resolves a relative text against a base (RFC 3986); an absolute text stands on its own.
    static std::optional<URL> fromString(std::string_view text, const URL& base);

    // "file://" and the absolute path, escaped; a directory URL ends with "/". A relative path is taken
    // from the current directory.
    static URL fileURLWithPath(std::string_view path, bool isDirectory);
    // The same, asking the file system whether the path is a directory.
    static URL fileURLWithPath(std::string_view path);

    const std::string& absoluteString() const { return m_string; }
    const std::string& scheme() const { return m_scheme; }
    bool isFileURL() const;

    const std::optional<std::string>& user() const { return m_user; }
    const std::optional<std::string>& password() const { return m_password; }
    const std::optional<std::string>& host() const { return m_host; }
    std::optional<int> port() const { return m_port; }

    std::string path() const;
    // The path as written, escapes kept, trailing "/" kept.
    const std::string& percentEncodedPath() const { return m_path; }
    std::vector<std::string> pathComponents() const;
    std::string lastPathComponent() const;
    // The text after the last "." of the last path component ("" when there is none, or only a leading ".").
    std::string pathExtension() const;
    // Whether the written path ends with "/" (a directory URL).
    bool hasDirectoryPath() const;

    const std::optional<std::string>& query() const { return m_query; }
    const std::optional<std::string>& fragment() const { return m_fragment; }
    std::string resourceSpecifier() const;

    friend bool operator==(const URL& a, const URL& b) { return a.m_string == b.m_string; }

private:
    URL() = default;

    std::string m_string;
    std::string m_scheme;
    bool m_hasAuthority = false;
    std::string m_authority;
    std::optional<std::string> m_user;
    std::optional<std::string> m_password;
    std::optional<std::string> m_host;
    std::optional<int> m_port;
    std::string m_path;
    std::optional<std::string> m_query;
    std::optional<std::string> m_fragment;
};

} // namespace platform
