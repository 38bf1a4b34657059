#include "transfer/HYBFileTransferEntityLengthRequest.h"

#include "transfer/HYBFileTransferDelegate.h"

namespace transfer {

std::shared_ptr<HYBFileTransferEntityLengthRequest> HYBFileTransferEntityLengthRequest::initWithOriginalRequest(
    const platform::URLRequest& originalRequest, const std::shared_ptr<HYBFileTransferDelegate>& delegate,
    platform::URLConnection::DeliveryTarget deliveryTarget) {
    std::shared_ptr<HYBFileTransferEntityLengthRequest> request(new HYBFileTransferEntityLengthRequest(delegate));
    platform::URLRequest head = originalRequest;
    head.setHTTPMethod("HEAD");
    (void)head.setValue("identity", "Accept-Encoding");
    request->m_connection = platform::URLConnection::make(head, request, false);
    request->m_connection->setDeliveryTarget(std::move(deliveryTarget));
    request->m_connection->start();
    return request;
}

HYBFileTransferEntityLengthRequest::~HYBFileTransferEntityLengthRequest() {
    cancel();
}

void HYBFileTransferEntityLengthRequest::cancel() {
    if (m_connection)
        m_connection->cancel();
}

void HYBFileTransferEntityLengthRequest::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) {
    if (auto delegate = m_originalDelegate.lock())
        delegate->updateBytesExpected(response.expectedContentLength());
}

void HYBFileTransferEntityLengthRequest::didFailWithError(platform::URLConnection&, const platform::Error&) {
    if (auto delegate = m_originalDelegate.lock())
        delegate->updateBytesExpected(-1);
}

} // namespace transfer
