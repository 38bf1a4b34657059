#include "transfer/HYBFileTransferDelegate.h"

#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/TextEncoding.h"
#include "transfer/HYBFileTransfer.h"
#include "transfer/HYBFileTransferEntityLengthRequest.h"
#include "transfer/TransferFileSystems.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace transfer {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

namespace {

std::string_view asText(const platform::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// How much of a name a temporary sibling keeps.
constexpr std::size_t kTemporaryNameHintLength = 64;

// Drops a multi-byte UTF-8 sequence that the end of the bytes cuts short.
void dropIncompleteUTF8Tail(platform::Bytes& bytes) {
    const std::size_t size = bytes.size();
    for (std::size_t back = 1; back <= std::min<std::size_t>(4, size); ++back) {
        const std::uint8_t byte = bytes[size - back];
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: its lead is further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > back)
            bytes.resize(size - back);
        return;
    }
}

} // namespace

HYBFileTransferDelegate::HYBFileTransferDelegate(Setup setup, std::shared_ptr<TransferExecutor> executor)
    : m_command(std::move(setup.command)),
      m_callbackId(std::move(setup.callbackId)),
      m_direction(setup.direction),
      m_objectId(std::move(setup.objectId)),
      m_source(std::move(setup.source)),
      m_target(std::move(setup.target)),
      m_targetURL(std::move(setup.targetURL)),
      m_trustAllHosts(setup.trustAllHosts),
      m_filePlugin(std::move(setup.filePlugin)),
      m_executor(std::move(executor)) {}

HYBFileTransferDelegate::~HYBFileTransferDelegate() {
    if (m_entityLengthRequest)
        m_entityLengthRequest->cancel();
    if (m_connection)
        m_connection->cancel();
    // A transfer that never ended (its owner went away) leaves no partial file behind.
    m_targetFileHandle.reset();
    if (m_temporaryPath)
        (void)platform::FileManager::defaultManager().removeItem(*m_temporaryPath);
}

void HYBFileTransferDelegate::makeConnection(const platform::URLRequest& request) {
    m_connection = platform::URLConnection::make(request, weak_from_this(), false);
    m_connection->setDeliveryTarget(m_executor->asDeliveryTarget());
}

void HYBFileTransferDelegate::start() {
    {
        // A transfer aborted before its start stays unstarted (and is not kept alive).
        std::lock_guard lock(m_keepAliveMutex);
        if (m_answered)
            return;
        m_keepAlive = shared_from_this();
    }
    m_connection->start();
}

bool HYBFileTransferDelegate::claimAnswer() {
    return !m_answered.exchange(true);
}

void HYBFileTransferDelegate::sendResult(HYBPluginResult result) {
    m_command->sendResult(std::move(result), m_callbackId);
}

void HYBFileTransferDelegate::unregister() {
    m_command->removeActiveTransfer(*this);
}

void HYBFileTransferDelegate::releaseKeepAlive() {
    std::shared_ptr<HYBFileTransferDelegate> released;
    std::lock_guard lock(m_keepAliveMutex);
    released = std::move(m_keepAlive);
}

void HYBFileTransferDelegate::cancelTransfer(std::function<void()> then) {
    m_connection->cancel();
    unregister();
    post([self = shared_from_this(), then = std::move(then)] {
        self->endOnHome();
        if (then)
            then();
        self->releaseKeepAlive();
    });
}

void HYBFileTransferDelegate::endOnHome() {
    m_connection->cancel();
    unregister();
    if (m_entityLengthRequest) {
        m_entityLengthRequest->cancel();
        m_entityLengthRequest.reset();
    }
    m_lengthPending = false;
    if (isDownload())
        removeTargetFile();
}

void HYBFileTransferDelegate::cancelTransferWithError(const std::string& errorMessage) {
    if (claimAnswer())
        answerTargetError(errorMessage);
}

void HYBFileTransferDelegate::answerTargetError(const std::string& errorMessage) {
    platform::Dictionary error = HYBFileTransfer::createFileTransferError(kFileTransferFileNotFound, m_source, m_target,
                                                                          m_responseCode, errorMessage);
    platform::Log::writef("File Transfer Error: %s", errorMessage.c_str());
    endOnHome();
    sendResult(HYBPluginResult::messageAsDictionary(HYBCommandStatus::IOError, std::move(error)));
    releaseKeepAlive();
}

void HYBFileTransferDelegate::didReceiveResponse(platform::URLConnection& connection, const platform::URLResponse& response) {
    if (m_answered)
        return;
    removeTargetFile();
    if (response.isHTTP()) {
        m_responseCode = response.statusCode();
        m_bytesExpected = response.expectedContentLength();
        m_responseHeaders = response.allHeaderFields().dictionary();
        if (isDownload() && m_responseCode == 200 && m_bytesExpected == -1 && !m_entityLengthRequest) {
            m_lengthPending = true;
            m_entityLengthRequest = HYBFileTransferEntityLengthRequest::initWithOriginalRequest(
                connection.originalRequest(), shared_from_this(), m_executor->asDeliveryTarget());
        }
    } else if (response.url() && response.url()->isFileURL()) {
        m_responseCode = 200;
        auto attributes = platform::FileManager::defaultManager().attributesOfItem(response.url()->path());
        m_bytesExpected = attributes ? static_cast<std::int64_t>(attributes->size) : -1;
    } else {
        m_responseCode = 200;
        m_bytesExpected = -1;
    }
    if (isDownload() && m_responseCode >= 200 && m_responseCode < 300)
        openTargetFile();
}

std::optional<std::string> HYBFileTransferDelegate::targetFilePath() const {
    // Only a place a file system holds: a target that none resolves (a path or file URL outside every
    // root, "..", an unregistered file system, another host) has no path, whatever its own text says.
    if (!m_target)
        return std::nullopt;
    if (auto path = fileSystemPathForTarget(m_filePlugin, *m_target))
        return path;
    if (m_targetURL && m_targetURL->isFileURL())
        return fileSystemPathForLocalPath(m_filePlugin, m_targetURL->path());
    return std::nullopt;
}

void HYBFileTransferDelegate::openTargetFile() {
    std::optional<std::string> path = targetFilePath();
    if (!path)
        return cancelTransferWithError("Could not create target file");
    const std::string folder = platform::deletingLastPathComponent(*path);
    if (platform::Status made = platform::FileManager::defaultManager().createDirectory(folder, true); !made) {
        const std::string description = made.error().localizedDescription();
        if (description.empty())
            return cancelTransferWithError("Could not create path to save downloaded file");
        return cancelTransferWithError("Could not create path to save downloaded file: " + description);
    }
    // The bytes go to a temporary file beside the target; the target is replaced only when all arrived.
    // Its name keeps a bounded part of the target's, so a 255-byte target name still has a sibling.
    std::string name(1, '.');
    name.append(platform::lastPathComponent(*path).substr(0, kTemporaryNameHintLength)).append(".download-XXXXXX");
    std::string pattern = platform::appendingPathComponent(folder, name);
    int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return cancelTransferWithError("Could not create target file");
    ::close(fd);
    m_temporaryPath = pattern;
    auto handle = platform::FileHandle::openForWriting(pattern);
    if (!handle)
        return cancelTransferWithError("Could not open target file for writing");
    m_targetFileHandle = std::move(*handle);
}

void HYBFileTransferDelegate::closeTargetFile() {
    if (!m_targetFileHandle)
        return;
    (void)m_targetFileHandle->close();
    m_targetFileHandle.reset();
}

void HYBFileTransferDelegate::removeTargetFile() {
    closeTargetFile();
    if (!m_temporaryPath)
        return;
    (void)platform::FileManager::defaultManager().removeItem(*m_temporaryPath);
    m_temporaryPath.reset();
}

bool HYBFileTransferDelegate::moveIntoPlace() {
    std::optional<std::string> path = targetFilePath();
    if (!m_temporaryPath || !path)
        return false;
    if (::rename(m_temporaryPath->c_str(), path->c_str()) != 0) {
        removeTargetFile();
        return false;
    }
    m_temporaryPath.reset();
    return true;
}

void HYBFileTransferDelegate::didReceiveData(platform::URLConnection&, const platform::Bytes& data) {
    if (m_answered)
        return;
    m_bytesTransfered += static_cast<std::int64_t>(data.size());
    if (m_targetFileHandle) {
        if (!m_targetFileHandle->write(data))
            return cancelTransferWithError("Could not write to target file");
    } else if (!keepResponseBytes(data)) {
        return;
    }
    updateProgress();
}

bool HYBFileTransferDelegate::keepResponseBytes(const platform::Bytes& data) {
    const bool isUploadReply = !isDownload() && m_responseCode >= 200 && m_responseCode < 300;
    const std::size_t limit = isUploadReply ? kMaxUploadResponseLength : kMaxErrorBodyLength;
    const std::size_t room = limit - std::min(limit, m_responseData.size());
    if (m_responseCut)
        return true;
    if (data.size() <= room) {
        m_responseData.insert(m_responseData.end(), data.begin(), data.end());
        return true;
    }
    if (!isUploadReply) {
        // An error body is only shown: its start is kept, the rest dropped as it comes. The cut falls
        // between characters, so the kept part still reads as UTF-8.
        m_responseData.insert(m_responseData.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(room));
        dropIncompleteUTF8Tail(m_responseData);
        m_responseCut = true;
        return true;
    }
    // The page would get the whole reply as text: one larger than the limit fails the upload.
    if (!claimAnswer())
        return false;
    platform::Log::writef("File Transfer Error: the server's reply is larger than %zu bytes", kMaxUploadResponseLength);
    platform::Dictionary error = HYBFileTransfer::createFileTransferError(kFileTransferConnectionError, m_source, m_target,
                                                                          m_responseCode, std::nullopt);
    endOnHome();
    sendResult(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Error, std::move(error)));
    releaseKeepAlive();
    return false;
}

platform::Dictionary HYBFileTransferDelegate::progressDictionary(bool lengthComputable, std::int64_t loaded, std::int64_t total) {
    platform::Dictionary progress;
    progress.set("lengthComputable", lengthComputable);
    progress.set("loaded", loaded);
    progress.set("total", total);
    return progress;
}

void HYBFileTransferDelegate::sendProgress(platform::Dictionary progress) {
    HYBPluginResult result = HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(progress));
    result.setKeepCallbackAsBool(true);
    sendResult(std::move(result));
}

void HYBFileTransferDelegate::updateProgress() {
    if (m_answered || !isDownload())
        return;
    // Without a length the report waits for the length request's answer.
    if (m_bytesExpected == -1 && m_lengthPending)
        return;
    if (!m_progressPacer.shouldSend(m_bytesExpected >= 0 && m_bytesTransfered >= m_bytesExpected))
        return;
    sendProgress(progressDictionary(m_bytesExpected != -1, m_bytesTransfered, m_bytesExpected));
}

void HYBFileTransferDelegate::updateBytesExpected(std::int64_t expected) {
    m_lengthPending = false;
    m_bytesExpected = expected;
    updateProgress();
}

void HYBFileTransferDelegate::didSendBodyData(platform::URLConnection&, std::int64_t, std::int64_t totalBytesWritten,
                                              std::int64_t totalBytesExpectedToWrite) {
    if (m_answered)
        return;
    if (m_direction == HYBFileTransferDirection::Upload &&
        m_progressPacer.shouldSend(totalBytesWritten >= totalBytesExpectedToWrite))
        sendProgress(progressDictionary(true, totalBytesWritten, totalBytesExpectedToWrite));
    m_bytesTransfered = totalBytesWritten;
}

void HYBFileTransferDelegate::didFinishLoading(platform::URLConnection&) {
    platform::Log::writef("File Transfer Finished with response code %d", m_responseCode);
    if (!claimAnswer())
        return;
    if (m_entityLengthRequest) {
        m_entityLengthRequest->cancel();
        m_entityLengthRequest.reset();
    }
    const bool success = m_responseCode >= 200 && m_responseCode < 300;
    HYBPluginResult result;
    if (!isDownload()) {
        std::string text = platform::decodeUTF8OrLatin1(asText(m_responseData));
        if (success) {
            platform::Dictionary answer;
            answer.set("response", text);
            answer.set("headers", m_responseHeaders);
            answer.set("bytesSent", m_bytesTransfered);
            answer.set("responseCode", m_responseCode);
            result = HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(answer));
        } else {
            result = HYBPluginResult::messageAsDictionary(
                HYBCommandStatus::Error, HYBFileTransfer::createFileTransferError(kFileTransferConnectionError, m_source,
                                                                                  m_target, m_responseCode, text));
        }
    } else if (m_targetFileHandle) {
        closeTargetFile();
        if (!moveIntoPlace())
            return answerTargetError("Could not create target file");
        // The file is in place; the page still needs its entry to use it.
        std::optional<platform::Dictionary> entry = entryForURL(m_filePlugin, *m_targetURL);
        if (!entry)
            return answerTargetError("Could not describe the downloaded file");
        result = HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(*entry));
    } else {
        std::string text = platform::decodeUTF8OrLatin1(asText(m_responseData));
        int code = m_responseCode == 404 ? kFileTransferFileNotFound
                 : m_responseCode == 304 ? kFileTransferNotModified
                                         : kFileTransferConnectionError;
        result = HYBPluginResult::messageAsDictionary(
            HYBCommandStatus::Error,
            HYBFileTransfer::createFileTransferError(code, m_source, m_target, m_responseCode, text));
    }
    sendResult(std::move(result));
    unregister();
    releaseKeepAlive();
}

void HYBFileTransferDelegate::didFailWithError(platform::URLConnection&, const platform::Error& error) {
    if (!claimAnswer())
        return;
    std::optional<std::string> body = platform::decodeUTF8(asText(m_responseData));
    platform::Dictionary answer = HYBFileTransfer::createFileTransferError(kFileTransferConnectionError, m_source, m_target,
                                                                           m_responseCode, body);
    platform::Log::writef("File Transfer Error: %s", error.localizedDescription().c_str());
    endOnHome();
    sendResult(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Error, std::move(answer)));
    releaseKeepAlive();
}

void HYBFileTransferDelegate::willSendRequestForAuthenticationChallenge(
    platform::URLConnection&, const std::shared_ptr<platform::URLAuthenticationChallenge>& challenge) {
    if (m_trustAllHosts)
        challenge->useCredentialForServerTrust();
    challenge->continueWithoutCredential();
}

} // namespace transfer
