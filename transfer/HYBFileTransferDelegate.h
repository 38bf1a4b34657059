// One running upload or download of the file-transfer plug-in: the connection's delegate. It counts
// bytes, writes a download into its target, sends progress to the page and sends the one final result.
//
// Guarantees:
// - Home: the transfer's TransferExecutor. Every connection callback and every follow-up runs there, one
//   at a time, in order. cancelTransfer() and claimAnswer() may be called from any thread.
// - The page receives progress (keep-callback) and then at most one final result: whoever claims the
//   answer first (completion, failure, abort) sends it; reset and expiry claim it and send nothing. No
//   progress follows the final result.
// - A download is written to a temporary file beside its target. Only a successful download replaces the
//   target (by renaming); a failed, aborted or reset download removes the temporary file and leaves an
//   existing target as it was.
// - A download is written only inside a file system of the file plug-in: a target that no file system
//   resolves answers error 1 ("Could not create target file") and nothing is written.
// - Memory is bounded whatever the server sends: an error body is kept up to kMaxErrorBodyLength (the rest
//   dropped as it arrives); an upload's successful reply above kMaxUploadResponseLength fails the upload.
// - Progress goes at most every 50 ms, and at completion (runtime/HYBProgressPacer.h).
// - While its connection runs, the transfer keeps itself alive (the connection holds its delegate
//   weakly), so a transfer replaced in the registry by another with the same object id still answers.
#pragma once

#include "platform/application/Application.h"
#include "platform/core/Value.h"
#include "platform/files/RootFolder.h"
#include "platform/net/URLConnection.h"
#include "platform/text/URL.h"
#include "runtime/HYBPlugin.h"
#include "runtime/HYBProgressPacer.h"
#include "transfer/HYBFileTransferError.h"
#include "transfer/TransferExecutor.h"
#include "transfer/TransferFileSystems.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace transfer {

class HYBFileTransfer;
class HYBFileTransferEntityLengthRequest;

class HYBFileTransferDelegate final : public platform::URLConnectionDelegate,
                                      public std::enable_shared_from_this<HYBFileTransferDelegate> {
public:
    // The part of an error body kept for the page and the log: enough for any message a server means a
    // person to read.
    static constexpr std::size_t kMaxErrorBodyLength = 64 * 1024;
    // The largest upload reply handed to the page as text (a JSON answer, typically a few kilobytes).
    static constexpr std::size_t kMaxUploadResponseLength = 16 * 1024 * 1024;

    struct Setup {
        std::shared_ptr<HYBFileTransfer> command;
        std::optional<std::string> callbackId;
        HYBFileTransferDirection direction = HYBFileTransferDirection::Upload;
        std::string objectId;
        std::optional<std::string> source;
        std::optional<std::string> target;
        std::optional<platform::URL> targetURL;
        bool trustAllHosts = false;
        std::shared_ptr<runtime::HYBPlugin> filePlugin;
    };

    HYBFileTransferDelegate(Setup setup, std::shared_ptr<TransferExecutor> executor);
    ~HYBFileTransferDelegate() override;

    // Makes the (not started) connection for the request, delivering on this transfer's home.
    void makeConnection(const platform::URLRequest& request);
    // Starts the connection from the calling thread; the transfer keeps itself alive until it ends.
    void start();

    // Connection callbacks.
    void didReceiveResponse(platform::URLConnection& connection, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection& connection, const platform::Bytes& data) override;
    void didSendBodyData(platform::URLConnection& connection, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                         std::int64_t totalBytesExpectedToWrite) override;
    void didFinishLoading(platform::URLConnection& connection) override;
    void didFailWithError(platform::URLConnection& connection, const platform::Error& error) override;
    void willSendRequestForAuthenticationChallenge(platform::URLConnection& connection,
                                                   const std::shared_ptr<platform::URLAuthenticationChallenge>& challenge) override;

    // Takes the right to send the final result; true once, for the first caller.
    bool claimAnswer();
    // Cancels the connection, leaves the registry, ends the background task and (for a download) removes
    // the partial file on the transfer's home; `then` runs on the home afterwards. Sends nothing.
    void cancelTransfer(std::function<void()> then = {});
    // Home only: answers error 1 (status 6) with the message as "body", then cancels.
    void cancelTransferWithError(const std::string& errorMessage);
    // Home only.
    void updateProgress();
    void updateBytesExpected(std::int64_t expected);
    // Removes the partial download (the temporary file), never the target.
    void removeTargetFile();

    // Runs work on the transfer's home.
    void post(std::function<void()> work) { m_executor->post(std::move(work)); }

    const std::shared_ptr<HYBFileTransfer>& command() const { return m_command; }
    const std::optional<std::string>& callbackId() const { return m_callbackId; }
    HYBFileTransferDirection direction() const { return m_direction; }
    const std::string& objectId() const { return m_objectId; }
    const std::optional<std::string>& source() const { return m_source; }
    const std::optional<std::string>& target() const { return m_target; }
    platform::BackgroundTaskIdentifier backgroundTaskID() const { return m_backgroundTaskID; }
    void setBackgroundTaskID(platform::BackgroundTaskIdentifier identifier) { m_backgroundTaskID = identifier; }
    std::int64_t bytesTransfered() const { return m_bytesTransfered; }
    std::int64_t bytesExpected() const { return m_bytesExpected; }

private:
    bool isDownload() const { return m_direction == HYBFileTransferDirection::Download; }
    void sendResult(runtime::HYBPluginResult result);
    static platform::Dictionary progressDictionary(bool lengthComputable, std::int64_t loaded, std::int64_t total);
    void sendProgress(platform::Dictionary progress);
    // Keeps reply bytes within their limit; false when the transfer ended over them.
    bool keepResponseBytes(const platform::Bytes& data);
    // Home only: the end of a cancelled transfer (connection, registry, length request, partial file).
    void endOnHome();
    void releaseKeepAlive();
    // Leaves the registry and ends the background task (registry lock held inside).
    void unregister();
    // Home only, the answer already claimed: error 1 (status 6) with the message as "body", then the end.
    void answerTargetError(const std::string& errorMessage);
    void openTargetFile();
    void closeTargetFile();
    // A successful download: the temporary file takes the target's place.
    bool moveIntoPlace();

    const std::shared_ptr<HYBFileTransfer> m_command;
    const std::optional<std::string> m_callbackId;
    const HYBFileTransferDirection m_direction;
    const std::string m_objectId;
    const std::optional<std::string> m_source;
    const std::optional<std::string> m_target;
    const std::optional<platform::URL> m_targetURL;
    const bool m_trustAllHosts;
    const std::shared_ptr<runtime::HYBPlugin> m_filePlugin;
    const std::shared_ptr<TransferExecutor> m_executor;

    std::shared_ptr<platform::URLConnection> m_connection;
    platform::BackgroundTaskIdentifier m_backgroundTaskID = 0; // under the plug-in's registry lock

    // Home only.
    int m_responseCode = 0;
    platform::Dictionary m_responseHeaders;
    platform::Bytes m_responseData;
    std::int64_t m_bytesTransfered = 0;
    std::int64_t m_bytesExpected = -1;
    // A download's folder (opened beneath its file system's root when the response came) and the
    // temporary file in it that receives the bytes; the target's name is taken only when all arrived.
    std::optional<TargetFolder> m_targetFolder;
    platform::UniqueFd m_targetFile;
    std::optional<std::string> m_temporaryName;
    std::shared_ptr<HYBFileTransferEntityLengthRequest> m_entityLengthRequest;
    bool m_lengthPending = false;
    bool m_responseCut = false; // the error body reached its limit: the rest is dropped
    runtime::HYBProgressPacer m_progressPacer;

    std::atomic<bool> m_answered{false};
    std::mutex m_keepAliveMutex;
    std::shared_ptr<HYBFileTransferDelegate> m_keepAlive;
};

} // namespace transfer
