// What every file system of the file plug-in offers: entries, look-up and creation, removal, listing,
// reading, writing, truncation, copying and moving, metadata, and the mapping between file-system URLs
// and native paths. Operations answer with the result the plug-in sends to the page unchanged (status 1
// with the answer, or an error result with a file-error code, HYBFileError.h).
//
// Guarantees (for every implementation):
// - Callbacks are called exactly once; they may come on another thread (the photo library answers from
//   its own).
// - name and URL transformer are set at registration, before the file system is shared with other
//   threads; afterwards it is only read, from any thread.
#pragma once

#include "files/HYBFilesystemURL.h"
#include "platform/core/Value.h"
#include "platform/text/URL.h"
#include "runtime/HYBPluginResult.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace files {

class HYBFileSystem {
public:
    // The most one read hands back: reads land whole in memory (and then in one answer to the page), so
    // a larger range is refused rather than read.
    static constexpr std::uint64_t kMaxReadLength = 64ull * 1024 * 1024;

    using ResultCallback = std::function<void(runtime::HYBPluginResult result)>;
    // Bytes (none on failure), MIME type (may be none) and an error code (0: the bytes are valid).
    using ReadCallback = std::function<void(std::optional<platform::Bytes> data, std::optional<std::string> mimeType,
                                            std::int32_t errorCode)>;
    using URLTransformer = std::function<platform::URL(const platform::URL&)>;

    explicit HYBFileSystem(std::string name) : m_name(std::move(name)) {}
    virtual ~HYBFileSystem() = default;
    HYBFileSystem(const HYBFileSystem&) = delete;
    HYBFileSystem& operator=(const HYBFileSystem&) = delete;

    virtual runtime::HYBPluginResult entryForLocalURI(const HYBFilesystemURL& url) = 0;
    // `requestedPath` none: the page sent none. Options: "create", "exclusive", "getDir".
    virtual runtime::HYBPluginResult getFileForURL(const HYBFilesystemURL& directoryURL,
                                                   const std::optional<std::string>& requestedPath,
                                                   const platform::Dictionary& options) = 0;
    virtual runtime::HYBPluginResult getParentForURL(const HYBFilesystemURL& url) = 0;
    virtual runtime::HYBPluginResult setMetadataForURL(const HYBFilesystemURL& url, const platform::Dictionary& metadata) = 0;
    virtual runtime::HYBPluginResult removeFileAtURL(const HYBFilesystemURL& url) = 0;
    virtual runtime::HYBPluginResult recursiveRemoveFileAtURL(const HYBFilesystemURL& url) = 0;
    virtual runtime::HYBPluginResult readEntriesAtURL(const HYBFilesystemURL& url) = 0;
    virtual runtime::HYBPluginResult truncateFileAtURL(const HYBFilesystemURL& url, std::uint64_t position) = 0;
    virtual runtime::HYBPluginResult writeToFileAtURL(const HYBFilesystemURL& url, const platform::Bytes& data, bool append) = 0;
    // Sent to the destination's file system; `copy` false moves.
    virtual void copyFileToURL(const HYBFilesystemURL& destinationURL, const std::string& newName,
                               const std::shared_ptr<HYBFileSystem>& sourceFileSystem, const HYBFilesystemURL& sourceURL,
                               bool copy, ResultCallback callback) = 0;
    // `end` negative: to the end.
    virtual void readFileAtURL(const HYBFilesystemURL& url, std::int64_t start, std::int64_t end, ReadCallback callback) = 0;
    virtual void getFileMetadataForURL(const HYBFilesystemURL& url, ResultCallback callback) = 0;
    // The entry dictionary of an existing item, or none.
    virtual std::optional<platform::Dictionary> makeEntryForLocalURL(const HYBFilesystemURL& url) = 0;
    // The entry dictionary of a path inside this file system.
    virtual platform::Dictionary makeEntryForPath(const std::string& fullPath, bool isDirectory) = 0;

    const std::string& name() const { return m_name; }
    void setName(std::string name) { m_name = std::move(name); }
    const URLTransformer& urlTransformer() const { return m_urlTransformer; }
    void setUrlTransformer(URLTransformer transformer) { m_urlTransformer = std::move(transformer); }

    // Optional operations; the defaults answer none (the file system does not offer them).
    virtual std::optional<std::string> filesystemPathForURL(const HYBFilesystemURL& /*url*/) { return std::nullopt; }
    virtual std::optional<HYBFilesystemURL> URLforFilesystemPath(const std::string& /*nativePath*/) { return std::nullopt; }

protected:
    // The entry dictionary with its keys in order, up to "name": the kind, the full path (with "/"
    // appended for a directory that lacks it), the name and the file system's name. The caller adds
    // "nativeURL".
    platform::Dictionary makeEntryStart(const std::string& fullPath, bool isDirectory, std::string entryName) const {
        platform::Dictionary entry;
        entry.set("isFile", !isDirectory);
        entry.set("isDirectory", isDirectory);
        std::string shownPath = fullPath;
        if (isDirectory && (shownPath.empty() || shownPath.back() != '/'))
            shownPath += '/';
        entry.set("fullPath", std::move(shownPath));
        entry.set("name", std::move(entryName));
        entry.set("filesystemName", m_name);
        return entry;
    }
    // The native URL of an entry after the transformer, as text.
    std::string transformedURLString(const platform::URL& url) const {
        return m_urlTransformer ? m_urlTransformer(url).absoluteString() : url.absoluteString();
    }

private:
    std::string m_name;
    URLTransformer m_urlTransformer;
};

} // namespace files
