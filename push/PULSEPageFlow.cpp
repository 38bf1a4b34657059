#include "push/PULSEPageFlow.h"

#include "push/PULSEFileCacheController.h"
#include "push/PULSELogging.h"
#include "push/PULSEUtilities.h"

#include "platform/formats/ArchiveValue.h"

#include <algorithm>
#include <cmath>

namespace push {

namespace {

constexpr const char* kStartTimeKey = "StartTimeKey";
constexpr const char* kDurationKey = "DurationKey";
constexpr const char* kPageNameKey = "PageNameKey";
constexpr const char* kPageFlowKey = "pageFlow";
constexpr const char* kTempFlowKey = "tempFlow";
constexpr const char* kReportDaysKey = "reportDays";
constexpr const char* kReportTimeKey = "reportTime";
constexpr const char* kFlowDurationKey = "duration";

std::shared_ptr<PULSEFileCacheController> cacheStore() {
    return PULSEFileCacheController::shareInstanceWithType(PULSEFileCacheController::kCacheTypeCache);
}

} // namespace

// ---- PULSEPage ----

PULSEPage::PULSEPage(std::optional<std::string> name) : m_pageName(name ? std::move(*name) : kUnknownName) {}

PULSEPage::PULSEPage(const platform::KeyedUnarchiver& coder)
    : m_startTime(static_cast<double>(coder.decodeInt64(kStartTimeKey))), m_duration(coder.decodeInt64(kDurationKey)),
      m_pageName(coder.decodeString(kPageNameKey).value_or(kUnknownName)) {}

void PULSEPage::PFStop(double time) {
    const double d = time - m_startTime;
    if (d > 0 && d < 1) {
        m_duration = 1;
        return;
    }
    // NaN or a span beyond the integer range is no length at all.
    m_duration = std::isfinite(d) && std::fabs(d) < 9.2e18 ? static_cast<std::int64_t>(d) : 0;
}

void PULSEPage::encodeWithCoder(platform::KeyedArchiver& coder) const {
    const double start = std::isfinite(m_startTime) && std::fabs(m_startTime) < 9.2e18 ? m_startTime : 0;
    coder.encode(kStartTimeKey, static_cast<std::int64_t>(start));
    coder.encode(kDurationKey, m_duration);
    coder.encode(kPageNameKey, m_pageName);
}

// ---- PULSEPageFlow ----

PULSEPageFlow::PULSEPageFlow(const platform::KeyedUnarchiver& coder)
    : m_duration(static_cast<std::uint64_t>(coder.decodeInt64(kFlowDurationKey))),
      m_reportDays(coder.decodeString(kReportDaysKey).value_or("")),
      m_reportTime(coder.decodeString(kReportTimeKey).value_or("")) {
    if (auto flow = coder.decodeObject(kPageFlowKey).toValue(); flow && flow->getArray())
        m_pageFlow = *flow->getArray();
    if (const auto* pages = coder.decodeObject(kTempFlowKey).getArray())
        for (const auto& page : *pages)
            if (auto open = page.objectOfClass<PULSEPage>())
                m_tempFlow.push_back(open);
}

std::shared_ptr<PULSEPageFlow> PULSEPageFlow::copy() const {
    auto flow = std::make_shared<PULSEPageFlow>(*this);
    for (auto& page : flow->m_tempFlow)
        page = page->copy();
    return flow;
}

void PULSEPageFlow::AddPage(const std::shared_ptr<PULSEPage>& page) {
    if (!page)
        return;
    if (page->duration() != 0) {
        m_pageFlow.push_back(platform::Dictionary{{page->pageName(), page->duration()}});
        PULSE_LOG_INFO("添加页面成功");
        return;
    }
    m_tempFlow.push_back(page);
}

void PULSEPageFlow::writeToFile() const {
    if (auto store = cacheStore())
        store->setObject(platform::Value(m_pageFlow), kLastFlowKey);
}

bool PULSEPageFlow::readFromFile() {
    auto store = cacheStore();
    if (!store || !store->hasObjectForKey(kLastFlowKey))
        return false;
    auto stored = store->objectForKey(kLastFlowKey).toValue();
    store->removeObjectForKey(kLastFlowKey);
    const auto* list = stored ? stored->getArray() : nullptr;
    if (!list)
        return false;
    m_pageFlow = *list;
    return true;
}

void PULSEPageFlow::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encode(kPageFlowKey, platform::Value(m_pageFlow));
    platform::ArchiveArray open;
    for (const auto& page : m_tempFlow)
        open.emplace_back(page);
    coder.encode(kTempFlowKey, std::move(open));
    coder.encode(kReportDaysKey, m_reportDays);
    coder.encode(kReportTimeKey, m_reportTime);
    coder.encode(kFlowDurationKey, static_cast<std::int64_t>(m_duration));
}

// ---- PULSEPageFlowSession ----

void PULSEPageFlowSession::registerArchiveClasses() {
    platform::KeyedArchiver::registerClass<PULSEPage>(PULSEPage::kClassName);
    platform::KeyedArchiver::registerClass<PULSEPageFlow>(PULSEPageFlow::kClassName);
}

void PULSEPageFlowSession::setupSession() {
    if (m_isSetup)
        return;
    if (!m_currentFlow)
        m_currentFlow = std::make_shared<PULSEPageFlow>();
    m_startTime = PULSECorrectedTime();
    m_isSetup = true;
}

void PULSEPageFlowSession::closeSession() {
    m_currentFlow.reset();
    m_startTime = 0;
    m_isSetup = false;
}

void PULSEPageFlowSession::trySetupSession() {
    setupSession();
    resumeLastFlow();
    p_resumePagesFromFileWithTime(m_startTime);
}

void PULSEPageFlowSession::resumeLastFlow() {
    if (m_currentFlow)
        m_currentFlow->readFromFile();
}

void PULSEPageFlowSession::setViewStart(const std::optional<std::string>& name) {
    const double now = PULSECorrectedTime();
    if (m_currentPage) {
        if (m_currentFlow)
            m_currentFlow->AddPage(m_currentPage->copy());
        m_currentPage.reset();
    }
    auto page = std::make_shared<PULSEPage>(name);
    page->PFStart(now);
    m_currentPage = page;
}

void PULSEPageFlowSession::setViewStop(const std::optional<std::string>& name) {
    const double now = PULSECorrectedTime();
    const std::string pageName = name.value_or(PULSEPage::kUnknownName);
    if (m_currentPage && m_currentPage->pageName() == pageName) {
        m_currentPage->PFStop(now);
        if (m_currentFlow)
            m_currentFlow->AddPage(m_currentPage);
        m_currentPage.reset();
        if (m_currentFlow && !m_currentFlow->tempFlow().empty()) {
            m_currentPage = m_currentFlow->tempFlow().back();
            m_currentFlow->tempFlow().pop_back();
        }
        return;
    }
    if (!p_stopPage(pageName, now)) {
        PULSE_LOG_DEBUG("该页面已经被停止或者从未被开始");
        PULSE_LOG_WARN("不存在要停止的页面");
    }
}

bool PULSEPageFlowSession::p_stopPage(const std::string& name, double time) {
    if (!m_currentFlow)
        return false;
    const auto open = m_currentFlow->tempFlow();
    for (const auto& page : open) {
        if (page->pageName() != name)
            continue;
        page->PFStop(time);
        p_movePageFromTempFlowToCurrentFlow(page);
        return true;
    }
    return false;
}

void PULSEPageFlowSession::p_movePageFromTempFlowToCurrentFlow(const std::shared_ptr<PULSEPage>& page) {
    auto& open = m_currentFlow->tempFlow();
    open.erase(std::find(open.begin(), open.end(), page));
    m_currentFlow->AddPage(page->copy());
}

void PULSEPageFlowSession::setViewLogSecond(const platform::Array& view) {
    if (view.size() < 2 || !view[0].isString()) {
        PULSE_LOG_ERROR("%s", kMalformedLogLine);
        return;
    }
    // A length of 0 would make an open page that starts at 0 and, once closed, lasts the whole clock.
    const std::int64_t seconds = view[1].integerValue();
    if (seconds <= 0) {
        PULSE_LOG_ERROR("%s", kMalformedLogLine);
        return;
    }
    auto page = std::make_shared<PULSEPage>(*view[0].getString());
    page->setDuration(seconds);
    if (m_currentFlow)
        m_currentFlow->AddPage(page);
}

void PULSEPageFlowSession::resetCurrentPage(double time) {
    if (!m_currentPage)
        return;
    m_currentPage->setDuration(0);
    m_currentPage->setStartTime(time);
}

void PULSEPageFlowSession::savePageFlowWithTime(double time) {
    // What is open now comes back (restarted) at the next set-up.
    if (m_currentPage)
        m_tempPage = m_currentPage;
    if (m_currentFlow && !m_currentFlow->tempFlow().empty()) {
        m_tempFlow.clear();
        for (const auto& page : m_currentFlow->tempFlow())
            m_tempFlow.push_back(page->copy());
    }
    if (m_currentFlow) {
        const auto open = m_currentFlow->tempFlow();
        for (const auto& page : open) {
            page->PFStop(time);
            p_movePageFromTempFlowToCurrentFlow(page);
        }
    }
    if (m_currentPage) {
        m_currentPage->PFStop(time);
        if (m_currentFlow)
            m_currentFlow->AddPage(m_currentPage->copy());
    }
    if (m_currentFlow)
        m_currentFlow->writeToFile();
}

void PULSEPageFlowSession::p_resumePagesFromFileWithTime(double time) {
    if (m_tempPage) {
        m_tempPage->setStartTime(time);
        m_tempPage->setDuration(0);
        m_currentPage = m_tempPage->copy();
    }
    for (const auto& saved : m_tempFlow) {
        auto page = saved->copy();
        page->setStartTime(time);
        page->setDuration(0);
        if (m_currentFlow)
            m_currentFlow->AddPage(page);
    }
    m_tempPage.reset();
    m_tempFlow.clear();
}

} // namespace push
