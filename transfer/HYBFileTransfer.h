// The file-transfer plug-in: uploads a file (or the bytes of a data URL) as a multipart form and downloads
// a URL into a file, with progress results and abort.
//
// Guarantees:
// - Actions (upload, download, abort) and onReset run on the main thread. Connection callbacks of every
//   transfer run on the plug-in's operation queue, each transfer's one at a time (TransferExecutor).
// - Every failure reaches the page as the error object (createFileTransferError); each transfer answers
//   its callback with progress (keep-callback) and then exactly one final result, except after reset or
//   background-task expiry, which answer nothing.
// - activeTransfers (object id -> running transfer) is read and changed only under the recursive
//   registry lock, from any thread.
#pragma once

#include "platform/net/URLRequest.h"
#include "platform/runloop/OperationQueue.h"
#include "runtime/HYBPlugin.h"
#include "transfer/HYBFileTransferDelegate.h"
#include "transfer/HYBFileTransferError.h"
#include "transfer/UploadForm.h"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace transfer {

class HYBFileTransfer : public runtime::HYBPlugin {
public:
    // Makes the class creatable by the name "HYBFileTransfer" (once; later calls do nothing). The application
    // calls it at start-up (app/Plugins.cpp): a static registration would be dropped by the linker.
    static void registerClass();

    using HYBPlugin::HYBPlugin;

    void pluginInitialize() override;
    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBFileTransfer"; }
    // Cancels every running transfer without answering the page.
    void onReset() override;

    // Page actions.
    void upload(const runtime::HYBInvokedUrlCommand& command);
    void download(const runtime::HYBInvokedUrlCommand& command);
    void abort(const runtime::HYBInvokedUrlCommand& command);

    // X-Requested-With, User-Agent, then the caller's headers (which replace those two when they name them).
    void applyRequestHeaders(const platform::Dictionary& headers, platform::URLRequest& request);
    // The upload request, or none after answering the page with the error. A file on disk is read into the
    // body while it is sent (in either body mode), never whole.
    std::optional<platform::URLRequest> requestForUploadCommand(const runtime::HYBInvokedUrlCommand& command,
                                                                const std::optional<UploadFile>& fileData);
    std::shared_ptr<HYBFileTransferDelegate> delegateForUploadCommand(const runtime::HYBInvokedUrlCommand& command);
    // Resolves the source (data URL bytes, or a regular file: a device, FIFO or folder answers error 1),
    // then uploadData.
    void fileDataForUploadCommand(const runtime::HYBInvokedUrlCommand& command);
    void uploadData(const std::optional<UploadFile>& fileData, const runtime::HYBInvokedUrlCommand& command);
    // Keeps the text up to the end of the first "://.*?/" and percent-escapes the rest.
    static std::string escapePathComponentForUrlString(const std::string& urlString);

    // The error object, short form and long form ("http_status" always, "body" when there is one).
    static platform::Dictionary createFileTransferError(int code, const std::optional<std::string>& source,
                                                        const std::optional<std::string>& target);
    static platform::Dictionary createFileTransferError(int code, const std::optional<std::string>& source,
                                                        const std::optional<std::string>& target, int httpStatus,
                                                        const std::optional<std::string>& body);

    // The registry of running transfers.
    std::shared_ptr<HYBFileTransferDelegate> activeTransfer(const std::string& objectId);
    std::size_t activeTransferCount();
    // Removes the entry when it is this transfer; ends its background task. True when it was there.
    bool removeActiveTransfer(HYBFileTransferDelegate& transfer);
    // The registry lock (recursive); every read or change of the registry holds it.
    std::recursive_mutex& activeTransfersLock() { return m_activeTransfersLock; }

    // The queue of every connection callback, made on first use.
    std::shared_ptr<platform::OperationQueue> queue();
    // Answers the page (from any thread); nothing once the command delegate is gone.
    void sendResult(runtime::HYBPluginResult result, const std::optional<std::string>& callbackId);

private:
    void answerError(const runtime::HYBInvokedUrlCommand& command, const platform::Dictionary& error,
                     runtime::HYBCommandStatus status = runtime::HYBCommandStatus::Error);
    std::shared_ptr<HYBFileTransfer> self();
    std::shared_ptr<runtime::HYBPlugin> filePlugin();
    void beginBackgroundTask(const std::shared_ptr<HYBFileTransferDelegate>& transfer);
    void registerTransfer(const std::shared_ptr<HYBFileTransferDelegate>& transfer);

    std::recursive_mutex m_activeTransfersLock;
    std::map<std::string, std::shared_ptr<HYBFileTransferDelegate>> m_activeTransfers;
    std::mutex m_queueMutex;
    std::shared_ptr<platform::OperationQueue> m_queue;
};

} // namespace transfer
