// Full paths: the paths inside a file system that "hybfile" URLs carry ("/notes/a.txt", "" for the
// root, possibly followed by "?" and a query), and their mapping to native paths under a root folder.
//
// Guarantees:
// - nativePathUnderRoot never answers a path outside its root: the query is cut off, empty and "."
//   components vanish, each ".." takes the component before it away, and a ".." with nothing left to
//   take (an attempt to leave the root) or a NUL byte refuses the whole path.
// - pathRelativeToRoot compares whole path components: the root /r claims /r and /r/x, never /r2/x.
// - Pure functions (nothing looks at the disk: links are the file system's business, HYBLocalFilesystem);
//   thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace files {

// The part of a path before its first "?" (the whole path when there is none).
std::string stripQueryParametersFromPath(std::string_view path);

// Resolves ".." components lexically: each takes the nearest remaining component before it away, one
// with nothing before it is dropped. Empty components vanish; "." stays; a leading "/" is kept.
std::string normalizePath(std::string_view path);

// The components of a full path inside its root (query cut off, "" and "." dropped, ".." resolved);
// none when the path climbs above the root or holds a NUL byte.
std::optional<std::vector<std::string>> resolvedComponents(std::string_view fullPath);

// The native path of a full path under `root` (a native folder without a trailing "/", or "/"); none
// when the full path leaves the root.
std::optional<std::string> nativePathUnderRoot(const std::string& root, std::string_view fullPath);

// The full path of a native path inside `root`: "" for the root itself, else "/..." ; none when the
// native path is not the root or below it.
std::optional<std::string> pathRelativeToRoot(const std::string& root, std::string_view nativePath);

// A native path standardised lexically: "" and "." components dropped, ".." resolved (never above "/").
std::string standardizePath(std::string_view path);

} // namespace files
