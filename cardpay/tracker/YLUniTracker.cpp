#include "cardpay/tracker/YLUniTracker.h"

#include <cstddef>
#include <utility>

namespace cardpay {

namespace {

std::vector<YLUniTrackerCall>& record() {
    static std::vector<YLUniTrackerCall> calls;
    return calls;
}

void add(std::string operation, platform::Array arguments) {
    auto& calls = record();
    if (calls.size() >= YLUniTracker::kMaxRecordedCalls)
        calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(calls.size() - YLUniTracker::kMaxRecordedCalls + 1));
    calls.push_back({std::move(operation), std::move(arguments)});
}

} // namespace

void YLUniTracker::sessionStarted(const std::string& appKey, const std::string& channelId) {
    add("sessionStarted", {appKey, channelId});
}

void YLUniTracker::setLogEnabled(bool enabled) { add("setLogEnabled", {enabled}); }

void YLUniTracker::setVersionWithCode(const std::string& code, const std::string& name) {
    add("setVersionWithCode", {code, name});
}

void YLUniTracker::trackPageBegin(const std::string& page) { add("trackPageBegin", {page}); }

void YLUniTracker::trackPageEnd(const std::string& page) { add("trackPageEnd", {page}); }

void YLUniTracker::trackEvent(const std::string& name) { add("trackEvent", {name}); }

void YLUniTracker::trackEvent(const std::string& name, const std::optional<std::string>& label,
                              const std::optional<platform::Dictionary>& parameters) {
    add("trackEvent", {name, label ? platform::Value(*label) : platform::Value(),
                       parameters ? platform::Value(*parameters) : platform::Value()});
}

const std::vector<YLUniTrackerCall>& YLUniTracker::recordedCalls() { return record(); }

void YLUniTracker::resetRecord() { record().clear(); }

} // namespace cardpay
