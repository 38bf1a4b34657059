#include "stats/MXStatConfig.h"

namespace stats {

MXStatConfig& MXStatConfig::getInstance() {
    static auto* instance = new MXStatConfig; // read from every queue until the process ends
    return *instance;
}

void MXStatConfig::resetToDefaults() {
    std::lock_guard lock(m_mutex);
    m_settings = Settings{};
    m_appPropertySource = nullptr;
}

void MXStatConfig::setAppPropertySource(AppPropertySource source) {
    std::lock_guard lock(m_mutex);
    m_appPropertySource = std::move(source);
}

platform::Value MXStatConfig::getCustomProperty(const std::string& key, const platform::Value& defaultValue) const {
    AppPropertySource source;
    {
        std::lock_guard lock(m_mutex);
        source = m_appPropertySource;
    }
    if (!source)
        return defaultValue;
    platform::Value value = source(key);
    return value.isNull() ? defaultValue : value;
}

} // namespace stats
