// The pure parts of an upload: the multipart form around the file bytes, the text of form and header
// values, and the bytes of a base64 data URL source. No I/O; safe on any thread.
#pragma once

#include "platform/core/Value.h"
#include "platform/files/RootFolder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace transfer {

// A regular file uploaded from disk: opened by the file system that holds it when the upload starts, and
// read from that descriptor into the body while it is sent (whatever its name leads to by then).
struct UploadFileOnDisk {
    std::string name; // for log lines
    std::shared_ptr<const platform::UniqueFd> file;
    std::uint64_t length = 0;
};
// What an upload sends as its file.
using UploadFile = std::variant<platform::Bytes, UploadFileOnDisk>;

// The boundary between the parts of every upload form; the body is never scanned for it.
inline constexpr const char* kUploadFormBoundary = "+++++app.quellar.transfer";

// The text a form or header value is sent as: a string as it is, a number as its decimal text, a boolean
// as 1 or 0; none for anything else (arrays, dictionaries, bytes, null).
std::optional<std::string> uploadTextValue(const platform::Value& value);

struct MultipartPieces {
    platform::Bytes prefix; // the field parts and the head of the file part
    platform::Bytes suffix; // the closing boundary
};

// The form around a file of `fileLength` bytes: one part per form parameter that has a text value (the
// key "__cookie" is left out), then the head of the file part (with "Content-Type" when `mimeType` is
// given); the suffix closes the form.
MultipartPieces buildMultipartPieces(const platform::Dictionary& parameters, std::string_view fileKey,
                                     std::string_view fileName, const std::optional<std::string>& mimeType,
                                     std::size_t fileLength);

// A source "data:...base64,<text>": the decoded bytes (none when the text does not decode). A source
// that contains "base64" without a comma is MissingComma; any other source is NotDataURL.
struct NotDataURL {};
struct MissingComma {};
using DataURLSource = std::variant<NotDataURL, MissingComma, std::optional<platform::Bytes>>;
DataURLSource decodeDataURLSource(std::string_view source);

} // namespace transfer
