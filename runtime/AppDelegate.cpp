#include "runtime/AppDelegate.h"

#include "platform/net/HTTPCookieStorage.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/Screen.h"
#include "platform/net/URLCache.h"
#include "runtime/HYBCache.h"
#include "runtime/HYBLocalStorage.h"
#include "runtime/MainViewController.h"

#include <utility>

namespace runtime {

AppDelegate::AppDelegate() {
    HYBCache::registerClass();
    HYBLocalStorage::registerClass();
    platform::HTTPCookieStorage::shared().setCookieAcceptPolicy(platform::HTTPCookieAcceptPolicy::Always);
    platform::URLCache::setShared(std::make_shared<platform::URLCache>(kHYBURLCacheMemoryCapacity, kHYBURLCacheDiskCapacity, "nsurlcache"));
}

bool AppDelegate::didFinishLaunchingWithOptions(platform::Application& /*app*/, const platform::Dictionary& /*launchOptions*/) {
    m_window = platform::Window::create(platform::Screen::main().bounds());
    m_window->setAutoresizesSubviews(true);
    m_viewController = HYBViewController::create<MainViewController>(std::exchange(m_launchSettings, std::nullopt));
    m_window->setRootViewController(m_viewController);
    m_window->makeKeyAndVisible();
    return true;
}

bool AppDelegate::openURL(platform::Application& /*app*/, const std::string& url, const std::string& /*sourceApplication*/,
                          const platform::Value& /*annotation*/) {
    if (url.empty())
        return false;
    platform::Dictionary userInfo;
    userInfo.set(kHYBPluginHandleOpenURLKey, url);
    platform::NotificationCenter::defaultCenter().post(kHYBPluginHandleOpenURLNotification, nullptr, std::move(userInfo));
    return true;
}

void AppDelegate::didReceiveLocalNotification(platform::Application& /*app*/, const platform::LocalNotification& notification) {
    platform::NotificationCenter::defaultCenter().post(kHYBLocalNotification, &notification, notification.userInfo.value_or(platform::Dictionary()));
}

std::string AppDelegate::deviceTokenText(const platform::Bytes& token) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(token.size() * 2);
    for (std::uint8_t byte : token) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

void AppDelegate::didRegisterForRemoteNotificationsWithDeviceToken(platform::Application& /*app*/, const platform::Bytes& token) {
    platform::Dictionary userInfo;
    userInfo.set(kHYBDeviceTokenKey, deviceTokenText(token));
    platform::NotificationCenter::defaultCenter().post(kHYBRemoteNotification, nullptr, std::move(userInfo));
}

void AppDelegate::didFailToRegisterForRemoteNotificationsWithError(platform::Application& /*app*/, const platform::Error& error) {
    platform::Dictionary userInfo;
    userInfo.set(kHYBErrorKey, error.localizedDescription());
    platform::NotificationCenter::defaultCenter().post(kHYBRemoteNotificationError, &error, std::move(userInfo));
}

platform::InterfaceOrientationMask AppDelegate::supportedInterfaceOrientationsForWindow(platform::Application& /*app*/,
                                                                                       const platform::Window& /*window*/) {
    return platform::kInterfaceOrientationMaskAll;
}

void AppDelegate::applicationDidReceiveMemoryWarning(platform::Application& /*app*/) {
    platform::URLCache::shared()->removeAllCachedResponses();
}

} // namespace runtime
