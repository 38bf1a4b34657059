// An application home for the statistics client's fuzz targets: the folders under `root`, and a bundle
// whose Info.plist names the application.
#pragma once

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"

#include <string>

namespace statsfuzz {

inline void installHomeIn(const std::string& root) {
    platform::AppFolders folders(root + "/home", root + "/home/App.bundle");
    (void)folders.createFolders();
    (void)platform::FileManager::defaultManager().createDirectory(folders.bundle(), true);
    const std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                              "<key>CFBundleIdentifier</key><string>org.example.fuzz</string></dict></plist>";
    (void)platform::FileManager::defaultManager().writeAtomically(folders.infoPlist(),
                                                                  platform::Bytes(plist.begin(), plist.end()));
    platform::AppFolders::install(folders);
}

} // namespace statsfuzz
