#include "runtime/HYBCommandDelegateImpl.h"

#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Bundle.h"
#include "platform/web/WebView.h"
#include "runtime/HYBWhitelist.h"

#include <string>
#include <utility>
#include <vector>

namespace runtime {
namespace {

constexpr std::size_t kMaxCallbackIdLength = 100;

// Whether the calling thread is the main thread; asked once per thread (answers flow through here).
bool isOnMainThread() {
    thread_local const bool isMain = platform::RunLoop::isMainThread();
    return isMain;
}

bool isCallbackIdCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
}

// The bytes of the texts in a message and in its containers' direct members: nearly all of a large answer.
std::size_t textBytesOf(const platform::Value& message) {
    auto own = [](const platform::Value& value) -> std::size_t {
        const std::string* text = value.getString();
        return text ? text->size() + 2 : 8;
    };
    std::size_t bytes = own(message);
    if (const platform::Array* array = message.getArray()) {
        for (const platform::Value& member : *array)
            bytes += own(member);
    } else if (const platform::Dictionary* dictionary = message.getDictionary()) {
        for (const auto& entry : *dictionary)
            bytes += entry.key.size() + 4 + own(entry.value);
    }
    return bytes;
}

} // namespace

HYBCommandDelegateImpl::HYBCommandDelegateImpl(std::weak_ptr<HYBCommandHost> viewController,
                                               std::weak_ptr<HYBCommandQueue> commandQueue)
    : m_viewController(std::move(viewController)), m_commandQueue(std::move(commandQueue)) {}

std::optional<std::string> HYBCommandDelegateImpl::pathForResource(std::string_view resourcePath) {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    if (!host)
        return std::nullopt;
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = resourcePath.find('/', start);
        pieces.emplace_back(resourcePath.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    const std::string fileName = pieces.back();
    pieces.pop_back();
    std::string directory = host->wwwFolderName();
    if (!pieces.empty()) {
        std::string rest;
        for (std::size_t i = 0; i < pieces.size(); ++i)
            rest += (i ? "/" : "") + pieces[i];
        directory += "/" + rest;
    }
    // The bundle refuses names and folders with ".." parts, so a path cannot leave the bundle.
    std::string path = platform::Bundle::main().pathForResource(fileName, "", directory);
    if (path.empty())
        return std::nullopt;
    return path;
}

std::shared_ptr<HYBPlugin> HYBCommandDelegateImpl::getCommandInstance(std::string_view pluginName) {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    return host ? host->getCommandInstance(pluginName) : nullptr;
}

bool HYBCommandDelegateImpl::isValidCallbackId(const std::optional<std::string>& callbackId) {
    if (!callbackId || callbackId->size() > kMaxCallbackIdLength)
        return false;
    for (char c : *callbackId)
        if (!isCallbackIdCharacter(c))
            return false;
    return true;
}

std::string HYBCommandDelegateImpl::callbackScript(const std::optional<HYBPluginResult>& result, std::string_view callbackId) {
    const int status = result ? static_cast<int>(result->status()) : 0;
    const int keepCallback = result && result->keepCallback() ? 1 : 0;
    std::string script;
    // Room for the texts the message holds, so that a large answer (a file's bytes) is written once into
    // the script and never moved to a bigger buffer; escapes beyond that slack may still grow it.
    const std::size_t texts = result ? textBytesOf(result->message()) : 0;
    script.reserve(64 + callbackId.size() + texts + texts / 64);
    script += "hybrid.require('hybrid/exec').nativeCallback('";
    script += callbackId;
    script += "',";
    script += std::to_string(status);
    script += ',';
    // The message's JSON text, as the result's argumentsAsJSON gives it, written straight into the script.
    if (!result)
        script += "null";
    else
        result->appendArgumentsAsJSON(script);
    script += ',';
    script += keepCallback ? '1' : '0';
    script += ')';
    return script;
}

void HYBCommandDelegateImpl::sendPluginResult(std::optional<HYBPluginResult> result, std::optional<std::string> callbackId) {
    if (callbackId && *callbackId == "INVALID")
        return;
    if (!isValidCallbackId(callbackId)) {
        platform::Log::write("Invalid callback id received by sendPluginResult");
        return;
    }
    std::string script = callbackScript(result, *callbackId);
    // The message is in the script now: a large one (a file's bytes) must not be held twice while the
    // script travels to the page.
    result.reset();
    evalJsHelper(std::move(script));
}

void HYBCommandDelegateImpl::evalJs(std::string js) { evalJs(std::move(js), true); }

void HYBCommandDelegateImpl::evalJs(std::string js, bool scheduledOnRunLoop) {
    std::string wrapped = "try{hybrid.require('hybrid/exec').nativeEvalAndFetch(function(){" + js +
                          "})}catch(e){console.log('exeption nativeEvalAndFetch : '+e);};";
    if (scheduledOnRunLoop)
        evalJsHelper(std::move(wrapped));
    else
        evalJsHelper2(std::move(wrapped));
}

void HYBCommandDelegateImpl::runInBackground(std::function<void()> block) {
    platform::DispatchQueue::global()->async(std::move(block));
}

std::string HYBCommandDelegateImpl::userAgent() {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    return host ? host->userAgent() : std::string();
}

bool HYBCommandDelegateImpl::URLIsWhitelisted(const platform::URL& url) {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    if (!host)
        return false;
    const HYBWhitelist* whitelist = host->whitelist();
    if (!whitelist || !whitelist->schemeIsAllowed(url.scheme()))
        return true;
    return whitelist->URLIsAllowed(url, false);
}

platform::Dictionary HYBCommandDelegateImpl::settings() {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    return host ? host->settings() : platform::Dictionary();
}

void HYBCommandDelegateImpl::flushCommandQueueWithDelayedJs() {
    std::shared_ptr<HYBCommandQueue> queue = m_commandQueue.lock();
    if (!queue)
        return;
    m_delayResponses = true;
    struct Restore {
        bool& flag;
        ~Restore() { flag = false; }
    } restore{m_delayResponses};
    queue->executePending();
}

void HYBCommandDelegateImpl::evalJsHelper(std::string js) {
    std::shared_ptr<HYBCommandQueue> queue = m_commandQueue.lock();
    if (queue && isOnMainThread() && !m_delayResponses && queue->currentlyExecuting()) {
        evalJsHelper2(std::move(js));
        return;
    }
    // Counted when handed over, so that the pass that made it knows the page will hear from us.
    if (queue)
        queue->pageWillBeVisited();
    platform::DispatchQueue::main()->async([weak = weak_from_this(), js = std::move(js)]() mutable {
        if (std::shared_ptr<HYBCommandDelegateImpl> self = weak.lock())
            self->evalJsHelper2(std::move(js));
    });
}

void HYBCommandDelegateImpl::evalJsHelper2(std::string js) {
    std::shared_ptr<HYBCommandHost> host = m_viewController.lock();
    std::shared_ptr<platform::WebView> webView = host ? host->webView() : nullptr;
    if (!webView)
        return;
    if (std::shared_ptr<HYBCommandQueue> queue = m_commandQueue.lock())
        queue->pageWillBeVisited();
    // The evaluation is not waited for: the commands it returns are queued and run when its text comes
    // back (evaluations answer in the order they were asked for, so returned batches keep that order).
    webView->evaluateJavaScript(std::move(js), [queue = m_commandQueue](std::string commands) {
        std::shared_ptr<HYBCommandQueue> target = queue.lock();
        if (!target)
            return;
        target->enqueueOwnedCommandBatch(std::move(commands));
        target->executePending();
    });
}

} // namespace runtime
