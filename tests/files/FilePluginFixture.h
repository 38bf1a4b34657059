// Drives the file plug-in the way the command queue does: a command delegate that records answers (from
// any thread) and runs background work on the global queue, a plug-in started in a fresh temporary home,
// and call() that runs one action and waits for its single answer.
#pragma once

#include "files/HYBFile.h"
#include "platform/files/FileManager.h"
#include "platform/net/URLConnection.h"
#include "platform/runloop/DispatchQueue.h"
#include "runtime/HYBCommandDelegate.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace filestest {

class AnswerRecorder : public runtime::HYBCommandDelegate {
public:
    explicit AnswerRecorder(platform::Dictionary settings = {}) : m_settings(std::move(settings)) {}

    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<runtime::HYBPluginResult> result, std::optional<std::string> callbackId) override {
        std::lock_guard lock(m_mutex);
        m_answers.emplace_back(std::move(result), std::move(callbackId));
        m_changed.notify_all();
    }
    void evalJs(std::string) override {}
    void evalJs(std::string, bool) override {}
    void runInBackground(std::function<void()> block) override { platform::DispatchQueue::global()->async(std::move(block)); }
    std::string userAgent() override { return {}; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return m_settings; }

    // Waits (up to a generous limit) until `count` answers arrived; the last of them, or none.
    std::optional<std::pair<std::optional<runtime::HYBPluginResult>, std::optional<std::string>>> waitForAnswer(std::size_t count) {
        std::unique_lock lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_answers.size() >= count; }))
            return std::nullopt;
        return m_answers[count - 1];
    }
    std::size_t answerCount() {
        std::lock_guard lock(m_mutex);
        return m_answers.size();
    }

private:
    platform::Dictionary m_settings;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<std::optional<runtime::HYBPluginResult>, std::optional<std::string>>> m_answers;
};

class FilePluginTest : public hybtest::TempHomeTest {
protected:
    void startPlugin(platform::Dictionary settings = {}) {
        m_delegate = std::make_shared<AnswerRecorder>(std::move(settings));
        m_plugin = std::make_shared<files::HYBFile>(nullptr);
        m_plugin->setCommandDelegate(m_delegate);
        m_plugin->pluginInitialize();
    }

    // Runs one action and answers its one answer (status 0 "No result" with the text "silence" when
    // nothing came, which no test expects).
    runtime::HYBPluginResult call(const std::string& action, platform::Array arguments = {}) {
        if (!m_plugin)
            startPlugin();
        const std::string callbackId = "File" + std::to_string(++m_calls);
        const std::size_t before = m_delegate->answerCount();
        EXPECT_TRUE(m_plugin->performAction(action, runtime::HYBInvokedUrlCommand(std::move(arguments), callbackId, "File", action)));
        auto answer = m_delegate->waitForAnswer(before + 1);
        if (!answer || !answer->first) {
            ADD_FAILURE() << action << " did not answer";
            return runtime::HYBPluginResult(runtime::HYBCommandStatus::NoResult, "silence");
        }
        EXPECT_EQ(answer->second, callbackId);
        return *answer->first;
    }

    std::string documents(const std::string& relative = {}) const {
        return relative.empty() ? m_home.folders().documents() : m_home.folders().documents() + "/" + relative;
    }
    void writeFile(const std::string& path, const std::string& contents) const {
        ASSERT_TRUE(platform::FileManager::defaultManager().createFile(path, platform::Bytes(contents.begin(), contents.end())));
    }
    std::string readFile(const std::string& path) const {
        auto bytes = platform::FileManager::defaultManager().contentsOfFile(path);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
    }

    std::shared_ptr<AnswerRecorder> m_delegate;
    std::shared_ptr<files::HYBFile> m_plugin;
    int m_calls = 0;
};

// Status and integer message of an error answer, for compact expectations.
inline std::pair<int, long long> statusAndCode(const runtime::HYBPluginResult& result) {
    return {static_cast<int>(result.status()), result.message().integerValue()};
}

} // namespace filestest
