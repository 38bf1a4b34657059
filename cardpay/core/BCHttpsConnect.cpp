#include "cardpay/core/BCHttpsConnect.h"

#include "cardpay/core/BCJsonService.h"
#include "platform/core/Log.h"
#include "platform/net/URLConnection.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"

namespace cardpay {

namespace {

std::shared_ptr<BCHttpsConnect>& shared() {
    static std::shared_ptr<BCHttpsConnect> connect;
    return connect;
}

} // namespace

// One POST: its connection, the clock's time-out and the body so far. Lives in the transport's table
// until it finishes or is cancelled.
class BCHttpsConnect::Request final : public platform::URLConnectionDelegate,
                                     public std::enable_shared_from_this<BCHttpsConnect::Request> {
public:
    Request(std::weak_ptr<BCHttpsConnect> owner, RequestID id) : m_owner(std::move(owner)), m_id(id) {}

    void start(const std::shared_ptr<Request>& self, const platform::URLRequest& request) {
        m_connection = platform::URLConnection::make(request, self, false);
        m_connection->scheduleInRunLoop(platform::RunLoop::main());
        std::weak_ptr<Request> weak = self;
        m_timer = platform::RunLoop::main().scheduleTimer(platform::seconds(kTimeout), [weak] {
            if (auto request = weak.lock())
                request->end({BCTransportOutcome::Kind::NetworkFailure, {}, "no reply in time"});
        });
        m_connection->start();
    }

    void stop() {
        if (m_timer)
            m_timer->invalidate();
        if (m_connection)
            m_connection->cancel();
    }

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override {
        m_status = response.statusCode();
    }

    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override {
        if (data.size() > BCJsonService::kMaxReplyLength - m_body.size()) {
            end({BCTransportOutcome::Kind::TooLarge, {}, "reply longer than its limit"});
            return;
        }
        m_body.insert(m_body.end(), data.begin(), data.end());
    }

    void didFinishLoading(platform::URLConnection&) override {
        if (m_status != 200)
            end({BCTransportOutcome::Kind::NetworkFailure, {}, "HTTP status " + std::to_string(m_status)});
        else
            end({BCTransportOutcome::Kind::Body, std::move(m_body), {}});
    }

    void didFailWithError(platform::URLConnection&, const platform::Error& error) override {
        end({BCTransportOutcome::Kind::NetworkFailure, {}, error.localizedDescription()});
    }

private:
    void end(BCTransportOutcome outcome) {
        const auto keepAlive = shared_from_this(); // the owner's table may hold the last reference
        stop();
        if (auto owner = m_owner.lock())
            owner->finish(m_id, std::move(outcome));
    }

    std::weak_ptr<BCHttpsConnect> m_owner;
    RequestID m_id;
    std::shared_ptr<platform::URLConnection> m_connection;
    std::shared_ptr<platform::Timer> m_timer;
    int m_status = 0;
    platform::Bytes m_body;
};

std::shared_ptr<BCHttpsConnect> BCHttpsConnect::instance() {
    auto& connect = shared();
    if (!connect)
        connect = std::make_shared<BCHttpsConnect>();
    return connect;
}

void BCHttpsConnect::releaseInstance() { shared().reset(); }

BCHttpsConnect::~BCHttpsConnect() {
    for (auto& [id, request] : m_requests)
        request->stop();
}

BCCommandTransport::RequestID BCHttpsConnect::send(const std::string& body, Completion completion) {
    const RequestID id = m_nextID++;
    platform::URLRequest request(m_serverURL, platform::URLRequestCachePolicy::ReloadIgnoringLocalCacheData, kTimeout);
    request.setHTTPMethod("POST");
    (void)request.setValue("application/json; charset=utf-8", "Content-Type");
    request.setHTTPBody(body);
    request.setHTTPShouldHandleCookies(false);
    auto entry = std::make_shared<Request>(weak_from_this(), id);
    m_requests.emplace(id, entry);
    m_completions.emplace(id, std::move(completion));
    entry->start(entry, request);
    return id;
}

void BCHttpsConnect::cancel(RequestID id) {
    auto it = m_requests.find(id);
    if (it == m_requests.end())
        return;
    it->second->stop();
    m_requests.erase(it);
    m_completions.erase(id);
}

void BCHttpsConnect::finish(RequestID id, BCTransportOutcome outcome) {
    auto node = m_completions.extract(id);
    m_requests.erase(id);
    if (node.empty())
        return;
    if (outcome.kind != BCTransportOutcome::Kind::Body)
        platform::Log::write("BCHttpsConnect: request failed: " + outcome.detail);
    node.mapped()(std::move(outcome));
}

} // namespace cardpay
