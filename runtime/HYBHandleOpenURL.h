// The runtime's plug-in that hands a URL opened into the application to the page's global function
// handleOpenURL, once the page has loaded and after the page's "deviceready" event.
//
// Guarantees:
// - Main thread only (the notifications are posted there; script needs it).
// - A URL that arrives before the first "HYBPageDidLoadNotification" waits; a later one replaces it
//   (only the last is delivered). After the first page load every URL is delivered at once.
// - The URL reaches the script as a properly escaped string literal (quotes, backslashes, line
//   separators and control characters escaped), whatever it holds.
#pragma once

#include "runtime/HYBPlugin.h"

#include <optional>
#include <string>

namespace runtime {

// Posted (by the view controller) when its page has finished loading.
inline constexpr const char* kHYBPageDidLoadNotification = "HYBPageDidLoadNotification";

class HYBHandleOpenURL : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    // Observes the open-URL and page-loaded notifications (any sender).
    void pluginInitialize() override;

    // The open-URL notification; its user info carries the URL text under kHYBPluginHandleOpenURLKey.
    void applicationLaunchedWithUrl(const platform::Notification& notification);
    void applicationPageDidLoad(const platform::Notification& notification);
    // Hands the URL to the page; unless the page is known to be loaded, first asks the page whether it
    // is, and when it is not, keeps the URL waiting.
    void processOpenUrl(const std::string& url, bool pageLoaded);

    // The script that hands a URL to the page.
    static std::string handOverScript(std::string_view url);

    const std::optional<std::string>& url() const { return m_url; }
    bool pageLoaded() const { return m_pageLoaded; }

private:
    std::optional<std::string> m_url;
    bool m_pageLoaded = false;
};

} // namespace runtime
