// Script evaluations of one WebKit view that nobody waits for: the page's answers and the like.
//
// Scripts asked for within one turn of the main loop go to the page together, in one "hyb.eval" message
// (of at most 2,000 scripts) to the web-process module, which evaluates each in order in the page and
// replies with each one's own result text: a burst of answers costs one trip to the web process instead of
// one per answer, and results come back as text (this process runs no script engine for them).
//
// Guarantees:
// - Main thread only. Scripts run in the page in the order they were added (those added ahead, of the
//   engine's world, before the page's that wait with them); completions come in the same order, each with
//   its own script's result ("" for undefined, null, a function, an exception or a failed evaluation),
//   from the main loop (the engine's answer), never inline in add().
// - Nothing is sent while the queue is held (a synchronous evaluation is waiting): no evaluation starts
//   inside another one's wait. Results that come while the owner defers its events (during a wait, and
//   until what it deferred has run) go to the owner's deferral, in their place among its other events.
//   sendPending() sends what waits at once, so that a synchronous evaluation asked next runs after it.
// - Each script is evaluated on its own (any script text, each with its own exceptions); a script longer
//   than 64 KiB goes in a message of its own.
// - Destroying the queue drops what waits; completions of evaluations under way are dropped too.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _WebKitWebView WebKitWebView;

namespace webengine {

class EvaluationQueue {
public:
    using Completion = std::function<void(std::string result)>;
    // What the engine's callbacks hold: it tells them whether the queue is still there.
    struct Shared;

    // How the owner holds back its events: whether it does now, and where such an event waits. Results
    // wait there too, so that they keep their place among the owner's other events (the page's messages).
    struct Deferral {
        std::function<bool()> isDeferring;
        std::function<void(std::function<void()>)> defer;
    };

    EvaluationQueue(WebKitWebView* view, Deferral deferral);
    ~EvaluationQueue();
    EvaluationQueue(const EvaluationQueue&) = delete;
    EvaluationQueue& operator=(const EvaluationQueue&) = delete;

    void add(std::string script, Completion completion);
    // A script of the engine's world (which the page's script cannot reach): it goes with the next message,
    // ahead of every script of the page's that waits, and its completion ahead of theirs.
    void addAhead(std::string engineScript, Completion completion);
    void sendPending();
    void hold();
    void release();

private:
    struct Pending {
        std::string script;
        Completion completion;
    };

    void scheduleSend();
    void send(std::vector<Pending> engineGroup, std::vector<Pending> pageGroup);
    // Hands results to their completions, in order (from the engine's answers).
    void deliver(std::vector<Completion>& completions, std::vector<std::string>& texts);

    WebKitWebView* m_view;
    std::vector<Pending> m_pending;
    std::vector<Pending> m_ahead; // the engine's world's scripts
    unsigned m_sendSource = 0;
    int m_holds = 0;
    // Shared with the engine's callbacks: they find the queue gone through it.
    std::shared_ptr<Shared> m_shared;
    Deferral m_deferral;
};

} // namespace webengine
