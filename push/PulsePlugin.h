// The page's "PulsePlugin" service: the push client's actions for the page's script, and the client's
// news (pushed messages, remote notifications, tags-and-alias results) as document events.
//
// Page actions (arguments by index; "argument error" lines go to the console, platform::Log, and the
// command is never answered then):
// - stopPush, resumePush, resetBadge, setDebugModeFromIos, setLogOFF, crashLogON,
//   clearAllLocalNotifications: no arguments, no answer.
// - isPushStopped: OK with 0 when registered for remote notifications, 1 when not.
// - initial: the page now listens for pushed messages (the page's script calls it); no answer.
// - getRegistrationID: OK with the registration id ("" before registration), on a later turn of the
//   main queue: the call never waits for the client thread.
// - getApplicationIconBadgeNumber: OK with the application's badge number.
// - setTagsWithAlias [alias, tags], setTags [tag...], setAlias [alias]: the client's tags and alias, each
//   answered by the "pulse.setTagsWithAlias" event {"resultCode", "tags" (array or null), "alias" (text
//   or null)}. Alias: a string or null; tags: an array of strings or null; setTags: strings only.
// - startLogPageView [name], stopLogPageView [name], beginLogPageView [name, seconds], setBadge [n],
//   setApplicationIconBadgeNumber [n], deleteLocalNotificationWithIdentifierKey [key], setLocation
//   [latitude, longitude]: names and keys strings, the rest numbers; 32-bit values in range.
// - setLocalNotification [seconds, body, badge, identifier key, user information], each null or of its
//   kind (number, string, number, string, dictionary): fire date now + seconds (none when null, which
//   the scheduling refuses), badge 0 when null.
//
// Events: every event is evaluated through the command delegate's evalJs on a later turn of the main
// queue, after the handler that produced it returned; nothing is evaluated once the plug-in is gone.
// - A pushed message ("kPULSENetworkDidReceiveMessageNotification"): "pulse.receiveMessage" with the
//   message's JSON, then the page script's receiveMessageIniOSCallback with the same JSON text as a
//   string (null in both for a message without user information).
//   The client's messages (those posted with a PULSEHeldMessageTag) wait in its store until the page
//   listens: a page has finished loading in the plug-in's web view (already when the plug-in starts,
//   or "HYBPageDidLoadNotification" for its view later), and no new load has begun since (onReset).
//   Then the messages that waited go first, oldest first, and each new one as it comes; each is
//   reported handed over (PULSEService::messagesHandedOver) once the page has run its scripts (an
//   evaluation asked after them answered), and one whose page went away before that, or whose
//   application ended first, waits for the next page. A page with the page's script (pulse.js) has them
//   once it heard them: the script counts the events dispatched (the bridge dispatches them on a later
//   turn), and keeps the messages that come while the page has no listener (neither a
//   "pulse.receiveMessage" listener nor onReceiveMessage) for its first one, then calls "initial".
//   Messages without a tag go at once.
// - A remote notification ("PulsePluginReceiveNofication", the payload dictionary as the notification's
//   object): "pulse.receiveNotification" while active, "pulse.openNotification" while inactive or in the
//   background.
// - The first instance after a launch from a remote notification: "pulse.openNotification".
//
// Start-up (class-wide, main thread): setLaunchOptions keeps the launch options, switches debug logging
// on, registers for remote notifications (system 8.0 and later) and sets the client up from the
// bundle's "PushConfig.plist" ("APP_KEY", required; "CHANNEL"; "IsProduction"). A bundle without the file
// or without an app key is built wrongly: the application ends at once, with the reason on the console.
//
// Thread: main thread, except tagAliasCallbackNamed's callbacks, which may come on any thread and only
// post to the main queue.
#pragma once

#include "push/PULSEMessageCenter.h"
#include "push/PULSETagAlias.h"
#include "push/PulsePageEvents.h"

#include "runtime/HYBPlugin.h"

#include "platform/core/Value.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace push {

// Posted by the application delegate for each remote notification; the payload (a platform::Dictionary)
// is the notification's object, valid while the post is delivered.
inline constexpr const char* kPulsePluginReceiveNotification = "PulsePluginReceiveNofication";

class PulsePlugin : public runtime::HYBPlugin, public PULSETagAliasCallbackTarget {
public:
    // Badge, sound and alert.
    static constexpr unsigned kRemoteNotificationTypes = 7;
    static constexpr const char* kTagsWithAliasCallbackName = "tagsWithAliasCallback:tags:alias:";
    // "PushConfig.plist" is the application's own small file; anything larger is not one.
    static constexpr long long kMaxConfigBytes = 64 * 1024;
    // Asked of the page once it ran a message's scripts: "HEARD WAITING" (the messages it heard, those
    // waiting for its first listener) from the page's script, else the document's state.
    static constexpr const char* kHeardScript =
        "(function(){var p=window.plugins&&window.plugins.pulsePlugin;"
        "return p&&typeof p.heardCount==='function'?p.heardCount()+' '+p.unheardCount():document.readyState;})()";
    // Status of an application ended for a bundle without its push configuration.
    static constexpr int kConfigurationExitStatus = 1;

    // Makes the class known by the name "PulsePlugin".
    static void registerClass();

    explicit PulsePlugin(const std::shared_ptr<platform::WebView>& webView);
    ~PulsePlugin() override;

    // Observes the client's notifications and, after a launch from a remote notification, schedules its
    // "pulse.openNotification" event.
    void pluginInitialize() override;
    // A new page begins to load: messages wait again until it has loaded.
    void onReset() override;
    // Whether the page is taken to listen for pushed messages.
    bool pageListens() const { return m_pageListens; }
    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "PulsePlugin"; }

    // ---- page actions ----
    void stopPush(const runtime::HYBInvokedUrlCommand& command);
    void resumePush(const runtime::HYBInvokedUrlCommand& command);
    void isPushStopped(const runtime::HYBInvokedUrlCommand& command);
    void initial(const runtime::HYBInvokedUrlCommand& command);
    void setTagsWithAlias(const runtime::HYBInvokedUrlCommand& command);
    void setTags(const runtime::HYBInvokedUrlCommand& command);
    void setAlias(const runtime::HYBInvokedUrlCommand& command);
    void getRegistrationID(const runtime::HYBInvokedUrlCommand& command);
    void startLogPageView(const runtime::HYBInvokedUrlCommand& command);
    void stopLogPageView(const runtime::HYBInvokedUrlCommand& command);
    void beginLogPageView(const runtime::HYBInvokedUrlCommand& command);
    void setBadge(const runtime::HYBInvokedUrlCommand& command);
    void resetBadge(const runtime::HYBInvokedUrlCommand& command);
    void setApplicationIconBadgeNumber(const runtime::HYBInvokedUrlCommand& command);
    void getApplicationIconBadgeNumber(const runtime::HYBInvokedUrlCommand& command);
    void setDebugModeFromIos(const runtime::HYBInvokedUrlCommand& command);
    void setLogOFF(const runtime::HYBInvokedUrlCommand& command);
    void crashLogON(const runtime::HYBInvokedUrlCommand& command);
    void setLocalNotification(const runtime::HYBInvokedUrlCommand& command);
    void deleteLocalNotificationWithIdentifierKey(const runtime::HYBInvokedUrlCommand& command);
    void clearAllLocalNotifications(const runtime::HYBInvokedUrlCommand& command);
    void setLocation(const runtime::HYBInvokedUrlCommand& command);

    // ---- the client's news ----
    void networkDidReceiveMessage(const platform::Notification& notification);
    void networkDidReceiveNotification(const platform::Notification& notification);
    // The tags-and-alias answer: {"resultCode", "tags" (array, or null without a set), "alias" (or null)}.
    void tagsWithAliasCallback(int resultCode, const platform::ArchiveValue& tags, const platform::ArchiveValue& alias);
    // kTagsWithAliasCallbackName gives tagsWithAliasCallback (held weakly); other names give none.
    PULSETagAliasCallback tagAliasCallbackNamed(const std::string& name) override;

    // Answers a command with one value: a string percent-escaped, any other value as it is, with OK;
    // none (or null) is logged and answered Error.
    void hanleResultWithValue(const std::optional<platform::Value>& value, const runtime::HYBInvokedUrlCommand& command);

    // ---- start-up (class-wide, main thread) ----
    // What the push configuration file at `path` sets the client up with: a regular file of at most
    // kMaxConfigBytes holding a property-list dictionary with a non-empty "APP_KEY" string. Otherwise an
    // error (domain "PulsePlugin") whose code says which of the four start-up failures it is (1 not
    // found, 2 not a readable regular file or too large, 3 not a dictionary, 4 no app key) and whose
    // description says why ("not found", "a folder, not a file", "not a regular file", "larger than
    // 65536 bytes", "not a property-list dictionary", "no \"APP_KEY\" string").
    struct Config {
        std::string appKey;
        std::string channel;
        bool isProduction = false;
    };
    static platform::Result<Config> readConfig(const std::string& path);
    static void setLaunchOptions(const platform::Dictionary& launchOptions);
    // The launch options kept by the last setLaunchOptions; none before.
    static std::optional<platform::Dictionary> launchOptions();
    // From system version 8.0: registers with types 7; before 8.0 nothing.
    static void registerForRemoteNotification();
    // Forgets the launch options (tests).
    static void resetForTesting();

private:
    // Evaluates the script on a later turn of the main queue.
    void schedule(std::string script);
    // The page listens: the messages that waited are asked for, then handed over.
    void startListening();
    void takeHeldMessages(std::vector<PULSEMessageCenter::HeldMessage> held);
    // The message's two scripts, on a later turn; messages from the store are reported handed over once
    // theirs were evaluated for the page they were meant for.
    void handOver(std::optional<std::uint64_t> messageID, const platform::Dictionary& info);
    void handOver(std::vector<std::pair<std::uint64_t, platform::Dictionary>> messages);
    // Reports the messages handed over once the page has heard them, with those it had not heard before.
    // Asks about the messages of the current page, or of the page before when its generation is given.
    void confirmHeard(std::optional<std::uint64_t> pageGeneration = std::nullopt);

    bool m_pageListens = false;
    bool m_awaitingHeld = false;
    // Bumped by each new page: scripts meant for an earlier one are not evaluated.
    std::uint64_t m_pageGeneration = 0;
    // Messages posted while the ones that waited are being fetched.
    std::vector<std::pair<std::uint64_t, platform::Dictionary>> m_arrivedMeanwhile;
    // The messages whose scripts this page ran, by their number on it, until it has heard them.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> m_unconfirmed;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> m_previousPage; // those of the page before
    std::uint64_t m_evaluated = 0;
    bool m_confirming = false;
    void fireEvent(PulsePageEvent event, std::string_view json) { schedule(pulseDocumentEventScript(event, json)); }
    void answer(const runtime::HYBInvokedUrlCommand& command, platform::Value value);
    // The callback target handed to the tags-and-alias calls: this object.
    std::shared_ptr<PULSETagAliasCallbackTarget> callbackTarget();
};

} // namespace push
