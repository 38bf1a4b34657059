#include "transfer/UploadForm.h"

#include "runtime/HYBBase64.h"

#include <algorithm>

namespace transfer {

namespace {

void append(platform::Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

bool isBase64AlphabetCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

} // namespace

std::optional<std::string> uploadTextValue(const platform::Value& value) {
    if (const std::string* text = value.getString())
        return *text;
    if (value.isNumber() || value.isBool())
        return value.description();
    return std::nullopt;
}

MultipartPieces buildMultipartPieces(const platform::Dictionary& parameters, std::string_view fileKey,
                                     std::string_view fileName, const std::optional<std::string>& mimeType,
                                     std::size_t fileLength) {
    const std::string boundary = kUploadFormBoundary;
    MultipartPieces pieces;
    for (const auto& [key, value] : parameters) {
        if (value.isNull() || key == "__cookie")
            continue;
        std::optional<std::string> text = uploadTextValue(value);
        if (!text)
            continue;
        append(pieces.prefix, "--" + boundary + "\r\n");
        append(pieces.prefix, "Content-Disposition: form-data; name=\"" + key + "\"\r\n\r\n");
        append(pieces.prefix, *text);
        append(pieces.prefix, "\r\n");
    }
    append(pieces.prefix, "--" + boundary + "\r\n");
    append(pieces.prefix, "Content-Disposition: form-data; name=\"" + std::string(fileKey) + "\"; filename=\"" +
                              std::string(fileName) + "\"\r\n");
    if (mimeType)
        append(pieces.prefix, "Content-Type: " + *mimeType + "\r\n");
    append(pieces.prefix, "Content-Length: " + std::to_string(fileLength) + "\r\n\r\n");
    append(pieces.suffix, "\r\n--" + boundary + "--\r\n");
    return pieces;
}

DataURLSource decodeDataURLSource(std::string_view source) {
    if (!source.starts_with("data:") || source.find("base64") == std::string_view::npos)
        return NotDataURL{};
    std::size_t comma = source.find(',');
    if (comma == std::string_view::npos)
        return MissingComma{};
    std::string_view text = source.substr(comma + 1);
    platform::Bytes bytes = runtime::hybBase64Decode(text);
    // Alphabet characters that make no byte (a lone one at the end) mean the text does not decode.
    if (bytes.empty() && std::any_of(text.begin(), text.end(), isBase64AlphabetCharacter))
        return std::optional<platform::Bytes>();
    return std::optional<platform::Bytes>(std::move(bytes));
}

} // namespace transfer
