// Children that enable a crash reporter: enabling is once per process, so every test that enables runs in
// a peer process with an application home of its own under the child's directory.
#pragma once

#include "CrashChild.h"

#include "crashreporter/CRCrashReporter.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace crashtest {

constexpr const char* kChildIdentifier = "com.example.child";

inline std::string infoPlist(const std::string& entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

// The home of a child run with the files' directory; the parent finds the child's report under it.
inline platform::AppFolders childFolders(const std::string& directory)
{
    return platform::AppFolders(directory + "home", directory + "home/App.bundle");
}

inline std::string childReportPath(const ChildFiles& files)
{
    return childFolders(files.path("")).caches() + "/crashreporter/" + kChildIdentifier + "/live_report.crshlog";
}

// In the child: installs its home (identifier kChildIdentifier, version "7") and makes the shared reporter
// with the given configuration.
inline std::unique_ptr<CRCrashReporter> makeChildReporter(const CRCrashReporterConfig& config = {})
{
    const char* directory = std::getenv("CRASH_CHILD_DIR");
    if (directory == nullptr) {
        ADD_FAILURE() << "no CRASH_CHILD_DIR";
        return nullptr;
    }
    platform::AppFolders folders = childFolders(directory);
    platform::AppFolders::install(folders);
    EXPECT_TRUE(folders.createFolders().ok());
    EXPECT_TRUE(platform::FileManager::defaultManager().createDirectory(folders.bundle()).ok());
    std::ofstream(folders.infoPlist()) << infoPlist(std::string("<key>CFBundleIdentifier</key><string>") +
                                                    kChildIdentifier +
                                                    "</string><key>CFBundleVersion</key><string>7</string>");
    platform::Result<std::unique_ptr<CRCrashReporter>> reporter = CRCrashReporter::initWithConfiguration(config);
    if (!reporter.ok()) {
        ADD_FAILURE() << reporter.error().localizedDescription();
        return nullptr;
    }
    return std::move(reporter.value());
}

} // namespace crashtest
