#include "support/SourceTree.h"

#include <fstream>
#include <sstream>

namespace hybtest {

std::string sourcePath(const std::string& relative) {
#ifdef HYB_SOURCE_DIR
    return std::string(HYB_SOURCE_DIR) + "/" + relative;
#else
    return relative;
#endif
}

std::string readSourceFile(const std::string& relative) {
    std::ifstream in(sourcePath(relative), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace hybtest
