// The File plug-in's actions with arguments as a page sends them. Input: one byte choosing the action,
// then the arguments as a JSON array (text that is not one is passed as a single string argument).
// Checks: every action answers exactly once, and nothing appears beside the application's home.
// Only actions that read or create run here: those that remove, move, truncate or write over files would
// harm the machine running the fuzzer if a path ever escaped, so their path handling is covered through
// the same URL mapping (filesystem_url_fuzz) instead.
#include "files/HYBFile.h"
#include "fuzz/FuzzCommandDelegate.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/formats/JSON.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

constexpr const char* kActions[] = {
    "requestFileSystem", "requestAllFileSystems", "requestAllPaths", "resolveLocalFileSystemURI",
    "getFile", "getDirectory", "getParent", "copyTo", "getFileMetadata", "readEntries", "readAsText",
    "readAsDataURL", "readAsArrayBuffer", "readAsBinaryString", "testFileExists", "testDirectoryExists",
    "getFreeDiskSpace", "_getLocalFilesystemPath",
};

struct Sandbox {
    fs::path root;
    platform::AppFolders folders;
    std::shared_ptr<fuzzing::FuzzCommandDelegate> delegate = std::make_shared<fuzzing::FuzzCommandDelegate>();
    std::shared_ptr<files::HYBFile> plugin;
    std::size_t expectedAnswers = 0;
};

fs::path makeRoot() {
    std::string pattern = (fs::temp_directory_path() / "hyb-file-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

Sandbox& sandbox() {
    static Sandbox* box = [] {
        platform::Log::setCaptureHook([](std::string_view) {});
        const fs::path root = makeRoot();
        auto* made = new Sandbox{root, platform::AppFolders((root / "home").string(), (root / "home/App.bundle").string())};
        if (!made->folders.createFolders())
            std::abort();
        fs::create_directories(root / "beside");
        platform::AppFolders::install(made->folders);
        made->plugin = std::make_shared<files::HYBFile>(nullptr);
        made->plugin->setCommandDelegate(made->delegate);
        made->plugin->pluginInitialize();
        return made;
    }();
    return *box;
}

// A few entries for the arguments to name: Documents/a.txt and Documents/dir/b.txt.
void prepare(const Sandbox& box) {
    auto& files = platform::FileManager::defaultManager();
    const std::string documents = box.folders.documents();
    (void)files.createDirectory(documents + "/dir", true);
    if (!files.fileExists(documents + "/a.txt"))
        (void)files.createFile(documents + "/a.txt", platform::Bytes{'t', 'e', 'x', 't'});
    if (!files.fileExists(documents + "/dir/b.txt"))
        (void)files.createFile(documents + "/dir/b.txt", platform::Bytes{});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Sandbox& box = sandbox();
    prepare(box);
    const char* action = kActions[data[0] % std::size(kActions)];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    auto parsed = platform::JSON::parse(text);
    platform::Array arguments = parsed.ok() && parsed.value().isArray() ? *parsed.value().getArray()
                                                                        : platform::Array{std::string(text)};

    const std::size_t before = box.delegate->answers();
    if (before != box.expectedAnswers)
        std::abort(); // an earlier action answered twice
    const runtime::HYBInvokedUrlCommand command(std::move(arguments), "File1", "File", action);
    if (!box.plugin->performAction(action, command) || !box.delegate->waitForAnswers(before + 1))
        std::abort();
    box.expectedAnswers = before + 1;

    for (const auto& entry : fs::directory_iterator(box.root))
        if (entry.path().filename() != "home" && entry.path().filename() != "beside")
            std::abort();
    if (!fs::is_empty(box.root / "beside"))
        std::abort();
    return 0;
}
