#include "platform/text/URL.h"

#include "platform/text/PercentEscaping.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace platform {

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isSchemeChar(char c) {
    return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
}

bool hasBracket(std::string_view s) {
    return s.find_first_of("[]") != std::string_view::npos;
}

std::string decodedOrRaw(std::string_view s) {
    auto decoded = removePercentEscapes(s);
    return decoded ? std::move(*decoded) : std::string(s);
}

// The pieces of a URL reference, as written.
struct Pieces {
    std::string scheme; // empty: none
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

Pieces split(std::string_view text) {
    Pieces p;
    std::size_t pos = 0;
    std::size_t colon = text.find_first_of(":/?#");
    if (colon != std::string_view::npos && colon > 0 && text[colon] == ':' && isAlpha(text[0])) {
        bool ok = true;
        for (std::size_t i = 1; i < colon && ok; ++i)
            ok = isSchemeChar(text[i]);
        if (ok) {
            p.scheme = std::string(text.substr(0, colon));
            pos = colon + 1;
        }
    }
    if (text.substr(pos).starts_with("//")) {
        std::size_t end = text.find_first_of("/?#", pos + 2);
        if (end == std::string_view::npos)
            end = text.size();
        p.hasAuthority = true;
        p.authority = std::string(text.substr(pos + 2, end - pos - 2));
        pos = end;
    }
    std::size_t pathEnd = text.find_first_of("?#", pos);
    if (pathEnd == std::string_view::npos)
        pathEnd = text.size();
    p.path = std::string(text.substr(pos, pathEnd - pos));
    pos = pathEnd;
    if (pos < text.size() && text[pos] == '?') {
        std::size_t queryEnd = text.find('#', pos);
        if (queryEnd == std::string_view::npos)
            queryEnd = text.size();
        p.query = std::string(text.substr(pos + 1, queryEnd - pos - 1));
        pos = queryEnd;
    }
    if (pos < text.size() && text[pos] == '#')
        p.fragment = std::string(text.substr(pos + 1));
    return p;
}

std::string compose(const Pieces& p) {
    std::string s;
    if (!p.scheme.empty()) {
        s += p.scheme;
        s += ':';
    }
    if (p.hasAuthority) {
        s += "//";
        s += p.authority;
    }
    s += p.path;
    if (p.query) {
        s += '?';
        s += *p.query;
    }
    if (p.fragment) {
        s += '#';
        s += *p.fragment;
    }
    return s;
}

// RFC 3986, 5.2.4.
std::string removeDotSegments(std::string_view input) {
    std::string output;
    while (!input.empty()) {
        if (input.starts_with("../")) {
            input.remove_prefix(3);
        } else if (input.starts_with("./")) {
            input.remove_prefix(2);
        } else if (input.starts_with("/./")) {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.starts_with("/../") || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            std::size_t slash = output.rfind('/');
            output.erase(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            std::size_t next = input.find('/', input[0] == '/' ? 1 : 0);
            if (next == std::string_view::npos)
                next = input.size();
            output.append(input.substr(0, next));
            input.remove_prefix(next);
        }
    }
    return output;
}

bool validCharacters(std::string_view text) {
    bool seenHash = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size() || !isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2]))
                return false;
            i += 2;
            continue;
        }
        if (c == '#') {
            if (seenHash)
                return false;
            seenHash = true;
            continue;
        }
        if (c == '[' || c == ']')
            continue; // allowed only around a host; checked with the authority
        if (!isLegalURLCharacter(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

} // namespace

std::optional<URL> URL::fromString(std::string_view text) {
    if (text.empty() || !validCharacters(text))
        return std::nullopt;
    Pieces p = split(text);
    if (hasBracket(p.path) || (p.query && hasBracket(*p.query)) || (p.fragment && hasBracket(*p.fragment)))
        return std::nullopt;

    URL url;
    url.m_string = std::string(text);
    url.m_scheme = std::move(p.scheme);
    url.m_hasAuthority = p.hasAuthority;
    url.m_path = std::move(p.path);
    url.m_query = std::move(p.query);
    url.m_fragment = std::move(p.fragment);
    if (p.hasAuthority) {
        std::string_view authority = p.authority;
        std::size_t at = authority.rfind('@');
        if (at != std::string_view::npos) {
            std::string_view userInfo = authority.substr(0, at);
            if (hasBracket(userInfo))
                return std::nullopt;
            std::size_t colon = userInfo.find(':');
            url.m_user = decodedOrRaw(userInfo.substr(0, colon));
            if (colon != std::string_view::npos)
                url.m_password = decodedOrRaw(userInfo.substr(colon + 1));
            authority.remove_prefix(at + 1);
        }
        std::string_view host;
        std::string_view portText;
        bool hasPort = false;
        if (!authority.empty() && authority[0] == '[') {
            std::size_t close = authority.find(']');
            if (close == std::string_view::npos)
                return std::nullopt;
            host = authority.substr(1, close - 1);
            for (char c : host) {
                if (!isHexDigit(c) && c != ':' && c != '.')
                    return std::nullopt;
            }
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':')
                    return std::nullopt;
                hasPort = true;
                portText = after.substr(1);
            }
        } else {
            std::size_t colon = authority.find(':');
            host = authority.substr(0, colon);
            if (colon != std::string_view::npos) {
                hasPort = true;
                portText = authority.substr(colon + 1);
            }
            if (hasBracket(host))
                return std::nullopt;
        }
        if (hasPort && !portText.empty()) {
            if (portText.size() > 5)
                return std::nullopt;
            int port = 0;
            for (char c : portText) {
                if (!isDigit(c))
                    return std::nullopt;
                port = port * 10 + (c - '0');
            }
            if (port > 65535)
                return std::nullopt;
            url.m_port = port;
        }
        url.m_host = decodedOrRaw(host);
        url.m_authority = std::move(p.authority);
    }
    return url;
}

std::optional<URL> URL::fromString(std::string_view text, const URL& base) {
    if (!validCharacters(text))
        return std::nullopt;
    Pieces ref = split(text);
    if (!ref.scheme.empty())
        return fromString(text);
    Pieces target;
    target.scheme = base.m_scheme;
    if (ref.hasAuthority) {
        target.hasAuthority = true;
        target.authority = ref.authority;
        target.path = removeDotSegments(ref.path);
        target.query = ref.query;
    } else {
        target.hasAuthority = base.m_hasAuthority;
        target.authority = base.m_authority;
        if (ref.path.empty()) {
            target.path = base.m_path;
            target.query = ref.query ? ref.query : base.m_query;
        } else {
            if (ref.path[0] == '/') {
                target.path = removeDotSegments(ref.path);
            } else {
                std::string merged;
                if (base.m_hasAuthority && base.m_path.empty()) {
                    merged = "/" + ref.path;
                } else {
                    std::size_t slash = base.m_path.rfind('/');
                    merged = (slash == std::string::npos ? std::string() : base.m_path.substr(0, slash + 1)) + ref.path;
                }
                target.path = removeDotSegments(merged);
            }
            target.query = ref.query;
        }
    }
    target.fragment = ref.fragment;
    return fromString(compose(target));
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string absolute;
    if (path.empty() || path[0] != '/') {
        char buffer[PATH_MAX];
        if (getcwd(buffer, sizeof buffer))
            absolute = buffer;
        if (absolute.empty() || absolute.back() != '/')
            absolute += '/';
    }
    absolute += path;
    if (isDirectory && absolute.back() != '/')
        absolute += '/';
    std::optional<URL> url = fromString("file://" + addPercentEscapes(absolute, {}, "?#"));
    // Every byte that could make the text invalid is escaped above.
    return url ? std::move(*url) : URL();
}

URL URL::fileURLWithPath(std::string_view path) {
    struct stat st {};
    bool isDirectory = ::stat(std::string(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return fileURLWithPath(path, isDirectory);
}

bool URL::isFileURL() const {
    return strcasecmp(m_scheme.c_str(), "file") == 0;
}

std::string URL::path() const {
    if (!m_scheme.empty() && !m_hasAuthority && (m_path.empty() || m_path[0] != '/'))
        return {};
    std::string p = decodedOrRaw(m_path);
    if (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

std::vector<std::string> URL::pathComponents() const {
    std::vector<std::string> components;
    std::string p = path();
    if (p.empty())
        return components;
    if (p[0] == '/')
        components.emplace_back("/");
    std::size_t pos = 0;
    while (pos < p.size()) {
        std::size_t slash = p.find('/', pos);
        if (slash == std::string::npos)
            slash = p.size();
        if (slash > pos)
            components.emplace_back(p.substr(pos, slash - pos));
        pos = slash + 1;
    }
    return components;
}

std::string URL::lastPathComponent() const {
    std::vector<std::string> components = pathComponents();
    return components.empty() ? std::string() : components.back();
}

std::string URL::pathExtension() const {
    std::string last = lastPathComponent();
    std::size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || last == "/")
        return {};
    return last.substr(dot + 1);
}

bool URL::hasDirectoryPath() const {
    return !m_path.empty() && m_path.back() == '/';
}

std::string URL::resourceSpecifier() const {
    if (m_scheme.empty())
        return m_string;
    return m_string.substr(m_scheme.size() + 1);
}

} // namespace platform
