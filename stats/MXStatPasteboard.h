// The company pasteboard: a named, persistent pasteboard shared by the applications of one company (its
// name is the company domain), holding texts under their key as pasteboard type.
//
// Thread: any (pasteboards serialise their changes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace stats {

class MXStatPasteboard {
public:
    MXStatPasteboard() = delete;

    // Writes the text under the key (the pasteboard is made and marked persistent as needed); false
    // without a company domain or when the pasteboard cannot be written.
    static bool set(const std::string& key, const std::string& value);
    // The key's data as UTF-8 text; nothing when absent, not UTF-8 or longer than kMaxValueBytes (judged
    // before it is read).
    static std::optional<std::string> get(const std::string& key);
    static constexpr std::uint64_t kMaxValueBytes = 64u << 10;
    // The bundle identifier without its last dot-separated component ("a.b.c" -> "a.b"); an identifier
    // without "." whole. "" when there is no bundle identifier (or nothing is left of it).
    static std::string getCompanyDomain();
    static std::string companyDomainOf(const std::string& bundleIdentifier);
};

} // namespace stats
