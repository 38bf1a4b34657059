// A view controller's part for a page on the real engine with only the file plug-in: it owns the command
// queue, the delegate and the registry, fetches the page's commands when the page signals with a "hyb:"
// frame, and counts the loads that ended. For end-to-end tests and benchmarks of the file plug-in.
#pragma once

#include "platform/runloop/RunLoop.h"
#include "platform/web/WebView.h"
#include "runtime/HYBCommandDelegateImpl.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBPluginRegistry.h"
#include "webengine/WebKitGtkWebView.h"

#include <memory>
#include <string>
#include <string_view>

namespace hybtest {

class FilePageHost : public runtime::HYBCommandHost, public platform::WebViewDelegate, public std::enable_shared_from_this<FilePageHost> {
public:
    std::shared_ptr<webengine::WebKitGtkWebView> view;
    std::shared_ptr<runtime::HYBCommandQueue> queue;
    std::shared_ptr<runtime::HYBCommandDelegateImpl> delegate;
    runtime::HYBPluginRegistry registry{platform::Dictionary{{"file", "HYBFile"}}};
    int loads = 0;

    void start()
    {
        queue = std::make_shared<runtime::HYBCommandQueue>(weak_from_this());
        delegate = std::make_shared<runtime::HYBCommandDelegateImpl>(weak_from_this(), queue);
        registry.setWebView(view);
        registry.setCommandDelegate(delegate);
    }

    std::shared_ptr<platform::WebView> webView() const override { return view; }
    std::shared_ptr<runtime::HYBCommandDelegate> commandDelegate() const override { return delegate; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view name) override { return registry.getCommandInstance(name); }
    platform::Dictionary settings() const override { return {}; }
    const runtime::HYBWhitelist* whitelist() const override { return nullptr; }
    std::string userAgent() override { return {}; }
    std::string wwwFolderName() const override { return "www"; }

    bool shouldStartLoadWithRequest(platform::WebView&, const platform::URLRequest& request, platform::WebViewNavigationType) override
    {
        if (request.scheme() != "hyb")
            return true;
        std::weak_ptr<runtime::HYBCommandQueue> weak = queue;
        platform::RunLoop::main().perform([weak] {
            if (auto q = weak.lock()) {
                q->fetchCommandsFromJs();
                q->executePending();
            }
        });
        return false;
    }
    void webViewDidFinishLoad(platform::WebView&) override { ++loads; }
    void didFailLoadWithError(platform::WebView&, const platform::Error&) override { ++loads; }
};

} // namespace hybtest
