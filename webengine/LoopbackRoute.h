// The loopback route: the application's own documents' web loads (its file pages' and their workers' XHR,
// fetch, pictures, scripts...), carried by the engine's own network stack to an HTTP endpoint of this process,
// which makes each load with platform's URL loading and passes its answer back as it comes.
//
// The web-process module rewrites such a load's URL to "http://<its origin in hexadecimal>.localhost:<port>"
// followed by the URL's path and query as the engine wrote them (the engine resolves every "*.localhost" name
// to the loopback addresses), and puts a mark on the request that only this process and the module can make:
// "Hyb-Load: <view>.<nonce>.<HMAC-SHA256 of both under this process's key>", each nonce taken once. So the
// engine keeps what a page sees of a load (its time-out, redirect and credentials modes, upload events, every
// kind of body, statusText, the order of events) and the body comes at the engine's own rate, while this
// process still decides each load: the URL protocol registry (the whitelist's refusals), the platform's cookie
// store, which native plug-ins share, and the transport's bounds.
//
// What the endpoint does for the engine's rules:
// - The answer is the server's as it came: its status and reason phrase, every header field but the hop-by-hop
//   ones and "Set-Cookie" (the platform's store takes those), the body as the server coded it. A redirect is
//   not followed: its "Location" is written as the route URL of its target, for the engine to follow or not.
//   The framing is the endpoint's own: the server's "Content-Length" when its body had no chunks (they take
//   precedence), else chunks; a body cut short (before that length, or a failure of the server's connection)
//   resets the engine's connection, so the engine hears a network failure and never takes a part as the whole.
// - The application's own askers (the engine's "Origin": "file://", the file scripts' workers'
//   "hybroute-local://load", or "null" after a redirect to another origin) read every answer without CORS, as
//   on the phone: it names them as its reader, with credentials, and exposes every header field; a preflight
//   is answered here (allowing what it asks), never sent on. No other asker is named.
// - The application's documents count as of every origin, as on the phone: a load carries the platform store's
//   cookies and keeps those its answer sets, unless its credentials mode omits them (the body guard marks a
//   fetch that omits them, "Hyb-Credentials: omit"; the engine itself sends no cookie of its own here).
// - A load waits as long as the engine does (no time-out of the transport once connected); the engine closing
//   its connection (a page's time-out or abort, its page gone) cancels the load.
// - Connections that never finish their head give their places to new ones while the table is full (the
//   oldest first), and wait kHeadPatience at most; a connection whose head came keeps its place.
// - A request without a valid mark, for another port or a host that names no origin, is refused (403), so no
//   other process or page reaches the application's cookies through it.
//
// The engine's queue: WebKitGTK's network stack (libsoup 3.2) keeps a load its page let go waiting in the queue
// until its host gives it a connection, one a turn, and every turn of the queue looks through the whole queue for
// each load waiting at a host where one is opening; thousands of loads let go at hosts that never answer (a frame
// of another site flooding them, then gone) make each turn take a second for an hour, and every load of every
// view waits turns. So once the views' loads let go unanswered reach kCongestionLetGo, the application's pages take
// the scheme's road for their own loads (webprocess/Messages.h, HYB_ENGINE_CONGESTED_MESSAGE), and the route sends
// a probe through the engine every second (a download of a URL of its own, which it closes unanswered) until
// kQuietProbes in a row arrive within kQuietProbeTime: the engine turns its queue briskly again.
//
// Main thread only; the endpoint lives until the process ends.
#pragma once

#include <cstdint>
#include <string>

namespace webengine {

class WebKitEngine;

class LoopbackRoute {
public:
    // The mark's header.
    static constexpr const char* kMarkHeader = "Hyb-Load";

    // The endpoint, listening from the first call on (port 0 when it could not listen).
    static LoopbackRoute& shared();

    std::uint16_t port() const { return m_port; }
    // The key of the marks, in hexadecimal, for the web-process module.
    const std::string& key() const { return m_key; }

    // A view whose page's loads may come: the number its marks name. Detached as the engine goes.
    std::uint64_t attach(WebKitEngine* engine);
    void detach(std::uint64_t view);

    // The mark the module writes for `view` and `nonce` (what a test or benchmark may write as it does).
    std::string markFor(std::uint64_t view, const std::string& nonce) const;

    // Loads through the engine, of any view, let go by their page before any answer came.
    void loadLetGoUnanswered(std::uint64_t count = 1);
    // Whether the application's pages take the scheme's road for their own loads, the engine's queue being slow.
    bool engineCongested() const;
    // Whether `url` is the route's probe of the engine (a download of it is the route's own).
    bool isProbe(const std::string& url) const;

    struct Impl;

private:
    LoopbackRoute();
    Impl* m_impl;
    std::uint16_t m_port = 0;
    std::string m_key;
};

} // namespace webengine
