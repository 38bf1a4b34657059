// The view controller of the runtime: it owns one web view and everything the page needs around it: the
// command queue and command delegate, the settings of config.xml, the plug-in registry, the whitelist and
// the user agent. It brings the web view up with the configured settings, makes the start-up plug-ins,
// loads the start page (or the error page) under its own user agent, filters every navigation (the
// page's "hyb" and "%01"/"%02" signals arrive here), turns page loads and lifecycle changes into plug-in
// notifications and document events, hands URLs opened into the application to the page and answers the
// platform's orientation questions with the page's help.
//
// Make one with create<T>() (the shared initialisation needs the controller's own shared_ptr).
//
// Guarantees:
// - Main thread only, like its web view.
// - Owns its plug-ins, command queue and command delegate for its life; they and the web view's
//   delegate reach it weakly. At destruction it leaves the XHR bridge, stops observing, gives the
//   user-agent lock back, disposes of the queue and then of every plug-in.
// - The user-agent lock taken at start-up is given back at the first finished or failed load, at view
//   unload or at destruction, whichever comes first.
// - The page's "%01"/"%02" fragment signals are read only from a change of the fragment of the page's
//   main document; the same fragment on a frame's own document, or on a document a navigation or redirect
//   loads, is refused unread. The message shown in place
//   of a missing start page is let through by its own load's question only (its view's, top-level, for
//   its document, a load the application made), never by a frame's, a page's or a redirect's.
// - A failed load shows the error page ("ErrorUrl") once: not when the error page itself fails, and not
//   when the page shown is the error page (a load it leads to that fails leaves it shown, so an error page
//   leading to a failing address does not load itself without end).
// - Lifecycle scripts: going to the background or resigning evaluates its document event at once;
//   coming back and becoming active schedule theirs on the main run loop.
#pragma once

#include "platform/text/URL.h"
#include "platform/core/Value.h"
#include "platform/ui/ViewController.h"
#include "platform/web/WebView.h"
#include "platform/web/WebViewDelegate.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBLoadedSettings.h"
#include "runtime/HYBPluginRegistry.h"
#include "runtime/HYBScreenOrientationDelegate.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

class HYBCommandDelegateImpl;
class HYBCommandQueue;
class HYBWebViewDelegate;

// The text the page's script gets for each lifecycle change.
inline constexpr const char* kHYBResignEventScript = "hybrid.fireDocumentEvent('resign');";
inline constexpr const char* kHYBResumeEventScript = "hybrid.fireDocumentEvent('resume');";
inline constexpr const char* kHYBActiveEventScript = "hybrid.fireDocumentEvent('active');";
inline constexpr const char* kHYBPauseEventScript = "hybrid.fireDocumentEvent('pause', null, true);";
// The start page's time-out, in seconds.
inline constexpr double kHYBStartPageTimeout = 20.0;

class HYBViewController : public platform::ViewController,
                          public platform::WebViewDelegate,
                          public HYBCommandHost,
                          public HYBScreenOrientationDelegate {
public:
    // Makes a controller of class T and runs the shared initialisation (queue, delegate, observers,
    // orientations, start-up log lines, config.xml: the settings given, else the main bundle's file).
    template <class T = HYBViewController>
    static std::shared_ptr<T> create(std::optional<HYBLoadedSettings> settings = std::nullopt) {
        auto controller = std::make_shared<T>();
        controller->init(std::move(settings));
        return controller;
    }

    HYBViewController();
    ~HYBViewController() override;

    // The shared initialisation; runs once.
    void init(std::optional<HYBLoadedSettings> settings = std::nullopt);

    // ---- start-up ----
    void viewDidLoad() override;
    void viewDidUnload() override;
    void didReceiveMemoryWarning() override;
    // Makes the web view (newHybridViewWithFrame) for the view's bounds and puts it at the back.
    void createGapView();
    virtual std::shared_ptr<platform::WebView> newHybridViewWithFrame(platform::Rect frame);
    // The start page's URL; nothing (and loadFromString set) when the start page is not in the bundle. The
    // message then shown in its place is let through once, by its own load's question only.
    std::optional<platform::URL> appUrl();
    // The error page's URL from "ErrorUrl"; nothing when unset or not in the bundle.
    std::optional<platform::URL> errorUrl();

    // ---- navigation and page events (through the HYBWebViewDelegate wrapper) ----
    bool shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                    platform::WebViewNavigationType navigationType) override;
    void webViewDidStartLoad(platform::WebView& webView) override;
    void webViewDidFinishLoad(platform::WebView& webView) override;
    void didFailLoadWithError(platform::WebView& webView, const platform::Error& error) override;

    // ---- application events ----
    void onAppWillTerminate();
    void onAppWillResignActive();
    void onAppWillEnterForeground();
    void onAppDidBecomeActive();
    void onAppDidEnterBackground();
    void onPageDidLoad();

    // ---- URLs opened into the application ----
    // Hands the URL to the page's handleOpenURL; unless pageLoaded, waits for the page when it is still
    // loading (until this controller's own page has loaded; another view's load does not deliver it).
    void processOpenUrl(const std::string& url, bool pageLoaded = false);

    // ---- orientation ----
    static std::vector<platform::InterfaceOrientation> parseInterfaceOrientations(const platform::Array& names);
    static int mapIosOrientationToJsOrientation(platform::InterfaceOrientation orientation);
    bool shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) override;
    bool supportsOrientation(platform::InterfaceOrientation orientation) const;
    bool shouldAutorotate() override { return true; }
    platform::InterfaceOrientationMask supportedInterfaceOrientations() override;

    // ---- smaller helpers ----
    void javascriptAlert(std::string_view text);
    static std::optional<std::string> applicationDocumentsDirectory();
    std::optional<std::string> appURLScheme() const;
    static std::optional<platform::Dictionary> getBundlePlist(const std::string& name);
    bool URLisAllowed(const platform::URL& url) const;

    // ---- plug-ins (the registry) ----
    void registerPlugin(std::shared_ptr<HYBPlugin> plugin, const std::string& className);
    void registerPluginWithPluginName(std::shared_ptr<HYBPlugin> plugin, std::string_view pluginName);
    const HYBPluginRegistry& pluginRegistry() const { return *m_plugins; }

    // ---- HYBCommandHost ----
    std::shared_ptr<platform::WebView> webView() const override { return m_webView; }
    std::shared_ptr<HYBCommandDelegate> commandDelegate() const override;
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view pluginName) override;
    platform::Dictionary settings() const override { return m_config.settings; }
    const HYBWhitelist* whitelist() const override { return m_config.whitelist.get(); }
    // The composed user agent, cached for the controller's life.
    std::string userAgent() override;
    std::string wwwFolderName() const override { return m_config.wwwFolderName; }

    // ---- state ----
    void setWebView(std::shared_ptr<platform::WebView> webView) { m_webView = std::move(webView); }
    const std::shared_ptr<HYBCommandQueue>& commandQueue() const { return m_commandQueue; }
    const std::shared_ptr<HYBCommandDelegateImpl>& commandDelegateImpl() const { return m_commandDelegate; }
    std::shared_ptr<const HYBWhitelist> whitelistPointer() const { return m_config.whitelist; }
    const std::vector<std::string>& startupPluginNames() const { return m_config.startupPluginNames; }
    const std::string& startPage() const { return m_config.startPage; }
    void setStartPage(std::string page) { m_config.startPage = std::move(page); }
    void setWwwFolderName(std::string folder) { m_config.wwwFolderName = std::move(folder); }
    void setSetting(std::string value, std::string_view name) { m_config.setSetting(std::move(value), name); }
    void setBaseUserAgent(std::string agent) { m_baseUserAgent = std::move(agent); }
    const std::vector<platform::InterfaceOrientation>& supportedOrientations() const { return m_supportedOrientations; }
    bool loadFromString() const { return m_loadFromString; }
    const std::optional<std::string>& openURL() const { return m_openURL; }
    std::int64_t userAgentLockToken() const { return m_userAgentLockToken; }
    // The number that identifies this controller to the XHR bridge, which its user agent carries to every
    // server: one of a count kept by the process (from 1), never given to another controller, telling
    // nothing of the process's memory.
    std::int64_t registryNumber() const;

    // Start-up log lines.
    static void printVersion();
    static void printMultitaskingInfo();
    static void printPlatformVersionWarning();

private:
    static std::int64_t nextRegistryNumber();
    std::shared_ptr<HYBViewController> self();
    void loadSettings(std::optional<HYBLoadedSettings> settings);
    void applyWebViewSettings();
    void createStartupPlugins();
    void loadStartPage(std::int64_t lockToken, const std::optional<platform::URL>& startURL);
    // "?error=<escaped message>" resolved against the error page.
    static std::optional<platform::URL> errorPageURL(const platform::URL& errorPage, const std::string& message);
    void releaseUserAgentLock();
    void forgetWebView();
    // The navigation filter proper (shouldStartLoadWithRequest's answer).
    bool filterNavigation(platform::WebView& webView, const platform::URLRequest& request,
                          platform::WebViewNavigationType navigationType);
    // Whether the question is the one of the message's load (loadStartPage without a page to load).
    bool isStringLoadQuestion(const platform::WebView& webView, const platform::URLRequest& request,
                              platform::WebViewNavigationType navigationType) const;

    const std::int64_t m_registryNumber = nextRegistryNumber();
    bool m_initialized = false;
    std::shared_ptr<platform::WebView> m_webView;
    std::vector<platform::InterfaceOrientation> m_supportedOrientations;
    HYBLoadedSettings m_config;
    std::unique_ptr<HYBPluginRegistry> m_plugins;
    bool m_loadFromString = false;
    // The document of the text this controller asked its web view to show, until that load's question came.
    std::optional<std::string> m_stringLoadDocument;
    std::optional<std::string> m_openURL;
    std::optional<std::string> m_baseUserAgent;
    std::shared_ptr<HYBCommandQueue> m_commandQueue;
    std::shared_ptr<HYBCommandDelegateImpl> m_commandDelegate;
    std::optional<std::string> m_userAgent;
    std::int64_t m_userAgentLockToken = 0;
    std::shared_ptr<HYBWebViewDelegate> m_webViewDelegate;
    bool m_registeredWithBridge = false;
    // The error page asked for, until a page load ends: its own failure does not load it again. Forgotten
    // when its own question is refused (it never loads).
    std::optional<std::string> m_errorPageLoad;
    // The last page that finished loading is the error page: a later failure does not load it again.
    bool m_showsErrorPage = false;
};

} // namespace runtime
