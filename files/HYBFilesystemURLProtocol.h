// Serves "hybfile" URLs to the web view (and to any URL connection): the file, read through the file system
// that owns it in steps of URLProtocol::kStepBytes as the reader makes room (never whole, at any size),
// answered 200 with its MIME type, or 404 when its first step cannot be read; a later step that cannot be
// read fails the load.
//
// Guarantees:
// - Every request gets an answer: a URL that names no registered file system (or when no file plug-in
//   exists) is answered 404 like a missing file, never left hanging.
// - A request from a foreign page (URLRequest::isFromForeignPage) fails with kURLErrorNoPermissionsToReadFile
//   unless the file's path, its links resolved, lies in the application's bundle or home (AppFolders::holds):
//   the whole disk's file system and the photo library's answer such a page nothing outside them.
// - Responses forbid caching ("Cache-Control: no-cache"); byte ranges are not honoured.
// - The answer may come from another thread (the photo library's); it holds the protocol weakly, and an
//   answer for a load that is gone goes nowhere. stopLoading does not cancel a read.
#pragma once

#include "platform/net/URLProtocol.h"

namespace files {

class HYBFilesystemURLProtocol : public platform::URLProtocol {
public:
    using URLProtocol::URLProtocol;

    static constexpr const char* kClassName = "HYBFilesystemURLProtocol";

    // Registers the class with the platform's URL loading (again: replaces the earlier registration).
    static void registerProtocol();

    static bool canInitWithRequest(const platform::URLRequest& request);
    static platform::URLRequest canonicalRequestForRequest(const platform::URLRequest& request) { return request; }
    static bool requestIsCacheEquivalent(const platform::URLRequest& a, const platform::URLRequest& b);

    void startLoading() override;
    void stopLoading() override {}
};

} // namespace files
