// The zip reader over arbitrary archive bytes: no crash, no sanitizer report, and nothing written
// outside the destination folder. Corpus: fuzz/corpus/zip_fuzz/.
#include "platform/core/Log.h"
#include "deploy/ZMZipArchive.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

const fs::path& workFolder() {
    static const fs::path s_folder = [] {
        std::string pattern = (fs::temp_directory_path() / "zip-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        platform::Log::setCaptureHook([](std::string_view) {});
        return fs::path(pattern);
    }();
    return s_folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path& work = workFolder();
    const fs::path archive = work / "in.zip";
    const fs::path box = work / "box";
    const fs::path out = box / "out";
    fs::remove_all(box);
    fs::create_directories(box);
    if (std::FILE* f = std::fopen(archive.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    (void)deploy::ZMZipArchive::unzipFileAtPath(archive.string(), out.string());
    // Nothing may appear beside the destination.
    for (const auto& entry : fs::directory_iterator(box)) {
        if (entry.path() != out)
            std::abort();
    }
    return 0;
}
