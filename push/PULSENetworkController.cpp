#include "push/PULSENetworkController.h"

#include "push/PULSEClientController.h"
#include "push/PULSEHttpSessionController.h"
#include "push/PULSELogging.h"
#include "push/PULSEReachability.h"
#include "push/PULSESessionController.h"
#include "push/PULSEUserDefaultsController.h"

#include "platform/runloop/NotificationCenter.h"

namespace push {

std::shared_ptr<PULSENetworkController> PULSENetworkController::create() {
    auto& client = PULSEClientController::sharedClient();
    std::shared_ptr<PULSENetworkController> controller(new PULSENetworkController(client));
    controller->m_clientSession = PULSESessionController::create();
    controller->m_reportSession = PULSEHttpSessionController::create();
    std::weak_ptr<PULSENetworkController> weak = controller;
    auto center = client.clientNotificationCenter();
    if (center) {
        center->addObserver(controller.get(), PULSEReachability::kReachabilityChangedNotification, nullptr,
                            [weak](const platform::Notification&) {
                                if (auto self = weak.lock())
                                    self->reachabilityChanged();
                            });
    }
    controller->m_internetReachability = PULSEReachability::reachabilityForInternetConnection();
    std::weak_ptr<PULSEReachability> reachability = controller->m_internetReachability;
    client.setNetworkStatusSource([reachability] {
        auto strong = reachability.lock();
        return strong ? strong->currentReachabilityStatus() : 0;
    });
    controller->m_internetReachability->startNotifier();
    if (center) {
        center->addObserver(controller.get(), PULSEUserDefaultsController::kVerifiedNotification, nullptr,
                            [weak](const platform::Notification&) {
                                if (auto self = weak.lock())
                                    self->trySetupSession();
                            });
    }
    return controller;
}

PULSENetworkController::~PULSENetworkController() {
    if (auto center = m_client.clientNotificationCenter())
        center->removeObserver(this);
    m_client.setNetworkStatusSource(nullptr);
}

int PULSENetworkController::currentNetworkStatus() const { return m_internetReachability->currentReachabilityStatus(); }

void PULSENetworkController::reachabilityChanged() {
    PULSE_LOG_WARN("网络发生变化,重启session");
    m_clientSession->close();
    m_reportSession->locationInfoChangeViaNetworkState(currentNetworkStatus());
    trySetupSession();
}

void PULSENetworkController::onResumeFromInactive() {
    if (m_clientSession->isSetup())
        closeSession();
    trySetupSession();
}

void PULSENetworkController::onEnterBackground() { closeSession(); }

void PULSENetworkController::closeSession() {
    m_clientSession->setIsConnectDisable(true);
    m_clientSession->close();
    m_clientSession->setIsConnectDisable(false);
}

void PULSENetworkController::trySetupSession() {
    PULSE_LOG_DEBUG("Action - trySetupSession");
    if (!m_client.deviceTokenUpdated())
        return;
    m_reportSession->trySetupSession();
    auto identity = m_client.userDefaults();
    if (!identity || !identity->verified())
        return;
    if (currentNetworkStatus() == 0)
        return;
    m_clientSession->setup();
}

} // namespace push
