#include "platform/application/Application.h"

#include "platform/runloop/ThreadHooks.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/system/ProcessEnvironment.h"
#include "platform/core/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/Screen.h"
#include "platform/text/URL.h"
#include "platform/ui/Window.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cstring>
#include <thread>

namespace platform {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::set<std::string> defaultSchemes() { return {"http", "https", "app-settings"}; }

// The scheme of a URL text in lower case, or nothing when the text is not a URL.
std::optional<std::string> schemeOf(const std::string& url) {
    auto parsed = URL::fromString(url);
    if (!parsed || parsed->scheme().empty())
        return std::nullopt;
    return lower(parsed->scheme());
}

// Opens the URL in the desktop's browser; the child is reaped by a detached thread.
void openOnDesktop(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = 0;
    const ProcessEnvironment::Block environment = ProcessEnvironment::forOtherPrograms();
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environment.data()) != 0) {
        Log::write("Cannot start xdg-open for " + url);
        return;
    }
    std::thread([pid] {
        enterPlatformThread();
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

// Reads a pipe to its end and hands each line to `onLine`.
void readLines(int fd, const std::function<void(std::string)>& onLine) {
    std::string pending;
    char buffer[4096];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            onLine(pending.substr(0, newline));
            pending.erase(0, newline + 1);
        }
    }
    if (!pending.empty())
        onLine(std::move(pending));
    ::close(fd);
}

InterfaceOrientationMask maskFromNames(const Value& names) {
    InterfaceOrientationMask mask = 0;
    for (const Value& name : names.arrayOrEmpty()) {
        const std::string& n = name.stringOr("");
        if (n == "UIInterfaceOrientationPortrait")
            mask |= maskFor(InterfaceOrientation::Portrait);
        else if (n == "UIInterfaceOrientationPortraitUpsideDown")
            mask |= maskFor(InterfaceOrientation::PortraitUpsideDown);
        else if (n == "UIInterfaceOrientationLandscapeLeft")
            mask |= maskFor(InterfaceOrientation::LandscapeLeft);
        else if (n == "UIInterfaceOrientationLandscapeRight")
            mask |= maskFor(InterfaceOrientation::LandscapeRight);
    }
    return mask ? mask : kInterfaceOrientationMaskPortrait;
}
} // namespace

InterfaceOrientationMask ApplicationDelegate::supportedInterfaceOrientationsForWindow(Application& app, const Window&) {
    return app.supportedInterfaceOrientationsFromInfoPlist();
}

Application& Application::shared() {
    static Application application;
    return application;
}

Application::Application() : m_installedSchemes(defaultSchemes()) {
    Window::setApplicationOrientationMaskProvider([](const Window& window) {
        Application& app = Application::shared();
        auto d = app.delegate();
        return d ? d->supportedInterfaceOrientationsForWindow(app, window) : app.supportedInterfaceOrientationsFromInfoPlist();
    });
}

void Application::resetForTesting() {
    std::lock_guard lock(m_mutex);
    m_delegate.reset();
    m_state = ApplicationState::Inactive;
    m_installedSchemes = defaultSchemes();
    m_openedURLs.clear();
    m_desktopOpening = false;
    m_programs.clear();
    m_programFailures.clear();
    m_badge = 0;
    m_activityIndicator = false;
    m_statusBarStyle = StatusBarStyle::Default;
    m_statusBarHidden = false;
    m_statusBarOrientation = InterfaceOrientation::Portrait;
    m_backgroundTasks.clear();
    m_nextBackgroundTask = 1;
    m_registeredForRemote = false;
    m_remoteTypes = 0;
    m_userNotificationTypes = 0;
    m_deviceToken.clear();
    m_registrationError.reset();
    for (const auto& s : m_scheduled)
        if (s.timer)
            s.timer->invalidate();
    m_scheduled.clear();
}

void Application::post(const char* name, Dictionary userInfo) {
    NotificationCenter::defaultCenter().post(name, this, std::move(userInfo));
}

// ---- lifecycle ----

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

ApplicationState Application::applicationState() const {
    std::lock_guard lock(m_mutex);
    return m_state;
}

void Application::setApplicationState(ApplicationState state) {
    std::lock_guard lock(m_mutex);
    m_state = state;
}

bool Application::launch(std::shared_ptr<ApplicationDelegate> delegate, const Dictionary& launchOptions) {
    setDelegate(delegate);
    setApplicationState(ApplicationState::Inactive);
    bool ok = delegate ? delegate->didFinishLaunchingWithOptions(*this, launchOptions) : true;
    post(kApplicationDidFinishLaunchingNotification, launchOptions);
    becomeActive();
    return ok;
}

void Application::becomeActive() {
    if (applicationState() == ApplicationState::Active)
        return;
    setApplicationState(ApplicationState::Active);
    if (auto d = delegate())
        d->applicationDidBecomeActive(*this);
    post(kApplicationDidBecomeActiveNotification);
}

void Application::resignActive() {
    if (applicationState() != ApplicationState::Active)
        return;
    if (auto d = delegate())
        d->applicationWillResignActive(*this);
    post(kApplicationWillResignActiveNotification);
    setApplicationState(ApplicationState::Inactive);
}

void Application::enterBackground() {
    if (applicationState() == ApplicationState::Background)
        return;
    resignActive();
    setApplicationState(ApplicationState::Background);
    if (auto d = delegate())
        d->applicationDidEnterBackground(*this);
    post(kApplicationDidEnterBackgroundNotification);
}

void Application::enterForeground() {
    if (applicationState() != ApplicationState::Background)
        return;
    if (auto d = delegate())
        d->applicationWillEnterForeground(*this);
    post(kApplicationWillEnterForegroundNotification);
    setApplicationState(ApplicationState::Inactive);
    becomeActive();
}

void Application::terminate() {
    if (auto d = delegate())
        d->applicationWillTerminate(*this);
    post(kApplicationWillTerminateNotification);
}

void Application::receiveMemoryWarning() {
    if (auto d = delegate())
        d->applicationDidReceiveMemoryWarning(*this);
    post(kApplicationDidReceiveMemoryWarningNotification);
}

bool Application::deliverOpenURL(const std::string& url, const std::string& sourceApplication, const Value& annotation) {
    auto d = delegate();
    return d && d->openURL(*this, url, sourceApplication, annotation);
}

// ---- other applications ----

namespace {
bool isOwnScheme(const std::string& scheme) {
    for (const std::string& own : Application::shared().bundleURLSchemes())
        if (lower(own) == scheme)
            return true;
    return false;
}
} // namespace

bool Application::canOpenURL(const std::string& url) const {
    auto scheme = schemeOf(url);
    if (!scheme)
        return false;
    {
        std::lock_guard lock(m_mutex);
        if (m_installedSchemes.count(*scheme) > 0 || m_programs.count(*scheme) > 0)
            return true;
    }
    return isOwnScheme(*scheme);
}

bool Application::openURL(const std::string& url) {
    if (!canOpenURL(url))
        return false;
    auto scheme = schemeOf(url);
    bool desktop = false;
    std::string program;
    {
        std::lock_guard lock(m_mutex);
        m_openedURLs.push_back(url);
        desktop = m_desktopOpening;
        if (auto it = m_programs.find(*scheme); it != m_programs.end())
            program = it->second;
    }
    if (!program.empty())
        return startProgram(program, url);
    if (isOwnScheme(*scheme)) {
        RunLoop::main().perform([this, url] { deliverOpenURL(url); });
        return true;
    }
    // The desktop has none of the applications these URLs are meant for: the log shows what was opened.
    Log::write("Opened URL in another application: " + url);
    if (desktop && (scheme == "http" || scheme == "https"))
        openOnDesktop(url);
    return true;
}

bool Application::startProgram(const std::string& path, const std::string& url) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        recordProgramFailure(path + " " + url + ": no pipe");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const char* argv[] = {path.c_str(), url.c_str(), nullptr};
    pid_t pid = 0;
    const ProcessEnvironment::Block environment = ProcessEnvironment::forOtherPrograms();
    int error = posix_spawn(&pid, path.c_str(), &actions, nullptr, const_cast<char* const*>(argv), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (error != 0) {
        ::close(fds[0]);
        recordProgramFailure(path + " " + url + ": cannot start (" + std::strerror(error) + ")");
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        ++m_runningPrograms;
    }
    std::thread([this, fd = fds[0], pid, description = path + " " + url] {
        enterPlatformThread();
        // The line by reference: GCC 12 at -O2 takes the by-value copy std::function makes for a by-value
        // parameter as possibly uninitialized when rfind compares it (-Wmaybe-uninitialized from
        // char_traits.h; the copy is a whole string, so the warning is false).
        readLines(fd, [this](const std::string& line) {
            constexpr std::string_view kOpen = "open ";
            if (line.rfind(kOpen, 0) == 0)
                RunLoop::main().perform([this, target = line.substr(kOpen.size())] { deliverOpenURL(target); });
        });
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            recordProgramFailure(description + ": " +
                                 (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status)) : "killed by a signal"));
        std::lock_guard lock(m_mutex);
        --m_runningPrograms;
    }).detach();
    return true;
}

void Application::recordProgramFailure(std::string description) {
    Log::write("Program failed: " + description);
    std::lock_guard lock(m_mutex);
    m_programFailures.push_back(std::move(description));
}

void Application::setProgramForScheme(const std::string& scheme, const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (path.empty())
        m_programs.erase(lower(scheme));
    else
        m_programs[lower(scheme)] = path;
}

std::size_t Application::runningProgramCount() const {
    std::lock_guard lock(m_mutex);
    return m_runningPrograms;
}

std::vector<std::string> Application::programFailures() const {
    std::lock_guard lock(m_mutex);
    return m_programFailures;
}

void Application::setInstalledSchemes(std::set<std::string> schemes) {
    std::set<std::string> lowered;
    for (const auto& s : schemes)
        lowered.insert(lower(s));
    std::lock_guard lock(m_mutex);
    m_installedSchemes = std::move(lowered);
}

void Application::addInstalledScheme(const std::string& scheme) {
    std::lock_guard lock(m_mutex);
    m_installedSchemes.insert(lower(scheme));
}

void Application::removeInstalledScheme(const std::string& scheme) {
    std::lock_guard lock(m_mutex);
    m_installedSchemes.erase(lower(scheme));
}

std::vector<std::string> Application::openedURLs() const {
    std::lock_guard lock(m_mutex);
    return m_openedURLs;
}

void Application::clearOpenedURLs() {
    std::lock_guard lock(m_mutex);
    m_openedURLs.clear();
}

void Application::setOpensWebURLsOnDesktop(bool on) {
    std::lock_guard lock(m_mutex);
    m_desktopOpening = on;
}

// ---- badge, indicator, status bar ----

long long Application::applicationIconBadgeNumber() const {
    std::lock_guard lock(m_mutex);
    return m_badge;
}

void Application::setApplicationIconBadgeNumber(long long number) {
    std::lock_guard lock(m_mutex);
    m_badge = number;
}

bool Application::isNetworkActivityIndicatorVisible() const {
    std::lock_guard lock(m_mutex);
    return m_activityIndicator;
}

void Application::setNetworkActivityIndicatorVisible(bool visible) {
    std::lock_guard lock(m_mutex);
    m_activityIndicator = visible;
}

StatusBarStyle Application::statusBarStyle() const {
    std::lock_guard lock(m_mutex);
    return m_statusBarStyle;
}

void Application::setStatusBarStyle(StatusBarStyle style, bool) {
    std::lock_guard lock(m_mutex);
    m_statusBarStyle = style;
}

bool Application::isStatusBarHidden() const {
    std::lock_guard lock(m_mutex);
    return m_statusBarHidden;
}

void Application::setStatusBarHidden(bool hidden, bool) {
    std::lock_guard lock(m_mutex);
    m_statusBarHidden = hidden;
}

InterfaceOrientation Application::statusBarOrientation() const {
    if (RunLoop::isMainThread()) {
        if (auto window = Window::keyWindow())
            return window->orientation();
    }
    std::lock_guard lock(m_mutex);
    return m_statusBarOrientation;
}

void Application::setStatusBarOrientation(InterfaceOrientation orientation) {
    std::lock_guard lock(m_mutex);
    m_statusBarOrientation = orientation;
}

Rect Application::statusBarFrame() const {
    if (isStatusBarHidden())
        return Rect{};
    Rect screen = Screen::main().bounds();
    double width = isLandscape(statusBarOrientation()) ? screen.height() : screen.width();
    return Rect{0, 0, width, 20};
}

std::shared_ptr<Window> Application::keyWindow() const { return Window::keyWindow(); }

// ---- background tasks ----

BackgroundTaskIdentifier Application::beginBackgroundTask(std::function<void()> expirationHandler) {
    std::lock_guard lock(m_mutex);
    BackgroundTaskIdentifier id = m_nextBackgroundTask++;
    m_backgroundTasks.emplace(id, std::move(expirationHandler));
    return id;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
    std::lock_guard lock(m_mutex);
    m_backgroundTasks.erase(identifier);
}

std::size_t Application::backgroundTaskCount() const {
    std::lock_guard lock(m_mutex);
    return m_backgroundTasks.size();
}

void Application::expireBackgroundTasks() {
    std::vector<std::pair<BackgroundTaskIdentifier, std::function<void()>>> due;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_backgroundTasks)
            due.push_back(entry);
    }
    for (auto& [id, handler] : due) {
        bool stillOpen;
        {
            std::lock_guard lock(m_mutex);
            stillOpen = m_backgroundTasks.count(id) > 0;
        }
        if (stillOpen && handler)
            handler();
    }
}

double Application::backgroundTimeRemaining() const {
    return applicationState() == ApplicationState::Background ? 180.0 : DBL_MAX;
}

// ---- remote notifications ----

void Application::registerForRemoteNotifications() {
    std::optional<Error> error;
    Bytes token;
    {
        std::lock_guard lock(m_mutex);
        m_registeredForRemote = true;
        error = m_registrationError;
        if (m_deviceToken.empty()) {
            // A stable token for this device and application: 32 bytes from the vendor id's text.
            std::string seed = Device::current().identifierForVendor();
            for (std::size_t i = 0; i < 32; ++i)
                m_deviceToken.push_back(static_cast<std::uint8_t>(seed[i % seed.size()] * 31u + i * 7u));
        }
        token = m_deviceToken;
    }
    RunLoop::main().perform([this, error, token] {
        auto d = delegate();
        if (!d)
            return;
        if (error)
            d->didFailToRegisterForRemoteNotificationsWithError(*this, *error);
        else
            d->didRegisterForRemoteNotificationsWithDeviceToken(*this, token);
    });
}

void Application::unregisterForRemoteNotifications() {
    std::lock_guard lock(m_mutex);
    m_registeredForRemote = false;
}

bool Application::isRegisteredForRemoteNotifications() const {
    std::lock_guard lock(m_mutex);
    return m_registeredForRemote;
}

void Application::registerForRemoteNotificationTypes(unsigned types) {
    {
        std::lock_guard lock(m_mutex);
        m_remoteTypes = types;
    }
    registerForRemoteNotifications();
}

unsigned Application::enabledRemoteNotificationTypes() const {
    std::lock_guard lock(m_mutex);
    return m_registeredForRemote ? m_remoteTypes : 0;
}

void Application::registerUserNotificationSettings(unsigned types) {
    {
        std::lock_guard lock(m_mutex);
        m_userNotificationTypes = types;
    }
    RunLoop::main().perform([this, types] {
        if (auto d = delegate())
            d->didRegisterUserNotificationSettings(*this, types);
    });
}

unsigned Application::currentUserNotificationSettingsTypes() const {
    std::lock_guard lock(m_mutex);
    return m_userNotificationTypes;
}

void Application::setDeviceToken(Bytes token) {
    std::lock_guard lock(m_mutex);
    m_deviceToken = std::move(token);
}

Bytes Application::deviceToken() const {
    std::lock_guard lock(m_mutex);
    return m_deviceToken;
}

void Application::setRemoteRegistrationError(std::optional<Error> error) {
    std::lock_guard lock(m_mutex);
    m_registrationError = std::move(error);
}

void Application::deliverRemoteNotification(const Dictionary& userInfo, std::function<void(BackgroundFetchResult)> completion) {
    if (auto d = delegate())
        d->didReceiveRemoteNotificationWithFetchCompletion(*this, userInfo, std::move(completion));
}

void Application::deliverLocalNotification(const LocalNotification& notification) {
    if (auto d = delegate())
        d->didReceiveLocalNotification(*this, notification);
}

// ---- local notifications ----

std::vector<LocalNotification> Application::scheduledLocalNotifications() const {
    std::lock_guard lock(m_mutex);
    std::vector<LocalNotification> list;
    for (const auto& s : m_scheduled)
        list.push_back(s.notification);
    return list;
}

void Application::scheduleLocalNotification(const LocalNotification& notification) {
    std::lock_guard lock(m_mutex);
    std::uint64_t id = m_nextScheduledId++;
    std::shared_ptr<Timer> timer;
    if (notification.fireDate && !notification.region) {
        double delay = notification.fireDate->secondsSince1970 - Clock::current().wallNow().secondsSince1970;
        timer = RunLoop::main().scheduleTimer(seconds(delay > 0 ? delay : 0), [this, id] {
            std::optional<LocalNotification> due;
            {
                std::lock_guard lock(m_mutex);
                auto it = std::find_if(m_scheduled.begin(), m_scheduled.end(), [id](const Scheduled& s) { return s.id == id; });
                if (it == m_scheduled.end())
                    return;
                due = it->notification;
                m_scheduled.erase(it);
            }
            deliverLocalNotification(*due);
        });
    }
    m_scheduled.push_back(Scheduled{id, notification, std::move(timer)});
}

void Application::cancelLocalNotification(const LocalNotification& notification) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_scheduled, [&](const Scheduled& s) {
        if (!(s.notification == notification))
            return false;
        if (s.timer)
            s.timer->invalidate();
        return true;
    });
}

void Application::cancelAllLocalNotifications() {
    std::lock_guard lock(m_mutex);
    for (const auto& s : m_scheduled)
        if (s.timer)
            s.timer->invalidate();
    m_scheduled.clear();
}

void Application::presentLocalNotificationNow(const LocalNotification& notification) { deliverLocalNotification(notification); }

// ---- Info.plist ----

Value Application::objectForInfoDictionaryKey(const std::string& key) const {
    return Bundle::main().objectForInfoDictionaryKey(key);
}

InterfaceOrientationMask Application::supportedInterfaceOrientationsFromInfoPlist() const {
    return maskFromNames(objectForInfoDictionaryKey("UISupportedInterfaceOrientations"));
}

bool Application::exitsOnSuspend() const { return objectForInfoDictionaryKey("UIApplicationExitsOnSuspend").boolValue(); }

std::vector<std::string> Application::bundleURLSchemes() const {
    std::vector<std::string> schemes;
    const Value types = objectForInfoDictionaryKey("CFBundleURLTypes");
    for (const Value& type : types.arrayOrEmpty())
        for (const Value& scheme : type["CFBundleURLSchemes"].arrayOrEmpty())
            if (const std::string* s = scheme.getString())
                schemes.push_back(*s);
    return schemes;
}

} // namespace platform
