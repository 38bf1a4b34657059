// Sits between a web view and the object that really handles its events (the wrapped delegate): the
// wrapped delegate decides every navigation first, sub-frame requests that nothing can load are refused
// (mailto, tel, sms, another application's URL, and the blob:, data: and about: documents the web view makes itself,
// excepted), and the raw start, finish and fail callbacks of every frame,
// redirect and nested document become exactly one start and then exactly one finish or fail per
// top-level page load. Only those reach the wrapped delegate.
//
// Guarantees:
// - Main thread only (web views call their delegates there; the old-system polls run on the main run
//   loop).
// - The wrapped delegate is held weakly; when it is gone every navigation is allowed and nothing is
//   forwarded. Calls to it pass on the same web view, request and error that came in.
// - Each forwarded start is followed by exactly one forwarded finish or fail before the next start: a
//   nested document failing while others are open ends the page with that failure (back to idle), and
//   the loads of a cancelled page that end afterwards are counted off, so a later start counts afresh.
//   A navigation that begins while the previous one never started ends that one with a synthetic
//   failure (domain "HYBWebViewDelegate", code 1).
// - Systems below 6.0 report no navigation question for some loads; there the delegate watches a load
//   token in the page (every 0.05 s, the start for at most 50 polls). Pending polls hold the delegate
//   and the web view weakly and stop when either is gone.
// - Owned by its web view's owner through a shared_ptr; the web view holds it weakly.
#pragma once

#include "platform/web/WebView.h"
#include "platform/web/WebViewDelegate.h"

#include <cstdint>
#include <memory>
#include <string>

namespace runtime {

inline constexpr const char* kHYBWebViewDelegateErrorDomain = "HYBWebViewDelegate";

class HYBWebViewDelegate : public platform::WebViewDelegate, public std::enable_shared_from_this<HYBWebViewDelegate> {
public:
    enum class State : std::int64_t {
        Idle = 0,
        WaitingForLoadStart = 1,
        WaitingForLoadFinish = 2,
        OldSystemPollingForLoadStart = 3,
        OldSystemPollingForLoadFinish = 4,
        Cancelled = 5,
    };
    static constexpr int kMaxLoadStartPolls = 50;
    static constexpr double kPollInterval = 0.05;

    // initWithDelegate: keeps the wrapped delegate weakly; load count unknown (-1), state idle.
    explicit HYBWebViewDelegate(std::weak_ptr<platform::WebViewDelegate> delegate);

    bool shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                    platform::WebViewNavigationType navigationType) override;
    void webViewDidStartLoad(platform::WebView& webView) override;
    void webViewDidFinishLoad(platform::WebView& webView) override;
    void didFailLoadWithError(platform::WebView& webView, const platform::Error& error) override;

    State state() const { return m_state; }
    // Open top-level loads of the current navigation; -1 when unknown.
    std::int64_t loadCount() const { return m_loadCount; }

    // Whether both requests have URLs that are equal up to their first "#".
    static bool isEqualToRequestAfterStrippingFragments(const platform::URLRequest& a, const platform::URLRequest& b);
    // Whether the request may load in a sub-frame: the schemes mailto, tel, sms, blob, data and about (exactly
    // as written), else whatever the URL loading system can handle or another application opens.
    static bool shouldLoadRequest(const platform::URLRequest& request);

private:
    void forwardStart(platform::WebView& webView);
    void forwardFinish(platform::WebView& webView);
    void forwardFail(platform::WebView& webView, const platform::Error& error);
    // The loads of a page that already ended (cancelled) close one by one; none is forwarded.
    void countOffClosedLoad();

    bool isPageLoaded(platform::WebView& webView);
    bool isJsLoadTokenSet(platform::WebView& webView);
    void setLoadToken(platform::WebView& webView);
    std::string evalForCurrentURL(platform::WebView& webView);
    void pollForPageLoadStart(platform::WebView& webView);
    void pollForPageLoadFinish(platform::WebView& webView);
    void schedulePoll(platform::WebView& webView, void (HYBWebViewDelegate::*poll)(platform::WebView&));

    std::weak_ptr<platform::WebViewDelegate> m_delegate;
    std::int64_t m_loadCount = -1;
    State m_state = State::Idle;
    std::int64_t m_curLoadToken = 0;
    std::int64_t m_loadStartPollCount = 0;
};

} // namespace runtime
