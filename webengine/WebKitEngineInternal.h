// What the files of WebKitEngine share: the rules for the documents a view's pages may read and load, and
// the synchronous wait. Private to webengine/WebKitEngine*.cpp.
#pragma once

#include "webengine/WebKitEngine.h"
#include "platform/runloop/RunLoop.h"

#include <optional>
#include <string>

namespace webengine::detail {

std::string withoutFragment(const std::string& url);
// Whether `url` is a file URL.
bool isFileURL(const std::string& url);
// Whether `url` is an http or https URL.
bool isWebURL(const std::string& url);
// What a page may read from files: the application's bundle, its home (Documents, Library, tmp) and the
// folder of the document the application itself loaded last (kept on the view). The page's own
// requests and frames reach no other file, wherever their links lead, as the phone's sandbox bounded
// them; the engine's file-access settings stay open for everything inside.
// Whether `url` is no file, or one the page of `view` may read.
bool mayReadFileURL(WebKitWebView* view, const std::string& url);
// Keeps a document the application loads and, for a file URL, its folder, for mayReadFileURL. Without a
// document (a load that is a page's choice) the view keeps neither.
void noteApplicationDocument(WebKitWebView* view, const std::optional<std::string>& document);
// The document the application itself asked for (without fragment), or null: its navigation is the
// application's, not the page's.
const char* applicationDocumentOf(WebKitWebView* view);

} // namespace webengine::detail

namespace webengine {

template <typename Wait> auto WebKitEngine::synchronously(Wait&& wait)
{
    // What was asked for earlier runs first; nothing asked for during the wait starts inside it.
    m_evaluations->sendPending();
    m_evaluations->hold();
    ++m_waitDepth;
    platform::RunLoop::main().holdPerformsAndTimers();
    std::weak_ptr<bool> alive = m_alive;
    auto result = wait();
    platform::RunLoop::main().releasePerformsAndTimers();
    if (alive.lock()) {
        --m_waitDepth;
        m_evaluations->release();
        scheduleDeferred();
    }
    return result;
}

} // namespace webengine
