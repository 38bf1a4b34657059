#include "messenger/MMApiRegister.h"

namespace messenger {

bool MMApiRegister::registerApp(const std::string& /*appId*/) { return true; }

bool MMApiRegister::registerApp(const std::string& /*appId*/, const std::string& /*description*/) { return true; }

} // namespace messenger
