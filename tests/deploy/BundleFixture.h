// The sample bundle of the deploy tests: an Info.plist with version "2.5" and a www folder with the
// bridge script, an index page and a style sheet.
#pragma once

#include "support/TempHome.h"

namespace deploy::testing {

inline void writeSampleBundle(const hybtest::TempHome& home) {
    home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>org.hybridhost.deploytest</string>
<key>CFBundleShortVersionString</key><string>2.5</string>
</dict></plist>)");
    home.writeBundleFile("www/hybrid.js", "// bridge");
    home.writeBundleFile("www/index.html", "bundle index");
    home.writeBundleFile("www/css/site.css", "bundle css");
}

} // namespace deploy::testing
