// The rules that keep an archive inside its destination folder. Pure functions over names: no file
// system access.
//
// An entry name is accepted when, after every "\" has become "/", it is valid UTF-8 without NUL bytes,
// is not absolute and has no ".." component. A symbolic link's target is accepted when it is relative,
// has ".." components only at its start, and climbs no higher than the link's own folder is deep below
// the destination; since the unzip never writes through a symbolic link, links accepted by this rule
// (and chains of them) always resolve inside the destination.
#pragma once

#include "platform/core/Error.h"

#include <string>
#include <string_view>

namespace deploy {

struct ZipEntryPath {
    // The normalised relative path ("a/b/c", no empty or "." components; empty for the destination
    // itself) and whether the name denotes a folder (it ended with "/" or "\").
    std::string relativePath;
    bool isDirectory = false;

    static platform::Result<ZipEntryPath> fromEntryName(std::string_view rawName);
    // Checks a link target for a link at `linkRelativePath` (a normalised relative path).
    static platform::Status checkLinkTarget(std::string_view linkRelativePath, std::string_view target);
};

} // namespace deploy
