#include "transfer/HYBFileTransfer.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/files/BoundStreamPair.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/text/PercentEscaping.h"
#include "transfer/TransferFileSystems.h"
#include "transfer/UploadForm.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <strings.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace transfer {

using runtime::HYBCommandStatus;
using runtime::HYBInvokedUrlCommand;
using runtime::HYBPluginResult;

namespace {

// The text of an argument (numbers as their decimal text), the default when it is missing or null.
std::optional<std::string> textArgument(const HYBInvokedUrlCommand& command, std::size_t index,
                                        const platform::Value& defaultValue = platform::Value()) {
    return uploadTextValue(command.argumentAtIndex(index, defaultValue));
}

bool boolArgument(const HYBInvokedUrlCommand& command, std::size_t index, bool defaultValue) {
    const platform::Value value = command.argumentAtIndex(index, defaultValue);
    return value.isBool() || value.isNumber() ? value.boolValue() : defaultValue;
}

platform::Dictionary dictionaryArgument(const HYBInvokedUrlCommand& command, std::size_t index) {
    return command.argumentAtIndex(index).dictionaryOrEmpty();
}

bool namesContentType(const platform::Dictionary& headers) {
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), "Content-Type") == 0)
            return true;
    }
    return false;
}

// A file is read into the body in pieces of this size, so an upload never holds it whole.
constexpr std::size_t kUploadReadLength = 64 * 1024;

// One piece of an upload body: bytes in memory, or a file read from disk as the body is sent.
using BodyPiece = std::variant<platform::Bytes, UploadFileOnDisk>;

std::uint64_t lengthOf(const UploadFile& file) {
    if (const auto* bytes = std::get_if<platform::Bytes>(&file))
        return bytes->size();
    return std::get<UploadFileOnDisk>(file).length;
}

// Writes all of the bytes into the stream; false (logged) when it takes no more.
bool writeAll(platform::BoundOutputStream& stream, const std::uint8_t* data, std::size_t length) {
    std::size_t written = 0;
    while (written < length) {
        long count = stream.write(data + written, length - written);
        if (count < 0) {
            platform::Error error = stream.streamError();
            platform::Log::writef("WriteStreamError domain: %ld error: %ld", error.domain == platform::kPOSIXErrorDomain ? 1L : 0L,
                                  static_cast<long>(error.code));
        }
        if (count <= 0)
            return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

// Copies the file's announced length into the stream, from the descriptor opened when the upload
// started; false when it cannot be read or is shorter now.
bool writeFile(platform::BoundOutputStream& stream, const UploadFileOnDisk& file) {
    std::vector<std::uint8_t> piece(kUploadReadLength);
    std::uint64_t offset = 0;
    while (offset < file.length) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(file.length - offset, piece.size()));
        const ssize_t n = ::pread(file.file->get(), piece.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            platform::Log::writef("FileTransfer: %s ended before its %llu bytes", file.name.c_str(),
                                  static_cast<unsigned long long>(file.length));
            return false;
        }
        if (!writeAll(stream, piece.data(), static_cast<std::size_t>(n)))
            return false;
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Writes the pieces into the writing end of the body's stream pair, in order, skipping empty ones.
void writeBody(const std::shared_ptr<platform::BoundOutputStream>& stream, const std::vector<BodyPiece>& pieces) {
    if (!stream->open()) {
        platform::Log::write("FileTransfer: Failed to open writeStream");
        return;
    }
    for (const BodyPiece& piece : pieces) {
        const bool written = std::visit(
            [&](const auto& part) {
                if constexpr (std::is_same_v<std::decay_t<decltype(part)>, platform::Bytes>)
                    return part.empty() || writeAll(*stream, part.data(), part.size());
                else
                    return part.length == 0 || writeFile(*stream, part);
            },
            piece);
        if (!written)
            break;
    }
    stream->close();
}

} // namespace

void HYBFileTransfer::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBFileTransfer>("HYBFileTransfer");
    (void)registered;
}

void HYBFileTransfer::pluginInitialize() {
    std::lock_guard lock(m_activeTransfersLock);
    m_activeTransfers.clear();
}

const runtime::HYBActionTable& HYBFileTransfer::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBFileTransfer>({
        {"upload", &HYBFileTransfer::upload},
        {"download", &HYBFileTransfer::download},
        {"abort", &HYBFileTransfer::abort},
    });
    return table;
}

std::shared_ptr<HYBFileTransfer> HYBFileTransfer::self() {
    return std::static_pointer_cast<HYBFileTransfer>(shared_from_this());
}

std::shared_ptr<runtime::HYBPlugin> HYBFileTransfer::filePlugin() {
    auto delegate = commandDelegate();
    return delegate ? delegate->getCommandInstance("File") : nullptr;
}

std::shared_ptr<platform::OperationQueue> HYBFileTransfer::queue() {
    std::lock_guard lock(m_queueMutex);
    if (!m_queue)
        m_queue = platform::OperationQueue::create("HYBFileTransfer");
    return m_queue;
}

void HYBFileTransfer::sendResult(HYBPluginResult result, const std::optional<std::string>& callbackId) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), callbackId);
}

void HYBFileTransfer::answerError(const HYBInvokedUrlCommand& command, const platform::Dictionary& error,
                                  HYBCommandStatus status) {
    sendResult(HYBPluginResult::messageAsDictionary(status, error), command.callbackId());
}

namespace {

platform::Dictionary errorStart(int code, const std::optional<std::string>& source, const std::optional<std::string>& target) {
    platform::Dictionary error;
    error.set("code", code);
    if (source)
        error.set("source", *source);
    if (target)
        error.set("target", *target);
    return error;
}

platform::Dictionary logged(platform::Dictionary error) {
    platform::Log::writef("FileTransferError %s", platform::Value(error).description().c_str());
    return error;
}

} // namespace

platform::Dictionary HYBFileTransfer::createFileTransferError(int code, const std::optional<std::string>& source,
                                                              const std::optional<std::string>& target) {
    return logged(errorStart(code, source, target));
}

platform::Dictionary HYBFileTransfer::createFileTransferError(int code, const std::optional<std::string>& source,
                                                              const std::optional<std::string>& target, int httpStatus,
                                                              const std::optional<std::string>& body) {
    platform::Dictionary error = errorStart(code, source, target);
    error.set("http_status", httpStatus);
    if (body)
        error.set("body", *body);
    return logged(std::move(error));
}

void HYBFileTransfer::applyRequestHeaders(const platform::Dictionary& headers, platform::URLRequest& request) {
    (void)request.setValue("XMLHttpRequest", "X-Requested-With");
    if (auto delegate = commandDelegate()) {
        if (std::string userAgent = delegate->userAgent(); !userAgent.empty())
            (void)request.setValue(userAgent, "User-Agent");
    }
    for (const auto& [name, value] : headers) {
        platform::Array values;
        if (value.isNull())
            values.push_back("null");
        else if (const platform::Array* array = value.getArray())
            values = *array;
        else
            values.push_back(value);
        request.removeValue(name);
        for (const platform::Value& element : values) {
            std::optional<std::string> text = uploadTextValue(element);
            if (!text)
                continue;
            if (platform::Status added = request.addValue(*text, name); !added)
                platform::Log::writef("File Transfer: header %s not sent: %s", name.c_str(), added.error().localizedDescription().c_str());
        }
    }
}

void HYBFileTransfer::upload(const HYBInvokedUrlCommand& command) {
    fileDataForUploadCommand(command);
}

void HYBFileTransfer::fileDataForUploadCommand(const HYBInvokedUrlCommand& command) {
    const std::optional<std::string> source = textArgument(command, 0);
    const std::optional<std::string> server = textArgument(command, 1);
    const std::string sourceText = source.value_or("");

    DataURLSource dataURL = decodeDataURLSource(sourceText);
    if (std::holds_alternative<MissingComma>(dataURL))
        return answerError(command, createFileTransferError(kFileTransferInvalidURL, source, server));
    if (auto* bytes = std::get_if<std::optional<platform::Bytes>>(&dataURL))
        return uploadData(*bytes ? std::optional<UploadFile>(std::move(**bytes)) : std::nullopt, command);

    // Only a file that lies in a registered file system is sent: a local one is opened now and read from
    // disk while the body goes out; another kind (the photo library) hands over its bytes.
    std::weak_ptr<HYBFileTransfer> weakSelf = self();
    UploadFileOnDisk opened;
    UploadSourceOutcome outcome = openUploadSource(filePlugin(), sourceText, opened,
                                                   [weakSelf, command, source, server](std::optional<platform::Bytes> data, std::int32_t errorCode) {
        auto plugin = weakSelf.lock();
        if (!plugin)
            return;
        if (errorCode != 0 || !data)
            return plugin->answerError(command, createFileTransferError(kFileTransferFileNotFound, source, server));
        plugin->uploadData(UploadFile(std::move(*data)), command);
    });
    switch (outcome) {
    case UploadSourceOutcome::ReadByFileSystem:
        return;
    case UploadSourceOutcome::Opened:
        return uploadData(UploadFile(std::move(opened)), command);
    case UploadSourceOutcome::NotInAFileSystem:
        platform::Log::writef("Error opening file %s: no registered file system holds it", sourceText.c_str());
        break;
    case UploadSourceOutcome::Unreadable:
        platform::Log::writef("Error opening file %s: it cannot be read", sourceText.c_str());
        break;
    }
    answerError(command, createFileTransferError(kFileTransferFileNotFound, source, server));
}

std::optional<platform::URLRequest> HYBFileTransfer::requestForUploadCommand(const HYBInvokedUrlCommand& command,
                                                                             const std::optional<UploadFile>& fileData) {
    const std::optional<std::string> source = textArgument(command, 0);
    const std::optional<std::string> server = textArgument(command, 1);
    const std::string fileKey = textArgument(command, 2, "file").value_or("file");
    const std::string fileName = textArgument(command, 3, "image.jpg").value_or("image.jpg");
    const std::optional<std::string> mimeType = textArgument(command, 4, "image/jpeg");
    const platform::Dictionary parameters = dictionaryArgument(command, 5);
    const bool chunkedMode = boolArgument(command, 7, true);
    const platform::Dictionary headers = dictionaryArgument(command, 8);
    const std::string method = textArgument(command, 10, "POST").value_or("POST");

    std::optional<platform::URL> url = server ? platform::URL::fromString(*server) : std::nullopt;
    if (!url) {
        platform::Log::writef("File Transfer Error: Invalid server URL %s", server.value_or("(null)").c_str());
        answerError(command, createFileTransferError(kFileTransferInvalidURL, source, server));
        return std::nullopt;
    }
    if (!fileData) {
        answerError(command, createFileTransferError(kFileTransferFileNotFound, source, server));
        return std::nullopt;
    }

    platform::URLRequest request(*url);
    request.setHTTPMethod(method);
    if (const platform::Value* cookie = parameters.find("__cookie")) {
        if (std::optional<std::string> text = uploadTextValue(*cookie))
            (void)request.setValue(*text, "Cookie");
        request.setHTTPShouldHandleCookies(false);
    }
    // The caller's own "Content-Type" (in any letter case) means the body is the file alone.
    const bool callerContentType = namesContentType(headers);
    if (!callerContentType)
        (void)request.setValue(std::string("multipart/form-data; boundary=") + kUploadFormBoundary, "Content-Type");
    applyRequestHeaders(headers, request);

    const std::uint64_t fileLength = lengthOf(*fileData);
    MultipartPieces form = buildMultipartPieces(parameters, fileKey, fileName, mimeType, static_cast<std::size_t>(fileLength));
    std::uint64_t contentLength = callerContentType ? fileLength : form.prefix.size() + fileLength + form.suffix.size();
    (void)request.setValue(std::to_string(contentLength), "Content-Length");

    const BodyPiece filePiece = std::visit([](const auto& file) { return BodyPiece(file); }, *fileData);
    std::vector<BodyPiece> pieces;
    if (callerContentType)
        pieces = {filePiece};
    else
        pieces = {std::move(form.prefix), filePiece, std::move(form.suffix)};

    // A file on disk is always streamed (its "Content-Length" is known, so the request looks the same).
    if (chunkedMode || std::holds_alternative<UploadFileOnDisk>(*fileData)) {
        auto streams = platform::BoundStreamPair::make(platform::BoundStreamPair::kDefaultBufferSize);
        std::shared_ptr<platform::BoundOutputStream> writer = std::move(streams.second);
        request.setHTTPBodyStream(std::move(streams.first));
        auto write = [writer, pieces = std::move(pieces)]() mutable {
            writeBody(writer, pieces);
            writer.reset();
        };
        if (auto delegate = commandDelegate())
            delegate->runInBackground(std::move(write));
    } else {
        platform::Bytes body;
        for (const BodyPiece& piece : pieces) {
            const auto& bytes = std::get<platform::Bytes>(piece);
            body.insert(body.end(), bytes.begin(), bytes.end());
        }
        request.setHTTPBody(std::move(body));
    }
    return request;
}

std::shared_ptr<HYBFileTransferDelegate> HYBFileTransfer::delegateForUploadCommand(const HYBInvokedUrlCommand& command) {
    HYBFileTransferDelegate::Setup setup;
    setup.command = self();
    setup.callbackId = command.callbackId();
    setup.direction = HYBFileTransferDirection::Upload;
    setup.objectId = textArgument(command, 9).value_or("");
    setup.source = textArgument(command, 0);
    setup.target = textArgument(command, 1);
    setup.trustAllHosts = boolArgument(command, 6, false);
    setup.filePlugin = filePlugin();
    return std::make_shared<HYBFileTransferDelegate>(std::move(setup), std::make_shared<TransferExecutor>(queue()));
}

void HYBFileTransfer::beginBackgroundTask(const std::shared_ptr<HYBFileTransferDelegate>& transfer) {
    std::weak_ptr<HYBFileTransferDelegate> weak = transfer;
    platform::BackgroundTaskIdentifier task = platform::Application::shared().beginBackgroundTask([weak] {
        if (auto expired = weak.lock(); expired && expired->claimAnswer())
            expired->cancelTransfer();
    });
    std::lock_guard lock(m_activeTransfersLock);
    transfer->setBackgroundTaskID(task);
}

void HYBFileTransfer::registerTransfer(const std::shared_ptr<HYBFileTransferDelegate>& transfer) {
    std::lock_guard lock(m_activeTransfersLock);
    m_activeTransfers.insert_or_assign(transfer->objectId(), transfer);
}

void HYBFileTransfer::uploadData(const std::optional<UploadFile>& fileData, const HYBInvokedUrlCommand& command) {
    std::optional<platform::URLRequest> request = requestForUploadCommand(command, fileData);
    if (!request)
        return;
    std::shared_ptr<HYBFileTransferDelegate> transfer = delegateForUploadCommand(command);
    transfer->makeConnection(*request);
    beginBackgroundTask(transfer);
    registerTransfer(transfer);
    transfer->start();
}

void HYBFileTransfer::download(const HYBInvokedUrlCommand& command) {
    const std::optional<std::string> source = textArgument(command, 0);
    const std::optional<std::string> target = textArgument(command, 1);
    const bool trustAllHosts = boolArgument(command, 2, false);
    const std::string objectId = textArgument(command, 3).value_or("");
    const platform::Dictionary headers = dictionaryArgument(command, 4);
    std::shared_ptr<runtime::HYBPlugin> files = filePlugin();

    std::optional<platform::URL> targetURL;
    if (target && target->starts_with("/")) {
        std::string path;
        for (std::size_t i = 0; i < target->size(); ++i) {
            path += (*target)[i];
            if ((*target)[i] == '/' && i + 1 < target->size() && (*target)[i + 1] == '/')
                ++i;
        }
        targetURL = fileSystemURLForLocalPath(files, path);
    } else if (target) {
        targetURL = platform::URL::fromString(*target);
    }

    std::optional<platform::URL> sourceURL = source ? platform::URL::fromString(*source) : std::nullopt;
    if (!sourceURL) {
        platform::Log::writef("File Transfer Error: Invalid server URL %s", source.value_or("(null)").c_str());
        return answerError(command, createFileTransferError(kFileTransferInvalidURL, source, target));
    }

    platform::URLRequest request(*sourceURL);
    request.setHTTPMethod("GET");
    applyRequestHeaders(headers, request);

    HYBFileTransferDelegate::Setup setup;
    setup.command = self();
    setup.callbackId = command.callbackId();
    setup.direction = HYBFileTransferDirection::Download;
    setup.objectId = objectId;
    setup.source = source;
    if (targetURL)
        setup.target = targetURL->absoluteString();
    setup.targetURL = targetURL;
    setup.trustAllHosts = trustAllHosts;
    setup.filePlugin = files;
    auto transfer = std::make_shared<HYBFileTransferDelegate>(std::move(setup), std::make_shared<TransferExecutor>(queue()));

    beginBackgroundTask(transfer);
    transfer->makeConnection(request);
    registerTransfer(transfer);
    platform::DispatchQueue::global()->async([transfer] { transfer->start(); });
}

void HYBFileTransfer::abort(const HYBInvokedUrlCommand& command) {
    const std::string objectId = textArgument(command, 0).value_or("");
    std::lock_guard lock(m_activeTransfersLock);
    auto found = m_activeTransfers.find(objectId);
    if (found == m_activeTransfers.end())
        return;
    std::shared_ptr<HYBFileTransferDelegate> transfer = found->second;
    if (!transfer->claimAnswer())
        return;
    transfer->cancelTransfer([transfer] {
        platform::Dictionary error = createFileTransferError(kFileTransferAborted, transfer->source(), transfer->target());
        transfer->command()->sendResult(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Error, std::move(error)),
                                        transfer->callbackId());
    });
}

void HYBFileTransfer::onReset() {
    std::lock_guard lock(m_activeTransfersLock);
    while (!m_activeTransfers.empty()) {
        std::shared_ptr<HYBFileTransferDelegate> transfer = m_activeTransfers.begin()->second;
        m_activeTransfers.erase(m_activeTransfers.begin());
        if (transfer->claimAnswer())
            transfer->cancelTransfer();
    }
}

std::shared_ptr<HYBFileTransferDelegate> HYBFileTransfer::activeTransfer(const std::string& objectId) {
    std::lock_guard lock(m_activeTransfersLock);
    auto found = m_activeTransfers.find(objectId);
    return found == m_activeTransfers.end() ? nullptr : found->second;
}

std::size_t HYBFileTransfer::activeTransferCount() {
    std::lock_guard lock(m_activeTransfersLock);
    return m_activeTransfers.size();
}

bool HYBFileTransfer::removeActiveTransfer(HYBFileTransferDelegate& transfer) {
    std::lock_guard lock(m_activeTransfersLock);
    if (transfer.backgroundTaskID() != platform::kBackgroundTaskInvalid) {
        platform::Application::shared().endBackgroundTask(transfer.backgroundTaskID());
        transfer.setBackgroundTaskID(platform::kBackgroundTaskInvalid);
    }
    auto found = m_activeTransfers.find(transfer.objectId());
    if (found == m_activeTransfers.end() || found->second.get() != &transfer)
        return false;
    m_activeTransfers.erase(found);
    return true;
}

std::string HYBFileTransfer::escapePathComponentForUrlString(const std::string& urlString) {
    static const std::regex scheme("://.*?/");
    std::smatch match;
    if (!std::regex_search(urlString, match, scheme))
        return urlString;
    const std::size_t end = static_cast<std::size_t>(match.position(0) + match.length(0));
    return urlString.substr(0, end) + platform::addPercentEscapes(std::string_view(urlString).substr(end));
}

} // namespace transfer
