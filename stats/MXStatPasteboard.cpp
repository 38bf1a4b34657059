#include "stats/MXStatPasteboard.h"

#include "platform/system/Bundle.h"
#include "platform/system/Pasteboard.h"
#include "platform/text/TextEncoding.h"

namespace stats {

std::string MXStatPasteboard::companyDomainOf(const std::string& bundleIdentifier) {
    const auto lastDot = bundleIdentifier.rfind('.');
    return lastDot == std::string::npos ? bundleIdentifier : bundleIdentifier.substr(0, lastDot);
}

std::string MXStatPasteboard::getCompanyDomain() {
    const platform::Value identifier = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleIdentifier");
    const std::string* text = identifier.getString();
    return text ? companyDomainOf(*text) : std::string();
}

bool MXStatPasteboard::set(const std::string& key, const std::string& value) {
    const std::string domain = getCompanyDomain();
    if (domain.empty())
        return false;
    auto board = platform::Pasteboard::withName(domain, true);
    if (!board || !board->setPersistent(true))
        return false;
    return board->setData(platform::Bytes(value.begin(), value.end()), key);
}

std::optional<std::string> MXStatPasteboard::get(const std::string& key) {
    const std::string domain = getCompanyDomain();
    if (domain.empty())
        return std::nullopt;
    auto board = platform::Pasteboard::withName(domain, false);
    if (!board)
        return std::nullopt;
    auto data = board->dataForPasteboardType(key, kMaxValueBytes);
    if (!data || !data->has_value())
        return std::nullopt;
    const platform::Bytes& bytes = **data;
    return platform::decodeUTF8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

} // namespace stats
