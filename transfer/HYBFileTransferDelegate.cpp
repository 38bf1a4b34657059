#include "transfer/HYBFileTransferDelegate.h"

#include "platform/core/Log.h"
#include "platform/files/FileManager.h"
#include "platform/text/TextEncoding.h"
#include "transfer/HYBFileTransfer.h"
#include "transfer/HYBFileTransferEntityLengthRequest.h"
#include "transfer/TransferFileSystems.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
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

// Writes every byte to the descriptor; false when the disk refuses.
bool writeAllTo(int fd, const platform::Bytes& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
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
    removeTargetFile();
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

void HYBFileTransferDelegate::openTargetFile() {
    auto folder = openTargetFolder(m_filePlugin, m_target, m_targetURL);
    if (auto* error = std::get_if<TargetFolderError>(&folder))
        return cancelTransferWithError(error->message);
    m_targetFolder = std::move(std::get<TargetFolder>(folder));
    // The bytes go to a temporary file beside the target; the target is replaced only when all arrived.
    // Its name keeps a bounded part of the target's, so a 255-byte target name still has a sibling.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16 && !m_targetFile; ++attempt) {
        std::string name(1, '.');
        name.append(m_targetFolder->name.substr(0, kTemporaryNameHintLength))
            .append(".download-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        const int fd = ::openat(m_targetFolder->folder.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_targetFile.reset(fd);
            m_temporaryName = name;
        } else if (errno != EEXIST) {
            break;
        }
    }
    if (!m_targetFile)
        return cancelTransferWithError("Could not create target file");
}

void HYBFileTransferDelegate::closeTargetFile() {
    m_targetFile.reset();
}

void HYBFileTransferDelegate::removeTargetFile() {
    closeTargetFile();
    if (m_targetFolder && m_temporaryName)
        (void)::unlinkat(m_targetFolder->folder.get(), m_temporaryName->c_str(), 0);
    m_temporaryName.reset();
}

bool HYBFileTransferDelegate::moveIntoPlace() {
    if (!m_targetFolder || !m_temporaryName)
        return false;
    // A folder at the target's name stays: the bytes do not replace it.
    struct stat st {};
    if (::fstatat(m_targetFolder->folder.get(), m_targetFolder->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
        removeTargetFile();
        return false;
    }
    // The rename replaces a file or a link at the name; it never writes through a link.
    if (::renameat(m_targetFolder->folder.get(), m_temporaryName->c_str(), m_targetFolder->folder.get(),
                   m_targetFolder->name.c_str()) != 0) {
        removeTargetFile();
        return false;
    }
    m_temporaryName.reset();
    return true;
}

void HYBFileTransferDelegate::didReceiveData(platform::URLConnection&, const platform::Bytes& data) {
    if (m_answered)
        return;
    m_bytesTransfered += static_cast<std::int64_t>(data.size());
    if (m_targetFile) {
        if (!writeAllTo(m_targetFile.get(), data))
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
    } else if (m_targetFile) {
        (void)::fsync(m_targetFile.get());
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
