// The push client's alert: one error line "<title>\n<message>" through PULSELog. It shows no dialog.
#pragma once

#include <string>

namespace push {

void PULSEAlert(const std::string& title, const std::string& message);

} // namespace push
