#include "webengine/LocalStorageBound.h"

#include "webengine/CoalescedPass.h"

#include "platform/net/PublicSuffix.h"

#include "webprocess/Messages.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace webengine {

namespace {

std::uint64_t& bound()
{
    static std::uint64_t bytes = static_cast<std::uint64_t>(HYB_TOTAL_STORAGE_BYTES);
    return bytes;
}

struct Watch;
void measure(Watch& watch);

struct Watch {
    Watch(WebKitWebsiteDataManager* data, std::string localStorage)
        : manager(data), folder(std::move(localStorage)), pass(LocalStorageBound::kMeasureDelay, [this] { measure(*this); })
    {
    }
    ~Watch()
    {
        if (monitor)
            g_object_unref(monitor);
    }
    WebKitWebsiteDataManager* manager;
    std::string folder;
    GFileMonitor* monitor = nullptr;
    CoalescedPass pass;
};

struct Site {
    std::uint64_t bytes = 0;
    std::filesystem::file_time_type written{};
};

struct Removal {
    Watch* watch;
    std::set<std::string> sites;
};

// The site of a database file's origin ("http_www.example.com_8080.localstorage", with "-wal" or "-shm" for its
// journal), when the origin is a web one; none for the application's own (file__0 and its own schemes).
std::optional<std::string> webSiteOf(const std::string& name)
{
    std::string base = name;
    for (const char* journal : {"-wal", "-shm", "-journal"})
        if (base.size() > std::strlen(journal) && base.compare(base.size() - std::strlen(journal), std::string::npos, journal) == 0)
            base.erase(base.size() - std::strlen(journal));
    static const std::string kSuffix = ".localstorage";
    if (base.size() <= kSuffix.size() || base.compare(base.size() - kSuffix.size(), std::string::npos, kSuffix) != 0)
        return std::nullopt;
    base.erase(base.size() - kSuffix.size());
    const std::size_t scheme = base.find('_');
    const std::size_t port = base.rfind('_');
    if (scheme == std::string::npos || port <= scheme + 1)
        return std::nullopt;
    const std::string protocol = base.substr(0, scheme);
    if (protocol != "http" && protocol != "https")
        return std::nullopt;
    return platform::PublicSuffix::siteOf(base.substr(scheme + 1, port - scheme - 1));
}

void onRemoved(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<Removal> removal(static_cast<Removal*>(data));
    GError* error = nullptr;
    webkit_website_data_manager_remove_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result, &error);
    if (error)
        g_error_free(error);
    removal->watch->pass.finished();
}

void onFetched(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<Removal> removal(static_cast<Removal*>(data));
    Watch& watch = *removal->watch;
    GError* error = nullptr;
    GList* records = webkit_website_data_manager_fetch_finish(WEBKIT_WEBSITE_DATA_MANAGER(source), result, &error);
    if (error)
        g_error_free(error);
    GList* chosen = nullptr;
    for (GList* item = records; item; item = item->next) {
        auto* record = static_cast<WebKitWebsiteData*>(item->data);
        const char* name = webkit_website_data_get_name(record);
        if (name && removal->sites.count(platform::PublicSuffix::siteOf(name)))
            chosen = g_list_prepend(chosen, record);
    }
    if (!chosen) {
        g_list_free_full(records, reinterpret_cast<GDestroyNotify>(webkit_website_data_unref));
        watch.pass.finished();
        return;
    }
    webkit_website_data_manager_remove(WEBKIT_WEBSITE_DATA_MANAGER(source), WEBKIT_WEBSITE_DATA_LOCAL_STORAGE, chosen, nullptr,
                                       onRemoved, removal.release());
    g_list_free(chosen);
    g_list_free_full(records, reinterpret_cast<GDestroyNotify>(webkit_website_data_unref));
}

// Measures the folder; past the bound, removes the least recently written sites' local storage.
void measure(Watch& watch)
{
    std::map<std::string, Site> sites;
    std::uint64_t total = 0;
    std::size_t entries = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(watch.folder, error), end; !error && it != end; it.increment(error)) {
        if (++entries > LocalStorageBound::kMaxMeasuredEntries) {
            total = UINT64_MAX;
            break;
        }
        std::error_code statError;
        const auto status = it->symlink_status(statError);
        if (statError || !std::filesystem::is_regular_file(status))
            continue;
        const std::uint64_t bytes = it->file_size(statError);
        if (statError)
            continue;
        total += bytes;
        if (auto site = webSiteOf(it->path().filename().string())) {
            Site& kept = sites[*site];
            kept.bytes += bytes;
            kept.written = std::max(kept.written, it->last_write_time(statError));
        }
    }
    if (total <= bound() || sites.empty()) {
        watch.pass.finished();
        return;
    }
    std::vector<std::pair<std::string, Site>> byAge(sites.begin(), sites.end());
    std::sort(byAge.begin(), byAge.end(), [](const auto& a, const auto& b) { return a.second.written < b.second.written; });
    auto removal = std::make_unique<Removal>();
    removal->watch = &watch;
    for (const auto& [site, kept] : byAge) {
        if (total != UINT64_MAX && total <= bound())
            break;
        removal->sites.insert(site);
        if (total != UINT64_MAX)
            total -= kept.bytes;
    }
    webkit_website_data_manager_fetch(watch.manager, WEBKIT_WEBSITE_DATA_LOCAL_STORAGE, nullptr, onFetched, removal.release());
}

void onFolderChanged(GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer data)
{
    static_cast<Watch*>(data)->pass.changed();
}

} // namespace

void LocalStorageBound::install(WebKitWebContext* context, const std::string& folder)
{
    auto* watch = new Watch(webkit_web_context_get_website_data_manager(context), folder);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    GFile* file = g_file_new_for_path(folder.c_str());
    watch->monitor = g_file_monitor_directory(file, G_FILE_MONITOR_NONE, nullptr, nullptr);
    g_object_unref(file);
    if (watch->monitor)
        g_signal_connect(watch->monitor, "changed", G_CALLBACK(onFolderChanged), watch);
    // Lives as long as the context (contexts last until the process ends).
    g_object_set_data_full(G_OBJECT(context), "hyb-local-storage-bound", watch, [](gpointer data) { delete static_cast<Watch*>(data); });
    // What earlier runs left.
    watch->pass.changed();
}

std::uint64_t LocalStorageBound::totalBytes()
{
    return bound();
}

void LocalStorageBound::setTotalBytes(std::uint64_t bytes)
{
    bound() = bytes;
}

} // namespace webengine
