#include "files/HYBFilesystemURLProtocol.h"

#include "files/HYBFile.h"
#include "files/HYBFilesystemURL.h"

namespace files {
namespace {

void answer(platform::URLProtocol& protocol, const std::optional<platform::URL>& url, std::optional<platform::Bytes> data,
            const std::optional<std::string>& mimeType, std::int32_t errorCode) {
    platform::HTTPHeaderFields fields;
    (void)fields.setValue("Cache-Control", "no-cache");
    if (errorCode != 0 || !data) {
        protocol.client()->didReceiveResponse(protocol, platform::URLResponse::http(url, 404, fields, "HTTP/1.1"),
                                              platform::URLCacheStoragePolicy::NotAllowed);
        protocol.client()->didFinishLoading(protocol);
        return;
    }
    if (mimeType)
        (void)fields.setValue("Content-Type", *mimeType);
    protocol.client()->didReceiveResponse(protocol, platform::URLResponse::http(url, 200, fields, "HTTP/1.1"),
                                          platform::URLCacheStoragePolicy::NotAllowed);
    protocol.client()->didLoadData(protocol, *data);
    protocol.client()->didFinishLoading(protocol);
}

} // namespace

void HYBFilesystemURLProtocol::registerProtocol() {
    platform::URLProtocol::registerClass(platform::URLProtocol::classOf<HYBFilesystemURLProtocol>(kClassName));
}

bool HYBFilesystemURLProtocol::canInitWithRequest(const platform::URLRequest& request) {
    return request.url() && request.url()->scheme() == kHYBFilesystemURLScheme;
}

bool HYBFilesystemURLProtocol::requestIsCacheEquivalent(const platform::URLRequest& a, const platform::URLRequest& b) {
    if (!a.url() || !b.url())
        return false;
    return a.url()->resourceSpecifier() == b.url()->resourceSpecifier();
}

void HYBFilesystemURLProtocol::startLoading() {
    HYBFilesystemURL url = request().url() ? HYBFilesystemURL(*request().url()) : HYBFilesystemURL();
    const std::optional<platform::URL> responseURL = url.url() ? url.url() : request().url();
    std::shared_ptr<HYBFile> plugin = HYBFile::current();
    std::shared_ptr<HYBFileSystem> fileSystem = plugin ? plugin->filesystemForURL(url) : nullptr;
    if (!fileSystem) {
        answer(*this, responseURL, std::nullopt, std::nullopt, static_cast<std::int32_t>(1));
        return;
    }
    std::weak_ptr<platform::URLProtocol> weak = weak_from_this();
    fileSystem->readFileAtURL(url, 0, -1,
                              [weak, responseURL](std::optional<platform::Bytes> data, std::optional<std::string> mimeType,
                                                  std::int32_t errorCode) {
                                  if (std::shared_ptr<platform::URLProtocol> self = weak.lock())
                                      answer(*self, responseURL, std::move(data), mimeType, errorCode);
                              });
}

} // namespace files
