#include "deploy/ZMDeploy.h"

#include "deploy/UNIRest.h"
#include "deploy/ZMZipArchive.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/net/URLRequest.h"
#include "platform/text/URL.h"
#include "platform/web/WebView.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace deploy {

using runtime::HYBCommandStatus;
using runtime::HYBInvokedUrlCommand;
using runtime::HYBPluginResult;

namespace {

// The whole percent of `part` in `whole` (whole > 0), rounded down but 100 exactly when all is there (the
// floating quotient of a small whole can land just below it), kept within 0 to 100.
std::int32_t percentOf(std::int64_t part, std::int64_t whole) {
    if (part <= 0)
        return 0;
    if (part >= whole)
        return 100;
    // part < whole: the quotient is below 100; long double holds 64-bit lengths whole.
    return static_cast<std::int32_t>(static_cast<long double>(part) * 100.0L / static_cast<long double>(whole));
}

std::string firstLabelComponent(const std::string& label) { return ZMDeployVersionStore::deconstructVersionLabel(label).front(); }

// Whether anything is at the path, a link (even a dangling one) included.
bool somethingAt(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

void syncFolder(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

void ZMDeploy::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<ZMDeploy>("ZMDeploy");
    (void)registered;
}

ZMDeploy::ZMDeploy(const std::shared_ptr<platform::WebView>& webView)
    : HYBPlugin(webView), m_versions(platform::UserDefaults::standard()) {}

ZMDeploy::~ZMDeploy() = default;

const runtime::HYBActionTable& ZMDeploy::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<ZMDeploy>({
        {"initialize", &ZMDeploy::initialize},
        {"check", &ZMDeploy::check},
        {"download", &ZMDeploy::download},
        {"extract", &ZMDeploy::extract},
        {"redirect", &ZMDeploy::redirect},
        {"info", &ZMDeploy::info},
        {"getVersions", &ZMDeploy::getVersions},
        {"deleteVersion", &ZMDeploy::deleteVersion},
    });
    return table;
}

std::shared_ptr<ZMDeploy> ZMDeploy::self() { return std::static_pointer_cast<ZMDeploy>(shared_from_this()); }

void ZMDeploy::onSerialQueue(std::function<void(ZMDeploy&)> work) {
    std::weak_ptr<ZMDeploy> weak = self();
    m_serialQueue->async([weak, work = std::move(work)] {
        if (auto plugin = weak.lock())
            work(*plugin);
    });
}

void ZMDeploy::answer(const std::optional<std::string>& callbackId, const HYBPluginResult& result) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(result, callbackId);
}

void ZMDeploy::answerString(const std::optional<std::string>& callbackId, HYBCommandStatus status, const std::string& text) {
    answer(callbackId, HYBPluginResult::messageAsString(status, text));
}

std::optional<std::string> ZMDeploy::storedString(const char* key) { return m_versions.defaults().string(key); }

std::string ZMDeploy::archivePath() const { return m_versions.applicationSupport() + "/" + ZMDeployVersionStore::kArchiveName; }

bool ZMDeploy::ignoreDeploy() const {
    std::lock_guard lock(m_mutex);
    return m_ignoreDeploy;
}

void ZMDeploy::pluginInitialize() {
    m_hybridJsResource = platform::AppFolders::current().pathForResource("hybrid", "js", "www");
    m_serialQueue = platform::DispatchQueue::createSerial(kSerialQueueLabel);
    m_versions.setVersionLabel(storedString(ZMDeployVersionStore::kLabelKey).value_or(ZMDeployVersionStore::kNoDeployLabel));
    initVersionChecks();
}

void ZMDeploy::initVersionChecks() {
    const std::string current = m_versions.getUUID();
    const std::string label = m_versions.constructVersionLabel(current);
    const std::string stored = m_versions.versionLabel();
    if (label == ZMDeployVersionStore::kNoDeployLabel || label == stored)
        return;
    if (isInterruptedSwitch(stored, label, current)) {
        // The last extract made a recorded version current and was stopped before it stored the label:
        // the build is the same, so only the label is brought up to date.
        platform::Log::write("updating version label");
        m_versions.setString(ZMDeployVersionStore::kLabelKey, label);
        m_versions.setVersionLabel(label);
        return;
    }
    // The application build changed: show the bundle's own web root for this run and ignore the version
    // that was current.
    {
        std::lock_guard lock(m_mutex);
        m_ignoreDeploy = true;
    }
    m_versions.updateVersionLabel(current);
    m_versions.setString(ZMDeployVersionStore::kUUIDKey, "");
}

// Same application version and script creation time, the current version recorded, and the stored label
// naming a version other than the ignored one (a rebuild stores the ignored version in its label).
bool ZMDeploy::isInterruptedSwitch(const std::string& stored, const std::string& label, const std::string& current) {
    auto before = ZMDeployVersionStore::deconstructVersionLabel(stored);
    auto now = ZMDeployVersionStore::deconstructVersionLabel(label);
    if (before.size() < 3 || now.size() < 3 || before[0] != now[0] || before[1] != now[1])
        return false;
    if (!m_versions.hasVersion(current))
        return false;
    return before[2] != storedString(ZMDeployVersionStore::kIgnoreKey).value_or(ZMDeployVersionStore::kNothingToIgnore);
}

void ZMDeploy::onReset() { doRedirect(); }

// Actions.

void ZMDeploy::initialize(const HYBInvokedUrlCommand& command) {
    platform::Value settings = command.argumentAtIndex(0, platform::Dictionary{}, runtime::HYBArgumentClass::Dictionary);
    {
        std::lock_guard lock(m_mutex);
        m_checkUrl = settings["checkUrl"].stringOr("");
        m_requestHeaders = settings["requestHeaders"].dictionaryOrEmpty();
    }
    answer(command.callbackId(), HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok));
}

void ZMDeploy::check(const HYBInvokedUrlCommand& command) {
    {
        std::lock_guard lock(m_mutex);
        m_channelTag = command.argumentAtIndex(0, std::string(), runtime::HYBArgumentClass::String).stringOr("");
    }
    onSerialQueue([callbackId = command.callbackId()](ZMDeploy& plugin) { plugin.performCheck(callbackId); });
}

void ZMDeploy::download(const HYBInvokedUrlCommand& command) {
    onSerialQueue([callbackId = command.callbackId()](ZMDeploy& plugin) { plugin.performDownload(callbackId); });
}

void ZMDeploy::extract(const HYBInvokedUrlCommand& command) {
    onSerialQueue([callbackId = command.callbackId()](ZMDeploy& plugin) { (void)plugin.performExtract(callbackId); });
}

void ZMDeploy::redirect(const HYBInvokedUrlCommand& command) {
    doRedirect();
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(std::nullopt, command.callbackId());
}

void ZMDeploy::info(const HYBInvokedUrlCommand& command) {
    std::string uuid = m_versions.getUUID();
    if (uuid.empty())
        uuid = ZMDeployVersionStore::kNoDeployLabel;
    platform::Dictionary details{{"deploy_uuid", uuid}, {"binary_version", firstLabelComponent(m_versions.versionLabel())}};
    answer(command.callbackId(), HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(details)));
}

void ZMDeploy::getVersions(const HYBInvokedUrlCommand& command) {
    std::vector<std::string> versions = m_versions.getDeployVersions();
    answer(command.callbackId(),
           HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, platform::Array(versions.begin(), versions.end())));
}

void ZMDeploy::deleteVersion(const HYBInvokedUrlCommand& command) {
    platform::Value uuid = command.argumentAtIndex(1, platform::Value(), runtime::HYBArgumentClass::String);
    // Only a version on record: any other folder of Application Support (the staging folder, another
    // component's data) is not the page's to remove.
    if (uuid.isString() && m_versions.hasVersion(*uuid.getString()) && m_versions.removeVersion(*uuid.getString())) {
        answer(command.callbackId(), HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok));
        return;
    }
    answerString(command.callbackId(), HYBCommandStatus::Error, "Unable to delete the deploy version");
}

// Check.

JsonHttpResponse ZMDeploy::postDeviceDetails() {
    std::string checkUrl, channelTag;
    platform::Dictionary requestHeaders;
    {
        std::lock_guard lock(m_mutex);
        checkUrl = m_checkUrl;
        channelTag = m_channelTag;
        requestHeaders = m_requestHeaders;
    }
    JsonHttpResponse result;
    if (checkUrl.empty()) {
        result.message = "no check URL";
        return result;
    }
    std::optional<std::string> uuid = storedString(ZMDeployVersionStore::kUUIDKey);
    auto request = UNIRest::get([&](UNISimpleRequest& r) {
        r.url = checkUrl;
        r.parameters.set("device_app_version", firstLabelComponent(m_versions.versionLabel()));
        if (uuid && !uuid->empty())
            r.parameters.set("device_deploy_version", *uuid);
        r.parameters.set("device_platform", "ios");
        r.parameters.set("channel_tag", channelTag);
        r.headers.set("Content-Type", "application/json");
        r.headers.set("accept", "application/json");
        for (const auto& field : requestHeaders)
            r.headers.set(field.key, field.value);
    });
    auto reply = request.asJson();
    if (!reply) {
        result.message = reply.error().localizedDescription();
        return result;
    }
    result.json = reply->body().JSONObject();
    return result;
}

void ZMDeploy::performCheck(const std::optional<std::string>& callbackId) {
    std::optional<std::string> uuid = storedString(ZMDeployVersionStore::kUUIDKey);
    JsonHttpResponse response = postDeviceDetails();
    if (!response.json) {
        platform::Log::write("unable to check for updates");
        answerString(callbackId, HYBCommandStatus::Ok, "false");
        return;
    }
    const platform::Dictionary& reply = *response.json;
    const bool compatible = reply["compatible_binary"] == platform::Value(true);
    const bool updateAvailable = reply["update_available"] == platform::Value(true);
    std::optional<std::string> ignored = storedString(ZMDeployVersionStore::kIgnoreKey);
    if (!compatible) {
        platform::Log::write("Refusing update due to incompatible binary version");
        answerString(callbackId, HYBCommandStatus::Ok, "false");
        return;
    }
    bool refused = false;
    if (updateAvailable) {
        const platform::Value& version = reply["update"]["version"];
        const std::string* offered = version.getString();
        if (!offered || !ZMDeployVersionStore::isSafeVersionName(*offered)) {
            platform::Log::write("Refusing update with an unusable version name: " + version.description());
            refused = true;
        } else if (*offered != ignored.value_or("") && *offered != uuid.value_or("")) {
            m_versions.setString(ZMDeployVersionStore::kUpstreamUUIDKey, *offered);
            std::lock_guard lock(m_mutex);
            m_lastUpdate = reply;
        } else {
            refused = true;
        }
    }
    answerString(callbackId, HYBCommandStatus::Ok, compatible && updateAvailable && !refused ? "true" : "false");
}

// Download.

void ZMDeploy::performDownload(const std::optional<std::string>& callbackId) {
    {
        std::lock_guard lock(m_mutex);
        m_callbackId = callbackId;
        m_downloadPacer = {};
    }
    std::optional<std::string> upstream = storedString(ZMDeployVersionStore::kUpstreamUUIDKey);
    if (upstream && m_versions.hasVersion(*upstream)) {
        m_versions.setString(ZMDeployVersionStore::kUUIDKey, *upstream);
        {
            std::lock_guard lock(m_mutex);
            m_downloadUnfinished = false;
        }
        answerString(callbackId, HYBCommandStatus::Ok, "false");
        return;
    }
    {
        // Until it succeeds, "download_uuid" still names the archive downloaded before, which extract must not
        // take for this one.
        std::lock_guard lock(m_mutex);
        m_downloadUnfinished = true;
    }
    std::string url;
    {
        std::lock_guard lock(m_mutex);
        if (m_lastUpdate)
            url = (*m_lastUpdate)["update"]["url"].stringOr("");
    }
    if (url.empty()) {
        platform::Log::write("Download Error");
        answerString(callbackId, HYBCommandStatus::Error, "download error");
        return;
    }
    std::shared_ptr<DownloadManagerDelegate> delegate(self(), static_cast<DownloadManagerDelegate*>(this));
    auto manager = DownloadManager::create(delegate);
    {
        std::lock_guard lock(m_mutex);
        m_downloadManager = manager;
    }
    manager->addDownloadWithFilename(archivePath(), url);
}

void ZMDeploy::downloadManagerDidReceiveData(DownloadManager&, Download& download) {
    std::int64_t expected = download.expectedContentLength();
    if (expected <= 0)
        return;  // no length announced: no percentage to give
    const std::int32_t progress = percentOf(download.progressContentLength(), expected);
    std::optional<std::string> callbackId;
    {
        std::lock_guard lock(m_mutex);
        m_progress = progress;
        if (!m_downloadPacer.shouldSend(progress >= 100))
            return;
        callbackId = m_callbackId;
    }
    char line[64];
    std::snprintf(line, sizeof line, "Download Progress: %d%%", progress);
    platform::Log::write(line);
    HYBPluginResult result = HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, progress);
    result.setKeepCallbackAsBool(true);
    answer(callbackId, result);
}

void ZMDeploy::didFinishLoadingAllForManager(DownloadManager&) {
    if (auto upstream = storedString(ZMDeployVersionStore::kUpstreamUUIDKey))
        m_versions.setString(ZMDeployVersionStore::kDownloadUUIDKey, *upstream);
    std::optional<std::string> callbackId;
    {
        std::lock_guard lock(m_mutex);
        callbackId = m_callbackId;
        m_downloadUnfinished = false;
    }
    answerString(callbackId, HYBCommandStatus::Ok, "true");
}

void ZMDeploy::didErrorLoadingAllForManager(DownloadManager&) {
    platform::Log::write("Download Error");
    std::optional<std::string> callbackId;
    {
        std::lock_guard lock(m_mutex);
        callbackId = m_callbackId;
    }
    answerString(callbackId, HYBCommandStatus::Error, "download error");
}

// Extract.

platform::Status ZMDeploy::performExtract(const std::optional<std::string>& callbackId) {
    {
        std::lock_guard lock(m_mutex);
        m_callbackId = callbackId;
        m_ignoreDeploy = false;
        m_extractPacer = {};
    }
    auto fail = [&](const std::string& why) -> platform::Status {
        platform::Log::write("Extraction failed: " + why);
        answerString(callbackId, HYBCommandStatus::Error, "extract error");
        return platform::Error(ZMZipArchive::kErrorDomain, ZMZipArchive::kErrorWriteFailed, why);
    };
    bool downloadUnfinished = false;
    {
        std::lock_guard lock(m_mutex);
        downloadUnfinished = m_downloadUnfinished;
    }
    // After a download that failed (or has not ended), nothing was downloaded to extract: "download_uuid"
    // names the archive of an earlier one.
    if (downloadUnfinished)
        return fail("the last download did not finish: nothing was downloaded to extract");
    std::optional<std::string> uuid = storedString(ZMDeployVersionStore::kDownloadUUIDKey);
    if (uuid && m_versions.hasVersion(*uuid)) {
        m_versions.updateVersionLabel(ZMDeployVersionStore::kNothingToIgnore);
        answerString(callbackId, HYBCommandStatus::Ok, "done");
        return {};
    }
    if (!uuid || !ZMDeployVersionStore::isSafeVersionName(*uuid))
        return fail("no downloaded version to extract");

    auto& files = platform::FileManager::defaultManager();
    const std::string support = m_versions.applicationSupport();
    const std::string stagingParent = support + "/" + ZMDeployVersionStore::kStagingFolderName;
    const std::string staging = stagingParent + "/" + *uuid;
    const std::string target = m_versions.versionFolder(*uuid);
    // Leftovers of an unpacking that was cut short go first (whatever stands there: a link, even a
    // dangling one, is removed, not followed).
    if (somethingAt(stagingParent))
        (void)files.removeItem(stagingParent);
    if (auto made = files.createDirectory(stagingParent, true); !made)
        return fail(made.error().localizedDescription());

    m_versions.copyByMainBundle("www", stagingParent, *uuid);
    platform::Status unzipped = ZMZipArchive::unzipFileAtPath(archivePath(), staging + "/", true, std::string(), this);
    if (!unzipped) {
        (void)files.removeItem(stagingParent);
        return fail(unzipped.error().localizedDescription());
    }
    // A folder of that name without a record (left by a run killed after the move) is replaced; so is
    // anything else there (a file, a link, dangling or not), which the folder could not be moved over.
    if (somethingAt(target))
        (void)files.removeItem(target);
    syncFolder(staging);
    if (::rename(staging.c_str(), target.c_str()) != 0) {
        (void)files.removeItem(stagingParent);
        return fail("cannot move the unpacked version into place");
    }
    syncFolder(support);
    (void)files.removeItem(stagingParent);

    (void)files.removeItem(archivePath());
    m_versions.saveVersion(*uuid);
    m_versions.setString(ZMDeployVersionStore::kUUIDKey, *uuid);
    m_versions.excludeVersionFromBackup(*uuid);
    m_versions.updateVersionLabel(ZMDeployVersionStore::kNothingToIgnore);
    answerString(callbackId, HYBCommandStatus::Ok, "done");
    return {};
}

void ZMDeploy::zipArchiveProgressEvent(std::int64_t loaded, std::int64_t total) {
    if (total <= 0)
        return;
    const std::int32_t percentage = percentOf(loaded, total);
    {
        std::lock_guard lock(m_mutex);
        if (!m_extractPacer.shouldSend(loaded >= total))
            return;
    }
    char line[64];
    std::snprintf(line, sizeof line, "Zip Extraction: %d%%", percentage);
    platform::Log::write(line);
    std::optional<std::string> callbackId;
    {
        std::lock_guard lock(m_mutex);
        callbackId = m_callbackId;
    }
    HYBPluginResult result = HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, percentage);
    result.setKeepCallbackAsBool(true);
    answer(callbackId, result);
}

// Redirect.

void ZMDeploy::doRedirect() {
    std::optional<std::string> uuid = storedString(ZMDeployVersionStore::kUUIDKey);
    std::string ignored = storedString(ZMDeployVersionStore::kIgnoreKey).value_or(ZMDeployVersionStore::kNothingToIgnore);
    if ((uuid && uuid->empty()) || ignoreDeploy() || (uuid && *uuid == ignored))
        return;
    onSerialQueue([uuid](ZMDeploy& plugin) {
        if (!uuid)
            return;
        {
            std::lock_guard lock(plugin.m_mutex);
            if (plugin.m_currentUUID == uuid)
                return;
        }
        if (!ZMDeployVersionStore::isSafeVersionName(*uuid))
            return;
        const std::string startPage = plugin.m_versions.versionFolder(*uuid) + "/index.html";
        if (!platform::FileManager::defaultManager().fileExists(startPage)) {
            platform::Log::write("No start page at " + startPage + "; staying on the current web root");
            return;
        }
        std::string url = platform::URL::fileURLWithPath(startPage).absoluteString() +
                          "?hybrid_js_bootstrap_resource=" + plugin.m_hybridJsResource;
        {
            std::lock_guard lock(plugin.m_mutex);
            plugin.m_currentUUID = uuid;
        }
        platform::Log::write("Redirecting to: " + url);
        std::weak_ptr<ZMDeploy> weak = plugin.self();
        platform::DispatchQueue::main()->async([weak, url] {
            auto strong = weak.lock();
            if (!strong)
                return;
            if (auto view = strong->webView())
                view->loadRequest(platform::URLRequest(url));
        });
    });
}

} // namespace deploy
