// A command delegate for plug-ins driven by a fuzz target: counts answers (from any thread), runs
// background work on the global queue and lets the target wait for the answers it expects.
#pragma once

#include "platform/runloop/DispatchQueue.h"
#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBPluginResult.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace fuzzing {

class FuzzCommandDelegate : public runtime::HYBCommandDelegate {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<runtime::HYBPluginResult>, std::optional<std::string>) override {
        std::lock_guard lock(m_mutex);
        ++m_answers;
        m_changed.notify_all();
    }
    void evalJs(std::string) override {}
    void evalJs(std::string, bool) override {}
    void runInBackground(std::function<void()> block) override { platform::DispatchQueue::global()->async(std::move(block)); }
    std::string userAgent() override { return "Fuzz/1.0"; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return {}; }

    std::size_t answers() {
        std::lock_guard lock(m_mutex);
        return m_answers;
    }
    // Whether `count` answers arrived within a generous limit (a missing answer is a finding).
    bool waitForAnswers(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_answers >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_answers = 0;
};

} // namespace fuzzing
