// Page views and page flows: which pages of the application the user looked at and for how long.
//
// PULSEPage is one view (start time, whole seconds of viewing, name); PULSEPageFlow the recorded pages
// ({name: seconds} in recording order) and the open ones (started, not stopped, oldest first);
// PULSEPageFlowSession the page-flow controller the client holds: the current page, the stack of open
// pages, the flow saved when the application goes inactive under "__PULSEPFLastFlow" in the cache store
// and taken back (once) at the next start. The HTTP statistics session's session-end report carries
// the recorded pages.
//
// Times are seconds on PULSECorrectedTime, as doubles. A stopped view lasts at least 1 second when it
// lasted anything at all.
//
// Guarantees:
// - A view logged with a known length must last at least 1 second; a length of 0 or less (or one that
//   is not a number) is refused with an error line, so no open page with start time 0 is ever made.
// - Archived as "PULSEPage" ("StartTimeKey" whole seconds, "DurationKey", "PageNameKey") and
//   "PULSEPageFlow" ("pageFlow", "tempFlow", "reportDays", "reportTime", "duration").
// - Thread: no lock; the client thread owns all three.
#pragma once

#include "platform/core/Value.h"
#include "platform/formats/KeyedArchiver.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace push {

class PULSEPage : public platform::KeyedArchivable {
public:
    static constexpr const char* kClassName = "PULSEPage";
    static constexpr const char* kUnknownName = "unknow";

    explicit PULSEPage(std::optional<std::string> name = std::nullopt);
    explicit PULSEPage(const platform::KeyedUnarchiver& coder);

    void PFStart(double time) { m_startTime = time; }
    // Duration = time - start, cut toward zero; a view stopped within its first second gets 1.
    void PFStop(double time);

    double startTime() const { return m_startTime; }
    void setStartTime(double time) { m_startTime = time; }
    std::int64_t duration() const { return m_duration; }
    void setDuration(std::int64_t duration) { m_duration = duration; }
    const std::string& pageName() const { return m_pageName; }
    std::shared_ptr<PULSEPage> copy() const { return std::make_shared<PULSEPage>(*this); }

    std::string archiveClassName() const override { return kClassName; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;

private:
    double m_startTime = 0;
    std::int64_t m_duration = 0;
    std::string m_pageName;
};

class PULSEPageFlow : public platform::KeyedArchivable {
public:
    static constexpr const char* kClassName = "PULSEPageFlow";
    static constexpr const char* kLastFlowKey = "__PULSEPFLastFlow";

    PULSEPageFlow() = default;
    explicit PULSEPageFlow(const platform::KeyedUnarchiver& coder);
    // A copy with copies of both lists (open pages copied too).
    std::shared_ptr<PULSEPageFlow> copy() const;

    // A stopped page is recorded; a running one (duration 0) joins the open pages.
    void AddPage(const std::shared_ptr<PULSEPage>& page);
    // Stores the recorded pages under "__PULSEPFLastFlow".
    void writeToFile() const;
    // Takes the stored recorded pages (the key is removed); true when there were some.
    bool readFromFile();

    const platform::Array& pageFlow() const { return m_pageFlow; }
    std::vector<std::shared_ptr<PULSEPage>>& tempFlow() { return m_tempFlow; }
    const std::vector<std::shared_ptr<PULSEPage>>& tempFlow() const { return m_tempFlow; }
    std::uint64_t duration() const { return m_duration; }

    std::string archiveClassName() const override { return kClassName; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;

private:
    platform::Array m_pageFlow;
    std::vector<std::shared_ptr<PULSEPage>> m_tempFlow;
    std::uint64_t m_duration = 0;
    std::string m_reportDays;
    std::string m_reportTime;
};

class PULSEPageFlowSession {
public:
    static constexpr const char* kMalformedLogLine = "缺少页面Log时间或者页面的名称";

    static void registerArchiveClasses();

    void setupSession();
    void closeSession();
    // setupSession, then the stored flow and the pages open at the last save.
    void trySetupSession();

    void setViewStart(const std::optional<std::string>& name);
    void setViewStop(const std::optional<std::string>& name);
    // [name, whole seconds]: recorded at once.
    void setViewLogSecond(const platform::Array& view);

    void resetCurrentPage(double time);
    // Going inactive: stops every open page and the current one at the time and stores the flow.
    void savePageFlowWithTime(double time);

    const std::shared_ptr<PULSEPage>& currentPage() const { return m_currentPage; }
    const std::shared_ptr<PULSEPageFlow>& currentFlow() const { return m_currentFlow; }
    double startTime() const { return m_startTime; }
    bool isSetup() const { return m_isSetup; }

private:
    void resumeLastFlow();
    void p_resumePagesFromFileWithTime(double time);
    bool p_stopPage(const std::string& name, double time);
    void p_movePageFromTempFlowToCurrentFlow(const std::shared_ptr<PULSEPage>& page);

    bool m_isSetup = false;
    std::shared_ptr<PULSEPageFlow> m_currentFlow;
    std::shared_ptr<PULSEPage> m_currentPage;
    double m_startTime = 0;
    std::shared_ptr<PULSEPage> m_tempPage;
    std::vector<std::shared_ptr<PULSEPage>> m_tempFlow;
};

} // namespace push
