#include "runtime/HYBWebViewDelegate.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"

#include <utility>

namespace runtime {
namespace {

std::string withoutFragment(const std::string& text) { return text.substr(0, text.find('#')); }

bool isOldSystem() { return !platform::isVersionAtLeast(platform::Device::current().systemVersion(), "6.0"); }

long long asLong(std::int64_t value) { return static_cast<long long>(value); }

} // namespace

HYBWebViewDelegate::HYBWebViewDelegate(std::weak_ptr<platform::WebViewDelegate> delegate) : m_delegate(std::move(delegate)) {}

bool HYBWebViewDelegate::isEqualToRequestAfterStrippingFragments(const platform::URLRequest& a, const platform::URLRequest& b) {
    if (!a.url() || !b.url())
        return false;
    return withoutFragment(a.url()->absoluteString()) == withoutFragment(b.url()->absoluteString());
}

bool HYBWebViewDelegate::shouldLoadRequest(const platform::URLRequest& request) {
    if (request.url()) {
        const std::string& scheme = request.url()->scheme();
        // Besides the schemes other applications take, what the web view makes itself: a Blob's document, a
        // data: document and an about: one (a frame's "about:srcdoc" or "about:blank"), which load nothing.
        if (scheme == "mailto" || scheme == "tel" || scheme == "sms" || scheme == "blob" || scheme == "data" || scheme == "about")
            return true;
    }
    // Another application's URL loads nothing in a frame, and is handed over only for the page itself: an engine
    // that cannot tell the page's navigation from a frame's asks it as a frame's first, then as the page's.
    return platform::URLConnection::canHandleRequest(request) || platform::Application::shared().canOpenURL(request.urlString());
}

void HYBWebViewDelegate::forwardStart(platform::WebView& webView) {
    if (std::shared_ptr<platform::WebViewDelegate> delegate = m_delegate.lock())
        delegate->webViewDidStartLoad(webView);
}

void HYBWebViewDelegate::forwardFinish(platform::WebView& webView) {
    if (std::shared_ptr<platform::WebViewDelegate> delegate = m_delegate.lock())
        delegate->webViewDidFinishLoad(webView);
}

void HYBWebViewDelegate::forwardFail(platform::WebView& webView, const platform::Error& error) {
    if (std::shared_ptr<platform::WebViewDelegate> delegate = m_delegate.lock())
        delegate->didFailLoadWithError(webView, error);
}

void HYBWebViewDelegate::countOffClosedLoad() {
    if (m_loadCount > 0)
        --m_loadCount;
}

bool HYBWebViewDelegate::shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                                    platform::WebViewNavigationType navigationType) {
    if (std::shared_ptr<platform::WebViewDelegate> delegate = m_delegate.lock()) {
        if (!delegate->shouldStartLoadWithRequest(webView, request, navigationType))
            return false;
    }

    const platform::URLRequest* current = webView.request();
    const bool isTopLevel = &request == current ||
                            (request.url() && request.mainDocumentURL() && *request.url() == *request.mainDocumentURL());
    if (!isTopLevel)
        return shouldLoadRequest(request);

    if (current && isEqualToRequestAfterStrippingFragments(*current, request)) {
        // Same document: a fragment change inside the page, unless the page is being loaded again.
        if (evalForCurrentURL(webView) != request.urlString())
            return true;
    }

    switch (m_state) {
    case State::Idle:
    case State::OldSystemPollingForLoadStart:
    case State::Cancelled:
        m_loadCount = 0;
        m_state = State::WaitingForLoadStart;
        return true;
    case State::WaitingForLoadFinish:
        if (m_loadCount != 1)
            platform::Log::write(platform::formatString("HYBWebViewDelegate: Detected redirect when loadCount=%lld", asLong(m_loadCount)));
        return true;
    default: {
        const std::string description = platform::formatString("HYBWebViewDelegate: Navigation started when state=%lld",
                                                               asLong(static_cast<std::int64_t>(m_state)));
        platform::Log::write(description);
        m_loadCount = 0;
        m_state = State::WaitingForLoadStart;
        forwardFail(webView, platform::Error(kHYBWebViewDelegateErrorDomain, 1, description));
        return true;
    }
    }
}

void HYBWebViewDelegate::webViewDidStartLoad(platform::WebView& webView) {
    switch (m_state) {
    case State::Idle:
        if (isOldSystem()) {
            m_state = State::OldSystemPollingForLoadStart;
            m_loadStartPollCount = 0;
            setLoadToken(webView);
            pollForPageLoadStart(webView);
        }
        return;
    case State::WaitingForLoadStart:
        if (m_loadCount != 0)
            platform::Log::write(platform::formatString("HYBWebViewDelegate: Unexpected loadCount in didStart. count=%lld", asLong(m_loadCount)));
        m_state = State::WaitingForLoadFinish;
        m_loadCount = 1;
        forwardStart(webView);
        return;
    case State::WaitingForLoadFinish:
        ++m_loadCount;
        return;
    case State::OldSystemPollingForLoadStart:
        pollForPageLoadStart(webView);
        return;
    case State::OldSystemPollingForLoadFinish:
        pollForPageLoadFinish(webView);
        return;
    case State::Cancelled:
        m_state = State::WaitingForLoadFinish;
        ++m_loadCount;
        forwardStart(webView);
        return;
    }
    platform::Log::write(platform::formatString("HYBWebViewDelegate: Unexpected didStart with state=%lld loadCount=%lld",
                                                asLong(static_cast<std::int64_t>(m_state)), asLong(m_loadCount)));
}

void HYBWebViewDelegate::webViewDidFinishLoad(platform::WebView& webView) {
    switch (m_state) {
    case State::Idle:
        return;
    case State::Cancelled:
        countOffClosedLoad();
        return;
    case State::WaitingForLoadStart:
        platform::Log::write("HYBWebViewDelegate: Unexpected didFinish while waiting for load start.");
        return;
    case State::WaitingForLoadFinish:
        if (m_loadCount == 1) {
            m_state = State::Idle;
            m_loadCount = 0;
            forwardFinish(webView);
            return;
        }
        --m_loadCount;
        return;
    case State::OldSystemPollingForLoadStart:
        pollForPageLoadStart(webView);
        return;
    case State::OldSystemPollingForLoadFinish:
        pollForPageLoadFinish(webView);
        return;
    }
}

void HYBWebViewDelegate::didFailLoadWithError(platform::WebView& webView, const platform::Error& error) {
    const bool cancelled = error.code == platform::kURLErrorCancelled;
    switch (m_state) {
    case State::Idle:
        return;
    case State::Cancelled:
        countOffClosedLoad();
        return;
    case State::WaitingForLoadStart:
        m_state = cancelled ? State::Cancelled : State::Idle;
        forwardFail(webView, error);
        return;
    case State::WaitingForLoadFinish:
        if (cancelled) {
            m_state = State::Cancelled;
            --m_loadCount;
        } else {
            // The only open load failed, or a nested one failed while others are open: either way the
            // page ends here with this failure, and the loads still open end unforwarded.
            m_state = State::Idle;
            m_loadCount = -1;
        }
        forwardFail(webView, error);
        return;
    case State::OldSystemPollingForLoadStart:
        pollForPageLoadStart(webView);
        return;
    case State::OldSystemPollingForLoadFinish:
        pollForPageLoadFinish(webView);
        return;
    }
}

bool HYBWebViewDelegate::isPageLoaded(platform::WebView& webView) {
    const std::string readyState = webView.stringByEvaluatingJavaScriptFromString("document.readyState");
    return readyState == "loaded" || readyState == "complete";
}

bool HYBWebViewDelegate::isJsLoadTokenSet(platform::WebView& webView) {
    return webView.stringByEvaluatingJavaScriptFromString("window.__hybridLoadToken") == std::to_string(m_curLoadToken);
}

void HYBWebViewDelegate::setLoadToken(platform::WebView& webView) {
    ++m_curLoadToken;
    webView.stringByEvaluatingJavaScriptFromString("window.__hybridLoadToken=" + std::to_string(m_curLoadToken));
}

std::string HYBWebViewDelegate::evalForCurrentURL(platform::WebView& webView) {
    return webView.stringByEvaluatingJavaScriptFromString("location.href");
}

void HYBWebViewDelegate::schedulePoll(platform::WebView& webView, void (HYBWebViewDelegate::*poll)(platform::WebView&)) {
    std::weak_ptr<platform::View> weakView = webView.weak_from_this();
    platform::RunLoop::main().performAfterDelay(kPollInterval, [weakSelf = weak_from_this(), weakView, poll] {
        std::shared_ptr<HYBWebViewDelegate> self = weakSelf.lock();
        std::shared_ptr<platform::View> view = weakView.lock();
        if (self && view)
            ((*self).*poll)(static_cast<platform::WebView&>(*view));
    });
}

void HYBWebViewDelegate::pollForPageLoadStart(platform::WebView& webView) {
    if (m_state != State::OldSystemPollingForLoadStart)
        return;
    if (isJsLoadTokenSet(webView)) {
        // The old document is still there.
        if (++m_loadStartPollCount < kMaxLoadStartPolls)
            schedulePoll(webView, &HYBWebViewDelegate::pollForPageLoadStart);
        return;
    }
    m_state = State::OldSystemPollingForLoadFinish;
    setLoadToken(webView);
    forwardStart(webView);
    pollForPageLoadFinish(webView);
}

void HYBWebViewDelegate::pollForPageLoadFinish(platform::WebView& webView) {
    if (m_state != State::OldSystemPollingForLoadFinish)
        return;
    if (isPageLoaded(webView)) {
        m_state = State::Idle;
        forwardFinish(webView);
        return;
    }
    schedulePoll(webView, &HYBWebViewDelegate::pollForPageLoadFinish);
}

} // namespace runtime
