// The pages of page_calls_bench written by the bench itself: the floors' page (a bare engine view) and the
// application's burst page, a page written without the project's hybrid.js. Both measure with the same
// script (kMeasures); each defines CALLS, one function per signal path that makes one call, with its own
// signal, and calls done(ok) on its answer.
#pragma once

namespace pagecalls {

// Sequential calls: each made after the previous answer's script has returned (a call made inside it would
// ride back on the answer); a sample is the mean of 50 consecutive calls (the page's clock ticks in whole
// milliseconds). Bursts: one call in each task of the page, each with its own signal, made without waiting
// for the answers; the rate counts from the first call to the last answer. Tasks are made by a message to
// the window itself (chained timers are held back to one each 4 ms).
inline const char* const kMeasures = R"(
window.benchResults = null;
window.stage = '';
var benchTask = null;
window.addEventListener('message', function (event) {
  if (event.source === window && event.data === 'bench-task' && benchTask) { var fn = benchTask; benchTask = null; fn(); }
});
function inNewTask(fn) { benchTask = fn; window.postMessage('bench-task', '*'); }
function percentile(sorted, p) { return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))]; }
function roundTrips(call, count, done) {
  var times = [], i = 0, groupStarted = performance.now(), inGroup = 0;
  function next() {
    if (i === count) {
      times.sort(function (a, b) { return a - b; });
      return done({ median: percentile(times, 0.5), p90: percentile(times, 0.9) });
    }
    call(function (ok) {
      if (!ok) { return done(null); }
      i += 1; inGroup += 1;
      if (inGroup === 50 || i === count) {
        var now = performance.now();
        times.push((now - groupStarted) / inGroup); groupStarted = now; inGroup = 0;
      }
      Promise.resolve().then(next);
    });
  }
  next();
}
function burstEach(call, count, done) {
  var answered = 0, failed = 0, made = 0, started = performance.now();
  function answer(ok) {
    if (!ok) { failed += 1; }
    if (++answered === count) { done(failed ? null : { callsPerSecond: count / ((performance.now() - started) / 1000) }); }
  }
  function one() { made += 1; call(answer); if (made < count) { inNewTask(one); } }
  one();
}
// A loop burst: every call made in one loop of one task, each with its own signal; the rate counts from the
// first call to the last answer. Each call must be answered once, in the order the calls were made.
function loopBurst(call, count, done) {
  var answered = 0, failed = 0, disordered = 0, started = performance.now();
  function answerOf(index) {
    return function (ok) {
      if (!ok) { failed += 1; }
      if (index !== answered) { disordered += 1; }
      if (++answered === count) {
        done(failed || disordered ? { error: failed + ' calls failed, ' + disordered + ' answered out of order' }
                                  : { callsPerSecond: count / ((performance.now() - started) / 1000) });
      }
    };
  }
  for (var i = 0; i < count; i++) { call(answerOf(i)); }
}
function benchFail(message) { window.benchResults = { error: message }; }
)";

// The floors: each path's signal as the bridge makes it, answered by the bare view's native side with the
// least it can do (see PageCallsFloors.h). A call's command is the bridge's JSON text; its id, "Cache<n>",
// is what the native side answers with answer(id). The fetch paths queue the command; the native side takes
// the queue with takeQueue().
inline const char* const kFloorCalls = R"(
var sequence = 0, waiting = {}, queue = [], flip = false, frame = null, pokes = 0;
function command(done) { var id = 'Cache' + (++sequence); waiting[id] = done; return '["' + id + '","Cache","clear",[]]'; }
function answer(id) { var done = waiting[id]; if (done) { delete waiting[id]; done(true); } }
function takeQueue() { var text = queue.length ? '[' + queue.join(',') + ']' : ''; queue = []; return text; }
function signalFrame(url) {
  if (!frame) { frame = document.createElement('iframe'); frame.style.display = 'none'; document.body.appendChild(frame); }
  frame.src = url;
}
// The answer is the response: the ids it answers, separated by commas (empty for a poke answered at once,
// whose calls are answered by script).
function xhr(cmds) {
  var x = new XMLHttpRequest();
  x.open('GET', '/!hyb_exec?' + sequence, true);
  x.setRequestHeader('vc', '1');
  if (cmds) { x.setRequestHeader('cmds', cmds); } else { pokes += 1; }
  x.setRequestHeader('rc', String(pokes));
  x.onloadend = function () {
    if (x.status !== 200) { benchFail('an XHR failed: ' + x.status); return; }
    x.responseText.split(',').forEach(function (id) { if (id) { answer(id); } });
  };
  x.send(null);
}
var CALLS = {
  'message': function (done) { var id = 'Cache' + (++sequence); waiting[id] = done; window.webkit.messageHandlers.bench.postMessage(id); },
  'xhr': function (done) { xhr('[' + command(done) + ']'); },
  'xhr-poke': function (done) { queue.push(command(done)); xhr(null); },
  'fragment': function (done) { flip = !flip; location.hash = (flip ? '%01' : '%02') + encodeURIComponent('[' + command(done) + ']'); },
  'fragment-fetch': function (done) { queue.push(command(done)); flip = !flip; location.hash = flip ? '%01' : '%02'; },
  'frame': function (done) { signalFrame('hyb://ready?' + encodeURIComponent('[' + command(done) + ']')); },
  'frame-fetch': function (done) { queue.push(command(done)); signalFrame('hyb://ready'); }
};
// A path's sequential measure (after the warm-up), then its burst.
function runFloor(name, calls, warmUp, burst) {
  var call = CALLS[name], results = {};
  window.stage = name;
  roundTrips(call, warmUp, function (warm) {
    if (!warm) { return benchFail(name + ': a call failed'); }
    roundTrips(call, calls, function (sequential) {
      if (!sequential) { return benchFail(name + ': a call failed'); }
      results[name] = sequential;
      window.stage = name + ' burst';
      inNewTask(function () {
        burstEach(call, burst, function (rate) {
          if (!rate) { return benchFail(name + ' burst: a call failed'); }
          results['burst-' + name] = rate;
          window.benchResults = results;
        });
      });
    });
  });
}
// A path's loop burst: {"loop-<path>": {callsPerSecond}}.
function runLoopFloor(name, count) {
  window.stage = name + ' loop';
  inNewTask(function () {
    loopBurst(CALLS[name], count, function (rate) {
      window.benchResults = rate.error ? { error: name + ' loop: ' + rate.error } : { ['loop-' + name]: rate };
    });
  });
}
)";

// The application's burst page: its own window.hybrid, with the three functions the native side calls
// (nativeCallback answers, nativeFetchMessages fetches, nativeEvalAndFetch runs script; each hands over
// the commands queued meanwhile), and each call signalled by the page itself on its path:
//   xhr         an XHR to "/!hyb_exec" with "vc" (the view number of the user agent's "(n)"), "cmds" (the
//               call's batch) and "rc" (the last poke's number);
//   xhr-poke    the command queued, an XHR with "vc" and a rising "rc", no "cmds": the native side fetches;
//   frame       the command queued, a hidden frame navigated to "hyb://ready": the native side fetches;
//   hash        location.hash set to "%01"/"%02" (alternating) and the escaped batch;
//   hash-fetch  the command queued, location.hash set to the bare "%01"/"%02": the native side fetches.
// runBurst(path, count) makes the burst; window.benchResults then holds {burst: {callsPerSecond}}.
inline const char* const kApplicationCalls = R"(
(function () {
  var waiting = {}, queue = [], sequence = 0, flip = false, frame = null, pokes = 0;
  var vc = (/\((-?\d+)\)\s*$/.exec(navigator.userAgent) || [])[1] || null;
  function take() { var text = queue.length ? '[' + queue.join(',') + ']' : ''; queue = []; return text; }
  var exec = {
    nativeCallback: function (id, status, message, keep) {
      var done = waiting[id];
      if (done && !keep) { delete waiting[id]; done(status === 0 || status === 1); }
      return take();
    },
    nativeFetchMessages: function () { return take(); },
    nativeEvalAndFetch: function (fn) { try { fn(); } catch (e) { /* the native side's script, not a call */ } return take(); }
  };
  window.hybrid = { require: function () { return exec; }, fireDocumentEvent: function () {}, fireWindowEvent: function () {} };

  function command(done) { var id = 'Cache' + (++sequence); waiting[id] = done; return '["' + id + '","Cache","clear",[]]'; }
  function xhr(cmds) {
    var x = new XMLHttpRequest();
    x.open('GET', '/!hyb_exec?' + sequence, true);
    if (vc !== null) { x.setRequestHeader('vc', vc); }
    if (cmds) { x.setRequestHeader('cmds', cmds); } else { pokes += 1; }
    x.setRequestHeader('rc', String(pokes));
    x.send(null);
  }
  function signalFrame() {
    if (!frame) { frame = document.createElement('iframe'); frame.style.display = 'none'; document.body.appendChild(frame); }
    frame.src = 'hyb://ready';
  }
  function hash(batch) { flip = !flip; location.hash = (flip ? '%01' : '%02') + encodeURIComponent(batch); }
  window.CALLS = {
    'xhr': function (done) { xhr('[' + command(done) + ']'); },
    'xhr-poke': function (done) { queue.push(command(done)); xhr(null); },
    'frame': function (done) { queue.push(command(done)); signalFrame(); },
    'hash': function (done) { hash('[' + command(done) + ']'); },
    'hash-fetch': function (done) { queue.push(command(done)); hash(''); }
  };
})();
// runLoopBurst(path, count) makes `count` calls in one loop; window.benchResults then holds {loop: {callsPerSecond}}.
function runLoopBurst(path, count) {
  window.benchResults = null;
  window.stage = path + ' loop';
  inNewTask(function () {
    loopBurst(CALLS[path], count, function (rate) {
      window.benchResults = rate.error ? { error: path + ' loop: ' + rate.error } : { loop: rate };
    });
  });
}
function runBurst(path, count) {
  window.benchResults = null;
  window.stage = path + ' burst';
  inNewTask(function () {
    burstEach(CALLS[path], count, function (rate) {
      window.benchResults = rate ? { burst: rate } : { error: path + ' burst: a call failed' };
    });
  });
}
)";

} // namespace pagecalls
