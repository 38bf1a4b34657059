// The hot-update plug-in: the page asks a hot-update server whether a newer web root exists, downloads
// it as a zip archive, lays it over a copy of the bundle's web root and switches the web view to it.
//
// Guarantees:
// - check, download and extract run on the serial queue "Deploy Plugin Queue" and answer from there (or,
//   for download progress and its end, from the main queue); the other actions run and answer at once.
// - A version id from the server becomes a folder name only when it is one safe path component; any
//   other id is refused at the check.
// - Switching is atomic: a version is unpacked into a staging folder and moved into place whole before it
//   is recorded and made current, and "uuid" names a complete folder at every moment. A failed unzip
//   answers an error and changes nothing; a process killed at any point starts again on a complete web
//   root, the old one or the new one. Extract after a download that failed or has not ended answers an
//   error: nothing was downloaded to extract.
// - Version ids naming the store's own entries ("www.zip", the staging folder), the sentinels or holding
//   control characters are refused like "../x".
// - The check reply is read up to UNIHTTPClientHelper::kMaxResponseLength (decompressed); an archive
//   that would expand beyond ZMZipArchive's limits is refused with nothing left outside staging.
// - Download and extraction progress goes at most every 50 ms, and at 100% (runtime/HYBProgressPacer.h).
// - Plug-in state shared between the serial queue and the main thread is guarded by one lock.
#pragma once

#include "deploy/DownloadManager.h"
#include "deploy/DownloadManagerDelegate.h"
#include "deploy/ZMDeployVersionStore.h"
#include "deploy/ZMZipArchiveDelegate.h"
#include "platform/runloop/DispatchQueue.h"
#include "runtime/HYBPlugin.h"
#include "runtime/HYBProgressPacer.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace deploy {

// What the server's check reply gave: the parsed object, or the reason nothing could be read.
struct JsonHttpResponse {
    std::optional<std::string> message;
    std::optional<platform::Dictionary> json;
};

class ZMDeploy : public runtime::HYBPlugin, public DownloadManagerDelegate, public ZMZipArchiveDelegate {
public:
    static constexpr const char* kSerialQueueLabel = "Deploy Plugin Queue";

    // Makes the class creatable by the name "ZMDeploy" (once; later calls do nothing). The application
    // calls it at start-up (app/Plugins.cpp): a static registration would be dropped by the linker.
    static void registerClass();

    explicit ZMDeploy(const std::shared_ptr<platform::WebView>& webView);
    ~ZMDeploy() override;

    void pluginInitialize() override;
    void onReset() override;
    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "ZMDeploy"; }

    // Page actions.
    void initialize(const runtime::HYBInvokedUrlCommand& command);
    void check(const runtime::HYBInvokedUrlCommand& command);
    void download(const runtime::HYBInvokedUrlCommand& command);
    void extract(const runtime::HYBInvokedUrlCommand& command);
    void redirect(const runtime::HYBInvokedUrlCommand& command);
    void info(const runtime::HYBInvokedUrlCommand& command);
    void getVersions(const runtime::HYBInvokedUrlCommand& command);
    void deleteVersion(const runtime::HYBInvokedUrlCommand& command);

    // Download queue and unzip reports.
    void downloadManagerDidReceiveData(DownloadManager& manager, Download& download) override;
    void didErrorLoadingAllForManager(DownloadManager& manager) override;
    void didFinishLoadingAllForManager(DownloadManager& manager) override;
    void zipArchiveProgressEvent(std::int64_t loaded, std::int64_t total) override;

    // The work of check, download and extract, as they run on the serial queue; each answers the given
    // callback id. Public so that the steps can be driven one by one.
    void performCheck(const std::optional<std::string>& callbackId);
    void performDownload(const std::optional<std::string>& callbackId);
    // Unpacks "download_uuid" and makes it current; the answer tells whether it is now in place.
    platform::Status performExtract(const std::optional<std::string>& callbackId);

    JsonHttpResponse postDeviceDetails();
    void doRedirect();

    ZMDeployVersionStore& versionStore() { return m_versions; }
    const std::shared_ptr<platform::DispatchQueue>& serialQueue() const { return m_serialQueue; }
    // The archive's path: "www.zip" in Application Support.
    std::string archivePath() const;
    bool ignoreDeploy() const;

private:
    void initVersionChecks();
    bool isInterruptedSwitch(const std::string& stored, const std::string& label, const std::string& current);
    void answer(const std::optional<std::string>& callbackId, const runtime::HYBPluginResult& result);
    void answerString(const std::optional<std::string>& callbackId, runtime::HYBCommandStatus status, const std::string& text);
    std::optional<std::string> storedString(const char* key);
    std::shared_ptr<ZMDeploy> self();
    void onSerialQueue(std::function<void(ZMDeploy&)> work);

    mutable std::mutex m_mutex;
    bool m_ignoreDeploy = false;
    // A download went to the network and has not succeeded (it failed, or runs still).
    bool m_downloadUnfinished = false;
    std::int32_t m_progress = 0;
    runtime::HYBProgressPacer m_downloadPacer;
    runtime::HYBProgressPacer m_extractPacer;
    std::shared_ptr<DownloadManager> m_downloadManager;
    std::optional<std::string> m_callbackId;
    std::string m_channelTag;
    std::optional<platform::Dictionary> m_lastUpdate;
    std::optional<std::string> m_currentUUID;
    std::shared_ptr<platform::DispatchQueue> m_serialQueue;
    std::string m_hybridJsResource;
    std::string m_checkUrl;
    platform::Dictionary m_requestHeaders;
    ZMDeployVersionStore m_versions;
};

} // namespace deploy
