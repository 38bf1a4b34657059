#include "platform/web/HeadlessWebView.h"

#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoop.h"

#include <algorithm>

namespace platform {

namespace {
constexpr int kMaxRedirects = 16;

Error cancelledError(const std::string& url) { return makeURLError(kURLErrorCancelled, "cancelled", url); }

// Whether `text` is an absolute URL of a scheme other than http and https.
bool isOtherThanWeb(const std::string& text) {
    const std::optional<URL> url = URL::fromString(text);
    return url && !url->scheme().empty() && url->scheme() != "http" && url->scheme() != "https";
}

Error withFailingURL(Error error, const std::string& url) {
    if (!error.userInfo.contains(kURLErrorFailingURLStringKey))
        error.userInfo.set(kURLErrorFailingURLStringKey, url);
    return error;
}

} // namespace

struct HeadlessWebView::Load {
    std::uint64_t id = 0;
    std::uint64_t parent = 0;  // 0: the top-level load, or a frame added to the committed document
    bool isMain = false;
    std::shared_ptr<URLRequest> request;
    std::optional<std::string> html;
    std::optional<std::size_t> historyIndex;
    bool isReload = false;
    std::string userAgent;
    int redirects = 0;
    int openChildren = 0;
    bool bodyDone = false;
    std::shared_ptr<URLConnection> connection;
    bool fetching = false;
};

struct HeadlessWebView::Fetched {
    std::optional<Error> error;
    Bytes data;
};

std::shared_ptr<HeadlessWebView> HeadlessWebView::create(Rect frame, std::shared_ptr<ScriptedPage> page) {
    return std::shared_ptr<HeadlessWebView>(new HeadlessWebView(frame, std::move(page)));
}

HeadlessWebView::HeadlessWebView(Rect frame, std::shared_ptr<ScriptedPage> page)
    : WebView(frame), m_page(page ? std::move(page) : std::make_shared<ScriptedPage>()) {}

// A web view that goes away stops what it is loading: its connections would otherwise keep themselves
// alive until their servers answer, for nobody.
HeadlessWebView::~HeadlessWebView() {
    for (auto& [id, load] : m_loads) {
        if (load->fetching && load->connection)
            load->connection->cancel();
    }
    for (auto& connection : m_requests)
        connection->cancel();
}

std::string HeadlessWebView::defaultUserAgent() const { return "Mozilla/5.0 (Linux; Mobile) HeadlessWebView/1.0"; }

void HeadlessWebView::post(std::function<void(HeadlessWebView&)> step) {
    ++m_pendingSteps;
    std::weak_ptr<View> weak = weak_from_this();
    RunLoop::main().perform([weak, step = std::move(step)] {
        auto view = weak.lock();
        if (!view)
            return;
        auto& self = static_cast<HeadlessWebView&>(*view);
        --self.m_pendingSteps;
        step(self);
    });
}

HeadlessWebView::Load* HeadlessWebView::findLoad(std::uint64_t id) {
    auto it = m_loads.find(id);
    return it == m_loads.end() ? nullptr : it->second.get();
}

std::uint64_t HeadlessWebView::openLoad(std::uint64_t parent, URLRequest request, bool isMain) {
    auto load = std::make_unique<Load>();
    load->id = m_nextLoadId++;
    load->parent = parent;
    load->isMain = isMain;
    load->request = std::make_shared<URLRequest>(std::move(request));
    std::uint64_t id = load->id;
    m_loads.emplace(id, std::move(load));
    if (isMain)
        m_mainLoad = id;
    return id;
}

void HeadlessWebView::closeLoad(std::uint64_t id) {
    auto it = m_loads.find(id);
    if (it == m_loads.end())
        return;
    if (it->second->fetching) {
        it->second->connection->cancel();  // a cancelled connection reports nothing
        --m_activeFetches;
    }
    m_loads.erase(it);
    if (m_mainLoad == id)
        m_mainLoad = 0;
}

// ---- navigation ----

void HeadlessWebView::doLoadRequest(const URLRequest& request, WebViewNavigationType type) {
    navigate(request, type, std::nullopt, std::nullopt);
}

void HeadlessWebView::doLoadHTMLString(std::string html, std::string baseURL) {
    navigate(URLRequest(std::move(baseURL)), WebViewNavigationType::Other, std::move(html), std::nullopt);
}

void HeadlessWebView::navigate(URLRequest request, WebViewNavigationType type, std::optional<std::string> html,
                               std::optional<std::size_t> historyIndex) {
    std::uint64_t generation = m_generation;
    post([request = std::move(request), type, html = std::move(html), historyIndex, generation](HeadlessWebView& self) mutable {
        if (self.m_generation == generation)
            self.beginTopLevel(std::move(request), type, std::move(html), historyIndex, generation);
    });
}

void HeadlessWebView::beginTopLevel(URLRequest request, WebViewNavigationType type, std::optional<std::string> html,
                                    std::optional<std::size_t> historyIndex, std::uint64_t generation) {
    request.setMainDocumentURL(request.url());
    if (auto d = delegate(); d && !d->shouldStartLoadWithRequest(*this, request, type))
        return;
    if (m_generation != generation)
        return;  // stopped from inside the question
    if (!html && handOverToApplication(request))
        return;  // another application's URL: the current document stays
    cancelAll();
    if (m_generation != generation)
        return;  // stopped from inside a cancellation

    std::string userAgent = currentUserAgent();
    (void)request.setValue(userAgent, "User-Agent");
    std::uint64_t id = openLoad(0, std::move(request), true);
    Load& load = *findLoad(id);
    load.html = std::move(html);
    load.historyIndex = historyIndex;
    load.isReload = type == WebViewNavigationType::Reload;
    load.userAgent = std::move(userAgent);
    m_request = load.request;

    if (auto d = delegate())
        d->webViewDidStartLoad(*this);
    if (findLoad(id))
        fetch(id);
}

void HeadlessWebView::startFrame(std::uint64_t parent, const std::string& url) {
    URLRequest request(url);
    if (Load* p = findLoad(parent))
        request.setMainDocumentURL(p->isMain ? p->request->url() : p->request->mainDocumentURL());
    else
        request.setMainDocumentURL(URL::fromString(m_location));
    if (auto d = delegate(); d && !d->shouldStartLoadWithRequest(*this, request, WebViewNavigationType::Other))
        return;
    if (parent && !findLoad(parent))
        return;
    std::uint64_t id = openLoad(parent, std::move(request), false);
    if (Load* p = findLoad(parent))
        ++p->openChildren;
    if (auto d = delegate())
        d->webViewDidStartLoad(*this);
    if (findLoad(id))
        fetch(id);
}

void HeadlessWebView::redirect(std::uint64_t id, const std::string& target, bool fromServer) {
    Load* l = findLoad(id);
    if (!l)
        return;
    if (++l->redirects > kMaxRedirects) {
        fail(id, makeURLError(kURLErrorHTTPTooManyRedirects, "too many HTTP redirects", l->request->urlString()));
        return;
    }
    URLRequest next = *l->request;
    next.setURL(URL::fromString(target));
    if (l->isMain)
        next.setMainDocumentURL(URL::fromString(target));
    if (auto d = delegate(); d && !d->shouldStartLoadWithRequest(*this, next, WebViewNavigationType::Other)) {
        if (findLoad(id))
            fail(id, cancelledError(target));
        return;
    }
    if (!(l = findLoad(id)))
        return;
    if (l->isMain && handOverToApplication(next)) {
        fail(id, cancelledError(target));
        return;
    }
    if (fromServer) {
        // As the real engine: a server leads a load to http and https only (or to another application).
        fail(id, makeURLError(kURLErrorUnsupportedURL, "a server's redirect to a scheme that is not http or https", target));
        return;
    }
    *l->request = std::move(next);
    fetch(id);
}

void HeadlessWebView::fetch(std::uint64_t id) {
    Load* load = findLoad(id);
    const std::string url = load->request->urlString();
    if (load->html) {
        std::string html = *load->html;
        post([id, html](HeadlessWebView& self) { self.fetched(id, Fetched{std::nullopt, Bytes(html.begin(), html.end())}); });
        return;
    }
    if (auto target = m_page->redirectOf(url)) {
        post([id, target = *target](HeadlessWebView& self) { self.redirect(id, target); });
        return;
    }
    if (auto error = m_page->failureOf(url)) {
        post([id, error = withFailingURL(*error, url)](HeadlessWebView& self) { self.fetched(id, Fetched{error, {}}); });
        return;
    }
    if (m_page->isStalled(url))
        return;
    if (url == "about:blank") {
        post([id](HeadlessWebView& self) { self.fetched(id, Fetched{}); });
        return;
    }
    ++m_activeFetches;
    load->fetching = true;
    std::weak_ptr<View> weak = weak_from_this();
    URLRequest request = *load->request;
    request.setWebViewIdentifier(identifier());
    request.setFromForeignPage(showsForeignPages());
    load->connection = startConnection(request, [weak, id](XHRResult result) {
        auto view = weak.lock();
        if (!view)
            return;
        auto& self = static_cast<HeadlessWebView&>(*view);
        Load* l = self.findLoad(id);
        if (!l || !l->fetching)
            return;  // closed meanwhile (closeLoad already counted it)
        l->fetching = false;
        --self.m_activeFetches;
        // The transport follows redirects within http and https; one to another scheme arrives as the
        // reply: it is asked as a redirect and then handed over or failed here.
        if (!result.error && result.response && result.response->statusCode() >= 300 && result.response->statusCode() < 400) {
            if (auto location = result.response->allHeaderFields().value("Location"); location && isOtherThanWeb(*location)) {
                self.redirect(id, *location, true);
                return;
            }
        }
        self.fetched(id, Fetched{std::move(result.error), std::move(result.body)});
    });
}

std::shared_ptr<URLConnection> HeadlessWebView::startConnection(const URLRequest& request, std::function<void(XHRResult)> done) {
    // Collects one load's response and body; the connection calls it on the main run loop.
    class Collector : public URLConnectionDelegate {
    public:
        explicit Collector(std::function<void(XHRResult)> done) : m_done(std::move(done)) {}
        void didReceiveResponse(URLConnection&, const URLResponse& response) override { m_result.response = response; }
        // A body past kMaxBodyBytes stops the load: a page is never held past that.
        void didReceiveData(URLConnection& connection, const Bytes& data) override {
            if (!m_done)
                return;
            if (data.size() > kMaxBodyBytes - std::min(kMaxBodyBytes, m_result.body.size())) {
                connection.cancel();
                m_result.body.clear();
                m_result.error = makeURLError(kURLErrorDataLengthExceedsMaximum,
                                              "the body is larger than " + std::to_string(kMaxBodyBytes) + " bytes",
                                              connection.originalRequest().urlString());
                finish();
                return;
            }
            m_result.body.insert(m_result.body.end(), data.begin(), data.end());
        }
        void didFinishLoading(URLConnection&) override { finish(); }
        void didFailWithError(URLConnection&, const Error& error) override {
            m_result.error = error;
            finish();
        }

    private:
        void finish() {
            auto done = std::move(m_done);
            m_done = nullptr;
            if (done)
                done(std::move(m_result));
        }
        std::function<void(XHRResult)> m_done;
        XHRResult m_result;
    };
    auto collector = std::make_shared<Collector>(std::move(done));
    auto connection = URLConnection::make(request, collector, false);
    // The connection holds its delegate weakly: the delivered calls keep the collector alive.
    connection->setDeliveryTarget([collector](std::function<void()> call) {
        RunLoop::main().perform([collector, call = std::move(call)] { call(); });
    });
    connection->start();
    return connection;
}

void HeadlessWebView::pageOpensDialog(ScriptDialog::Kind kind, std::string_view message, std::string_view defaultText,
                                      ScriptDialog::Reply reply) {
    showScriptDialog(std::make_shared<ScriptDialog>(kind, message, defaultText, m_location, std::move(reply)));
}

void HeadlessWebView::pageSendsRequest(URLRequest request, std::function<void(XHRResult)> completion) {
    if (!request.valueForHTTPHeaderField("User-Agent"))
        (void)request.setValue(m_hasDocument ? m_documentUserAgent : currentUserAgent(), "User-Agent");
    if (!request.mainDocumentURL())
        request.setMainDocumentURL(URL::fromString(ScriptedPage::withoutFragment(m_location)));
    // Whatever the page wrote, the request is this view's.
    request.setWebViewIdentifier(identifier());
    request.setFromForeignPage(showsForeignPages());
    ++m_activeFetches;
    std::weak_ptr<View> weak = weak_from_this();
    auto connection = startConnection(request, [weak, completion = std::move(completion)](XHRResult result) {
        if (auto view = weak.lock())
            --static_cast<HeadlessWebView&>(*view).m_activeFetches;
        if (completion)
            completion(std::move(result));
    });
    m_requests.push_back(connection);
    std::erase_if(m_requests, [](const auto& c) { return c->isFinished(); });
}

void HeadlessWebView::fetched(std::uint64_t id, Fetched result) {
    if (!findLoad(id))
        return;
    if (result.error) {
        fail(id, *result.error);
        return;
    }
    bodyLoaded(id, std::move(result.data));
}

void HeadlessWebView::bodyLoaded(std::uint64_t id, Bytes data) {
    Load* load = findLoad(id);
    load->bodyDone = true;
    const std::string url = load->request->urlString();
    if (load->isMain) {
        m_committedRequest = load->request;
        m_location = url;
        m_hasDocument = true;
        m_documentComplete = false;
        m_loadToken.reset();
        m_documentUserAgent = load->userAgent;
        m_documentData = std::move(data);
        if (load->historyIndex && *load->historyIndex < m_history.size()) {
            m_historyIndex = *load->historyIndex;
            m_history[m_historyIndex] = url;
        } else if (load->isReload && !m_history.empty()) {
            m_history[m_historyIndex] = url;
        } else {
            if (!m_history.empty())
                m_history.resize(m_historyIndex + 1);
            m_history.push_back(url);
            m_historyIndex = m_history.size() - 1;
        }
    }
    for (const std::string& frameURL : m_page->framesOf(url)) {
        startFrame(id, frameURL);
        if (!findLoad(id))
            return;
    }
    maybeFinish(id);
}

void HeadlessWebView::maybeFinish(std::uint64_t id) {
    Load* load = findLoad(id);
    if (!load || !load->bodyDone || load->openChildren > 0)
        return;
    std::uint64_t parent = load->parent;
    if (load->isMain)
        m_documentComplete = true;
    closeLoad(id);
    if (auto d = delegate())
        d->webViewDidFinishLoad(*this);
    if (Load* p = findLoad(parent)) {
        --p->openChildren;
        maybeFinish(parent);
    }
}

void HeadlessWebView::fail(std::uint64_t id, const Error& error) {
    Load* load = findLoad(id);
    if (!load)
        return;
    std::uint64_t parent = load->parent;
    const std::shared_ptr<URLRequest> ended = uncommittedTopLevelRequest(*load);
    closeLoad(id);
    if (auto d = delegate())
        d->didFailLoadWithError(*this, error);
    forgetEndedRequest(ended);
    if (Load* p = findLoad(parent)) {
        --p->openChildren;
        maybeFinish(parent);
    }
}

void HeadlessWebView::cancelAll() {
    // Innermost first: a frame always has a larger id than the load that asked for it.
    std::vector<std::uint64_t> ids;
    for (const auto& entry : m_loads)
        ids.push_back(entry.first);
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
        Load* load = findLoad(*it);
        if (!load)
            continue;
        std::string url = load->request->urlString();
        const std::shared_ptr<URLRequest> ended = uncommittedTopLevelRequest(*load);
        closeLoad(*it);
        if (auto d = delegate())
            d->didFailLoadWithError(*this, cancelledError(url));
        forgetEndedRequest(ended);
    }
}

std::shared_ptr<URLRequest> HeadlessWebView::uncommittedTopLevelRequest(const Load& load) const {
    return load.isMain && !load.bodyDone ? load.request : nullptr;
}

void HeadlessWebView::forgetEndedRequest(const std::shared_ptr<URLRequest>& ended) {
    if (ended && m_request == ended)
        m_request = m_committedRequest;
}

void HeadlessWebView::doStopLoading() {
    ++m_generation;
    cancelAll();
}

void HeadlessWebView::doReload() {
    if (!m_request)
        return;
    URLRequest request = *m_request;
    request.removeValue("User-Agent");
    navigate(std::move(request), WebViewNavigationType::Reload, std::nullopt, std::nullopt);
}

bool HeadlessWebView::doCanGoBack() const { return !m_history.empty() && m_historyIndex > 0; }
bool HeadlessWebView::doCanGoForward() const { return !m_history.empty() && m_historyIndex + 1 < m_history.size(); }

void HeadlessWebView::doGoBack() {
    navigate(URLRequest(m_history[m_historyIndex - 1]), WebViewNavigationType::BackForward, std::nullopt, m_historyIndex - 1);
}

void HeadlessWebView::doGoForward() {
    navigate(URLRequest(m_history[m_historyIndex + 1]), WebViewNavigationType::BackForward, std::nullopt, m_historyIndex + 1);
}

// ---- what the page does ----

void HeadlessWebView::pageNavigates(const std::string& url, WebViewNavigationType type) {
    bool sameDocument = m_hasDocument && url.find('#') != std::string::npos &&
                        ScriptedPage::withoutFragment(url) == ScriptedPage::withoutFragment(m_location);
    if (sameDocument) {
        if (url != m_location)
            post([url, type](HeadlessWebView& self) { self.changeFragment(url, type); });
        return;
    }
    navigate(URLRequest(url), type, std::nullopt, std::nullopt);
}

void HeadlessWebView::pageSetsFragment(const std::string& fragment) {
    pageNavigates(ScriptedPage::withoutFragment(m_location) + "#" + fragment, WebViewNavigationType::Other);
}

void HeadlessWebView::changeFragment(const std::string& url, WebViewNavigationType type) {
    if (url == m_location)
        return;  // setting the same fragment again changes nothing
    URLRequest request(url);
    request.setMainDocumentURL(URL::fromString(url));
    request.setMainDocumentFragmentChange(true);
    if (auto d = delegate(); d && !d->shouldStartLoadWithRequest(*this, request, type))
        return;
    m_location = url;
}

void HeadlessWebView::pageLoadsFrame(const std::string& url) {
    post([url](HeadlessWebView& self) { self.startFrame(0, url); });
}

std::string HeadlessWebView::readyState() const {
    if (!m_hasDocument)
        return "";
    return m_documentComplete ? "complete" : "loading";
}

// ---- script ----

std::string HeadlessWebView::doEvaluateScript(std::string_view script) {
    m_page->recordEvaluation(std::string(script));
    if (auto answer = m_page->answerFor(script))
        return *answer;
    constexpr std::string_view kTokenAssign = "window.__hybridLoadToken=";
    if (script == "document.readyState")
        return readyState();
    if (script == "location.href")
        return m_location;
    if (script == "navigator.userAgent")
        return m_hasDocument ? m_documentUserAgent : currentUserAgent();
    if (script == "document.body==null")
        return m_hasDocument ? "false" : "true";
    if (script == "window.__hybridLoadToken")
        return m_loadToken.value_or("");
    if (script.substr(0, kTokenAssign.size()) == kTokenAssign) {
        m_loadToken = std::string(script.substr(kTokenAssign.size()));
        return *m_loadToken;
    }
    return "";
}

// ---- waiting ----

bool HeadlessWebView::waitUntilIdle(double timeoutSeconds) {
    Clock::TimePoint deadline = Clock::current().now() + seconds(timeoutSeconds);
    while (hasPendingWork()) {
        if (Clock::current().now() >= deadline)
            return false;
        RunLoop::main().runOnce(deadline);
    }
    return true;
}

} // namespace platform
