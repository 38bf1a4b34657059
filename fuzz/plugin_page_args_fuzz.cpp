// Sends any JSON argument array to the page actions of the plug-ins that read page arguments: Keychain,
// Diagnostic, Camera (then the user cancels the picker), Geolocation, Preference, SplashScreen, Cache,
// LocalStorage, the hot-update plug-in and the push plug-in. The first byte picks the action; the rest is
// the JSON text. Actions that would reach a server (the hot update's check and download, the push
// client's start and its tags) are left out: the fuzzer talks to no network. Every one-shot action answers
// at most once, and nothing crashes.
#include "CallbackCountingDelegate.h"
#include "PluginStage.h"
#include "PushFuzzHome.h"
#include "deploy/ZMDeploy.h"
#include "platform/formats/JSON.h"
#include "plugins/Diagnostic.h"
#include "plugins/HYBCamera.h"
#include "plugins/HYBKeychain.h"
#include "plugins/HYBLocation.h"
#include "plugins/HYBSplashScreen.h"
#include "plugins/Preference.h"
#include "push/PulsePlugin.h"
#include "runtime/HYBCache.h"
#include "runtime/HYBLocalStorage.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using CountingDelegate = fuzzing::CallbackCountingDelegate;

struct Stage : fuzzing::PluginStage {
    void settle() { clock.advance(2.0); }
};

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

Stage* g_stage = nullptr;

// One page action: the plug-in it goes to, its name, and whether it answers at most once.
struct Action {
    std::function<std::shared_ptr<runtime::HYBPlugin>(Stage&, const std::shared_ptr<CountingDelegate>&)> make;
    const char* name;
    bool oneShot;
};

template <class Plugin>
std::shared_ptr<runtime::HYBPlugin> make(Stage& stage, const std::shared_ptr<CountingDelegate>& delegate) {
    return stage.attach<Plugin>(delegate);
}

const std::vector<Action>& actions() {
    static const std::vector<Action> all = {
        {make<plugins::HYBKeychain>, "getForKey", true},
        {make<plugins::HYBKeychain>, "setForKey", true},
        {make<plugins::HYBKeychain>, "removeForKey", true},
        {make<plugins::Diagnostic>, "getLocationAuthorizationStatus", true},
        {make<plugins::Diagnostic>, "requestLocationAuthorization", false},
        {make<plugins::Diagnostic>, "requestCameraAuthorization", true},
        {make<plugins::Diagnostic>, "getRemoteNotificationTypes", true},
        {make<plugins::Diagnostic>, "switchToSettings", true},
        {make<plugins::HYBCamera>, "takePicture", true},
        {make<plugins::HYBCamera>, "cleanup", true},
        {make<plugins::HYBCamera>, "repositionPopover", true},
        {make<plugins::HYBLocation>, "getLocation", true},
        {make<plugins::HYBLocation>, "addWatch", false},
        {make<plugins::HYBLocation>, "clearWatch", true},
        {make<plugins::Preference>, "get", true},
        {make<plugins::HYBSplashScreen>, "show", true},
        {make<plugins::HYBSplashScreen>, "hide", true},
        {make<runtime::HYBCache>, "clear", true},
        {make<runtime::HYBLocalStorage>, "backup", true},
        {make<runtime::HYBLocalStorage>, "restore", true},
        {make<deploy::ZMDeploy>, "initialize", true},
        {make<deploy::ZMDeploy>, "info", true},
        {make<deploy::ZMDeploy>, "getVersions", true},
        {make<deploy::ZMDeploy>, "deleteVersion", true},
        {make<push::PulsePlugin>, "setLocalNotification", true},
        {make<push::PulsePlugin>, "deleteLocalNotificationWithIdentifierKey", true},
        {make<push::PulsePlugin>, "setApplicationIconBadgeNumber", true},
        {make<push::PulsePlugin>, "getApplicationIconBadgeNumber", true},
        {make<push::PulsePlugin>, "isPushStopped", true},
        {make<push::PulsePlugin>, "setDebugModeFromIos", true},
    };
    return all;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::installTemporaryPushHome("hyb-plugin-args-fuzz");
    g_stage = new Stage;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    Stage& stage = *g_stage;
    const Action& action = actions()[data[0] % actions().size()];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto parsed = platform::JSON::parse(text);
    if (!parsed.ok() || !parsed->isArray())
        return 0;
    auto delegate = std::make_shared<CountingDelegate>();
    std::shared_ptr<runtime::HYBPlugin> plugin = action.make(stage, delegate);
    check(plugin->performAction(action.name, runtime::HYBInvokedUrlCommand(*parsed->getArray(), "call", "Plugin", action.name)));
    // The camera's picker, when one is shown: the user cancels it.
    if (auto* camera = dynamic_cast<plugins::HYBCamera*>(plugin.get()); camera && camera->pickerController())
        camera->imagePickerControllerDidCancel(*camera->pickerController());
    stage.settle();
    if (auto* location = dynamic_cast<plugins::HYBLocation*>(plugin.get()))
        (void)location->performAction("stopLocation", runtime::HYBInvokedUrlCommand({}, "stop", "Plugin", "stopLocation"));
    if (action.oneShot)
        check(delegate->answers["call"] <= 1);
    plugin->dispose();
    stage.settle();
    return 0;
}
