#include "plugins/HYBConnection.h"

#include "platform/device/Telephony.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"

#include <map>

namespace plugins {

namespace {

std::string generationOf(const std::string& technology) {
    static const std::map<std::string, std::string, std::less<>> generations = {
        {platform::kRadioAccessTechnologyGPRS, "2g"},          {platform::kRadioAccessTechnologyEdge, "2g"},
        {platform::kRadioAccessTechnologyWCDMA, "3g"},         {platform::kRadioAccessTechnologyHSDPA, "3g"},
        {platform::kRadioAccessTechnologyHSUPA, "3g"},         {platform::kRadioAccessTechnologyCDMA1x, "3g"},
        {platform::kRadioAccessTechnologyCDMAEVDORev0, "3g"},  {platform::kRadioAccessTechnologyCDMAEVDORevA, "3g"},
        {platform::kRadioAccessTechnologyCDMAEVDORevB, "3g"},  {platform::kRadioAccessTechnologyeHRPD, "3g"},
        {platform::kRadioAccessTechnologyLTE, "4g"},
    };
    auto it = generations.find(technology);
    return it == generations.end() ? "cellular" : it->second;
}

} // namespace

HYBConnection::~HYBConnection() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    if (m_internetReach)
        m_internetReach->stopNotifier();
}

void HYBConnection::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBConnection>("HYBConnection");
    (void)registered;
}

const runtime::HYBActionTable& HYBConnection::actions() const {
    static const runtime::HYBActionTable table =
        runtime::HYBActionTable::of<HYBConnection>({{"getConnectionInfo", &HYBConnection::getConnectionInfo}});
    return table;
}

void HYBConnection::pluginInitialize() {
    m_connectionType = "none";
    m_internetReach = HYBReachability::reachabilityForInternetConnection();
    if (m_internetReach) {
        m_connectionType = w3cConnectionTypeFor(*m_internetReach);
        m_internetReach->startNotifier();
    }
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, kNetworkReachabilityChangedNotification, nullptr,
                       [this](const platform::Notification& notification) { updateConnectionType(notification); });
    center.addObserver(this, platform::kRadioAccessTechnologyDidChangeNotification, nullptr,
                       [this](const platform::Notification& notification) { updateConnectionType(notification); });
    center.addObserver(this, platform::kApplicationDidEnterBackgroundNotification, nullptr,
                       [this](const platform::Notification&) { onPause(); });
    center.addObserver(this, platform::kApplicationWillEnterForegroundNotification, nullptr,
                       [this](const platform::Notification&) { onResume(); });
}

void HYBConnection::getConnectionInfo(const runtime::HYBInvokedUrlCommand& command) {
    m_callbackId = command.callbackId();
    sendPluginResult();
}

void HYBConnection::sendPluginResult() {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    runtime::HYBPluginResult result = runtime::HYBPluginResult::messageAsString(runtime::HYBCommandStatus::Ok, m_connectionType);
    result.setKeepCallbackAsBool(true);
    delegate->sendPluginResult(std::move(result), m_callbackId);
}

std::string HYBConnection::w3cConnectionTypeFor(const HYBReachability& reachability) {
    switch (reachability.currentReachabilityStatus()) {
    case NetworkStatus::ReachableViaWiFi: return "wifi";
    case NetworkStatus::ReachableViaWWAN:
        if (reachability.connectionRequired())
            return "none";
        if (!platform::isVersionAtLeast(platform::Device::current().systemVersion(), "7.0"))
            return "cellular";
        return generationOf(platform::Telephony::currentRadioAccessTechnology());
    case NetworkStatus::NotReachable: return "none";
    }
    return "unknown";
}

bool HYBConnection::isCellularConnection(const std::string& type) {
    return type == "2g" || type == "3g" || type == "4g" || type == "cellular";
}

void HYBConnection::updateReachability(const std::shared_ptr<HYBReachability>& reachability) {
    if (reachability) {
        std::string type = w3cConnectionTypeFor(*reachability);
        if (type == m_connectionType)
            return;
        m_connectionType = std::move(type);
    }
    sendPluginResult();
}

void HYBConnection::updateConnectionType(const platform::Notification& notification) {
    if (!m_internetReach)
        return;
    if (notification.object == m_internetReach.get()) {
        updateReachability(m_internetReach);
        return;
    }
    // The radio technology decides between the cellular generations; while the notifier is stopped the
    // return to the foreground catches up instead.
    if (notification.name == platform::kRadioAccessTechnologyDidChangeNotification && !m_paused)
        updateReachability(m_internetReach);
}

void HYBConnection::onPause() {
    m_paused = true;
    if (m_internetReach)
        m_internetReach->stopNotifier();
}

void HYBConnection::onResume() {
    m_paused = false;
    if (!m_internetReach)
        return;
    m_internetReach->startNotifier();
    updateReachability(m_internetReach);
}

} // namespace plugins
