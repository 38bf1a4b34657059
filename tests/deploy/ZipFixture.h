// Builds small zip archives entry by entry (including hostile ones) for the deploy tests, and gives
// each test a temporary folder.
#pragma once

#include <zip.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace deploy::testing {

struct FixtureEntry {
    enum class Kind { File, Directory, Link };
    std::string name;
    std::string content;  // file bytes, or the link's target
    Kind kind = Kind::File;
    unsigned mode = 0644;
};

inline FixtureEntry fileEntry(std::string name, std::string content, unsigned mode = 0644) {
    return {std::move(name), std::move(content), FixtureEntry::Kind::File, mode};
}
inline FixtureEntry folderEntry(std::string name) { return {std::move(name), {}, FixtureEntry::Kind::Directory, 0755}; }
inline FixtureEntry linkEntry(std::string name, std::string target) {
    return {std::move(name), std::move(target), FixtureEntry::Kind::Link, 0777};
}

// Writes the entries as a Unix-made archive (version made by 3.0), dated 2020-05-17 10:20:30 local time.
inline void writeArchive(const std::string& path, const std::vector<FixtureEntry>& entries) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip)
        std::abort();
    for (const auto& e : entries) {
        zip_fileinfo info{};
        info.tmz_date.tm_year = 2020;
        info.tmz_date.tm_mon = 4;
        info.tmz_date.tm_mday = 17;
        info.tmz_date.tm_hour = 10;
        info.tmz_date.tm_min = 20;
        info.tmz_date.tm_sec = 30;
        unsigned type = e.kind == FixtureEntry::Kind::Link ? 0120000 : e.kind == FixtureEntry::Kind::Directory ? 040000 : 0100000;
        info.external_fa = static_cast<uLong>(type | e.mode) << 16;
        if (zipOpenNewFileInZip4_64(zip, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                    Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                    0, 0x031E, 0, 0) != ZIP_OK)
            std::abort();
        if (!e.content.empty())
            zipWriteInFileInZip(zip, e.content.data(), static_cast<unsigned>(e.content.size()));
        zipCloseFileInZip(zip);
    }
    zipClose(zip, nullptr);
}

// Writes one deflated entry from raw (already compressed) bytes, declaring whatever size and CRC it is
// told: archives that lie about their expansion.
inline void writeRawEntryArchive(const std::string& path, const std::string& name, const std::string& rawDeflate,
                                 std::uint64_t declaredSize, std::uint32_t declaredCrc = 0) {
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zip)
        std::abort();
    zip_fileinfo info{};
    info.external_fa = static_cast<uLong>(0100644) << 16;
    if (zipOpenNewFileInZip2_64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, Z_DEFAULT_COMPRESSION,
                                1, declaredSize >= 0xFFFFFFFFull ? 1 : 0) != ZIP_OK)
        std::abort();
    zipWriteInFileInZip(zip, rawDeflate.data(), static_cast<unsigned>(rawDeflate.size()));
    zipCloseFileInZipRaw64(zip, declaredSize, declaredCrc);
    zipClose(zip, nullptr);
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "deploy-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        m_path = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

} // namespace deploy::testing
