// Files of the source tree that tests read (sample bundles, scenarios).
#pragma once

#include <string>

namespace hybtest {

// The path of a file given relative to the top of the source tree.
std::string sourcePath(const std::string& relative);
// Its contents ("" when it cannot be read).
std::string readSourceFile(const std::string& relative);

} // namespace hybtest
