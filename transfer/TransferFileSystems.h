// How a transfer reaches the file plug-in ("File"): reading an upload source named by a file-system URL,
// the file-system URL of a native download path, the native path of a download target, and the entry
// dictionary that answers a finished download. Every function takes the plug-in as the command delegate
// gave it and answers none when there is no file plug-in or no file system claims the URL or path.
#pragma once

#include "platform/core/Value.h"
#include "platform/files/RootFolder.h"
#include "platform/text/URL.h"
#include "runtime/HYBPlugin.h"
#include "transfer/UploadForm.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace transfer {

using SourceReadCallback = std::function<void(std::optional<platform::Bytes> data, std::int32_t errorCode)>;

// An upload source: only what lies in a registered file system is sent. `source` is a file-system URL, a
// "file://" URL or an absolute path; the file system that holds it opens it (a local one, by its rules:
// no link, no second name, regular files only) or reads it whole (another kind, answering through the
// callback, possibly on another thread). Anything else (an http URL, a path no file system holds) is
// NotInAFileSystem.
enum class UploadSourceOutcome { Opened, ReadByFileSystem, NotInAFileSystem, Unreadable };
UploadSourceOutcome openUploadSource(const std::shared_ptr<runtime::HYBPlugin>& filePlugin, const std::string& source,
                                     UploadFileOnDisk& opened, SourceReadCallback callback);

// The folder a download's file goes into, opened beneath its file system's root (missing folders made,
// links refused), and the file's name in it; or the message that says why there is none.
struct TargetFolder {
    platform::UniqueFd folder;
    std::string name;
};
struct TargetFolderError {
    std::string message;
};
std::variant<TargetFolder, TargetFolderError> openTargetFolder(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                               const std::optional<std::string>& target,
                                                               const std::optional<platform::URL>& targetURL);

// The file-system URL (its "url") of a native path, when a file system holds the path.
std::optional<platform::URL> fileSystemURLForLocalPath(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                       const std::string& path);

// The file plug-in's entry for the item at the URL.
std::optional<platform::Dictionary> entryForURL(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                const platform::URL& url);

} // namespace transfer
