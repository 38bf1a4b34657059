// A fresh temporary application home for one test: made under $TMPDIR (or /tmp) with all home folders
// and an empty bundle folder, installed as AppFolders::current() while alive, removed afterwards (the
// previous folders are installed again).
//
//     class MyTest : public hybtest::TempHomeTest {};   // m_home is ready in every test
#pragma once

#include "platform/files/AppFolders.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace hybtest {

class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const platform::AppFolders& folders() const { return m_folders; }
    const std::string& root() const { return m_root; }
    // Writes a file into the bundle (folders made as needed), e.g. writeBundleFile("www/index.html", "...").
    void writeBundleFile(const std::string& relativePath, const std::string& contents) const;

private:
    std::string m_root;
    platform::AppFolders m_folders;
    platform::AppFolders m_previous;
};

class TempHomeTest : public ::testing::Test {
protected:
    TempHome m_home;
};

// Sets or clears the immutable flag of a file (no link followed): such a file can be neither removed nor
// renamed. False where the file system or the process cannot.
bool setImmutable(const std::string& path, bool on);

} // namespace hybtest
