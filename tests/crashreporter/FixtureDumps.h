// The fixture images built with LLVM's cross tools, and the values LLVM's object dumper reads from them
// (its dumps are built beside the images), as the tests' independent cross-check.
#pragma once

#include <cstdint>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace crashtest {

inline std::string fixturePath(const std::string& file)
{
    return std::string(CRASH_FIXTURE_DIR) + "/" + file;
}

inline std::vector<std::string> dumpLines(const std::string& image, const std::string& kind)
{
    std::ifstream in(fixturePath(image + "." + kind + ".txt"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct DumpedSymbol {
    std::uint64_t value;
    std::string name;
};

// The symbol table in the dump's (the table's) order.
inline std::vector<DumpedSymbol> dumpedSymbols(const std::string& image)
{
    static const std::regex line(R"(^([0-9a-f]{16}) g\s+F __TEXT,__text (\S+)$)");
    std::vector<DumpedSymbol> symbols;
    for (const std::string& text : dumpLines(image, "syms")) {
        std::smatch match;
        if (std::regex_match(text, match, line))
            symbols.push_back({std::stoull(match[1], nullptr, 16), match[2]});
    }
    return symbols;
}

// A field ("vmsize", "fileoff", "size", ...) of the named segment or section in the load-command dump.
inline std::uint64_t dumpedField(const std::string& image, const std::string& kind, const std::string& name,
                                 const std::string& field)
{
    bool inside = false;
    for (const std::string& text : dumpLines(image, "headers")) {
        std::istringstream words(text);
        std::string key, value;
        words >> key >> value;
        if (key == kind)
            inside = value == name;
        else if (inside && key == field)
            return std::stoull(value, nullptr, 0);
    }
    return UINT64_MAX;
}

struct DumpedFDE {
    std::uint64_t offset; // of the entry's length field
    std::uint64_t cie;
    std::uint64_t start;
    std::uint64_t end;
};

inline std::vector<DumpedFDE> dumpedFDEs(const std::string& image)
{
    static const std::regex line(R"(^([0-9a-f]{8}) [0-9a-f]+ [0-9a-f]+ FDE cie=([0-9a-f]+) pc=([0-9a-f]+)\.\.\.([0-9a-f]+)$)");
    std::vector<DumpedFDE> entries;
    for (const std::string& text : dumpLines(image, "frames")) {
        std::smatch match;
        if (std::regex_match(text, match, line))
            entries.push_back({std::stoull(match[1], nullptr, 16), std::stoull(match[2], nullptr, 16),
                               std::stoull(match[3], nullptr, 16), std::stoull(match[4], nullptr, 16)});
    }
    return entries;
}

} // namespace crashtest
