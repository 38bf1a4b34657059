// Drives the file-transfer plug-in the way the command queue does: a command delegate that records every
// answer (from any thread), runs background work on the global queue and hands out a started file plug-in
// (downloads are written only where its file systems reach),
// and helpers that run one action and wait for the final (non-keep-callback) answer of a callback.
#pragma once

#include "files/HYBFile.h"
#include "platform/application/Application.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "runtime/HYBCommandDelegate.h"
#include "support/HTTPTestServer.h"
#include "support/TempHome.h"
#include "transfer/HYBFileTransfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace transfertest {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using runtime::HYBCommandStatus;

struct Answer {
    runtime::HYBPluginResult result;
    std::optional<std::string> callbackId;
};

class AnswerRecorder : public runtime::HYBCommandDelegate {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view name) override {
        return name == "File" ? filePlugin : nullptr;
    }
    void sendPluginResult(std::optional<runtime::HYBPluginResult> result, std::optional<std::string> callbackId) override {
        std::lock_guard lock(m_mutex);
        m_answers.push_back({result.value_or(runtime::HYBPluginResult()), std::move(callbackId)});
        m_changed.notify_all();
    }
    void evalJs(std::string) override {}
    void evalJs(std::string, bool) override {}
    void runInBackground(std::function<void()> block) override { platform::DispatchQueue::global()->async(std::move(block)); }
    std::string userAgent() override { return userAgentText; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    // The file plug-in's extra file systems leave "root" out: paths outside the sandbox have no place.
    platform::Dictionary settings() override { return {{"iosextrafilesystems", "library,documents,cache"}}; }

    // Every answer sent to the callback so far.
    std::vector<Answer> answersFor(const std::string& callbackId) {
        std::lock_guard lock(m_mutex);
        std::vector<Answer> found;
        for (const Answer& answer : m_answers)
            if (answer.callbackId == callbackId)
                found.push_back(answer);
        return found;
    }
    // Waits (generously) for the callback's final answer: the first one without keep-callback.
    std::optional<runtime::HYBPluginResult> waitForFinal(const std::string& callbackId,
                                                         std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(m_mutex);
        std::optional<runtime::HYBPluginResult> final;
        m_changed.wait_for(lock, limit, [&] {
            for (const Answer& answer : m_answers)
                if (answer.callbackId == callbackId && !answer.result.keepCallback()) {
                    final = answer.result;
                    return true;
                }
            return false;
        });
        return final;
    }
    // Waits until the callback has at least `count` answers.
    bool waitForAnswers(const std::string& callbackId, std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
            std::size_t n = 0;
            for (const Answer& answer : m_answers)
                n += answer.callbackId == callbackId;
            return n >= count;
        });
    }
    std::size_t answerCount() {
        std::lock_guard lock(m_mutex);
        return m_answers.size();
    }

    std::shared_ptr<runtime::HYBPlugin> filePlugin;
    std::string userAgentText = "TransferTest/1.0";

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Answer> m_answers;
};

class TransferTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_delegate = std::make_shared<AnswerRecorder>();
        m_plugin = std::make_shared<transfer::HYBFileTransfer>(nullptr);
        m_plugin->setCommandDelegate(m_delegate);
        m_plugin->pluginInitialize();
        auto file = std::make_shared<files::HYBFile>(nullptr);
        file->setCommandDelegate(m_delegate);
        file->pluginInitialize();
        m_delegate->filePlugin = file;
    }
    // Every transfer has left the registry (and ended its background task) before the next test.
    void TearDown() override { EXPECT_TRUE(waitForNoTransfers()); }

    // Runs an action under a fresh callback id and returns that id.
    std::string run(const std::string& action, platform::Array arguments) {
        const std::string callbackId = "FileTransfer" + std::to_string(++m_calls);
        EXPECT_TRUE(m_plugin->performAction(action, runtime::HYBInvokedUrlCommand(std::move(arguments), callbackId, "FileTransfer", action)));
        return callbackId;
    }
    runtime::HYBPluginResult runToEnd(const std::string& action, platform::Array arguments) {
        const std::string callbackId = run(action, std::move(arguments));
        auto final = m_delegate->waitForFinal(callbackId);
        if (!final) {
            ADD_FAILURE() << action << " gave no final answer";
            return runtime::HYBPluginResult(runtime::HYBCommandStatus::NoResult, "silence");
        }
        return *final;
    }
    // Waits until the registry of running transfers is empty.
    bool waitForNoTransfers() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60); // against a hang only
        // A transfer replaced under its object id ends its background time when it ends, after the one
        // that replaced it may have left the table.
        while (m_plugin->activeTransferCount() != 0 || platform::Application::shared().backgroundTaskCount() != 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    // The progress answers (keep-callback) a callback received, in order.
    std::vector<Value> progressOf(const std::string& callbackId) {
        std::vector<Value> progress;
        for (const Answer& answer : m_delegate->answersFor(callbackId))
            if (answer.result.keepCallback())
                progress.push_back(answer.result.message());
        return progress;
    }
    std::string path(const std::string& relative) const { return m_home.folders().documents() + "/" + relative; }
    static void writeFile(const std::string& filePath, const std::string& contents) {
        ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(platform::deletingLastPathComponent(filePath)));
        ASSERT_TRUE(platform::FileManager::defaultManager().createFile(filePath, platform::Bytes(contents.begin(), contents.end())));
    }
    static std::string readFile(const std::string& filePath) {
        auto bytes = platform::FileManager::defaultManager().contentsOfFile(filePath);
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
    }

    testsupport::HTTPTestServer m_server;
    std::shared_ptr<AnswerRecorder> m_delegate;
    std::shared_ptr<transfer::HYBFileTransfer> m_plugin;
    int m_calls = 0;
};

} // namespace transfertest
