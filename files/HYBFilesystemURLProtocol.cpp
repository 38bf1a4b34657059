#include "files/HYBFilesystemURLProtocol.h"

#include "files/HYBFile.h"
#include "files/HYBFilesystemURL.h"
#include "platform/files/AppFolders.h"
#include "platform/net/URLError.h"

namespace files {
namespace {

platform::HTTPHeaderFields answerFields(const std::optional<std::string>& mimeType) {
    platform::HTTPHeaderFields fields;
    (void)fields.setValue("Cache-Control", "no-cache");
    if (mimeType)
        (void)fields.setValue("Content-Type", *mimeType);
    return fields;
}

// One load's steps through its file: each reads the next piece once the reader has room for it.
struct Steps {
    std::weak_ptr<platform::URLProtocol> protocol;
    std::shared_ptr<HYBFileSystem> fileSystem;
    HYBFilesystemURL url;
    std::optional<platform::URL> responseURL;
};

void readStep(const std::shared_ptr<const Steps>& steps, std::int64_t offset) {
    constexpr auto kStep = static_cast<std::int64_t>(platform::URLProtocol::kStepBytes);
    steps->fileSystem->readFileAtURL(steps->url, offset, offset + kStep,
                                     [steps, offset](std::optional<platform::Bytes> data, std::optional<std::string> mimeType,
                                                     std::int32_t errorCode) {
        std::shared_ptr<platform::URLProtocol> self = steps->protocol.lock();
        if (!self)
            return;
        platform::URLProtocolClient& client = *self->client();
        const bool failed = errorCode != 0 || !data;
        if (offset == 0) {
            client.didReceiveResponse(*self, platform::URLResponse::http(steps->responseURL, failed ? 404 : 200, answerFields(failed ? std::nullopt : mimeType), "HTTP/1.1"),
                                      platform::URLCacheStoragePolicy::NotAllowed);
            if (failed)
                return client.didFinishLoading(*self);
        } else if (failed) {
            // Part of the body went out already: the load fails rather than end as if whole.
            return client.didFailWithError(*self, platform::makeURLError(platform::kURLErrorResourceUnavailable,
                                                                         "the file could not be read past byte " + std::to_string(offset),
                                                                         self->request().urlString()));
        }
        if (!data->empty())
            client.didLoadData(*self, *data);
        if (static_cast<std::int64_t>(data->size()) < kStep)
            return client.didFinishLoading(*self);
        const std::int64_t next = offset + kStep;
        client.whenReaderHasRoom(*self, [steps, next] { readStep(steps, next); });
    });
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
        client()->didReceiveResponse(*this, platform::URLResponse::http(responseURL, 404, answerFields(std::nullopt), "HTTP/1.1"),
                                     platform::URLCacheStoragePolicy::NotAllowed);
        client()->didFinishLoading(*this);
        return;
    }
    // A foreign page's load reads only files of the bundle and the home, whatever its file system's root:
    // the path the file system would read, its links resolved, must lie there.
    if (request().isFromForeignPage()) {
        const std::optional<std::string> path = fileSystem->filesystemPathForURL(url);
        if (!path || !platform::AppFolders::current().holds(*path)) {
            client()->didFailWithError(*this, platform::makeURLError(platform::kURLErrorNoPermissionsToReadFile,
                                                                     "a foreign page may not read this file", request().urlString()));
            return;
        }
    }
    readStep(std::make_shared<const Steps>(Steps{weak_from_this(), std::move(fileSystem), url, responseURL}), 0);
}

} // namespace files
