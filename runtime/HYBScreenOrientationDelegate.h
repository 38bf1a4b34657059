// The orientation questions a screen of the runtime answers, and that screens shown over it (the
// in-app browser's, the scanner's) pass on to the view controller below them.
#pragma once

#include "platform/system/InterfaceOrientation.h"

namespace runtime {

class HYBScreenOrientationDelegate {
public:
    virtual ~HYBScreenOrientationDelegate() = default;

    virtual platform::InterfaceOrientationMask supportedInterfaceOrientations() = 0;
    virtual bool shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) = 0;
    virtual bool shouldAutorotate() = 0;
};

} // namespace runtime
