#include "platform/device/PhotoAsset.h"

#include "platform/files/FileHandle.h"
#include "platform/files/FileManager.h"
#include "platform/text/Text.h"

#include <algorithm>

namespace platform {

PhotoAsset::PhotoAsset(URL url, std::string path, std::uint64_t size, std::optional<Date> date)
    : m_url(std::move(url)), m_path(std::move(path)), m_size(size), m_date(date) {}

std::string PhotoAsset::filename() const {
    return lastPathComponent(m_path);
}

std::optional<std::string> PhotoAsset::mimeType() const {
    std::string name = filename();
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return std::nullopt;
    return mimeTypeForExtension(std::string_view(name).substr(dot + 1));
}

bool PhotoAsset::isMovie() const {
    std::string name = filename();
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == "mov" || ext == "mp4" || ext == "m4v";
}

Result<Bytes> PhotoAsset::bytes(std::uint64_t offset, std::uint64_t length) const {
    Result<std::unique_ptr<FileHandle>> handle = FileHandle::openForReading(m_path);
    if (!handle)
        return handle.error();
    if (Status s = (*handle)->seek(offset); !s)
        return s.error();
    // Never more than the representation holds past the offset, whatever length was asked for.
    const std::uint64_t available = offset < m_size ? m_size - offset : 0;
    return (*handle)->read(static_cast<std::size_t>(std::min(length, available)));
}

} // namespace platform
