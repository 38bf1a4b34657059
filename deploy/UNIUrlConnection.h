// Sends one prepared request asynchronously and collects the reply: the last response, the body so far
// and, at the end, the error if the load failed. The handler is called at most once, on the queue given,
// with (response, data, error); data is none when no byte arrived. `cancel` (also run when the object
// goes away) drops the handler: no answer is delivered after it. A body longer than
// UNIHTTPClientHelper::kMaxResponseLength ends the load with kURLErrorDataLengthExceedsMaximum.
//
// Thread: the connection's callbacks run on the main queue; `cancel` may be called from any thread.
// The connection keeps itself alive while the load runs.
#pragma once

#include "platform/net/URLConnection.h"
#include "platform/runloop/DispatchQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace deploy {

class UNIUrlConnection : public platform::URLConnectionDelegate, public std::enable_shared_from_this<UNIUrlConnection> {
public:
    using CompletionHandler = std::function<void(std::optional<platform::URLResponse> response,
                                                 std::optional<platform::Bytes> data,
                                                 std::optional<platform::Error> error)>;

    static std::shared_ptr<UNIUrlConnection> sendAsynchronousRequest(const platform::URLRequest& request,
                                                                     std::shared_ptr<platform::DispatchQueue> queue,
                                                                     CompletionHandler handler);
    ~UNIUrlConnection() override;

    void start();
    void cancel();

    const platform::URLRequest& request() const { return m_request; }

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override;
    void didFinishLoading(platform::URLConnection&) override;
    void didFailWithError(platform::URLConnection&, const platform::Error& error) override;

private:
    UNIUrlConnection(platform::URLRequest request, std::shared_ptr<platform::DispatchQueue> queue, CompletionHandler handler);
    void complete(std::optional<platform::Error> error);

    std::mutex m_mutex;
    std::shared_ptr<platform::URLConnection> m_connection;
    std::optional<platform::URLResponse> m_response;
    std::optional<platform::Bytes> m_responseData;
    platform::URLRequest m_request;
    std::shared_ptr<platform::DispatchQueue> m_queue;
    CompletionHandler m_completionHandler;
    std::shared_ptr<UNIUrlConnection> m_keepAlive;
};

} // namespace deploy
