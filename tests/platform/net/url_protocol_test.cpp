#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"
#include "support/HTTPTestServer.h"
#include "support/URLLoadRecorder.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace platform;
using testsupport::HTTPTestServer;
using testsupport::Reply;
using testsupport::URLLoadRecorder;

namespace {

// Serves "hybtest:" URLs with the URL as the body; remembers the threads it was asked on.
class EchoSchemeProtocol : public URLProtocol {
public:
    static inline std::mutex s_mutex;
    static inline std::vector<std::thread::id> s_askedOn;
    static inline std::atomic<int> s_stops{0};

    using URLProtocol::URLProtocol;

    static bool canInitWithRequest(const URLRequest& request) {
        std::lock_guard lock(s_mutex);
        s_askedOn.push_back(std::this_thread::get_id());
        return request.scheme() == "hybtest";
    }
    void startLoading() override {
        std::string body = request().urlString();
        HTTPHeaderFields fields;
        (void)fields.setValue("Content-Type", "text/plain");
        client()->didReceiveResponse(*this, URLResponse::http(request().url(), 200, fields), URLCacheStoragePolicy::NotAllowed);
        client()->didLoadData(*this, Bytes(body.begin(), body.end()));
        client()->didFinishLoading(*this);
    }
    void stopLoading() override { ++s_stops; }
};

// Takes http requests to "/intercepted" and never answers, until stopped.
class SilentProtocol : public URLProtocol {
public:
    static inline std::atomic<int> s_starts{0};
    static inline std::atomic<int> s_stops{0};
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const URLRequest& request) {
        return request.url() && request.url()->path() == "/intercepted";
    }
    void startLoading() override { ++s_starts; }
    void stopLoading() override { ++s_stops; }
};

// Answers later from another thread, holding itself only weakly, as an asynchronous source would.
class LaterProtocol : public URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const URLRequest& request) { return request.scheme() == "later"; }
    void startLoading() override {
        std::weak_ptr<URLProtocol> weak = weak_from_this();
        std::thread([weak] {
            if (auto self = weak.lock()) {
                self->client()->didFailWithError(*self, Error(kURLErrorDomain, kURLErrorResourceUnavailable, "not here"));
            }
        }).detach();
    }
    void stopLoading() override {}
};

struct Registration {
    explicit Registration(URLProtocol::Class c) : name(c.name) { URLProtocol::registerClass(std::move(c)); }
    ~Registration() { URLProtocol::unregisterClass(name); }
    std::string name;
};

} // namespace

TEST(URLProtocol, InterceptsASchemeForAConnectionAndIsAskedOffTheCallingThread) {
    Registration reg(URLProtocol::classOf<EchoSchemeProtocol>("echo"));
    const int stopsBefore = EchoSchemeProtocol::s_stops;
    EXPECT_TRUE(URLConnection::canHandleRequest(URLRequest("hybtest://host/path")));

    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest("hybtest://host/path?q=1"), recorder);
    ASSERT_TRUE(recorder->waitUntilEnded());
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{"response", "data", "finish"}));
    EXPECT_EQ(recorder->response()->statusCode(), 200);
    EXPECT_EQ(recorder->body(), "hybtest://host/path?q=1");

    std::lock_guard lock(EchoSchemeProtocol::s_mutex);
    ASSERT_GE(EchoSchemeProtocol::s_askedOn.size(), 2u);
    EXPECT_NE(EchoSchemeProtocol::s_askedOn.back(), std::this_thread::get_id());
    EXPECT_EQ(EchoSchemeProtocol::s_stops, stopsBefore); // a load that ended is not stopped
}

TEST(URLProtocol, SynchronousSendPassesThroughTheRegistry) {
    Registration reg(URLProtocol::classOf<EchoSchemeProtocol>("echo"));
    auto reply = URLConnection::sendSynchronousRequest(URLRequest("hybtest://sync"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(std::string(reply->data.begin(), reply->data.end()), "hybtest://sync");
}

TEST(URLProtocol, NewestRegistrationWinsAndCancelStopsLoading) {
    HTTPTestServer server;
    server.route("/intercepted", Reply::text(200, "from the network"));
    Registration reg(URLProtocol::classOf<SilentProtocol>("silent"));
    // (The counts are process-wide: other cases of this program use the class too.)
    const int startsBefore = SilentProtocol::s_starts;
    const int stopsBefore = SilentProtocol::s_stops;
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest(server.url("/intercepted")), recorder);
    // The loading thread is serial: once a later load has ended, this one's protocol has started.
    ASSERT_TRUE(URLConnection::sendSynchronousRequest(URLRequest(server.url("/other"))));
    ASSERT_EQ(SilentProtocol::s_starts, startsBefore + 1);
    connection->cancel();
    ASSERT_TRUE(URLConnection::sendSynchronousRequest(URLRequest(server.url("/other")))); // the cancel has run by now
    EXPECT_EQ(SilentProtocol::s_stops, stopsBefore + 1);
    EXPECT_TRUE(recorder->events().empty());
    for (const auto& r : server.requests())
        EXPECT_NE(r.path, "/intercepted");
}

TEST(URLProtocol, ASilentProtocolCannotHoldASynchronousCallerForever) {
    Registration reg(URLProtocol::classOf<SilentProtocol>("silent"));
    int stopsBefore = SilentProtocol::s_stops;
    URLRequest request("http://127.0.0.1:1/intercepted");
    request.setTimeoutInterval(0.1);
    auto reply = URLConnection::sendSynchronousRequest(request);
    ASSERT_FALSE(reply);
    EXPECT_EQ(reply.error().code, kURLErrorTimedOut);
    // The timed-out load was cancelled, so its protocol is stopped (on the loading thread, before this
    // later load ends there).
    URLProtocol::unregisterClass("silent");
    (void)URLConnection::sendSynchronousRequest(URLRequest("hybtest://none"));
    EXPECT_EQ(SilentProtocol::s_stops, stopsBefore + 1);
}

TEST(URLProtocol, UnregisteredClassesNoLongerTakeLoads) {
    {
        Registration reg(URLProtocol::classOf<EchoSchemeProtocol>("echo"));
    }
    EXPECT_FALSE(URLProtocol::classForRequest(URLRequest("hybtest://x")));
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest("hybtest://x"), recorder);
    ASSERT_TRUE(recorder->waitUntilEnded());
    EXPECT_EQ(recorder->error()->code, kURLErrorUnsupportedURL);
}

TEST(URLProtocol, ClientCallsFromAnotherThreadReachTheDelegate) {
    Registration reg(URLProtocol::classOf<LaterProtocol>("later"));
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest("later://x"), recorder);
    ASSERT_TRUE(recorder->waitUntilEnded());
    EXPECT_EQ(recorder->error()->code, kURLErrorResourceUnavailable);
}
