// A temporary application home for the push client's fuzz targets, installed for the whole run and
// removed at exit.
#pragma once

#include "platform/files/AppFolders.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzing {

inline void installTemporaryPushHome(const char* prefix) {
    static std::string folder;
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    folder = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    });
    platform::AppFolders folders(pattern, pattern + "/bundle");
    platform::AppFolders::install(folders);
    if (!folders.createFolders())
        std::abort();
}

} // namespace fuzzing
