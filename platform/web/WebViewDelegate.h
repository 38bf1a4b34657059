// What a web view tells its delegate, on the main thread, for every frame of every load (nested frames,
// redirects and cancelled loads included; see WebView.h for the sequences).
//
// Every method has a default that means "the delegate does not handle this": a delegate that does not
// override shouldStartLoadWithRequest lets every load happen.
#pragma once

#include "platform/core/Error.h"
#include "platform/net/URLRequest.h"

namespace platform {

class WebView;

// How a navigation began, the platform's numbers.
enum class WebViewNavigationType {
    LinkClicked = 0,
    FormSubmitted = 1,
    BackForward = 2,
    Reload = 3,
    FormResubmitted = 4,
    Other = 5,
};

class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;

    // Asked before any frame loads a request (top-level, nested frame, redirect, fragment change).
    // false: the frame does not load it and no further callback comes for it.
    virtual bool shouldStartLoadWithRequest(WebView& /*webView*/, const URLRequest& /*request*/,
                                            WebViewNavigationType /*navigationType*/) {
        return true;
    }
    // A frame started loading.
    virtual void webViewDidStartLoad(WebView& /*webView*/) {}
    // A frame finished loading.
    virtual void webViewDidFinishLoad(WebView& /*webView*/) {}
    // A frame's load failed; code kURLErrorCancelled (-999) when it was cancelled (stop, or a newer
    // top-level navigation).
    virtual void didFailLoadWithError(WebView& /*webView*/, const Error& /*error*/) {}
};

} // namespace platform
