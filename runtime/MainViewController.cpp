#include "runtime/MainViewController.h"

#include "platform/core/Color.h"

namespace runtime {

void MainViewController::webViewDidFinishLoad(platform::WebView& webView) {
    webView.setBackgroundColor(platform::Color::black());
    HYBViewController::webViewDidFinishLoad(webView);
}

} // namespace runtime
