// A HEAD request that learns the length of a download whose server sent none: a copy of the download's
// request with method "HEAD" and "Accept-Encoding" "identity". Only its response is used; its expected
// length goes to the transfer (on the transfer's home). A failed request tells the transfer that no
// length is coming, so progress does not wait for ever.
#pragma once

#include "platform/net/URLConnection.h"

#include <memory>

namespace transfer {

class HYBFileTransferDelegate;

class HYBFileTransferEntityLengthRequest final : public platform::URLConnectionDelegate,
                                                 public std::enable_shared_from_this<HYBFileTransferEntityLengthRequest> {
public:
    // Makes the request and starts it at once; its callbacks run where `deliveryTarget` puts them.
    static std::shared_ptr<HYBFileTransferEntityLengthRequest> initWithOriginalRequest(
        const platform::URLRequest& originalRequest, const std::shared_ptr<HYBFileTransferDelegate>& delegate,
        platform::URLConnection::DeliveryTarget deliveryTarget);
    ~HYBFileTransferEntityLengthRequest() override;

    void didReceiveResponse(platform::URLConnection& connection, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes&) override {}
    void didFinishLoading(platform::URLConnection&) override {}
    void didFailWithError(platform::URLConnection& connection, const platform::Error& error) override;

    void cancel();

private:
    explicit HYBFileTransferEntityLengthRequest(std::weak_ptr<HYBFileTransferDelegate> delegate)
        : m_originalDelegate(std::move(delegate)) {}

    std::shared_ptr<platform::URLConnection> m_connection;
    std::weak_ptr<HYBFileTransferDelegate> m_originalDelegate;
};

} // namespace transfer
