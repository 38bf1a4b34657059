#include "app/ShellClient.h"

namespace app {

bool ShellClient::shouldStartLoad(const webengine::NavigationRequest& request)
{
    // The bridge's "hyb:" signals have no one to answer them yet; they must not load.
    return request.url.rfind("hyb:", 0) != 0;
}

void ShellClient::didFinishLoad()
{
    if (auto onLoaded = std::exchange(m_onLoaded, nullptr))
        onLoaded(nullptr);
}

void ShellClient::didFailLoad(const platform::Error& error)
{
    if (auto onLoaded = std::exchange(m_onLoaded, nullptr))
        onLoaded(&error);
}

} // namespace app
