#include "push/PulsePlugin.h"

#include "push/PULSEMessageCenter.h"
#include "push/PULSEMessageStore.h"
#include "push/PULSEService.h"

#include "platform/application/Application.h"
#include "platform/system/Bundle.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Device.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/core/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/text/PercentEscaping.h"
#include "platform/formats/PropertyList.h"
#include "platform/web/WebView.h"

#include "runtime/HYBHandleOpenURL.h"
#include "platform/core/SeededHash.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>
#include <unordered_set>
#include <utility>

namespace push {

namespace {

using runtime::HYBInvokedUrlCommand;

std::optional<platform::Dictionary>& storedLaunchOptions() {
    static std::optional<platform::Dictionary> options; // main thread
    return options;
}

// The console line of an action whose arguments are missing or of the wrong kind.
void argumentError(std::string_view action) { platform::Log::write(std::string(action) + " argument  error"); }

const platform::Value* argument(const HYBInvokedUrlCommand& command, std::size_t index) {
    const platform::Array& arguments = command.arguments();
    return index < arguments.size() ? &arguments[index] : nullptr;
}

// The first argument as text; none (with the action's argument error) when it is missing or not a string.
std::optional<std::string> firstText(const HYBInvokedUrlCommand& command, std::string_view action) {
    const platform::Value* first = argument(command, 0);
    if (const std::string* text = first ? first->getString() : nullptr)
        return *text;
    argumentError(action);
    return std::nullopt;
}

bool isNumber(const platform::Value& value) { return value.isInteger() || value.isDouble(); }

// A page number that a 32-bit field can take (fractions drop, as the integer value of a number does).
std::optional<std::int32_t> int32Of(const platform::Value& value) {
    if (!isNumber(value))
        return std::nullopt;
    const std::int64_t number = value.integerValue();
    if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(number);
}

// The badge argument of both badge actions (their one shared console line when it is not a number).
std::optional<std::int64_t> badgeOf(const HYBInvokedUrlCommand& command) {
    const platform::Value* value = argument(command, 0);
    if (value && isNumber(*value))
        return value->integerValue();
    platform::Log::write("setBadge argument error!");
    return std::nullopt;
}

// An alias argument: a string, or null for none. Anything else is no alias argument at all.
std::optional<platform::ArchiveValue> aliasOf(const platform::Value& value) {
    if (value.isNull())
        return platform::ArchiveValue();
    if (const std::string* text = value.getString())
        return platform::ArchiveValue(*text);
    return std::nullopt;
}

// Tags as a set of strings; none when an element is not a string.
std::optional<platform::ArchiveSet> tagSetOf(const platform::Array& tags) {
    platform::ArchiveSet set;
    for (const platform::Value& tag : tags) {
        const std::string* text = tag.getString();
        if (!text)
            return std::nullopt;
        set.insert(*text);
    }
    return set;
}

[[noreturn]] void endApplication(std::string_view line) {
    platform::Log::write(line);
    std::fflush(nullptr);
    // The bundle is built wrongly: nothing of the application may run on.
    std::_Exit(PulsePlugin::kConfigurationExitStatus);
}

} // namespace

// ---- the class ----

void PulsePlugin::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<PulsePlugin>("PulsePlugin");
    (void)registered;
}

PulsePlugin::PulsePlugin(const std::shared_ptr<platform::WebView>& webView) : runtime::HYBPlugin(webView) {
    platform::Log::write("### initWithWebView ");
}

PulsePlugin::~PulsePlugin() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void PulsePlugin::pluginInitialize() {
    platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
    center.addObserver(this, kPULSENetworkDidReceiveMessageNotification, nullptr,
                       [this](const platform::Notification& notification) { networkDidReceiveMessage(notification); });
    center.addObserver(this, kPulsePluginReceiveNotification, nullptr,
                       [this](const platform::Notification& notification) { networkDidReceiveNotification(notification); });
    if (const std::shared_ptr<platform::WebView> view = webView()) {
        center.addObserver(this, runtime::kHYBPageDidLoadNotification, view.get(),
                           [this](const platform::Notification&) { startListening(); });
        // Made after its page loaded (at the page's first call): the page is there.
        if (view->request() && !view->isLoading())
            startListening();
    }

    const auto& options = storedLaunchOptions();
    const auto payload = options ? pulseLaunchNotification(*options) : std::nullopt;
    if (!payload)
        return;
    auto json = pulseEventJSON(platform::Value(*payload));
    if (!json) {
        platform::Log::write("The launching notification cannot be written as JSON: " + json.error().localizedDescription());
        return;
    }
    fireEvent(PulsePageEvent::OpenNotification, *json);
}

const runtime::HYBActionTable& PulsePlugin::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<PulsePlugin>({
        {"stopPush", &PulsePlugin::stopPush},
        {"resumePush", &PulsePlugin::resumePush},
        {"isPushStopped", &PulsePlugin::isPushStopped},
        {"initial", &PulsePlugin::initial},
        {"setTagsWithAlias", &PulsePlugin::setTagsWithAlias},
        {"setTags", &PulsePlugin::setTags},
        {"setAlias", &PulsePlugin::setAlias},
        {"getRegistrationID", &PulsePlugin::getRegistrationID},
        {"startLogPageView", &PulsePlugin::startLogPageView},
        {"stopLogPageView", &PulsePlugin::stopLogPageView},
        {"beginLogPageView", &PulsePlugin::beginLogPageView},
        {"setBadge", &PulsePlugin::setBadge},
        {"resetBadge", &PulsePlugin::resetBadge},
        {"setApplicationIconBadgeNumber", &PulsePlugin::setApplicationIconBadgeNumber},
        {"getApplicationIconBadgeNumber", &PulsePlugin::getApplicationIconBadgeNumber},
        {"setDebugModeFromIos", &PulsePlugin::setDebugModeFromIos},
        {"setLogOFF", &PulsePlugin::setLogOFF},
        {"crashLogON", &PulsePlugin::crashLogON},
        {"setLocalNotification", &PulsePlugin::setLocalNotification},
        {"deleteLocalNotificationWithIdentifierKey", &PulsePlugin::deleteLocalNotificationWithIdentifierKey},
        {"clearAllLocalNotifications", &PulsePlugin::clearAllLocalNotifications},
        {"setLocation", &PulsePlugin::setLocation},
    });
    return table;
}

// ---- page actions ----

void PulsePlugin::stopPush(const HYBInvokedUrlCommand&) { platform::Application::shared().unregisterForRemoteNotifications(); }

void PulsePlugin::resumePush(const HYBInvokedUrlCommand&) { registerForRemoteNotification(); }

void PulsePlugin::isPushStopped(const HYBInvokedUrlCommand& command) {
    const bool registered = platform::Application::shared().isRegisteredForRemoteNotifications();
    hanleResultWithValue(platform::Value(registered ? 0 : 1), command);
}

// The page's script calls it once the page listens for pushed messages: those that came before, kept
// by the page's script for it, have now been heard.
void PulsePlugin::initial(const HYBInvokedUrlCommand&) { confirmHeard(); }

void PulsePlugin::setTagsWithAlias(const HYBInvokedUrlCommand& command) {
    if (command.arguments().size() < 2) {
        platform::Log::write("#### setTagsWithAlias param is less");
        return;
    }
    const auto alias = aliasOf(*argument(command, 0));
    const platform::Value& tagsArgument = *argument(command, 1);
    std::optional<platform::ArchiveValue> tags;
    if (tagsArgument.isNull())
        tags = platform::ArchiveValue();
    else if (const platform::Array* list = tagsArgument.getArray())
        if (auto set = tagSetOf(*list))
            tags = platform::ArchiveValue(std::move(*set));
    if (!alias || !tags) {
        argumentError("setTagsWithAlias");
        return;
    }
    PULSEService::setTags(*tags, *alias, std::string(kTagsWithAliasCallbackName), callbackTarget());
}

void PulsePlugin::setTags(const HYBInvokedUrlCommand& command) {
    auto tags = tagSetOf(command.arguments());
    if (!tags) {
        argumentError("setTags");
        return;
    }
    PULSEService::setTags(platform::ArchiveValue(std::move(*tags)), platform::ArchiveValue(), std::string(kTagsWithAliasCallbackName),
                          callbackTarget());
}

void PulsePlugin::setAlias(const HYBInvokedUrlCommand& command) {
    const platform::Value* given = argument(command, 0);
    const auto alias = given ? aliasOf(*given) : std::nullopt;
    if (!alias) {
        argumentError("setAlias");
        return;
    }
    PULSEService::setAlias(*alias, std::string(kTagsWithAliasCallbackName), callbackTarget());
}

void PulsePlugin::getRegistrationID(const HYBInvokedUrlCommand& command) {
    PULSEService::registrationID([weak = weak_from_this(), command](std::string id) {
        if (auto self = std::static_pointer_cast<PulsePlugin>(weak.lock()))
            self->hanleResultWithValue(platform::Value(std::move(id)), command);
    });
}

void PulsePlugin::startLogPageView(const HYBInvokedUrlCommand& command) {
    if (auto name = firstText(command, "startLogPageView"))
        PULSEService::startLogPageView(*name);
}

void PulsePlugin::stopLogPageView(const HYBInvokedUrlCommand& command) {
    if (auto name = firstText(command, "stopLogPageView"))
        PULSEService::stopLogPageView(*name);
}

void PulsePlugin::beginLogPageView(const HYBInvokedUrlCommand& command) {
    const platform::Value* name = argument(command, 0);
    const platform::Value* seconds = argument(command, 1);
    const auto duration = seconds ? int32Of(*seconds) : std::nullopt;
    if (!name || !name->isString() || !duration) {
        argumentError("beginLogPageView");
        return;
    }
    PULSEService::beginLogPageView(*name->getString(), *duration);
}

void PulsePlugin::setBadge(const HYBInvokedUrlCommand& command) {
    if (auto badge = badgeOf(command))
        (void)PULSEService::setBadge(*badge);
}

void PulsePlugin::resetBadge(const HYBInvokedUrlCommand&) { PULSEService::resetBadge(); }

void PulsePlugin::setApplicationIconBadgeNumber(const HYBInvokedUrlCommand& command) {
    if (auto badge = badgeOf(command))
        platform::Application::shared().setApplicationIconBadgeNumber(*badge);
}

void PulsePlugin::getApplicationIconBadgeNumber(const HYBInvokedUrlCommand& command) {
    hanleResultWithValue(platform::Value(static_cast<std::int64_t>(platform::Application::shared().applicationIconBadgeNumber())),
                         command);
}

void PulsePlugin::setDebugModeFromIos(const HYBInvokedUrlCommand&) { PULSEService::setDebugMode(); }

void PulsePlugin::setLogOFF(const HYBInvokedUrlCommand&) { PULSEService::setLogOFF(); }

void PulsePlugin::crashLogON(const HYBInvokedUrlCommand&) { PULSEService::crashLogON(); }

void PulsePlugin::setLocalNotification(const HYBInvokedUrlCommand& command) {
    if (command.arguments().size() < 5) {
        argumentError("setLocalNotification");
        return;
    }
    const platform::Value& seconds = *argument(command, 0);
    const platform::Value& body = *argument(command, 1);
    const platform::Value& badge = *argument(command, 2);
    const platform::Value& identifier = *argument(command, 3);
    const platform::Value& userInfo = *argument(command, 4);
    const auto badgeNumber = badge.isNull() ? std::optional<std::int32_t>(0) : int32Of(badge);
    if ((!seconds.isNull() && !isNumber(seconds)) || (!body.isNull() && !body.isString()) || !badgeNumber ||
        (!identifier.isNull() && !identifier.isString()) || (!userInfo.isNull() && !userInfo.isDictionary())) {
        argumentError("setLocalNotification");
        return;
    }
    std::optional<platform::Date> fireDate;
    if (!seconds.isNull())
        fireDate = platform::Date{platform::Clock::current().wallNow().secondsSince1970 + static_cast<double>(seconds.integerValue())};
    auto text = [](const platform::Value& value) -> std::optional<std::string> {
        if (const std::string* string = value.getString())
            return *string;
        return std::nullopt;
    };
    std::optional<platform::Dictionary> info;
    if (const platform::Dictionary* dictionary = userInfo.getDictionary())
        info = *dictionary;
    (void)PULSEService::setLocalNotification(fireDate, text(body), *badgeNumber, std::nullopt, text(identifier), info, std::nullopt);
}

void PulsePlugin::deleteLocalNotificationWithIdentifierKey(const HYBInvokedUrlCommand& command) {
    if (auto identifier = firstText(command, "deleteLocalNotificationWithIdentifierKey"))
        PULSEService::deleteLocalNotificationWithIdentifierKey(*identifier);
}

void PulsePlugin::clearAllLocalNotifications(const HYBInvokedUrlCommand&) { PULSEService::clearAllLocalNotifications(); }

void PulsePlugin::setLocation(const HYBInvokedUrlCommand& command) {
    const platform::Value* latitude = argument(command, 0);
    const platform::Value* longitude = argument(command, 1);
    if (!latitude || !longitude || !isNumber(*latitude) || !isNumber(*longitude)) {
        argumentError("setLocation");
        return;
    }
    PULSEService::setLatitude(latitude->doubleValue(), longitude->doubleValue());
}

// ---- answers and events ----

void PulsePlugin::hanleResultWithValue(const std::optional<platform::Value>& value, const HYBInvokedUrlCommand& command) {
    std::optional<runtime::HYBPluginResult> result;
    if (!value || value->isNull()) {
        platform::Log::write("Hybrid callback block returned unrecognized type: (null)");
        result = runtime::HYBPluginResult::resultWithStatus(runtime::HYBCommandStatus::Error);
    } else if (const std::string* text = value->getString()) {
        result = runtime::HYBPluginResult(runtime::HYBCommandStatus::Ok, platform::Value(platform::addPercentEscapes(*text)));
    } else {
        result = runtime::HYBPluginResult(runtime::HYBCommandStatus::Ok, *value);
    }
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), command.callbackId());
}

void PulsePlugin::schedule(std::string script) {
    platform::DispatchQueue::main()->async([weak = weak_from_this(), script = std::move(script)]() mutable {
        std::shared_ptr<runtime::HYBPlugin> self = weak.lock();
        std::shared_ptr<runtime::HYBCommandDelegate> delegate = self ? self->commandDelegate() : nullptr;
        if (delegate)
            delegate->evalJs(std::move(script));
    });
}

void PulsePlugin::networkDidReceiveMessage(const platform::Notification& notification) {
    const auto* tag = static_cast<const PULSEHeldMessageTag*>(notification.object);
    if (!tag) {
        handOver(std::nullopt, notification.userInfo);
        return;
    }
    if (!m_pageListens)
        return; // it waits in the store for the page
    if (m_awaitingHeld) {
        if (m_arrivedMeanwhile.size() < PULSEMessageStore::kMaxHeldMessages)
            m_arrivedMeanwhile.emplace_back(tag->messageID, notification.userInfo);
        return;
    }
    handOver(tag->messageID, notification.userInfo);
}

void PulsePlugin::onReset() {
    m_pageListens = false;
    m_awaitingHeld = false;
    m_arrivedMeanwhile.clear();
    m_previousPage = std::exchange(m_unconfirmed, {});
    m_evaluated = 0;
    m_confirming = false;
    ++m_pageGeneration;
}

void PulsePlugin::startListening() {
    if (m_pageListens)
        return;
    m_pageListens = true;
    m_awaitingHeld = true;
    PULSEService::heldMessages([weak = weak_from_this(), generation = m_pageGeneration](std::vector<PULSEMessageCenter::HeldMessage> held) {
        auto self = std::static_pointer_cast<PulsePlugin>(weak.lock());
        if (self && self->m_pageGeneration == generation)
            self->takeHeldMessages(std::move(held));
    });
}

void PulsePlugin::takeHeldMessages(std::vector<PULSEMessageCenter::HeldMessage> held) {
    if (!m_awaitingHeld)
        return;
    m_awaitingHeld = false;
    std::unordered_set<std::uint64_t, platform::SeededHash> taken;
    std::vector<std::pair<std::uint64_t, platform::Dictionary>> messages;
    for (auto& message : held)
        if (taken.insert(message.messageID).second)
            messages.emplace_back(message.messageID, message.info.value_or(platform::Dictionary()));
    for (auto& [messageID, info] : std::exchange(m_arrivedMeanwhile, {}))
        if (taken.insert(messageID).second)
            messages.emplace_back(messageID, std::move(info));
    handOver(std::move(messages));
}

void PulsePlugin::handOver(std::optional<std::uint64_t> messageID, const platform::Dictionary& info) {
    if (messageID) {
        handOver({{*messageID, info}});
        return;
    }
    auto scripts = pulseMessageScripts(info);
    if (!scripts) {
        platform::Log::write("A pushed message cannot be written as JSON: " + scripts.error().localizedDescription());
        return;
    }
    // The page counts it among those it heard: so does this plug-in.
    platform::DispatchQueue::main()->async([weak = weak_from_this(), scripts = std::move(*scripts)]() mutable {
        auto self = std::static_pointer_cast<PulsePlugin>(weak.lock());
        std::shared_ptr<runtime::HYBCommandDelegate> delegate = self ? self->commandDelegate() : nullptr;
        if (!delegate)
            return;
        delegate->evalJs(std::move(scripts.first));
        delegate->evalJs(std::move(scripts.second));
        ++self->m_evaluated;
    });
}

void PulsePlugin::handOver(std::vector<std::pair<std::uint64_t, platform::Dictionary>> messages) {
    if (messages.empty())
        return;
    std::vector<std::pair<std::string, std::string>> scripts;
    std::vector<std::uint64_t> ids;
    std::vector<std::uint64_t> unwritable;
    for (const auto& [messageID, info] : messages) {
        auto written = pulseMessageScripts(info);
        if (!written) {
            // It never can be handed over: it waits no more.
            platform::Log::write("A pushed message cannot be written as JSON: " + written.error().localizedDescription());
            unwritable.push_back(messageID);
            continue;
        }
        scripts.push_back(std::move(*written));
        ids.push_back(messageID);
    }
    if (!unwritable.empty())
        PULSEService::messagesHandedOver(std::move(unwritable));
    if (ids.empty())
        return;
    platform::DispatchQueue::main()->async([weak = weak_from_this(), generation = m_pageGeneration, ids = std::move(ids),
                                            scripts = std::move(scripts)]() mutable {
        auto self = std::static_pointer_cast<PulsePlugin>(weak.lock());
        std::shared_ptr<runtime::HYBCommandDelegate> delegate = self ? self->commandDelegate() : nullptr;
        if (!delegate || self->m_pageGeneration != generation)
            return; // the page they were meant for is gone: they wait for the next one
        for (std::size_t i = 0; i < scripts.size(); ++i) {
            delegate->evalJs(std::move(scripts[i].first));
            delegate->evalJs(std::move(scripts[i].second));
            self->m_unconfirmed.emplace_back(self->m_evaluated++, ids[i]);
        }
        // Handed over once the page heard them: an evaluation asked after them (the delegate asks for its
        // own on a later turn at the latest) answers after they ran.
        platform::DispatchQueue::main()->async([weak, generation] {
            if (auto plugin = std::static_pointer_cast<PulsePlugin>(weak.lock()))
                plugin->confirmHeard(generation);
        });
    });
}

// The page's script (pulse.js) answers how many messages the page has heard (their events dispatched)
// and whether some wait for its first listener; a page without it has heard every message whose scripts
// it ran. The messages heard are reported handed over; while others are on their way the page is asked
// again on a later turn, and once it listens its script calls "initial", which asks again.
void PulsePlugin::confirmHeard(std::optional<std::uint64_t> pageGeneration) {
    auto webView = this->webView();
    const std::uint64_t generation = pageGeneration.value_or(m_pageGeneration);
    const bool current = generation == m_pageGeneration;
    if (!webView || (current && (m_confirming || m_unconfirmed.empty())))
        return;
    // Messages evaluated for the page before, asked about after it went: what it answers for them.
    if (!current && (generation + 1 != m_pageGeneration || m_previousPage.empty()))
        return;
    if (current)
        m_confirming = true;
    const std::uint64_t evaluated = current ? m_evaluated : m_previousPage.back().first + 1;
    webView->evaluateJavaScript(kHeardScript, [weak = weak_from_this(), generation, evaluated](std::string state) {
        auto self = std::static_pointer_cast<PulsePlugin>(weak.lock());
        if (!self || self->m_pageGeneration > generation + 1)
            return;
        const bool current = self->m_pageGeneration == generation;
        if (current)
            self->m_confirming = false;
        if (state.empty())
            return; // the page went away first: they wait for the next one
        // A page that went away meanwhile answers for what it heard before.
        auto& unconfirmed = current ? self->m_unconfirmed : self->m_previousPage;
        std::uint64_t heard = evaluated;
        std::uint64_t waiting = 0;
        unsigned long long count = 0;
        unsigned long long unheard = 0;
        if (std::sscanf(state.c_str(), "%llu %llu", &count, &unheard) == 2) {
            heard = std::min<std::uint64_t>(count, evaluated);
            waiting = unheard;
        }
        std::vector<std::uint64_t> ids;
        while (!unconfirmed.empty() && unconfirmed.front().first < heard) {
            ids.push_back(unconfirmed.front().second);
            unconfirmed.pop_front();
        }
        if (!ids.empty())
            PULSEService::messagesHandedOver(std::move(ids));
        if (current && !self->m_unconfirmed.empty() && waiting == 0)
            platform::DispatchQueue::main()->async([weak] {
                if (auto plugin = std::static_pointer_cast<PulsePlugin>(weak.lock()))
                    plugin->confirmHeard();
            });
    });
}

void PulsePlugin::networkDidReceiveNotification(const platform::Notification& notification) {
    const auto* payload = static_cast<const platform::Dictionary*>(notification.object);
    if (!payload)
        return;
    auto json = pulseEventJSON(platform::Value(*payload));
    if (!json) {
        platform::Log::write("A remote notification cannot be written as JSON: " + json.error().localizedDescription());
        return;
    }
    const platform::ApplicationState state = platform::Application::shared().applicationState();
    platform::Log::writef("%ld", static_cast<long>(state));
    switch (state) {
    case platform::ApplicationState::Inactive:
    case platform::ApplicationState::Background: fireEvent(PulsePageEvent::OpenNotification, *json); break;
    case platform::ApplicationState::Active: fireEvent(PulsePageEvent::ReceiveNotification, *json); break;
    }
}

void PulsePlugin::tagsWithAliasCallback(int resultCode, const platform::ArchiveValue& tags, const platform::ArchiveValue& alias) {
    platform::Value tagList;
    if (const platform::ArchiveSet* set = tags.getSet()) {
        platform::Array list;
        for (const platform::ArchiveValue& tag : *set)
            if (auto value = tag.toValue())
                list.push_back(std::move(*value));
        tagList = std::move(list);
    }
    platform::Value aliasValue;
    if (const std::string* text = alias.getString())
        aliasValue = *text;
    platform::Dictionary result;
    result.set("resultCode", static_cast<std::int64_t>(resultCode));
    result.set("tags", std::move(tagList));
    result.set("alias", std::move(aliasValue));
    auto json = pulseEventJSON(platform::Value(std::move(result)));
    if (!json) {
        platform::Log::write("A tags-and-alias result cannot be written as JSON: " + json.error().localizedDescription());
        return;
    }
    fireEvent(PulsePageEvent::SetTagsWithAlias, *json);
}

PULSETagAliasCallback PulsePlugin::tagAliasCallbackNamed(const std::string& name) {
    if (name != kTagsWithAliasCallbackName)
        return nullptr;
    return [weak = weak_from_this()](int resultCode, const platform::ArchiveValue& tags, const platform::ArchiveValue& alias) {
        if (auto self = std::static_pointer_cast<PulsePlugin>(weak.lock()))
            self->tagsWithAliasCallback(resultCode, tags, alias);
    };
}

std::shared_ptr<PULSETagAliasCallbackTarget> PulsePlugin::callbackTarget() {
    return std::static_pointer_cast<PulsePlugin>(shared_from_this());
}

// ---- start-up ----

void PulsePlugin::setLaunchOptions(const platform::Dictionary& launchOptions) {
    storedLaunchOptions() = launchOptions;
    PULSEService::setDebugMode();
    registerForRemoteNotification();

    const platform::Bundle bundle = platform::Bundle::main();
    auto config = readConfig(bundle.bundlePath() + "/PushConfig.plist");
    if (!config) {
        static constexpr const char* kLines[] = {"error: PushConfig.plist not found",
                                                 "error: PushConfig.plist cannot be read or is larger than 64 KiB",
                                                 "error: PushConfig.plist is not a property-list dictionary",
                                                 "error: app key not found in PushConfig.plist "};
        endApplication(kLines[std::clamp<long long>(config.error().code, 1, 4) - 1]);
    }
    PULSEService::setupWithOption(launchOptions, config->appKey, config->channel, config->isProduction);
}

platform::Result<PulsePlugin::Config> PulsePlugin::readConfig(const std::string& path) {
    auto refused = [](long long code, std::string why) { return platform::Error("PulsePlugin", code, std::move(why)); };
    auto bytes = platform::FileManager::defaultManager().contentsOfRegularFile(path, static_cast<std::size_t>(kMaxConfigBytes));
    if (!bytes)
        return refused(platform::isNoSuchFileError(bytes.error()) ? 1 : 2, bytes.error().localizedDescription());
    auto read = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (!read || !read->isDictionary())
        return refused(3, "not a property-list dictionary");
    const platform::Dictionary& entries = *read->getDictionary();
    const std::string* appKey = entries["APP_KEY"].getString();
    if (!appKey || appKey->empty())
        return refused(4, "no \"APP_KEY\" string");
    const std::string* channel = entries["CHANNEL"].getString();
    return Config{*appKey, channel ? *channel : std::string(), entries["IsProduction"].boolValue()};
}

std::optional<platform::Dictionary> PulsePlugin::launchOptions() { return storedLaunchOptions(); }

void PulsePlugin::registerForRemoteNotification() {
    if (std::strtod(platform::Device::current().systemVersion().c_str(), nullptr) >= 8.0)
        PULSEService::registerForRemoteNotificationTypes(kRemoteNotificationTypes, std::nullopt);
}

void PulsePlugin::resetForTesting() { storedLaunchOptions().reset(); }

} // namespace push
