// The application's answer to the engine until the runtime's view controller drives the web view: every
// navigation loads, sub-resources go through platform's URL loading, and the end of the first page load is reported.
#pragma once

#include "webengine/EngineClient.h"

#include <functional>

namespace app {

class ShellClient : public webengine::EngineClient {
public:
    // `onLoaded` runs after the first page load ends (with the error when it failed).
    explicit ShellClient(std::function<void(const platform::Error*)> onLoaded) : m_onLoaded(std::move(onLoaded)) {}

    bool shouldStartLoad(const webengine::NavigationRequest& request) override;
    void didStartLoad() override {}
    void didFinishLoad() override;
    void didFailLoad(const platform::Error& error) override;
    bool handleResourceRequest(const std::shared_ptr<webengine::RoutedRequest>&) override { return false; }

private:
    std::function<void(const platform::Error*)> m_onLoaded;
};

} // namespace app
