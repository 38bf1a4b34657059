// The engine's process-wide state for one website-data folder: the WebKit web context with its data
// manager (local storage, databases, caches and the engine's cookie jar, "cookies.sqlite", kept under the
// application's Library), the "hybroute" scheme that brings the pages' sub-resource loads the application
// answers back to this process, and the module loaded into the web processes.
//
// Site storage is bounded: each origin keeps at most HYB_ORIGIN_STORAGE_BYTES, all together at most
// HYB_TOTAL_STORAGE_BYTES (webprocess/Messages.h), as the data manager's storage ratios of the volume; a page past
// them hears QuotaExceededError. The files the engine's network process keeps of pages' Blobs (IndexedDB's, a frame
// of another site's IndexedDB) go to the temporary folder the process settled, inside the application's cache
// folder (<cache folder>/tmp, settleTemporaryFolder), never to the system's; what a process that ended left there
// goes at the next settling.
//
// Main thread only. Contexts live until the process ends (web views hold them).
#pragma once

#include "platform/core/Error.h"
#include "platform/net/HTTPCookieStorage.h"

#include <optional>
#include <string>

typedef struct _WebKitWebContext WebKitWebContext;

namespace webengine {

struct WebsiteDataLocation {
    // Where WebKit keeps the pages' data (local storage, IndexedDB, databases): the app's Library/WebKit.
    std::string dataFolder;
    // Where it keeps caches: the app's Library/Caches/WebKit.
    std::string cacheFolder;
    bool operator<(const WebsiteDataLocation& other) const
    {
        return dataFolder != other.dataFolder ? dataFolder < other.dataFolder : cacheFolder < other.cacheFolder;
    }
};

class WebContext {
public:
    // The context for that location, made on first use. An empty location gives an ephemeral context
    // (nothing written to disk).
    static WebKitWebContext* forLocation(const WebsiteDataLocation& location);

    // Notes that pages of that location are about to run: from then on the engine's network process may
    // hold its storage files open (and keeps local storage in memory) until this process ends. The
    // context's cookie jar takes the platform's accept policy (HTTPCookieStorage) as it stands now.
    static void noteStorageUse(const WebsiteDataLocation& location);
    // Whether a page of this process may have opened the storage under that data folder.
    static bool isStorageInUse(const std::string& dataFolder);

    // Deletes the cookies `pick` chooses from the cookie store of every context made so far, where the
    // documents' own cookies live, and those of every load that goes out unrouted (the loads the route
    // answers use the platform's store). The deletions finish later, on
    // the main loop. Installed as the platform's document-cookie eraser by WebKitGtkWebView::installAsEngine.
    static void deleteDocumentCookies(platform::HTTPCookieStorage::CookiePredicate pick);

    // Makes `scheme` one of the application's own, as its file systems' "hybfile" and its photo library's
    // "assets-library" are: only documents and workers of a local origin (the application's file pages)
    // load its URLs, and they read them. For every context, made or to come.
    static void registerApplicationScheme(const std::string& scheme);
    // Whether `scheme` (in any case) is one of them.
    static bool isApplicationScheme(const std::string& scheme);

    // Makes this process's engine temporary folder, <cacheFolder>/tmp/engine-XXXXXX, after removing what
    // processes that ended left there, and names it as TMPDIR for the engine's processes (and this one; other
    // programs it starts get the TMPDIR from before: platform::ProcessEnvironment). Once, on the main thread,
    // before any other thread starts and any context is made: the environment cannot be changed later
    // (a call then is refused, and the engine's processes keep the TMPDIR the process has). The caches the engine's
    // libraries keep (shader programs, bounded to 64 MiB; the media plug-ins' list; font lists) go with it to
    // <cacheFolder>/libraries, as their XDG_CACHE_HOME.
    static platform::Status settleTemporaryFolder(const std::string& cacheFolder);
    // The folder settled, if any.
    static std::optional<std::string> temporaryFolder();
    // Removes the settled folder (the files the engine's processes keep of pages' Blobs), once they have ended
    // (EngineProcesses::end). A process that ends otherwise leaves it to the next settling, which removes every
    // folder whose process has ended.
    static void removeTemporaryFolders();

    // The folder holding the web-process module (the build's, unless HYB_WEB_PROCESS_MODULE_DIR is set in the
    // environment).
    static std::string webProcessModuleFolder();
};

} // namespace webengine
