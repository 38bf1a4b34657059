// Answers of the statistics endpoints: the input is a sequence of answers (an HTTP status, or a failure
// with a URL error code, for the primary and then, when it failed, the backup address) fed to the report
// machinery over a report cache holding content items. However the answers fall, every item ends either
// taken by the server (a status that deletes it) or back in the cached set: never lost, never twice.
#include "push/PULSEClientController.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEReportCacheController.h"
#include "push/PULSEReportRequest.h"

#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"
#include "platform/runloop/RunLoop.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace {

// One answer per load: a status (100-599) or a failure (negative URL error code).
std::deque<int>& script() {
    static std::deque<int> answers;
    return answers;
}

class ScriptedProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const platform::URLRequest& request) { return request.scheme() == "fuzz"; }
    void startLoading() override {
        int answer = -1005;
        if (!script().empty()) {
            answer = script().front();
            script().pop_front();
        }
        if (answer < 0) {
            client()->didFailWithError(*this, platform::makeURLError(answer, "scripted failure", request().urlString()));
            return;
        }
        client()->didReceiveResponse(*this, platform::URLResponse::http(request().url(), answer, {}),
                                     platform::URLCacheStoragePolicy::NotAllowed);
        client()->didLoadData(*this, platform::Bytes{'{', '}'});
        client()->didFinishLoading(*this);
    }
    void stopLoading() override {}
};

class Report : public push::PULSEReportRequest {
public:
    explicit Report(platform::Dictionary newest) : m_newest(std::move(newest)) {}
    bool packData() override {
        if (!PULSEReportRequest::packData())
            return false;
        reportContents().push_back(m_newest);
        return true;
    }

private:
    platform::Dictionary m_newest;
};

// The statistics session's part: numbers and sends a request, hears its end.
class Session : public push::PULSEReportSession, public push::PULSEHttpRequestDelegate, public std::enable_shared_from_this<Session> {
public:
    void sendHttpReport(const std::shared_ptr<push::PULSEReportRequest>& request) override {
        const auto urlRequest = request->generateReportRequest();
        if (!urlRequest)
            return;
        request->setReportFlag(std::to_string(++m_rid) + ":1700000000");
        auto http = push::PULSEHttpRequest::create(weak_from_this(), request, "fuzz://primary/v2/report",
                                                   m_withBackup ? "fuzz://backup/v2/report" : "");
        m_inFlight = true;
        http->send(*urlRequest);
        // Until the session hears the end, or the items went back to the cache without a word (a failed
        // primary with no backup address).
        auto cache = push::PULSEClientController::sharedClient().reportCache();
        while (m_inFlight && cache->description() != "0")
            platform::RunLoop::current().runOnce(platform::seconds(0.05));
    }
    void didReceivedHttpFeedback(const std::shared_ptr<push::PULSEHttpResponse>& response) override {
        response->handleReceipt();
        const auto status = response->statusCode();
        if (status == 200 || (status >= 400 && status <= 499))
            for (const auto& item : response->request()->realContents())
                ++taken[item["n"].integerValue()];
        m_inFlight = false;
    }
    void didNotReceivedFromRequest(const std::shared_ptr<push::PULSEReportRequest>&, const std::string& flag, const platform::Error&) override {
        push::PULSEClientController::sharedClient().reportCache()->changeSendingObjectFailedForKey(flag);
        m_inFlight = false;
    }
    std::map<std::int64_t, int> taken;
    bool m_withBackup = true;
    bool m_inFlight = false;

private:
    std::uint64_t m_rid = 0;
};

platform::Dictionary item(std::int64_t n) { return platform::Dictionary{{"type", "fuzz"}, {"itime", 1700000000 + n}, {"n", n}}; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = [] {
        platform::URLProtocol::registerClass(platform::URLProtocol::classOf<ScriptedProtocol>("ScriptedProtocol"));
        auto endpoints = push::PULSEEndpoints::shared();
        endpoints.statisticsURL = "fuzz://primary/v2/report";
        push::PULSEEndpoints::setShared(endpoints);
        push::PULSEClientController::sharedClient().setNetworkStatusSource([] { return 2; });
        return true;
    }();
    (void)registered;
    if (size < 2)
        return 0;
    auto cache = std::make_shared<push::PULSEReportCacheController>();
    auto session = std::make_shared<Session>();
    auto& client = push::PULSEClientController::sharedClient();
    client.setReportCache(cache);
    client.setReportSession(session);
    session->m_withBackup = data[0] & 1;

    // Items 0-9 wait in the cached set; each request adds one more.
    std::int64_t next = 0;
    for (; next < 10; ++next)
        cache->addCacheObject(platform::Value(item(next)), "0:" + std::to_string(next));
    script().clear();
    for (std::size_t i = 1; i < size && i < 120; ++i) {
        // Statuses the table names, other statuses, and URL failures.
        static constexpr int kAnswers[] = {200, 200, 200, 400, 401, 403, 404, 500, 503, 302, 0, 99, 600, -1001, -1004, -1005};
        script().push_back(kAnswers[data[i] % (sizeof kAnswers / sizeof kAnswers[0])]);
    }
    // At most 60 small items: all fit into one body, so none is dropped for size.
    while (!script().empty() && next < 60)
        std::make_shared<Report>(item(next++))->send();

    // Every item: taken once, or back in the cached set; nothing left in flight.
    if (cache->description() != "0")
        std::abort();
    std::map<std::int64_t, int> cached;
    cache->PULSEEnumerateObjectsUsingBlock([&](const std::string&, const platform::Value& value, bool&) {
        if (value.isDictionary())
            ++cached[value["n"].integerValue()];
        else if (const auto* set = value.getArray())
            for (const auto& member : *set)
                ++cached[member["n"].integerValue()];
    });
    for (std::int64_t n = 0; n < next; ++n) {
        const int total = session->taken[n] + cached[n];
        if (total != 1)
            std::abort();
    }
    client.setReportCache(nullptr);
    return 0;
}
