// One item of the photo library: its asset URL, its date and its default representation (the file
// the picture is kept in: size, file name, MIME type and bytes from an offset).
//
// Guarantees:
// - A value describing the item when it was looked up; the bytes are read from disk when asked for.
// - bytes() never allocates more than what the file holds past the offset; an offset at or beyond the
//   end gives empty bytes.
// - Thread: an immutable value; readable from any thread.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/text/URL.h"

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class PhotoAsset {
public:
    PhotoAsset(URL url, std::string path, std::uint64_t size, std::optional<Date> date);

    const URL& url() const { return m_url; }
    // The date the picture was taken (its file's modification date); none when unknown.
    const std::optional<Date>& date() const { return m_date; }

    // The default representation.
    std::uint64_t size() const { return m_size; }
    std::string filename() const;
    // The preferred MIME type of the representation's type; none when the type has none.
    std::optional<std::string> mimeType() const;
    // Up to `length` bytes from `offset` (fewer at the end of the representation).
    Result<Bytes> bytes(std::uint64_t offset, std::uint64_t length) const;

    // A movie (".mov", ".mp4", ".m4v") rather than a picture.
    bool isMovie() const;
    // The file that holds the item.
    const std::string& path() const { return m_path; }

private:
    URL m_url;
    std::string m_path;
    std::uint64_t m_size;
    std::optional<Date> m_date;
};

} // namespace platform
