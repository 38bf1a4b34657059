#include "pushlog/PULSETTYLogger.h"

#include "pushlog/PULSELog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace pushlog {

namespace {

std::atomic<bool> g_sharedInstanceMade{false};

std::string processName() {
    const char* name = program_invocation_short_name;
    return name && *name ? std::string(name) : std::string("<UnnamedApp>");
}

} // namespace

PULSETTYLogger::PULSETTYLogger(Token, TerminalColorMode mode)
    : PULSEAbstractLogger("pulse.logging.ttyLogger"), m_mode(mode), m_appName(processName()),
      m_processID(std::to_string(static_cast<int>(getpid()))) {
    m_colorProfilesArray.reserve(8);
}

const std::shared_ptr<PULSETTYLogger>& PULSETTYLogger::sharedInstance() {
    // Never destroyed: any thread may log while the process ends.
    static const auto* instance = new std::shared_ptr<PULSETTYLogger>([] {
        const TerminalColorMode mode =
            PULSETTYLoggerColorProfile::modeForEnvironment(std::getenv("XcodeColors"), std::getenv("TERM"));
        auto logger = std::make_shared<PULSETTYLogger>(Token{}, mode);
        g_sharedInstanceMade = true;
        return logger;
    }());
    return *instance;
}

std::shared_ptr<PULSETTYLogger> PULSETTYLogger::create(TerminalColorMode mode) {
    if (g_sharedInstanceMade)
        return nullptr;
    return std::make_shared<PULSETTYLogger>(Token{}, mode);
}

bool PULSETTYLogger::colorsEnabled() {
    bool enabled = false;
    performOnLoggerQueueAndWait([&] { enabled = m_colorsEnabled; });
    return enabled;
}

void PULSETTYLogger::setColorsEnabled(bool enabled) {
    auto logger = self();
    PULSELog::loggingQueue()->async([logger, enabled] {
        logger->loggerQueue()->async([logger, enabled] {
            logger->m_colorsEnabled = enabled;
            if (logger->m_colorProfilesArray.empty())
                logger->loadDefaultColorProfiles();
        });
    });
}

void PULSETTYLogger::loadDefaultColorProfiles() {
    setForegroundColor(PULSECLIColor(214 / 255.0, 57 / 255.0, 30 / 255.0), std::nullopt, 1);
    setForegroundColor(PULSECLIColor(204 / 255.0, 121 / 255.0, 32 / 255.0), std::nullopt, 2);
}

void PULSETTYLogger::setForegroundColor(std::optional<PULSECLIColor> foreground,
                                        std::optional<PULSECLIColor> background, std::uint64_t flagMask,
                                        std::int64_t context) {
    auto logger = self();
    performOnLoggerQueue([logger, foreground, background, flagMask, context] {
        PULSETTYLoggerColorProfile profile(foreground, background, flagMask, context, logger->m_mode);
        auto& profiles = logger->m_colorProfilesArray;
        auto same = std::find_if(profiles.begin(), profiles.end(), [&](const auto& p) {
            return p.mask == flagMask && p.context == context;
        });
        if (same != profiles.end())
            *same = std::move(profile);
        else
            profiles.push_back(std::move(profile));
    });
}

void PULSETTYLogger::setForegroundColor(std::optional<PULSECLIColor> foreground,
                                        std::optional<PULSECLIColor> background, const platform::Value& tag) {
    auto logger = self();
    performOnLoggerQueue([logger, foreground, background, tag] {
        PULSETTYLoggerColorProfile profile(foreground, background, 0, 0, logger->m_mode);
        auto& byTag = logger->m_colorProfilesDict;
        auto same = std::find_if(byTag.begin(), byTag.end(), [&](const auto& entry) { return entry.first == tag; });
        if (same != byTag.end())
            same->second = std::move(profile);
        else
            byTag.emplace_back(tag, std::move(profile));
    });
}

void PULSETTYLogger::clearColorsForFlag(std::uint64_t flagMask, std::int64_t context) {
    auto logger = self();
    performOnLoggerQueue([logger, flagMask, context] {
        auto& profiles = logger->m_colorProfilesArray;
        auto same = std::find_if(profiles.begin(), profiles.end(), [&](const auto& p) {
            return p.mask == flagMask && p.context == context;
        });
        if (same != profiles.end())
            profiles.erase(same);
    });
}

void PULSETTYLogger::clearColorsForTag(const platform::Value& tag) {
    auto logger = self();
    performOnLoggerQueue([logger, tag] {
        auto& byTag = logger->m_colorProfilesDict;
        std::erase_if(byTag, [&](const auto& entry) { return entry.first == tag; });
    });
}

void PULSETTYLogger::clearColorsForAllFlags() {
    auto logger = self();
    performOnLoggerQueue([logger] { logger->m_colorProfilesArray.clear(); });
}

void PULSETTYLogger::clearColorsForAllTags() {
    auto logger = self();
    performOnLoggerQueue([logger] { logger->m_colorProfilesDict.clear(); });
}

void PULSETTYLogger::clearAllColors() {
    auto logger = self();
    performOnLoggerQueue([logger] {
        logger->m_colorProfilesArray.clear();
        logger->m_colorProfilesDict.clear();
    });
}

const PULSETTYLoggerColorProfile* PULSETTYLogger::profileForMessage(const PULSELogMessage& message) const {
    if (!message.tag().isNull()) {
        for (const auto& [tag, profile] : m_colorProfilesDict)
            if (tag == message.tag())
                return &profile;
    }
    const PULSETTYLoggerColorProfile* everyContext = nullptr;
    for (const PULSETTYLoggerColorProfile& profile : m_colorProfilesArray) {
        if ((profile.mask & message.flag()) == 0)
            continue;
        if (profile.context == message.context())
            return &profile;
        if (profile.context == kEveryContext)
            everyContext = &profile;
    }
    return everyContext;
}

std::string PULSETTYLogger::timestampText(platform::Date date) {
    const double floorSeconds = std::floor(date.secondsSince1970);
    const auto t = static_cast<std::time_t>(floorSeconds);
    std::tm parts{};
    localtime_r(&t, &parts);
    int millis = static_cast<int>((date.secondsSince1970 - floorSeconds) * 1000.0);
    millis = std::clamp(millis, 0, 999);
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld:%03d",
                                     static_cast<long>(parts.tm_year + 1900), static_cast<long>(parts.tm_mon + 1),
                                     static_cast<long>(parts.tm_mday), static_cast<long>(parts.tm_hour),
                                     static_cast<long>(parts.tm_min), static_cast<long>(parts.tm_sec), millis);
    return std::string(buffer, static_cast<std::size_t>(std::clamp(length, 0, 23)));
}

std::string PULSETTYLogger::composeLine(const PULSELogMessage& message, const std::string& text, bool formatted,
                                        const PULSETTYLoggerColorProfile* profile, bool appendNewline,
                                        const std::string& appName, const std::string& processID) {
    static const auto* noCode = new std::string; // any thread may log while the process ends
    const std::string& none = *noCode;
    const std::string& fgCode = profile ? profile->fgCode : none;
    const std::string& bgCode = profile ? profile->bgCode : none;
    const std::string& resetCode = profile ? profile->resetCode : none;
    const bool endsInNewline = !text.empty() && text.back() == '\n';
    std::string line;
    line.reserve(text.size() + 96);
    line += fgCode;
    line += bgCode;
    if (formatted) {
        line += text;
        if (appendNewline && !endsInNewline)
            line += '\n';
    } else {
        line += timestampText(message.timestamp());
        line += ' ';
        line += appName;
        line += '[';
        line += processID;
        line += ':';
        line.append(message.threadID(), 0, 8);
        line += "] ";
        line += text;
        if (!endsInNewline)
            line += '\n';
    }
    line += resetCode;
    return line;
}

void PULSETTYLogger::logMessage(const PULSELogMessage& message) {
    LogText text = message.messageText();
    if (m_logFormatter)
        text = m_logFormatter->formatLogMessage(message);
    if (!text)
        return;
    const bool formatted = text != message.messageText();
    const PULSETTYLoggerColorProfile* profile = m_colorsEnabled ? profileForMessage(message) : nullptr;
    const std::string line =
        composeLine(message, *text, formatted, profile, m_appendNewline.load(), m_appName, m_processID);
    // One write per line; a short or failed write is not retried.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

} // namespace pushlog
