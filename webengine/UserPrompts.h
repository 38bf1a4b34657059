// What a page asks of the person, or would have the engine do for them, answered as the phone's web view does:
// WebKit's own default for these signals opens a window or dialog of its own (which no screen of the
// application shows, so a page could wait on it for ever), or acts on the person's disk, desktop or window.
//
// Guarantees, for every view and every page in it:
// - A challenge for credentials (an HTTP 401 or 407, a client certificate) goes on without credentials: the
//   server's answer to that (its 401 page) shows and the load ends, as on the phone without credentials.
// - Permission requests (location, notifications, camera and microphone, device information, clipboard,
//   pointer lock, storage access, media keys, a media plug-in's install) are denied, and a permission query
//   the engine puts reads "denied" (the view gives the page no Permissions API: WebKitEngine.h); a
//   notification shows nowhere (it is closed at once).
// - A file chooser or a colour chooser is cancelled at once: the page hears that nothing was chosen.
// - Fullscreen stays within the view: the application's window is never made fullscreen, nor left.
// - The context menu keeps what edits, copies and moves within the view; items that save to disk, open a
//   window or the inspector (and any the engine adds that is not known here) are taken out.
// - Downloads (answered for a context): every download is cancelled as it starts and is never given
//   a destination, so no file is made, not even an empty one; a download of a view is told to its engine
//   (WebKitEngine::downloadRefused). TLS faults fail the load, whatever the engine's default.
//
// Main thread only (WebKit's signals come there).
#pragma once

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;

namespace webengine {

// Answers the view's signals.
void answerUserPrompts(WebKitWebView* view);
// Answers the context's downloads and sets its TLS rule.
void answerUserPrompts(WebKitWebContext* context);

} // namespace webengine
