// The logger that writes each line to standard error, optionally wrapped in colour escapes chosen per
// flag (and context) or per tag. One shared instance per process; its colour mode is read once from the
// environment ("XcodeColors", "TERM").
//
// Thread: lines are built and written only on the logger's queue; the colour settings reach that queue
// through the logging queue, so each takes effect after the messages queued before it.
#pragma once

#include "pushlog/PULSEAbstractLogger.h"
#include "pushlog/PULSETTYLoggerColorProfile.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pushlog {

class PULSETTYLogger : public PULSEAbstractLogger {
public:
    // The one instance; its mode comes from the environment at the first call.
    static const std::shared_ptr<PULSETTYLogger>& sharedInstance();
    // A logger for the given colour mode, or null once the shared instance exists.
    static std::shared_ptr<PULSETTYLogger> create(TerminalColorMode mode);

    TerminalColorMode colorMode() const { return m_mode; }

    // Waits for the logging queue and this logger's queue; not from either.
    bool colorsEnabled();
    // Enabling with no profiles set loads the default profiles (error and warning).
    void setColorsEnabled(bool enabled);
    void loadDefaultColorProfiles();

    void setForegroundColor(std::optional<PULSECLIColor> foreground, std::optional<PULSECLIColor> background,
                            std::uint64_t flagMask, std::int64_t context = kEveryContext);
    void setForegroundColor(std::optional<PULSECLIColor> foreground, std::optional<PULSECLIColor> background,
                            const platform::Value& tag);
    // Removes the profile of the mask for context 0 (not one set for every context).
    void clearColorsForFlag(std::uint64_t flagMask, std::int64_t context = 0);
    void clearColorsForTag(const platform::Value& tag);
    void clearColorsForAllFlags();
    void clearColorsForAllTags();
    void clearAllColors();

    // A plain field: set it before the logger is added.
    bool automaticallyAppendNewlineForCustomFormatters() const { return m_appendNewline.load(); }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool append) { m_appendNewline.store(append); }

    void logMessage(const PULSELogMessage& message) override;

    // The colours of a message (on the logger's queue): the tag's profile, else the first profile of
    // the message's context whose mask meets the flag, else the last such profile for every context.
    const PULSETTYLoggerColorProfile* profileForMessage(const PULSELogMessage& message) const;

    // The bytes written for one message: the colour codes around either the formatted text (with a
    // newline when asked for and missing) or the plain line "<time> <app>[<pid>:<thread>] <text>\n".
    static std::string composeLine(const PULSELogMessage& message, const std::string& text, bool formatted,
                                   const PULSETTYLoggerColorProfile* profile, bool appendNewline,
                                   const std::string& appName, const std::string& processID);
    // "yyyy-MM-dd HH:mm:ss:SSS" in the device's time zone.
    static std::string timestampText(platform::Date date);

    const std::string& appName() const { return m_appName; }
    const std::string& processID() const { return m_processID; }

private:
    struct Token {};

public:
    PULSETTYLogger(Token, TerminalColorMode mode);

private:
    std::shared_ptr<PULSETTYLogger> self() { return std::static_pointer_cast<PULSETTYLogger>(shared_from_this()); }

    TerminalColorMode m_mode;
    std::string m_appName;
    std::string m_processID;
    // Touched only on the logger's queue.
    bool m_colorsEnabled = false;
    std::vector<PULSETTYLoggerColorProfile> m_colorProfilesArray;
    std::vector<std::pair<platform::Value, PULSETTYLoggerColorProfile>> m_colorProfilesDict;
    std::atomic<bool> m_appendNewline{true};
};

} // namespace pushlog
