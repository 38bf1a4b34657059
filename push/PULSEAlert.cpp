#include "push/PULSEAlert.h"

#include "push/PULSELogging.h"

namespace push {

void PULSEAlert(const std::string& title, const std::string& message) {
    PULSE_LOG_ERROR("%s\n%s", title.c_str(), message.c_str());
}

} // namespace push
