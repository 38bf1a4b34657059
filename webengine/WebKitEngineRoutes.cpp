// The view's routed loads (the sub-resources the application answers) and the page's bridge requests.
#include "webengine/WebKitEngine.h"

#include "platform/net/URLError.h"
#include "platform/text/URL.h"
#include "webengine/BridgeOrigin.h"
#include "webengine/LoadSlots.h"
#include "webengine/RouteURL.h"
#include "webengine/RoutedLoad.h"
#include "webengine/WebKitEngineInternal.h"
#include "webprocess/Messages.h"

#include <webkit2/webkit2.h>

#include <utility>

namespace webengine {

namespace {

using namespace detail;

// Bridge requests held unanswered until the main loop comes to rest (see holdBridgeAnswer).
constexpr std::size_t kMaxHeldBridgeAnswers = 16;
// How long the page's process may leave a question of delivery unanswered before the routed answers' bytes are
// counted as delivered once handed to the engine (see afterDelivery).
constexpr unsigned kDeliveryPatienceMs = 1000;

// What a load shares its slots with (LoadSlots): the other loads of its scheme, host and port.
std::string loadGroupOf(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed)
        return {};
    std::string group = parsed->scheme() + "://" + parsed->host().value_or("");
    for (char& c : group)
        c = g_ascii_tolower(c);
    if (parsed->port())
        group += ":" + std::to_string(*parsed->port());
    return group;
}

// Whether a routed load is asked for by the application's own documents or workers: a file URL or one of the
// application's schemes (the engine refuses them to any other origin), or an asker of the application's
// file pages' origin or of its file scripts' workers (a header the engine writes).
bool isApplicationsLoad(const std::string& url, const HeaderList& headers)
{
    const std::string scheme = url.substr(0, url.find(':'));
    if (g_ascii_strcasecmp(scheme.c_str(), "file") == 0 || WebContext::isApplicationScheme(scheme))
        return true;
    bool asked = false;
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Origin") != 0)
            continue;
        if (g_ascii_strcasecmp(value.c_str(), "file://") != 0 && g_ascii_strcasecmp(value.c_str(), kLocalRouteOrigin) != 0)
            return false;
        asked = true;
    }
    return asked;
}

} // namespace

void WebKitEngine::routeResourceRequest(const std::shared_ptr<RoutedRequest>& request)
{
    // A foreign page of the web (any document but a file of the application's, which the rule below bounds)
    // reads the web only: no file, no file system URL and no other of the application's protocols, which
    // the route would otherwise answer to it readable from any origin.
    if (m_foreignPages && !isWebURL(request->url()) && !isFileURL(url())) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile,
                                      "a foreign page may not read the application's files"));
        return;
    }
    ++m_routingDepth;
    const bool taken = m_client.handleResourceRequest(request);
    --m_routingDepth;
    if (taken || request->isAnswered())
        return;
    // What the client's protocols leave, platform's loading reads from disk: only the application's files.
    if (!mayReadFileURL(m_view, request->url())) {
        request->fail(platform::Error(platform::kURLErrorDomain, -1102, "the page may not read this file"));
        return;
    }
    // A bounded number of loads run at once; the rest wait for a slot, in order. One the engine gives up
    // (the frame or page that asked went) stops, or leaves the queue, and frees what it held.
    std::weak_ptr<bool> alive = m_alive;
    auto ticket = std::make_shared<LoadSlots::Ticket>(0);
    request->setWithdrawnHandler([this, alive, ticket] {
        if (alive.lock() && *ticket)
            endRoutedLoad(*ticket);
    });
    LoadSlots::Owner owner = isApplicationsLoad(request->url(), request->headers()) ? LoadSlots::Owner(&m_applicationLoads) : LoadSlots::Owner(this);
    const auto granted = LoadSlots::shared().request(owner, loadGroupOf(request->url()), [this, alive, ticket, request, page = url()](LoadSlots::Ticket slot) {
        const bool waited = *ticket != 0;
        *ticket = slot;
        if (!alive.lock())
            return;
        if (!waited) {
            startRoutedLoad(slot, request, page);
            return;
        }
        // A load that waited gets its slot when another load ends, often because the frame or page that asked
        // for both went: the engine then lets go of its loads one message at a time, and this one may be let go
        // in a message not yet read. It starts from a turn of its own once the main loop has nothing more
        // urgent, the engine's messages read (and the withdrawals they bring heard); the slot stays its own
        // meanwhile.
        g_idle_add_full(G_PRIORITY_LOW, [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        }, new std::function<void()>([this, alive, slot, request, page] {
            if (alive.lock())
                startRoutedLoad(slot, request, page);
        }), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    });
    if (!granted) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorResourceUnavailable,
                                      "too many loads of this page are waiting"));
        return;
    }
    *ticket = *granted;
}

void WebKitEngine::startRoutedLoad(std::uint64_t ticket, const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL)
{
    // The engine may have let it go while it waited (its frame went), before this engine heard: nothing starts,
    // and the withdrawal frees the slot (or freed it already, while the start waited for its turn: a ticket
    // released twice is ignored).
    if (request->isAnswered()) {
        LoadSlots::shared().release(ticket);
        return;
    }
    if (request->checkWithdrawn())
        return;
    auto load = RoutedLoad::start(
        request, mainDocumentURL, m_client.webViewIdentifier(),
        [this, alive = std::weak_ptr<bool>(m_alive)](std::function<void()> delivered) {
            if (alive.lock())
                afterDelivery(std::move(delivered));
        },
        [this, alive = std::weak_ptr<bool>(m_alive), ticket](RoutedLoad&) {
            if (alive.lock())
                endRoutedLoad(ticket);
        });
    m_loads.emplace(ticket, load);
}

void WebKitEngine::afterDelivery(std::function<void()> delivered)
{
    if (m_pageSlowToAnswer) {
        delivered();
        return;
    }
    m_undelivered.push_back(std::move(delivered));
    if (m_deliverySource)
        return;
    // Asked at a low priority: WebKit sends what it read from a body from its read's completion, a source of
    // default priority, so the question goes after the bytes it asks about.
    m_deliverySource = g_idle_add_full(G_PRIORITY_LOW, [](gpointer data) -> gboolean {
        auto* self = static_cast<WebKitEngine*>(data);
        self->m_deliverySource = 0;
        self->askDelivered();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void WebKitEngine::askDelivered()
{
    if (m_undelivered.empty())
        return;
    const unsigned number = ++m_deliveryQuestionsAsked;
    DeliveryQuestion& question = m_deliveryQuestions[number];
    question.waiting = std::exchange(m_undelivered, {});
    struct Asked {
        WebKitEngine* engine;
        std::weak_ptr<bool> alive;
        unsigned number;
    };
    question.timer = g_timeout_add_full(G_PRIORITY_DEFAULT, kDeliveryPatienceMs, [](gpointer data) -> gboolean {
        const auto* asked = static_cast<Asked*>(data);
        asked->engine->deliveryOverdue(asked->number);
        return G_SOURCE_REMOVE;
    }, new Asked{this, m_alive, number}, [](gpointer data) { delete static_cast<Asked*>(data); });
    webkit_web_view_send_message_to_page(
        m_view, webkit_user_message_new(HYB_DELIVERED_MESSAGE, nullptr), nullptr,
        [](GObject* view, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Asked> asked(static_cast<Asked*>(data));
            // A reply or an error (the page's process went): either way nothing more comes before it.
            GError* error = nullptr;
            if (WebKitUserMessage* reply = webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(view), result, &error))
                g_object_unref(reply);
            g_clear_error(&error);
            if (asked->alive.lock())
                asked->engine->deliveryAnswered(asked->number);
        },
        new Asked{this, m_alive, number});
}

void WebKitEngine::deliveryAnswered(unsigned number)
{
    m_pageSlowToAnswer = false;
    // Answers come in order: this one answers every question asked before it as well.
    std::vector<std::function<void()>> delivered;
    while (!m_deliveryQuestions.empty() && m_deliveryQuestions.begin()->first <= number) {
        DeliveryQuestion& question = m_deliveryQuestions.begin()->second;
        if (question.timer)
            g_source_remove(question.timer);
        for (auto& waiting : question.waiting)
            delivered.push_back(std::move(waiting));
        m_deliveryQuestions.erase(m_deliveryQuestions.begin());
    }
    for (auto& done : delivered)
        done();
}

void WebKitEngine::deliveryOverdue(unsigned number)
{
    // The page's process takes none of its messages now (it waits in a synchronous load, whose answer the engine
    // gathers whole, or its script spins): the bytes count as delivered once handed over, until it answers again.
    m_pageSlowToAnswer = true;
    std::vector<std::function<void()>> delivered;
    for (auto& [asked, question] : m_deliveryQuestions) {
        if (asked == number)
            question.timer = 0;
        for (auto& waiting : question.waiting)
            delivered.push_back(std::move(waiting));
        question.waiting.clear();
    }
    for (auto& waiting : m_undelivered)
        delivered.push_back(std::move(waiting));
    m_undelivered.clear();
    for (auto& done : delivered)
        done();
}

void WebKitEngine::endRoutedLoad(std::uint64_t ticket)
{
    if (auto found = m_loads.find(ticket); found != m_loads.end()) {
        std::shared_ptr<RoutedLoad> load = std::move(found->second);
        m_loads.erase(found);
        load->cancel();
    }
    // Last: the next load waiting may start here.
    LoadSlots::shared().release(ticket);
}

void WebKitEngine::routeBridgeRequest(const std::shared_ptr<RoutedRequest>& request)
{
    // A view of foreign pages has no bridge: its page's bridge request reaches none and fails.
    if (m_foreignPages) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile,
                                      "a foreign page has no bridge"));
        return;
    }
    HeaderList headers = request->headers();
    // Only the application's page reaches the bridge: a frame of another origin (another site framed by
    // the page, a frame the page led elsewhere) is refused as a foreign page is, with nothing handed over.
    if (!isPageOriginsBridgeRequest(request->url(), headers, url())) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile,
                                      "a document of another origin than the page's has no bridge"));
        return;
    }
    bool hasUserAgent = false;
    for (const auto& [name, value] : headers)
        hasUserAgent = hasUserAgent || g_ascii_strcasecmp(name.c_str(), "User-Agent") == 0;
    // The page's requests carry the view's agent; the web process may add it after handing the request over.
    if (!hasUserAgent)
        headers.emplace_back("User-Agent", userAgent());
    holdBridgeAnswer(request);
    if (isDeferring()) {
        defer([this, original = request->url(), headers = std::move(headers), page = url()] {
            m_client.handleBridgeRequest(original, headers, page);
        });
        return;
    }
    m_client.handleBridgeRequest(request->url(), headers, url());
}

void WebKitEngine::holdBridgeAnswer(const std::shared_ptr<RoutedRequest>& request)
{
    // The page's request is answered once the main loop has nothing more urgent: after the turns that run
    // its commands and send their answers, which the page's next call waits for (the request's own end does
    // not go ahead of them in the page's process). What the engine keeps of a request it has not answered
    // is large (some kilobytes): past a few held, the oldest is answered now, so that a page sending
    // requests faster than the main loop comes to rest has this process hold no more of them than that.
    m_heldBridgeAnswers.push_back(request);
    if (m_heldBridgeAnswers.size() > kMaxHeldBridgeAnswers) {
        std::shared_ptr<RoutedRequest> oldest = std::move(m_heldBridgeAnswers.front());
        m_heldBridgeAnswers.pop_front();
        oldest->respond(200, {}, "");
    }
    if (m_bridgeAnswerSource)
        return;
    m_bridgeAnswerSource = g_idle_add_full(G_PRIORITY_LOW, [](gpointer data) -> gboolean {
        auto* self = static_cast<WebKitEngine*>(data);
        self->m_bridgeAnswerSource = 0;
        self->answerHeldBridgeRequests();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void WebKitEngine::answerHeldBridgeRequests()
{
    // Answering tells the engine only: nothing here calls back into this object.
    for (std::shared_ptr<RoutedRequest>& request : std::exchange(m_heldBridgeAnswers, {}))
        request->respond(200, {}, "");
}

} // namespace webengine
