// Restores the web-storage backup from any tree of files under Documents/Backups: the page can write there
// through the file plug-in, and the restore copies the "*.appdata.db" items over the engine's storage. The
// input lays out up to 16 items (files, folders, symbolic links to anything, FIFOs) under the three backup
// names, then the plug-in restores. Nothing outside the storage folders changes and nothing crashes or
// hangs (a FIFO is never read).
#include "CallbackCountingDelegate.h"
#include "PluginStage.h"
#include "PushFuzzHome.h"
#include "platform/files/AppFolders.h"
#include "runtime/HYBLocalStorage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

fuzzing::PluginStage* g_stage = nullptr;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// A name the input picks: letters and digits only, never empty.
std::string nameFrom(FuzzedDataProvider& input) {
    std::string name;
    for (char c : input.ConsumeRandomLengthString(12))
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    return name.empty() ? "x" : name;
}

// Every item under the home except the storage folders the restore writes to, with its size: what must
// stay as it was.
std::map<std::string, std::uintmax_t> outsideTheStorage(const platform::AppFolders& folders) {
    std::map<std::string, std::uintmax_t> items;
    const fs::path caches = folders.caches(), tmp = folders.tmp(), backups = fs::path(folders.documents()) / "Backups";
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folders.home(), ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::path path = it->path();
        const std::string text = path.string();
        if (text.rfind(caches.string(), 0) == 0 || text.rfind(tmp.string(), 0) == 0 || text.rfind(backups.string(), 0) == 0) {
            it.disable_recursion_pending();
            continue;
        }
        items[text] = it->is_regular_file(ec) ? it->file_size(ec) : 0;
    }
    return items;
}

// Writes a new file's bytes at `path`, or nothing when something stands there already: an earlier item
// may have left a FIFO (opened for writing it would wait for a reader for ever) or a link to anything.
void writeFileAt(const fs::path& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    (void)!::write(fd, bytes.data(), bytes.size());
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::installTemporaryPushHome("hyb-backup-fuzz");
    g_stage = new fuzzing::PluginStage;
    const platform::AppFolders folders = platform::AppFolders::current();
    std::ofstream(folders.documents() + "/keep.txt") << "kept";
    std::ofstream(folders.library() + "/Preferences/keep.plist") << "kept";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const platform::AppFolders folders = platform::AppFolders::current();
    const fs::path backups = fs::path(folders.documents()) / "Backups";
    std::error_code ec;
    fs::remove_all(backups, ec);
    fs::remove_all(folders.caches(), ec);
    fs::create_directories(backups);
    fs::create_directories(folders.caches());
    const auto before = outsideTheStorage(folders);

    static const char* const kNames[] = {"localstorage.appdata.db", "websqlmain.appdata.db", "websqldbs.appdata.db"};
    const int count = input.ConsumeIntegralInRange(0, 16);
    for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
        fs::path path = backups / kNames[input.ConsumeIntegralInRange(0, 2)];
        const int depth = input.ConsumeIntegralInRange(0, 2);
        for (int d = 0; d < depth; ++d)
            path /= nameFrom(input);
        fs::create_directories(path.parent_path(), ec);
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0:
            writeFileAt(path, input.ConsumeRandomLengthString(256));
            break;
        case 1:
            fs::create_directories(path, ec);
            break;
        case 2:
            (void)::symlink(input.ConsumeRandomLengthString(64).c_str(), path.c_str());
            break;
        case 3:
            (void)::mkfifo(path.c_str(), 0600);
            break;
        }
        // A backup newer than the storage it replaces, or older.
        const auto age = std::chrono::seconds(input.ConsumeIntegralInRange(-100, 100));
        fs::last_write_time(path, fs::file_time_type::clock::now() + age, ec);
    }

    auto delegate = std::make_shared<fuzzing::CallbackCountingDelegate>();
    auto plugin = g_stage->attach<runtime::HYBLocalStorage>(delegate);
    plugin->restore(runtime::HYBInvokedUrlCommand({}, "restore", "LocalStorage", "restore"));
    plugin->dispose();
    check(outsideTheStorage(folders) == before);
    return 0;
}
