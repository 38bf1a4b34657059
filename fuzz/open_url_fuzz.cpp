// A URL opened into the application (any text another application sends) turned into the page script
// that hands it to handleOpenURL: the script keeps its fixed frame, the literal in it is one JSON string
// that reads back as the URL (invalid UTF-8 as U+FFFD), and no raw line break can end a script line.
#include "platform/formats/JSON.h"
#include "platform/text/TextEncoding.h"
#include "runtime/HYBHandleOpenURL.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    const std::string script = runtime::HYBHandleOpenURL::handOverScript(url);

    static const std::string kEmpty = runtime::HYBHandleOpenURL::handOverScript("");
    static const std::size_t kOpen = kEmpty.find("\"\"");
    const std::string_view prefix = std::string_view(kEmpty).substr(0, kOpen);
    const std::string_view suffix = std::string_view(kEmpty).substr(kOpen + 2);
    if (!std::string_view(script).starts_with(prefix) || !std::string_view(script).ends_with(suffix))
        std::abort();
    if (!platform::isValidUTF8(script) || script.find_first_of("\n\r") != std::string::npos
        || script.find("\xE2\x80\xA8") != std::string::npos || script.find("\xE2\x80\xA9") != std::string::npos)
        std::abort();

    const std::string_view literal = std::string_view(script).substr(prefix.size(), script.size() - prefix.size() - suffix.size());
    auto read = platform::JSON::parse(literal, platform::JSON::ReadMode::Fragment);
    if (!read.ok() || !read.value().isString())
        std::abort();
    if (platform::isValidUTF8(url) && *read.value().getString() != url)
        std::abort();
    return 0;
}
