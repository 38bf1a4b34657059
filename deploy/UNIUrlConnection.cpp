#include "deploy/UNIUrlConnection.h"

#include "deploy/UNIHTTPClientHelper.h"
#include "platform/net/URLError.h"

#include <algorithm>
#include <string>

namespace deploy {

std::shared_ptr<UNIUrlConnection> UNIUrlConnection::sendAsynchronousRequest(const platform::URLRequest& request,
                                                                           std::shared_ptr<platform::DispatchQueue> queue,
                                                                           CompletionHandler handler) {
    std::shared_ptr<UNIUrlConnection> connection(new UNIUrlConnection(request, std::move(queue), std::move(handler)));
    connection->start();
    return connection;
}

UNIUrlConnection::UNIUrlConnection(platform::URLRequest request, std::shared_ptr<platform::DispatchQueue> queue,
                                   CompletionHandler handler)
    : m_request(std::move(request)), m_queue(std::move(queue)), m_completionHandler(std::move(handler)) {}

UNIUrlConnection::~UNIUrlConnection() { cancel(); }

void UNIUrlConnection::start() {
    auto connection = platform::URLConnection::make(m_request, weak_from_this(), false);
    if (!connection) {
        CompletionHandler handler;
        {
            std::lock_guard lock(m_mutex);
            handler = std::move(m_completionHandler);
            m_completionHandler = nullptr;
        }
        if (handler)
            m_queue->async([handler = std::move(handler)] { handler(std::nullopt, std::nullopt, std::nullopt); });
        return;
    }
    connection->setDeliveryTarget([](std::function<void()> work) { platform::DispatchQueue::main()->async(std::move(work)); });
    {
        std::lock_guard lock(m_mutex);
        m_connection = connection;
        m_keepAlive = shared_from_this();
    }
    connection->start();
}

void UNIUrlConnection::cancel() {
    std::shared_ptr<platform::URLConnection> connection;
    std::shared_ptr<UNIUrlConnection> keepAlive;
    {
        std::lock_guard lock(m_mutex);
        connection = std::move(m_connection);
        m_connection.reset();
        m_completionHandler = nullptr;
        keepAlive = std::move(m_keepAlive);
        m_keepAlive.reset();
    }
    if (connection)
        connection->cancel();
}

void UNIUrlConnection::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) {
    std::lock_guard lock(m_mutex);
    m_response = response;
}

void UNIUrlConnection::didReceiveData(platform::URLConnection& connection, const platform::Bytes& data) {
    {
        std::lock_guard lock(m_mutex);
        const std::size_t kept = m_responseData ? m_responseData->size() : 0;
        if (data.size() <= UNIHTTPClientHelper::kMaxResponseLength - std::min(UNIHTTPClientHelper::kMaxResponseLength, kept)) {
            if (!m_responseData)
                m_responseData = data;
            else
                m_responseData->insert(m_responseData->end(), data.begin(), data.end());
            return;
        }
        m_responseData.reset();
    }
    connection.cancel();
    complete(platform::makeURLError(platform::kURLErrorDataLengthExceedsMaximum,
                                    "the reply is larger than " + std::to_string(UNIHTTPClientHelper::kMaxResponseLength) + " bytes",
                                    m_request.urlString()));
}

void UNIUrlConnection::didFinishLoading(platform::URLConnection&) { complete(std::nullopt); }

void UNIUrlConnection::didFailWithError(platform::URLConnection&, const platform::Error& error) { complete(error); }

void UNIUrlConnection::complete(std::optional<platform::Error> error) {
    CompletionHandler handler;
    std::shared_ptr<UNIUrlConnection> keepAlive;
    std::optional<platform::URLResponse> response;
    std::optional<platform::Bytes> data;
    {
        std::lock_guard lock(m_mutex);
        m_connection.reset();
        handler = std::move(m_completionHandler);
        m_completionHandler = nullptr;
        keepAlive = std::move(m_keepAlive);
        m_keepAlive.reset();
        response = m_response;
        data = m_responseData;
    }
    if (handler) {
        m_queue->async([handler = std::move(handler), response = std::move(response), data = std::move(data),
                        error = std::move(error)] { handler(response, data, error); });
    }
}

} // namespace deploy
