// The application's root view controller: the runtime's view controller with a black page background
// once a page has loaded.
#pragma once

#include "runtime/HYBViewController.h"

namespace runtime {

class MainViewController : public HYBViewController {
public:
    void webViewDidFinishLoad(platform::WebView& webView) override;
};

} // namespace runtime
