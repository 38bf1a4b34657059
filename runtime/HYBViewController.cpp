#include "runtime/HYBViewController.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/formats/JSON.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/system/Pasteboard.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/Text.h"
#include "runtime/HYBCommandDelegateImpl.h"
#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/HYBLocalStorage.h"
#include "runtime/HYBTimer.h"
#include "runtime/HYBURLProtocol.h"
#include "runtime/HYBUserAgentUtil.h"
#include "runtime/HYBWebViewDelegate.h"
#include "runtime/TextCase.h"

#include <atomic>
#include <cstdlib>
#include <utility>

namespace runtime {
namespace {

constexpr unsigned kFlexibleWidthAndHeight = 18;

// The path part of a page named relative to the web root ("page.html?x#y" gives "page.html"), unescaped.
std::string resourcePathOf(const std::string& page) {
    const std::string path = page.substr(0, page.find_first_of("?#"));
    return platform::removePercentEscapes(path).value_or(path);
}
// A batch carried in the URL fragment, its "%XX" escapes decoded byte by byte. Nothing is refused here: a
// "%" without two hex digits stays as it is, and bytes that are not UTF-8 are left for the batch reader,
// which answers the commands they damage.
std::string fragmentBatchText(std::string_view escaped) {
    std::string text;
    text.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const int high = escaped[i] == '%' && i + 2 < escaped.size() ? platform::hexDigitValue(escaped[i + 1]) : -1;
        const int low = high >= 0 ? platform::hexDigitValue(escaped[i + 2]) : -1;
        if (low < 0) {
            text += escaped[i];
            continue;
        }
        text += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return text;
}

constexpr const char* kPaginationBreakingModes[] = {"page", "column"};
constexpr const char* kPaginationModes[] = {"unpaginated", "lefttoright", "toptobottom", "bottomtotop", "righttoleft"};

// The document the web view shows the start-up message in: it is given no base URL.
constexpr const char* kStringLoadDocument = "about:blank";

std::string withoutFragment(const std::string& url) { return url.substr(0, url.find('#')); }

// Whether two URL texts name the same address, whichever characters either escapes: an engine escapes some
// that the URL asked for left as they were (a quote in a query, say).
bool isSameAddress(const std::string& a, const std::string& b) {
    if (a == b)
        return true;
    const std::optional<std::string> plainA = platform::removePercentEscapes(a);
    const std::optional<std::string> plainB = platform::removePercentEscapes(b);
    return plainA && plainB && *plainA == *plainB;
}

// Whether a navigation question is about the page's main document (its load, a redirect of it, a change of
// its fragment): a frame's question carries the page's URL as its main document, not its own document.
bool isAboutMainDocument(const platform::URLRequest& request) {
    return request.url() && request.mainDocumentURL() &&
           withoutFragment(request.url()->absoluteString()) == withoutFragment(request.mainDocumentURL()->absoluteString());
}

// The text as HTML shows it: a start page's name is the bundle's, never markup of the message's page.
std::string htmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

bool isSystemAtLeast(const char* version) {
    return platform::isVersionAtLeast(platform::Device::current().systemVersion(), version);
}

// The boolean value of a text, as the platform's strings read it: blanks, a sign and leading zeros
// skipped, then "Y", "y", "T", "t" or a digit 1-9 means YES.
bool boolValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n'))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    while (i < text.size() && text[i] == '0')
        ++i;
    if (i == text.size())
        return false;
    const char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

// The leading floating-point number of a text; 0 when there is none.
double floatValue(const std::string& text) {
    return std::strtod(text.c_str(), nullptr);
}

std::optional<std::string> textSetting(const platform::Dictionary& settings, std::string_view name) {
    if (const std::string* value = settings[lowercased(name)].getString())
        return *value;
    return std::nullopt;
}

// The text inside a double-quoted script string: as it stands, except that quotes, backslashes, control
// characters and the two line separators are escaped (a URL's text has none of them).
void appendScriptStringContent(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += platform::formatString("\\u%04x", c);
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
}

std::size_t indexIn(const std::optional<std::string>& value, const char* const* list, std::size_t count) {
    if (!value)
        return 0;
    const std::string wanted = lowercased(*value);
    for (std::size_t i = 0; i < count; ++i)
        if (wanted == list[i])
            return i;
    return 0;
}

} // namespace

HYBViewController::HYBViewController() = default;

std::shared_ptr<HYBViewController> HYBViewController::self() {
    return std::static_pointer_cast<HYBViewController>(shared_from_this());
}

std::int64_t HYBViewController::nextRegistryNumber() {
    static std::atomic<std::int64_t> last{0};
    return ++last;
}

std::int64_t HYBViewController::registryNumber() const { return m_registryNumber; }

void HYBViewController::init(std::optional<HYBLoadedSettings> settings) {
    if (m_initialized)
        return;
    std::shared_ptr<HYBViewController> controller = self();
    m_commandQueue = std::make_shared<HYBCommandQueue>(controller);
    m_commandDelegate = std::make_shared<HYBCommandDelegateImpl>(controller, m_commandQueue);

    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, platform::kApplicationWillTerminateNotification, nullptr,
                       [this](const platform::Notification&) { onAppWillTerminate(); });
    center.addObserver(this, platform::kApplicationWillResignActiveNotification, nullptr,
                       [this](const platform::Notification&) { onAppWillResignActive(); });
    center.addObserver(this, platform::kApplicationDidBecomeActiveNotification, nullptr,
                       [this](const platform::Notification&) { onAppDidBecomeActive(); });
    center.addObserver(this, platform::kApplicationWillEnterForegroundNotification, nullptr,
                       [this](const platform::Notification&) { onAppWillEnterForeground(); });
    center.addObserver(this, platform::kApplicationDidEnterBackgroundNotification, nullptr,
                       [this](const platform::Notification&) { onAppDidEnterBackground(); });
    // Only this controller's page: another view's load says nothing of whether this page can take a URL.
    center.addObserver(this, kHYBPageDidLoadNotification, nullptr, [this](const platform::Notification& notification) {
        if (m_webView && notification.object == m_webView.get())
            onPageDidLoad();
    });

    const platform::Value orientations = platform::Bundle::main().objectForInfoDictionaryKey("UISupportedInterfaceOrientations");
    m_supportedOrientations = parseInterfaceOrientations(orientations.isArray() ? *orientations.getArray() : platform::Array());

    printVersion();
    printMultitaskingInfo();
    printPlatformVersionWarning();
    m_initialized = true;
    loadSettings(std::move(settings));
}

void HYBViewController::loadSettings(std::optional<HYBLoadedSettings> settings) {
    if (std::optional<HYBLoadedSettings> loaded = settings ? std::move(settings) : HYBLoadedSettings::loadSettings()) {
        m_config = std::move(*loaded);
        for (const std::string& line : std::exchange(m_config.skippedLines, {}))
            platform::Log::write(line);
        m_config.makeWhitelist();
    }
    else
        m_config.wwwFolderName = "www";
    m_plugins = std::make_unique<HYBPluginRegistry>(m_config.pluginsMap);
    m_plugins->setViewController(weak_from_this());
    m_plugins->setCommandDelegate(m_commandDelegate);
}

void HYBViewController::printVersion() {
    platform::Log::write(platform::formatString("Hybrid native platform version %s is starting.",
                                                platform::formatString("%d.%d.%d", 3, 9, 2).c_str()));
}

void HYBViewController::printMultitaskingInfo() {
    const bool device = platform::Device::current().isMultitaskingSupported();
    const bool app = !platform::Application::shared().exitsOnSuspend();
    platform::Log::write(platform::formatString("Multi-tasking -> Device: %s, App: %s", device ? "YES" : "NO", app ? "YES" : "NO"));
}

void HYBViewController::printPlatformVersionWarning() {
    if (isSystemAtLeast("6.0"))
        return;
    platform::Log::write(platform::formatString(
        "CRITICAL: For Hybrid 3.5.0 and above, you will need to upgrade to at least iOS 6.0 or greater. Your current version of iOS is %s.",
        platform::Device::current().systemVersion().c_str()));
}

// ---- the view ----

void HYBViewController::viewDidLoad() {
    ViewController::viewDidLoad();

    std::string backupType = textSetting(m_config.settings, "BackupWebStorage").value_or("cloud");
    m_config.setSetting(backupType, "BackupWebStorage");
    if (isSystemAtLeast("5.1"))
        HYBLocalStorage::fixupDatabaseLocationsWithBackupType(backupType);

    if (!m_webView)
        createGapView();
    m_plugins->setWebView(m_webView);

    m_webViewDelegate = std::make_shared<HYBWebViewDelegate>(std::static_pointer_cast<platform::WebViewDelegate>(self()));
    m_webView->setDelegate(m_webViewDelegate);

    HYBURLProtocol::registerViewController(registryNumber(), m_webView->identifier(), m_config.whitelist, m_commandQueue);
    m_registeredWithBridge = true;

    m_webView->setScalesPageToFit(boolValue(textSetting(m_config.settings, "EnableViewportScale").value_or("")));

    if (isSystemAtLeast("5.1") && (backupType == "local" || (backupType == "cloud" && !isSystemAtLeast("6.0"))))
        registerPlugin(std::make_shared<HYBLocalStorage>(m_webView), "HYBLocalStorage");

    applyWebViewSettings();
    createStartupPlugins();
    registerPlugin(std::make_shared<HYBHandleOpenURL>(m_webView), "HYBHandleOpenURL");

    std::optional<platform::URL> startURL = appUrl();
    std::weak_ptr<HYBViewController> weakSelf = self();
    HYBUserAgentUtil::acquireLock([weakSelf, startURL](std::int64_t lockToken) {
        if (std::shared_ptr<HYBViewController> controller = weakSelf.lock())
            controller->loadStartPage(lockToken, startURL);
        else
            HYBUserAgentUtil::releaseLock(lockToken);
    });
}

void HYBViewController::applyWebViewSettings() {
    const platform::Dictionary& settings = m_config.settings;
    platform::WebView& view = *m_webView;

    if (boolValue(textSetting(settings, "AllowInlineMediaPlayback").value_or("")))
        view.setAllowsInlineMediaPlayback(true);
    std::optional<std::string> requiresUserAction = textSetting(settings, "MediaPlaybackRequiresUserAction");
    if (requiresUserAction && !boolValue(*requiresUserAction))
        view.setMediaPlaybackRequiresUserAction(false);

    bool bounces = true;
    if (std::optional<std::string> disallow = textSetting(settings, "DisallowOverscroll"))
        bounces = !boolValue(*disallow);
    else if (std::optional<std::string> bounce = textSetting(settings, "UIWebViewBounce"))
        bounces = boolValue(*bounce);
    if (!bounces)
        view.scrollView().setBounces(false);

    if (textSetting(settings, "UIWebViewDecelerationSpeed") != std::optional<std::string>("fast"))
        view.scrollView().setDecelerationRate(platform::kScrollViewDecelerationRateNormal);

    if (isSystemAtLeast("6.0")) {
        view.setKeyboardDisplayRequiresUserAction(boolValue(textSetting(settings, "KeyboardDisplayRequiresUserAction").value_or("YES")));
        view.setSuppressesIncrementalRendering(boolValue(textSetting(settings, "SuppressesIncrementalRendering").value_or("NO")));
    }
    if (isSystemAtLeast("7.0")) {
        view.setGapBetweenPages(floatValue(textSetting(settings, "GapBetweenPages").value_or("0")));
        view.setPageLength(floatValue(textSetting(settings, "PageLength").value_or("0")));
        view.setPaginationBreakingMode(static_cast<platform::PaginationBreakingMode>(
            indexIn(textSetting(settings, "PaginationBreakingMode"), kPaginationBreakingModes, std::size(kPaginationBreakingModes))));
        view.setPaginationMode(static_cast<platform::PaginationMode>(
            indexIn(textSetting(settings, "PaginationMode"), kPaginationModes, std::size(kPaginationModes))));
    }
}

void HYBViewController::createStartupPlugins() {
    if (m_config.startupPluginNames.empty())
        return;
    HYBTimer::start("TotalPluginStartup");
    for (const std::string& name : m_config.startupPluginNames) {
        HYBTimer::start(name);
        getCommandInstance(name);
        HYBTimer::stop(name);
    }
    HYBTimer::stop("TotalPluginStartup");
}

void HYBViewController::createGapView() {
    m_webView = newHybridViewWithFrame(view()->bounds());
    m_webView->setAutoresizingMask(kFlexibleWidthAndHeight);
    view()->addSubview(m_webView);
    view()->sendSubviewToBack(m_webView);
}

std::shared_ptr<platform::WebView> HYBViewController::newHybridViewWithFrame(platform::Rect frame) {
    return platform::WebView::create(frame);
}

std::optional<platform::URL> HYBViewController::appUrl() {
    const std::string& startPage = m_config.startPage;
    if (startPage.find("://") != std::string::npos)
        return platform::URL::fromString(startPage);
    if (m_config.wwwFolderName.find("://") != std::string::npos)
        return platform::URL::fromString(m_config.wwwFolderName + "/" + startPage);

    const std::size_t suffix = startPage.find_first_of("?#");
    std::optional<std::string> found = m_commandDelegate->pathForResource(resourcePathOf(startPage));
    if (!found) {
        m_loadFromString = true;
        return std::nullopt;
    }
    platform::URL fileURL = platform::URL::fileURLWithPath(*found, false);
    if (suffix == std::string::npos)
        return fileURL;
    return platform::URL::fromString(startPage.substr(suffix), fileURL);
}

std::optional<platform::URL> HYBViewController::errorUrl() {
    std::optional<std::string> setting = textSetting(m_config.settings, "ErrorUrl");
    if (!setting)
        return std::nullopt;
    if (setting->find("://") != std::string::npos)
        return platform::URL::fromString(*setting);
    // The page is found by the path part of the setting: a query or fragment is not part of a file name.
    const std::string path = resourcePathOf(*setting);
    std::optional<std::string> found = m_commandDelegate->pathForResource(path);
    if (!found)
        return std::nullopt;
    return platform::URL::fileURLWithPath(*found, false);
}

std::optional<platform::URL> HYBViewController::errorPageURL(const platform::URL& errorPage, const std::string& message) {
    return platform::URL::fromString("?error=" + platform::addPercentEscapes(message), errorPage);
}

std::string HYBViewController::userAgent() {
    if (m_userAgent)
        return *m_userAgent;
    std::string base;
    if (m_baseUserAgent)
        base = *m_baseUserAgent;
    else if (std::optional<std::string> override = textSetting(m_config.settings, "OverrideUserAgent"))
        base = *override;
    else
        base = HYBUserAgentUtil::originalUserAgent();
    if (std::optional<std::string> append = textSetting(m_config.settings, "AppendUserAgent"))
        m_userAgent = base + " " + *append;
    else
        m_userAgent = platform::formatString("%s (%lld)", base.c_str(), static_cast<long long>(registryNumber()));
    return *m_userAgent;
}

void HYBViewController::loadStartPage(std::int64_t lockToken, const std::optional<platform::URL>& startURL) {
    m_userAgentLockToken = lockToken;
    HYBUserAgentUtil::setUserAgent(userAgent(), lockToken);
    if (!m_webView)
        return;
    if (startURL) {
        m_webView->loadRequest(platform::URLRequest(*startURL, platform::URLRequestCachePolicy::UseProtocolCachePolicy, kHYBStartPageTimeout));
        return;
    }
    const std::string message = platform::formatString("ERROR: Start Page at '%s/%s' was not found.", m_config.wwwFolderName.c_str(),
                                                       m_config.startPage.c_str());
    platform::Log::write(message);
    std::optional<platform::URL> errorPage = errorUrl();
    std::optional<platform::URL> target = errorPage ? errorPageURL(*errorPage, message) : std::nullopt;
    if (target) {
        platform::Log::write(target->absoluteString());
        // No text is shown: nothing is let through on its account.
        m_loadFromString = false;
        m_errorPageLoad = target->absoluteString();
        m_webView->loadRequest(platform::URLRequest(*target));
        return;
    }
    m_stringLoadDocument = kStringLoadDocument;
    m_webView->loadHTMLString(platform::formatString("<html><body> %s </body></html>", htmlText(message).c_str()), "");
}

bool HYBViewController::isStringLoadQuestion(const platform::WebView& webView, const platform::URLRequest& request,
                                             platform::WebViewNavigationType navigationType) const {
    // The question of the load itself: asked for this controller's view, of its top-level document (a
    // frame's question names the page as its main document), for the text's document, as a load the
    // application made. A frame, a page's navigation or a redirect elsewhere asks something else.
    return m_stringLoadDocument && &webView == m_webView.get() && navigationType == platform::WebViewNavigationType::Other &&
           request.url() && request.mainDocumentURL() && request.urlString() == *m_stringLoadDocument &&
           request.mainDocumentURL()->absoluteString() == *m_stringLoadDocument;
}

// ---- navigation ----

bool HYBViewController::shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                                   platform::WebViewNavigationType navigationType) {
    const bool allowed = filterNavigation(webView, request, navigationType);
    // The error page refused never loads: a later page's failure is none of its own.
    if (!allowed && m_errorPageLoad && &webView == m_webView.get() && request.mainDocumentURL() &&
        isSameAddress(request.urlString(), *m_errorPageLoad) &&
        isSameAddress(request.mainDocumentURL()->absoluteString(), *m_errorPageLoad))
        m_errorPageLoad.reset();
    return allowed;
}

bool HYBViewController::filterNavigation(platform::WebView& webView, const platform::URLRequest& request,
                                         platform::WebViewNavigationType navigationType) {
    const std::string scheme = request.scheme();
    const std::optional<std::string>& fragment = request.url() ? request.url()->fragment() : std::nullopt;
    // A reload or a step in history is never the page's signal, whatever fragment its URL shows (one another
    // document put there, say): it loads as any navigation does.
    const bool reloadOrStep = navigationType == platform::WebViewNavigationType::Reload ||
                              navigationType == platform::WebViewNavigationType::BackForward;
    const bool fragmentSignal =
        !reloadOrStep && fragment && (fragment->rfind("%01", 0) == 0 || fragment->rfind("%02", 0) == 0);
    const bool signal = scheme == "hyb" || fragmentSignal;
    // The page's signals count only from this controller's own web view: another view's page never reaches
    // its queue, whoever it was handed to.
    if (signal && &webView != m_webView.get()) {
        platform::Log::write("Refused a bridge signal from a web view this controller does not own.");
        return false;
    }
    if (scheme == "hyb") {
        m_commandQueue->fetchCommandsFromJs();
        m_commandQueue->executePending();
        return false;
    }
    if (fragmentSignal) {
        // Only the page itself signals through its fragment, by changing the fragment of the document it
        // shows: the same fragment on a frame's own document, on a document a navigation or redirect goes
        // to (a frame's later navigations may come as top-level ones), carries no call of the page's and is
        // not read.
        if (!request.isMainDocumentFragmentChange() || !isAboutMainDocument(request)) {
            platform::Log::write("Refused a bridge signal in the fragment of a document that is not the page's.");
            return false;
        }
        const std::string batch = fragment->substr(3);
        if (batch.empty())
            m_commandQueue->fetchCommandsFromJs();
        else
            m_commandQueue->enqueueCommandBatch(fragmentBatchText(batch));
        m_commandDelegate->flushCommandQueueWithDelayedJs();
        return false;
    }
    for (const auto& [className, plugin] : m_plugins->pluginObjects())
        if (plugin->shouldOverrideLoadWithRequest(request, navigationType))
            return false;
    if (request.url() && request.url()->isFileURL())
        return true;
    if (isStringLoadQuestion(webView, request, navigationType)) {
        m_stringLoadDocument.reset();
        m_loadFromString = false;
        return true;
    }
    if (scheme == "tel" || scheme == "data")
        return true;
    if (scheme == "about")
        return false;
    if (!request.url())
        return false;
    if (m_config.whitelist && m_config.whitelist->schemeIsAllowed(request.url()->scheme()))
        return m_config.whitelist->URLIsAllowed(*request.url());
    platform::Application& application = platform::Application::shared();
    const std::string url = request.url()->absoluteString();
    if (application.canOpenURL(url)) {
        application.openURL(url);
    } else {
        platform::Dictionary userInfo;
        userInfo.set(kHYBPluginHandleOpenURLKey, url);
        platform::NotificationCenter::defaultCenter().post(kHYBPluginHandleOpenURLNotification, nullptr, std::move(userInfo));
    }
    return false;
}

void HYBViewController::webViewDidStartLoad(platform::WebView& webView) {
    platform::Log::write("Resetting plugins due to page load.");
    m_commandQueue->resetRequestId();
    platform::NotificationCenter::defaultCenter().post(kHYBPluginResetNotification, &webView);
}

void HYBViewController::webViewDidFinishLoad(platform::WebView& webView) {
    const platform::URLRequest* request = webView.request();
    platform::Log::write("Finished load of: " + (request ? request->urlString() : std::string("(null)")));
    // Whether the page now shown is the error page: a failure of a load it starts shows it no more.
    m_showsErrorPage = m_errorPageLoad && request && isSameAddress(request->urlString(), *m_errorPageLoad);
    m_errorPageLoad.reset();
    releaseUserAgentLock();
    platform::Application::shared().setNetworkActivityIndicatorVisible(false);
    platform::NotificationCenter::defaultCenter().post(kHYBPageDidLoadNotification, &webView);
}

void HYBViewController::didFailLoadWithError(platform::WebView& webView, const platform::Error& error) {
    releaseUserAgentLock();
    const std::string message = "Failed to load webpage with error: " + error.localizedDescription();
    platform::Log::write(message);
    if (m_errorPageLoad) {
        // The error page itself failed: loading it again would only fail again.
        m_errorPageLoad.reset();
        return;
    }
    if (m_showsErrorPage) {
        // A load from the error page (its script, a link, a reload) failed: it stays shown. Loading it again
        // would let an error page that leads to a failing address load itself without end.
        platform::Log::write("The error page stays shown.");
        return;
    }
    std::optional<platform::URL> errorPage = errorUrl();
    std::optional<platform::URL> target = errorPage ? errorPageURL(*errorPage, message) : std::nullopt;
    if (!target)
        return;
    platform::Log::write(target->absoluteString());
    m_errorPageLoad = target->absoluteString();
    webView.loadRequest(platform::URLRequest(*target));
}

// ---- application events ----

void HYBViewController::onAppWillTerminate() {
    const std::string tmp = platform::AppFolders::current().tmp();
    const platform::FileManager& files = platform::FileManager::defaultManager();
    // Every entry under the folder, each folder after its content: an entry that cannot be removed keeps
    // only itself and the folders above it, and each one left is named in the log.
    auto entries = files.subpathsOfDirectory(tmp);
    if (!entries.ok())
        return;
    for (auto entry = entries->rbegin(); entry != entries->rend(); ++entry) {
        const std::string path = tmp + "/" + *entry;
        if (platform::Status removed = files.removeItem(path); !removed)
            platform::Log::write(platform::formatString("Failed to delete: %s (error: %s)", path.c_str(),
                                                        removed.error().localizedDescription().c_str()));
    }
}

void HYBViewController::onAppWillResignActive() {
    m_commandDelegate->evalJs(kHYBResignEventScript, false);
}

void HYBViewController::onAppWillEnterForeground() {
    m_commandDelegate->evalJs(kHYBResumeEventScript);
    std::shared_ptr<platform::Pasteboard> pasteboard = platform::Pasteboard::general();
    if (std::optional<std::string> text = pasteboard->string())
        pasteboard->setValue(platform::Value(*text), platform::kPasteboardTypeText);
}

void HYBViewController::onAppDidBecomeActive() {
    m_commandDelegate->evalJs(kHYBActiveEventScript);
}

void HYBViewController::onAppDidEnterBackground() {
    m_commandDelegate->evalJs(kHYBPauseEventScript, false);
}

void HYBViewController::onPageDidLoad() {
    if (!m_openURL)
        return;
    std::string url = std::move(*m_openURL);
    m_openURL.reset();
    processOpenUrl(url, true);
}

void HYBViewController::processOpenUrl(const std::string& url, bool pageLoaded) {
    if (!m_webView)
        return;
    if (!pageLoaded) {
        const std::string readyState = m_webView->stringByEvaluatingJavaScriptFromString("document.readyState");
        if (readyState != "loaded" && readyState != "complete") {
            m_openURL = url;
            return;
        }
    }
    std::string script = "if (typeof handleOpenURL === 'function') { handleOpenURL(\"";
    appendScriptStringContent(script, url);
    script += "\");}";
    // Not waited for: a page stopped in a dialog gets it once the dialog is answered.
    m_webView->evaluateJavaScript(std::move(script), [](std::string) {});
}

// ---- orientation ----

std::vector<platform::InterfaceOrientation> HYBViewController::parseInterfaceOrientations(const platform::Array& names) {
    std::vector<platform::InterfaceOrientation> result;
    for (const platform::Value& name : names) {
        const std::string text = name.stringOr("");
        if (text == "UIInterfaceOrientationPortrait")
            result.push_back(platform::InterfaceOrientation::Portrait);
        else if (text == "UIInterfaceOrientationPortraitUpsideDown")
            result.push_back(platform::InterfaceOrientation::PortraitUpsideDown);
        else if (text == "UIInterfaceOrientationLandscapeLeft")
            result.push_back(platform::InterfaceOrientation::LandscapeLeft);
        else if (text == "UIInterfaceOrientationLandscapeRight")
            result.push_back(platform::InterfaceOrientation::LandscapeRight);
    }
    if (result.empty())
        result.push_back(platform::InterfaceOrientation::Portrait);
    return result;
}

int HYBViewController::mapIosOrientationToJsOrientation(platform::InterfaceOrientation orientation) {
    switch (orientation) {
    case platform::InterfaceOrientation::PortraitUpsideDown:
        return 180;
    case platform::InterfaceOrientation::LandscapeRight:
        return 90;
    case platform::InterfaceOrientation::LandscapeLeft:
        return -90;
    default:
        return 0;
    }
}

bool HYBViewController::shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) {
    // Before the first page starts loading there is no page script to ask: the question would only start the
    // engine's page process early and wait for it (the start-up plug-ins ask while the start page waits).
    if (m_webView && m_webView->request()) {
        const std::string answer = m_webView->stringByEvaluatingJavaScriptFromString(
            platform::formatString("window.shouldRotateToOrientation && window.shouldRotateToOrientation(%ld);",
                                   static_cast<long>(mapIosOrientationToJsOrientation(orientation))));
        if (!answer.empty())
            return boolValue(answer);
    }
    return supportsOrientation(orientation);
}

bool HYBViewController::supportsOrientation(platform::InterfaceOrientation orientation) const {
    for (platform::InterfaceOrientation supported : m_supportedOrientations)
        if (supported == orientation)
            return true;
    return false;
}

platform::InterfaceOrientationMask HYBViewController::supportedInterfaceOrientations() {
    platform::InterfaceOrientationMask mask = 0;
    for (platform::InterfaceOrientation orientation :
         {platform::InterfaceOrientation::Portrait, platform::InterfaceOrientation::PortraitUpsideDown,
          platform::InterfaceOrientation::LandscapeRight, platform::InterfaceOrientation::LandscapeLeft})
        if (shouldAutorotateToInterfaceOrientation(orientation))
            mask |= platform::maskFor(orientation);
    return mask;
}

// ---- memory and teardown ----

void HYBViewController::didReceiveMemoryWarning() {
    bool pending = false;
    for (const auto& [className, plugin] : m_plugins->pluginObjects()) {
        if (!plugin->hasPendingOperation())
            continue;
        platform::Log::write("Plugin '" + className + "' has a pending operation, memory purge is delayed for didReceiveMemoryWarning.");
        pending = true;
    }
    if (!pending)
        ViewController::didReceiveMemoryWarning();
}

void HYBViewController::forgetWebView() {
    if (m_webView)
        m_webView->setDelegate(std::weak_ptr<platform::WebViewDelegate>());
    m_webView.reset();
}

void HYBViewController::releaseUserAgentLock() {
    HYBUserAgentUtil::releaseLock(m_userAgentLockToken);
}

void HYBViewController::viewDidUnload() {
    forgetWebView();
    releaseUserAgentLock();
    ViewController::viewDidUnload();
}

HYBViewController::~HYBViewController() {
    if (m_registeredWithBridge)
        HYBURLProtocol::unregisterViewController(registryNumber());
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    forgetWebView();
    releaseUserAgentLock();
    if (m_commandQueue)
        m_commandQueue->dispose();
    if (m_plugins)
        for (const auto& [className, plugin] : m_plugins->pluginObjects())
            plugin->dispose();
}

// ---- plug-ins and helpers ----

void HYBViewController::registerPlugin(std::shared_ptr<HYBPlugin> plugin, const std::string& className) {
    m_plugins->registerPlugin(std::move(plugin), className);
}

void HYBViewController::registerPluginWithPluginName(std::shared_ptr<HYBPlugin> plugin, std::string_view pluginName) {
    m_plugins->registerPluginWithPluginName(std::move(plugin), pluginName);
}

std::shared_ptr<HYBCommandDelegate> HYBViewController::commandDelegate() const {
    return m_commandDelegate;
}

std::shared_ptr<HYBPlugin> HYBViewController::getCommandInstance(std::string_view pluginName) {
    return m_plugins ? m_plugins->getCommandInstance(pluginName) : nullptr;
}

void HYBViewController::javascriptAlert(std::string_view text) {
    std::string script = "alert(";
    platform::JSON::appendQuoted(script, text);
    m_commandDelegate->evalJs(script + ");");
}

std::optional<std::string> HYBViewController::applicationDocumentsDirectory() {
    std::string documents = platform::AppFolders::current().documents();
    return documents.empty() ? std::nullopt : std::optional<std::string>(documents);
}

std::optional<std::string> HYBViewController::appURLScheme() const {
    std::vector<std::string> schemes = platform::Application::shared().bundleURLSchemes();
    return schemes.empty() ? std::nullopt : std::optional<std::string>(schemes.front());
}

std::optional<platform::Dictionary> HYBViewController::getBundlePlist(const std::string& name) {
    const std::string path = platform::Bundle::main().pathForResource(name, "plist");
    if (path.empty())
        return std::nullopt;
    auto read = platform::PropertyList::readRegularFile(path, platform::Bundle::kMaxPropertyListBytes);
    if (!read.ok() || !read->isDictionary())
        return std::nullopt;
    return *read->getDictionary();
}

bool HYBViewController::URLisAllowed(const platform::URL& url) const {
    return !m_config.whitelist || m_config.whitelist->URLIsAllowed(url);
}

} // namespace runtime
