// Reads arbitrary text as an upload source (what the page passes to the file-transfer plug-in): a base64
// data URL decodes to at most three bytes per four characters after the comma, and the form built around
// the bytes always has the announced file length and ends with the closing boundary.
#include "transfer/UploadForm.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const transfer::DataURLSource source = transfer::decodeDataURLSource(text);
    const auto* bytes = std::get_if<std::optional<platform::Bytes>>(&source);
    if (!bytes || !*bytes)
        return 0;
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos || (*bytes)->size() > (text.size() - comma) * 3 / 4 + 3)
        std::abort();
    platform::Dictionary parameters{{std::string(text.substr(0, comma)), std::string(text.substr(comma))}};
    const transfer::MultipartPieces form = transfer::buildMultipartPieces(parameters, "file", "name", std::nullopt, (*bytes)->size());
    const std::string suffix(form.suffix.begin(), form.suffix.end());
    const std::string prefix(form.prefix.begin(), form.prefix.end());
    if (suffix != "\r\n--" + std::string(transfer::kUploadFormBoundary) + "--\r\n" ||
        prefix.find("Content-Length: " + std::to_string((*bytes)->size()) + "\r\n\r\n") == std::string::npos)
        std::abort();
    return 0;
}
