#include "webengine/WebContext.h"

#include "webengine/CookieJarBound.h"
#include "webengine/LocalStorageBound.h"
#include "webengine/RouteURL.h"
#include "webengine/UserPrompts.h"
#include "webengine/WebKitEngine.h"

#include "webprocess/Messages.h"

#include "platform/system/ProcessEnvironment.h"

#include <webkit2/webkit2.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <vector>

namespace webengine {

namespace {

// The schemes of the application's resources that its URL protocols serve to its pages: its file systems
// and its photo library, and those registered since.
std::vector<std::string>& applicationSchemes()
{
    static auto* schemes = new std::vector<std::string>{"hybfile", "assets-library"};
    return *schemes;
}

// Like file URLs, only a document or worker of a local origin (the application's file pages) may load them;
// the engine refuses them to any other (a frame of another site, a sandboxed or data: document, and their
// workers) before the load is made. CORS-enabled: the application's pages read them as another origin's
// resources that name their reader.
void registerApplicationScheme(WebKitWebContext* context, const std::string& scheme)
{
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_local(security, scheme.c_str());
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, scheme.c_str());
}

void onRouteRequest(WebKitURISchemeRequest* request, gpointer)
{
    const char* uri = webkit_uri_scheme_request_get_uri(request);
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
    WebKitEngine* engine = view ? WebKitEngine::fromView(view) : nullptr;
    if (auto bridge = originalURLFromBridgeRoute(uri ? uri : ""); bridge && engine) {
        engine->routeBridgeRequest(std::make_shared<RoutedRequest>(request, std::move(*bridge)));
        return;
    }
    auto original = originalURLFromRoute(uri ? uri : "");
    if (!original)
        original = originalURLFromLocalRoute(uri ? uri : "");
    if (!original || !engine) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "not a routed load");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    engine->routeResourceRequest(std::make_shared<RoutedRequest>(request, std::move(*original)));
}

// ---- the engine's temporary files ----

// The engine's network process writes what it keeps of a page's Blobs for IndexedDB (and a frame of another site's
// IndexedDB, which it keeps apart from the disk, whole) to files in the folder TMPDIR names, and leaves them there
// when it ends. A process that shows pages settles, before any thread starts, a folder of its own inside the
// application's caches (<cache folder>/tmp/engine-XXXXXX, beside a lock file it holds while it runs,
// engine-XXXXXX.lock) as its TMPDIR, which every engine process it starts inherits (the network process again when
// it is started anew): a folder whose lock nobody holds (its process ended, however) is removed at the next
// settling, and the process removes its own once the engine's processes have ended (EngineProcesses::end).
constexpr const char* kTemporaryFolders = "/tmp";
constexpr const char* kLockSuffix = ".lock";
// The folder of the caches the engine's libraries keep (their XDG cache home), and the shader cache's bound.
constexpr const char* kLibraryCaches = "/libraries";
constexpr const char* kShaderCacheBytes = "64M";

struct TemporaryFolder {
    std::string path;
    std::string lock;
    int fd = -1;
};

// This process's, once settled. Written only before the program starts a thread.
std::optional<TemporaryFolder>& settledFolder()
{
    static auto* folder = new std::optional<TemporaryFolder>();
    return *folder;
}

// Removes from `root` what processes that ended left: a folder whose lock file nobody holds, or that has none.
void removeLeftovers(const std::string& root)
{
    std::error_code error;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root, error))
        names.push_back(entry.path().filename().string());
    std::set<std::string> held;
    for (const std::string& name : names) {
        if (!name.ends_with(kLockSuffix))
            continue;
        const std::string lock = root + "/" + name;
        const int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        struct stat status {};
        const bool regular = fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
        if (regular && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            held.insert(name.substr(0, name.size() - std::strlen(kLockSuffix)));
        } else {
            // Its folder first: a folder without its lock file is a leftover too.
            std::filesystem::remove_all(root + "/" + name.substr(0, name.size() - std::strlen(kLockSuffix)), error);
            std::filesystem::remove_all(lock, error);
        }
        if (fd >= 0)
            ::close(fd);
    }
    for (const std::string& name : names) {
        if (!name.ends_with(kLockSuffix) && !held.count(name))
            std::filesystem::remove_all(root + "/" + name, error);
    }
}

// A temporary folder of this process's own under `root`, made after what ended processes left there was removed;
// none when it cannot be made.
std::optional<TemporaryFolder> makeTemporaryFolder(const std::string& root)
{
    std::error_code error;
    std::filesystem::create_directories(root, error);
    removeLeftovers(root);
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string lock = root + "/engine-XXXXXX" + kLockSuffix;
        const int fd = ::mkostemps(lock.data(), static_cast<int>(std::strlen(kLockSuffix)), O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        struct stat status {};
        // Another process's start that found the lock file before it was held took it for a leftover: anew.
        if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &status) != 0 || status.st_nlink == 0) {
            ::close(fd);
            continue;
        }
        const std::string folder = lock.substr(0, lock.size() - std::strlen(kLockSuffix));
        if (::mkdir(folder.c_str(), 0700) != 0) {
            ::unlink(lock.c_str());
            ::close(fd);
            return std::nullopt;
        }
        return TemporaryFolder{folder, lock, fd};
    }
    return std::nullopt;
}

// ---- site storage ----

// The share of the volume holding `folder` that `bytes` make, for the data manager's storage ratios (the engine
// reads its quota as that share of the volume's capacity); none when the volume cannot be read.
std::optional<double> shareOfVolume(double bytes, const std::string& folder)
{
    std::filesystem::path path = folder;
    std::error_code error;
    while (!path.empty() && !std::filesystem::exists(path, error) && path.has_parent_path() && path != path.parent_path())
        path = path.parent_path();
    struct statvfs volume {};
    if (path.empty() || ::statvfs(path.c_str(), &volume) != 0)
        return std::nullopt;
    const double capacity = static_cast<double>(volume.f_blocks) * static_cast<double>(volume.f_frsize);
    if (capacity <= 0)
        return std::nullopt;
    // Above zero, which would turn storage off.
    return std::clamp(bytes / capacity, 1e-12, 1.0);
}

WebKitWebContext* makeContext(const WebsiteDataLocation& location)
{
    WebKitWebContext* context = nullptr;
    if (location.dataFolder.empty()) {
        context = webkit_web_context_new_ephemeral();
    } else {
        // Every origin's site storage, and all of it together, bounded (the engine sets no bound of its own).
        const std::optional<double> origin = shareOfVolume(HYB_ORIGIN_STORAGE_BYTES, location.dataFolder);
        const std::optional<double> total = shareOfVolume(HYB_TOTAL_STORAGE_BYTES, location.dataFolder);
        WebKitWebsiteDataManager* manager = WEBKIT_WEBSITE_DATA_MANAGER(
            g_object_new(WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", location.dataFolder.c_str(),
                         "base-cache-directory", location.cacheFolder.c_str(), "origin-storage-ratio", origin.value_or(-1.0),
                         "total-storage-ratio", total.value_or(-1.0), nullptr));
        // The engine's cookie jar (documents' cookies, and every load that goes out unrouted) lasts with the
        // application's data, beside the pages' other data.
        context = webkit_web_context_new_with_website_data_manager(manager);
        g_object_unref(manager);
        webkit_cookie_manager_set_persistent_storage(webkit_web_context_get_cookie_manager(context),
                                                     (location.dataFolder + "/cookies.sqlite").c_str(),
                                                     WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
        LocalStorageBound::install(context, location.dataFolder + "/localstorage");
    }
    webkit_web_context_set_web_extensions_directory(context, WebContext::webProcessModuleFolder().c_str());
    webkit_web_context_set_web_extensions_initialization_user_data(context,
                                                                   g_variant_new(HYB_MODULE_DATA_TYPE, location.dataFolder.c_str()));
    answerUserPrompts(context);
    webkit_web_context_register_uri_scheme(context, kRouteScheme, onRouteRequest, nullptr, nullptr);
    WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kRouteScheme);
    webkit_security_manager_register_uri_scheme_as_secure(security, kRouteScheme);
    webkit_web_context_register_uri_scheme(context, kLocalRouteScheme, onRouteRequest, nullptr, nullptr);
    webkit_security_manager_register_uri_scheme_as_cors_enabled(security, kLocalRouteScheme);
    webkit_security_manager_register_uri_scheme_as_secure(security, kLocalRouteScheme);
    webkit_security_manager_register_uri_scheme_as_local(security, kLocalRouteScheme);
    for (const std::string& scheme : applicationSchemes())
        registerApplicationScheme(context, scheme);
    // A view shows one page at a time, as the phone's web view: no page is kept for going back.
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    CookieJarBound::install(context);
    return context;
}

constexpr const char* kCookiePolicyKey = "hyb-cookie-policy";

// The engine's form of the platform's accept policy. "Always" takes third-party cookies too, as the phone's
// web view did: the application's pages are files, to which every site they frame is a third party. The
// engine keeps its own SameSite and public-suffix rules whatever the policy.
WebKitCookieAcceptPolicy enginePolicyOf(platform::HTTPCookieAcceptPolicy policy)
{
    switch (policy) {
    case platform::HTTPCookieAcceptPolicy::Always: return WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS;
    case platform::HTTPCookieAcceptPolicy::Never: return WEBKIT_COOKIE_POLICY_ACCEPT_NEVER;
    case platform::HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain: return WEBKIT_COOKIE_POLICY_ACCEPT_NO_THIRD_PARTY;
    }
    return WEBKIT_COOKIE_POLICY_ACCEPT_NO_THIRD_PARTY;
}

// Gives the context's cookie jar the platform's accept policy, when it does not have it yet.
void followCookieAcceptPolicy(WebKitWebContext* context)
{
    const WebKitCookieAcceptPolicy policy = enginePolicyOf(platform::HTTPCookieStorage::shared().cookieAcceptPolicy());
    // Stored one above the value, so that no policy reads as "none set yet".
    const auto applied = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(context), kCookiePolicyKey));
    if (applied == static_cast<int>(policy) + 1)
        return;
    webkit_cookie_manager_set_accept_policy(webkit_web_context_get_cookie_manager(context), policy);
    g_object_set_data(G_OBJECT(context), kCookiePolicyKey, GINT_TO_POINTER(static_cast<int>(policy) + 1));
}

} // namespace

std::string WebContext::webProcessModuleFolder()
{
    if (const char* folder = std::getenv("HYB_WEB_PROCESS_MODULE_DIR"))
        return folder;
    return HYB_WEB_PROCESS_MODULE_DIR;
}

namespace {

std::set<std::string>& foldersInUse()
{
    static auto* folders = new std::set<std::string>();
    return *folders;
}

} // namespace

void WebContext::noteStorageUse(const WebsiteDataLocation& location)
{
    if (!location.dataFolder.empty())
        foldersInUse().insert(location.dataFolder);
    followCookieAcceptPolicy(forLocation(location));
}

bool WebContext::isStorageInUse(const std::string& dataFolder)
{
    return foldersInUse().count(dataFolder) != 0;
}

namespace {

// Never torn down: WebKit keeps web processes and data stores for the process's lifetime anyway.
std::map<WebsiteDataLocation, WebKitWebContext*>& contexts()
{
    static auto* made = new std::map<WebsiteDataLocation, WebKitWebContext*>();
    return *made;
}

// The platform's form of a cookie of the engine, enough to choose it (name, value, domain, path, expiry).
platform::HTTPCookie platformCookie(SoupCookie* cookie)
{
    platform::HTTPCookie converted(soup_cookie_get_name(cookie), soup_cookie_get_value(cookie), soup_cookie_get_domain(cookie),
                                   soup_cookie_get_path(cookie));
    if (GDateTime* expires = soup_cookie_get_expires(cookie))
        converted.setExpiresDate(platform::Date{static_cast<double>(g_date_time_to_unix(expires))});
    converted.setSecure(soup_cookie_get_secure(cookie));
    converted.setHTTPOnly(soup_cookie_get_http_only(cookie));
    return converted;
}

} // namespace

void WebContext::deleteDocumentCookies(platform::HTTPCookieStorage::CookiePredicate pick)
{
    for (const auto& [location, context] : contexts()) {
        WebKitCookieManager* manager = webkit_web_context_get_cookie_manager(context);
        auto* held = new platform::HTTPCookieStorage::CookiePredicate(pick);
        webkit_cookie_manager_get_all_cookies(manager, nullptr, +[](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<platform::HTTPCookieStorage::CookiePredicate> chosen(static_cast<platform::HTTPCookieStorage::CookiePredicate*>(data));
            auto* cookieManager = WEBKIT_COOKIE_MANAGER(source);
            GList* cookies = webkit_cookie_manager_get_all_cookies_finish(cookieManager, result, nullptr);
            for (GList* item = cookies; item; item = item->next) {
                auto* cookie = static_cast<SoupCookie*>(item->data);
                if ((*chosen)(platformCookie(cookie)))
                    webkit_cookie_manager_delete_cookie(cookieManager, cookie, nullptr, nullptr, nullptr);
            }
            g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        }, held);
    }
}

void WebContext::registerApplicationScheme(const std::string& scheme)
{
    if (std::find(applicationSchemes().begin(), applicationSchemes().end(), scheme) != applicationSchemes().end())
        return;
    applicationSchemes().push_back(scheme);
    for (const auto& [location, context] : contexts())
        webengine::registerApplicationScheme(context, scheme);
}

bool WebContext::isApplicationScheme(const std::string& scheme)
{
    return std::any_of(applicationSchemes().begin(), applicationSchemes().end(),
                       [&](const std::string& own) { return g_ascii_strcasecmp(own.c_str(), scheme.c_str()) == 0; });
}

platform::Status WebContext::settleTemporaryFolder(const std::string& cacheFolder)
{
    if (settledFolder())
        return platform::Error(platform::kPOSIXErrorDomain, EEXIST, "the engine's temporary folder is settled already, at " + settledFolder()->path);
    // Checked first, so that a late call removes no other process's folder either.
    if (!platform::ProcessEnvironment::noThreadStarted())
        return platform::Error(platform::kPOSIXErrorDomain, EBUSY,
                               "the engine's temporary folder is settled before any thread starts: other threads run");
    const std::string root = cacheFolder + kTemporaryFolders;
    std::optional<TemporaryFolder> made = makeTemporaryFolder(root);
    if (!made)
        return platform::Error(platform::kPOSIXErrorDomain, errno ? errno : EIO,
                               "cannot make the engine's temporary folder in " + root + ": " + std::strerror(errno ? errno : EIO));
    if (platform::Status set = platform::ProcessEnvironment::set("TMPDIR", made->path, platform::ProcessEnvironment::Reach::EngineOnly); !set) {
        std::error_code error;
        std::filesystem::remove_all(made->path, error);
        ::unlink(made->lock.c_str());
        ::close(made->fd);
        return set.error();
    }
    // The caches the engine's libraries keep of their own (the graphics driver's compiled shader programs, the
    // media framework's list of plug-ins, the font lists) go to the application's caches too, never to the user's
    // cache folder: a page's WebGL programs fill the shader cache, which the driver bounds at kShaderCacheBytes.
    const std::string libraries = cacheFolder + kLibraryCaches;
    std::error_code madeLibraries;
    std::filesystem::create_directories(libraries + "/mesa_shader_cache", madeLibraries);
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"XDG_CACHE_HOME", libraries},
                                      {"MESA_SHADER_CACHE_DIR", libraries + "/mesa_shader_cache"},
                                      {"MESA_SHADER_CACHE_MAX_SIZE", kShaderCacheBytes}}) {
        if (platform::Status set = platform::ProcessEnvironment::set(name, value, platform::ProcessEnvironment::Reach::EngineOnly); !set)
            return set.error();
    }
    settledFolder() = std::move(*made);
    return {};
}

std::optional<std::string> WebContext::temporaryFolder()
{
    if (!settledFolder())
        return std::nullopt;
    return settledFolder()->path;
}

void WebContext::removeTemporaryFolders()
{
    std::optional<TemporaryFolder>& folder = settledFolder();
    if (!folder || folder->fd < 0)
        return;
    std::error_code error;
    std::filesystem::remove_all(folder->path, error);
    ::unlink(folder->lock.c_str());
    ::close(folder->fd);
    folder->fd = -1;
}

WebKitWebContext* WebContext::forLocation(const WebsiteDataLocation& location)
{
    auto& contexts = webengine::contexts();
    auto it = contexts.find(location);
    if (it != contexts.end())
        return it->second;
    WebKitWebContext* context = makeContext(location);
    contexts.emplace(location, context);
    return context;
}

} // namespace webengine
