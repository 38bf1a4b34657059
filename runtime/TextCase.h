// Case folding for service, preference and scheme names: ASCII letters only, so that every part of the
// runtime folds a name the same way.
#pragma once

#include <string>
#include <string_view>

namespace runtime {

inline std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace runtime
