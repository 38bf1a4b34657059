// The file plug-in behind the page's file API: a registry of named file systems ("temporary",
// "persistent", "assets-library" and the extra ones configuration names), the lookups from URLs and
// native paths to file systems and entries, and the page's actions.
//
// Guarantees:
// - Start-up (pluginInitialize) runs on the main thread, makes this plug-in the process-wide file
//   plug-in (current()) and registers the "hybfile" URL protocol.
// - The registry only grows; it is published as an immutable snapshot, so lookups from the URL-loading
//   thread and from background work read it safely while the main thread registers.
// - Every action answers its callback exactly once, with an error rather than nothing when the URL names
//   no registered file system or an argument is missing. Reading and writing run on the background
//   queue and answer from there (or from the photo library's thread).
// - Callbacks of asynchronous work hold the plug-in weakly; answers for a plug-in that is gone are
//   dropped.
// - Reads hold their length of a budget (kReadBudget) from the start of the read until their answer was
//   handed on; a read that does not fit waits its turn (in the order asked) and starts when others end, so
//   reads asked all at once do not hold their bytes and answers all at once. A read larger than the whole
//   budget starts when nothing else holds any. Nothing blocks a thread meanwhile.
#pragma once

#include "files/HYBFileSystem.h"
#include "files/HYBFilesystemURL.h"
#include "runtime/HYBPlugin.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace files {

class HYBFile : public runtime::HYBPlugin {
public:
    // Makes the class creatable by the name "HYBFile" (once; later calls do nothing). The application
    // calls it at start-up (app/Plugins.cpp): a static registration would be dropped by the linker.
    static void registerClass();
    // Whether config.xml's settings (lower-cased names) let the plug-in start: "iosPersistentFileLocation"
    // must be "library" or "compatibility" (either case; unset is "compatibility"). Otherwise an error
    // naming the value; pluginInitialize ends the application for it, programs check it before starting.
    static platform::Status checkSettings(const platform::Dictionary& settings);

    using FileSystems = std::vector<std::shared_ptr<HYBFileSystem>>;

    using HYBPlugin::HYBPlugin;

    void pluginInitialize() override;
    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBFile"; }

    // The file plug-in most recently initialised, or nullptr.
    static std::shared_ptr<HYBFile> current();

    // Registry.
    void registerFilesystem(std::shared_ptr<HYBFileSystem> fileSystem);
    FileSystems fileSystems() const;
    std::shared_ptr<HYBFileSystem> fileSystemByName(std::string_view name) const;
    std::shared_ptr<HYBFileSystem> filesystemForURL(const HYBFilesystemURL& url) const;
    // A "file://" URL is mapped through fileSystemURLforLocalPath (an empty URL when no file system
    // holds the path); any other text is parsed as a file-system URL.
    HYBFilesystemURL fileSystemURLforArg(std::string_view text) const;
    // The URL of a native path in the file system whose root holds it closest (shortest full path; the
    // earlier registered on a tie).
    std::optional<HYBFilesystemURL> fileSystemURLforLocalPath(const std::string& nativePath) const;
    std::optional<std::string> filesystemPathForURL(const HYBFilesystemURL& url) const;
    std::optional<platform::Dictionary> makeEntryForPath(const std::string& fullPath, std::string_view fileSystemName,
                                                         bool isDirectory) const;
    std::optional<platform::Dictionary> makeEntryForLocalURL(const HYBFilesystemURL& url) const;
    std::optional<platform::Dictionary> makeEntryForURL(const platform::URL& url) const;
    std::optional<platform::Dictionary> getDirectoryEntry(const std::string& nativePath, bool isDirectory) const;
    static std::optional<std::uint64_t> checkFreeDiskSpace(const std::string& path);
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

    const std::string& rootDocsPath() const { return m_rootDocsPath; }
    const std::string& appLibraryPath() const { return m_appLibraryPath; }
    const std::string& appTempPath() const { return m_appTempPath; }

    // Page actions.
    void requestFileSystem(const runtime::HYBInvokedUrlCommand& command);
    void requestAllFileSystems(const runtime::HYBInvokedUrlCommand& command);
    void requestAllPaths(const runtime::HYBInvokedUrlCommand& command);
    void resolveLocalFileSystemURI(const runtime::HYBInvokedUrlCommand& command);
    void getFile(const runtime::HYBInvokedUrlCommand& command);
    void getDirectory(const runtime::HYBInvokedUrlCommand& command);
    void getParent(const runtime::HYBInvokedUrlCommand& command);
    void setMetadata(const runtime::HYBInvokedUrlCommand& command);
    void remove(const runtime::HYBInvokedUrlCommand& command);
    void removeRecursively(const runtime::HYBInvokedUrlCommand& command);
    void copyTo(const runtime::HYBInvokedUrlCommand& command);
    void moveTo(const runtime::HYBInvokedUrlCommand& command);
    void getFileMetadata(const runtime::HYBInvokedUrlCommand& command);
    void readEntries(const runtime::HYBInvokedUrlCommand& command);
    void readAsText(const runtime::HYBInvokedUrlCommand& command);
    void readAsDataURL(const runtime::HYBInvokedUrlCommand& command);
    void readAsArrayBuffer(const runtime::HYBInvokedUrlCommand& command);
    void readAsBinaryString(const runtime::HYBInvokedUrlCommand& command);
    void truncate(const runtime::HYBInvokedUrlCommand& command);
    void write(const runtime::HYBInvokedUrlCommand& command);
    void testFileExists(const runtime::HYBInvokedUrlCommand& command);
    void testDirectoryExists(const runtime::HYBInvokedUrlCommand& command);
    void getFreeDiskSpace(const runtime::HYBInvokedUrlCommand& command);
    void _getLocalFilesystemPath(const runtime::HYBInvokedUrlCommand& command);

private:
    enum class ReadKind { Text, DataURL, ArrayBuffer, BinaryString };

    // Start-up steps.
    static std::vector<std::string> getExtraFileSystemsPreference(const platform::Dictionary& settings);
    static platform::Dictionary getAvailableFileSystems();
    void registerExtraFileSystems(const std::vector<std::string>& names, const platform::Dictionary& available);
    static void makeNonSyncable(const std::string& path);

    // Answers the command's callback (from any thread; nothing when the plug-in's delegate is gone).
    void send(const runtime::HYBInvokedUrlCommand& command, runtime::HYBPluginResult result);
    // The file system owning argument 0, with its URL; answers 6 with NOT_FOUND and gives none when
    // there is none.
    std::optional<std::pair<HYBFilesystemURL, std::shared_ptr<HYBFileSystem>>> fileSystemForArgument(
        const runtime::HYBInvokedUrlCommand& command, std::size_t index = 0);
    void doCopyMove(const runtime::HYBInvokedUrlCommand& command, bool copy);
    void readFile(const runtime::HYBInvokedUrlCommand& command, ReadKind kind);
    static runtime::HYBPluginResult answerForRead(ReadKind kind, const platform::Bytes& data,
                                                  const std::optional<std::string>& mimeType);
    void removeEntry(const runtime::HYBInvokedUrlCommand& command, bool recursive);
    std::weak_ptr<HYBFile> weakFile();

public:
    // The bytes reads may hold at once while their answers are made.
    static constexpr std::uint64_t kReadBudget = 2 * HYBFileSystem::kMaxReadLength;

    // Reads waiting for room, and the room taken. Shared with the reads' tickets, so that a read whose
    // plug-in went away still gives its room back.
    class ReadGate {
    public:
        // Runs `start` at once when `cost` fits, else when enough reads have ended (in order).
        void admit(std::uint64_t cost, std::function<void()> start);
        void release(std::uint64_t cost);
        std::uint64_t held() const;
        std::size_t waiting() const;

    private:
        mutable std::mutex m_mutex;
        std::uint64_t m_held = 0;
        std::deque<std::pair<std::uint64_t, std::function<void()>>> m_waiting;
    };
    const std::shared_ptr<ReadGate>& readGate() const { return m_readGate; }

private:
    // What a read of this range is expected to hold: its length where the file system can tell, else the
    // most a read returns.
    static std::uint64_t expectedReadCost(const std::shared_ptr<HYBFileSystem>& fileSystem, const HYBFilesystemURL& url,
                                          std::int64_t start, std::int64_t end);
    std::shared_ptr<ReadGate> m_readGate = std::make_shared<ReadGate>();

    std::atomic<std::shared_ptr<const FileSystems>> m_fileSystems{std::make_shared<const FileSystems>()};
    std::string m_rootDocsPath;
    std::string m_appLibraryPath;
    std::string m_appTempPath;
};

} // namespace files
