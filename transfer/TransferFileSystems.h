// How a transfer reaches the file plug-in ("File"): reading an upload source named by a file-system URL,
// the file-system URL of a native download path, the native path of a download target, and the entry
// dictionary that answers a finished download. Every function takes the plug-in as the command delegate
// gave it and answers none when there is no file plug-in or no file system claims the URL or path.
#pragma once

#include "platform/URL.h"
#include "platform/Value.h"
#include "runtime/HYBPlugin.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace transfer {

using SourceReadCallback = std::function<void(std::optional<platform::Bytes> data, std::int32_t errorCode)>;

// When `source` is a file-system URL owned by a registered file system, reads the whole file and answers
// through the callback (possibly on another thread) and returns true; false otherwise (nothing is read).
bool readFileSystemSource(const std::shared_ptr<runtime::HYBPlugin>& filePlugin, const std::string& source,
                          SourceReadCallback callback);

// The file-system URL (its "url") of a native path, when a file system holds the path.
std::optional<platform::URL> fileSystemURLForLocalPath(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                       const std::string& path);

// The native path of a native path as the file system holding it resolves it (links followed, none when
// it leaves every root).
std::optional<std::string> fileSystemPathForLocalPath(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                      const std::string& path);

// The native path of a target given as a file-system URL, when its file system gives one.
std::optional<std::string> fileSystemPathForTarget(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                   const std::string& target);

// The file plug-in's entry for the item at the URL.
std::optional<platform::Dictionary> entryForURL(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                const platform::URL& url);

} // namespace transfer
