/*
 * hybrid.js: the page's half of the bridge to the native host.
 *
 * A page calls a native plug-in with
 *     hybrid.exec(success, failure, 'Service', 'action', [args...]);
 * (also reachable as hybrid.require('hybrid/exec')). The call is queued as the JSON text of the command
 * [callbackId, service, action, args]; a call whose arguments cannot be encoded is not queued but fails at
 * once through its failure callback, with the reason. The native side is told that commands wait, in one of
 * three ways:
 *   'xhr'       an XMLHttpRequest to "/!hyb_exec" with the headers "rc" (request number, 1 after each page
 *               load, then rising), "vc" (the view number from the user agent's "(n)") and "cmds" (the
 *               batch itself, when short enough for a header; otherwise the native side fetches it);
 *   'iframe'    a frame navigating to "hyb://ready": the native side fetches the batch;
 *   'hash'      a change of location.hash to "%01" or "%02" (alternating) followed by the escaped batch, or
 *               by nothing while a batch the native side took may still be on its way, when the native side
 *               is late, or when the batch is long (it then fetches).
 * The native side fetches queued commands by evaluating exec.nativeFetchMessages(), runs script through
 * exec.nativeEvalAndFetch(fn) and answers with exec.nativeCallback(id, status, message, keepCallback); each of
 * the three returns the commands queued meanwhile, which the native side runs next. Once told, or once it
 * has taken commands, the native side comes back to the page (with answers, or to fetch): until then new
 * calls wait in the queue without a signal of their own.
 *
 * Document events: hybrid.fireDocumentEvent(type, data, noDetach) ('pause', 'resume', 'resign', 'active', ...);
 * 'deviceready' fires once, after the document is parsed; a handler added later still runs. The Diagnostic
 * service's 'locationstatechange' and 'bluetoothstatechange' carry the new status word as event.state.
 * hybrid.plugins.Keyboard and the global datePicker are the page's halves of those two services (below).
 */
(function (global) {
    'use strict';

    if (global.hybrid && global.hybrid.exec) {
        return;
    }

    // ---- modules -------------------------------------------------------------------------------------
    var modules = {};
    function define(id, factory) {
        if (modules[id]) {
            throw new Error('module ' + id + ' already defined');
        }
        modules[id] = { factory: factory, exports: undefined, loaded: false };
    }
    function require(id) {
        var module = modules[id];
        if (!module) {
            throw new Error('module ' + id + ' not found');
        }
        if (!module.loaded) {
            module.loaded = true;
            var m = { exports: {} };
            module.factory(require, m.exports, m);
            module.exports = m.exports;
        }
        return module.exports;
    }

    // ---- base64 for ArrayBuffer arguments and answers ---------------------------------------------------
    define('hybrid/base64', function (require, exports) {
        exports.fromArrayBuffer = function (buffer) {
            var bytes = new Uint8Array(buffer), text = '';
            for (var i = 0; i < bytes.length; i += 0x8000) {
                text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
            }
            return global.btoa(text);
        };
        exports.toArrayBuffer = function (base64) {
            var text = global.atob(base64), bytes = new Uint8Array(text.length);
            for (var i = 0; i < text.length; i++) {
                bytes[i] = text.charCodeAt(i);
            }
            return bytes.buffer;
        };
    });

    // ---- document events ------------------------------------------------------------------------------
    define('hybrid/channel', function (require, exports) {
        // A one-shot event: handlers added after it fired run at once.
        exports.sticky = function () {
            var fired = false, handlers = [];
            return {
                subscribe: function (fn) { if (fired) { fn(); } else { handlers.push(fn); } },
                fire: function () {
                    if (fired) { return; }
                    fired = true;
                    var list = handlers; handlers = [];
                    for (var i = 0; i < list.length; i++) { list[i](); }
                },
                hasFired: function () { return fired; }
            };
        };
    });

    // ---- the exec bridge --------------------------------------------------------------------------------
    define('hybrid/exec', function (require, exports, module) {
        var base64 = require('hybrid/base64');
        var modes = { xhr: 'xhr', iframe: 'iframe', hash: 'hash' };
        var STATUS = { NO_RESULT: 0, OK: 1 };
        var MAX_HEADER_BATCH = 4000;
        // A longer batch (counted before escaping) makes a fragment the engine and the native side take longer
        // to read than a fetch.
        var MAX_FRAGMENT_BATCH = 4000;

        var bridgeMode = modes.xhr;
        var queue = [];             // the JSON texts of the commands not yet taken by the native side
        var callbacks = {};         // callbackId -> {success, fail}
        var nextCallbackId = Math.floor(Math.random() * 1000000000);
        var nativeContextDepth = 0; // > 0 while the native side runs script in the page
        var requestNumber = 0;      // the "rc" header of the last poke; the first poke of a page is 1
        var hashFlip = false;
        var signalFrame = null;
        var signalScheduled = false;
        // True from a signal, or from the native side taking commands, until it takes the queue again and
        // finds it empty: meanwhile it is sure to come back (with the answers, or to fetch the queue), so
        // calls made then wait in the queue and travel together, without a signal each. A signal that never
        // reaches the native side (a stale poke, a frame that did not navigate) is given NATIVE_LATE_MS; then
        // the page signals again.
        var nativeComing = false;
        var nativeComingSince = 0;  // when the native side last was told, or last took commands
        var nativeLateTimer = null; // one timer while it is awaited, not one per call
        var NATIVE_LATE_MS = 50;
        // Batches the native side took from a script's answer (hand-overs), numbered. One is known to have
        // arrived once a callback comes for a command in it or in a later one (the native side runs what it
        // is handed in order). Until then a fragment signal must not carry a batch (see signalByHash).
        var queuedIds = [];         // the callback id of each command in `queue` ('INVALID': none)
        var handOvers = 0;          // hand-overs so far
        var handOversArrived = 0;   // the latest known to have arrived

        // JSON text made pure ASCII (every other character escaped), so it can travel in a header.
        function asciiJSON(text) {
            return text.replace(/[\u007f-\uffff]/g, function (c) {
                return '\\u' + ('0000' + c.charCodeAt(0).toString(16)).slice(-4);
            });
        }

        function viewNumber() {
            var match = /\((-?\d+)\)\s*$/.exec(global.navigator.userAgent);
            return match ? match[1] : null;
        }

        function massageArgs(args) {
            var out = [];
            for (var i = 0; i < args.length; i++) {
                var a = args[i];
                if (a instanceof ArrayBuffer) {
                    out.push({ HYBType: 'ArrayBuffer', data: base64.fromArrayBuffer(a) });
                } else if (ArrayBuffer.isView && ArrayBuffer.isView(a)) {
                    out.push({ HYBType: 'ArrayBuffer', data: base64.fromArrayBuffer(a.buffer.slice(a.byteOffset, a.byteOffset + a.byteLength)) });
                } else {
                    out.push(a);
                }
            }
            return out;
        }

        // An answer's message as the page's callbacks receive it (ArrayBuffer and MultiPart unpacked).
        function massageMessage(message) {
            if (message && message.HYBType === 'ArrayBuffer') {
                return [base64.toArrayBuffer(message.data)];
            }
            if (message && message.HYBType === 'MultiPart') {
                var parts = [];
                for (var i = 0; i < message.messages.length; i++) {
                    parts.push(massageMessage(message.messages[i])[0]);
                }
                return parts;
            }
            return [message];
        }

        // The length of the queue's batch text (before escaping).
        function queuedLength() {
            var length = 1 + queue.length;
            for (var i = 0; i < queue.length; i++) { length += queue[i].length; }
            return length;
        }

        // The queue as text, emptied. `handOver`: the number its callbacks carry (0: a signal took it).
        function takeQueue(handOver) {
            if (!queue.length) { return ''; }
            var text = '[' + queue.join(',') + ']';
            for (var i = 0; i < queuedIds.length; i++) {
                var entry = callbacks[queuedIds[i]];
                if (entry) { entry.handOver = handOver; }
            }
            queue = [];
            queuedIds = [];
            return text;
        }

        function expectNative(coming) {
            nativeComing = coming;
            if (coming) {
                nativeComingSince = Date.now();
                if (nativeLateTimer === null) {
                    nativeLateTimer = global.setTimeout(checkNativeLate, NATIVE_LATE_MS);
                }
            }
        }

        function checkNativeLate() {
            nativeLateTimer = null;
            if (!nativeComing) { return; }
            var waited = Date.now() - nativeComingSince;
            if (waited >= 0 && waited < NATIVE_LATE_MS) {
                nativeLateTimer = global.setTimeout(checkNativeLate, NATIVE_LATE_MS - waited);
                return;
            }
            nativeComing = false;
            if (queue.length && nativeContextDepth === 0 && !signalScheduled) {
                signalNative(true);
            }
        }

        // The queue as the native side takes it: having taken commands, it runs them and comes back. The
        // scripts of one visit (several answers, say) run one after the other with no task of the page between
        // them: once one of them took commands, a later one that finds the queue empty does not mean that the
        // native side is done, since it runs what it took after the visit.
        var tookThisVisit = false;
        function nativeTake() {
            var text = takeQueue(queue.length ? handOvers + 1 : 0);
            if (text !== '') {
                handOvers += 1;
                if (!tookThisVisit) {
                    tookThisVisit = true;
                    Promise.resolve().then(function () { tookThisVisit = false; });
                }
            }
            expectNative(text !== '' || tookThisVisit);
            return text;
        }

        function signalByXHR() {
            var xhr = new XMLHttpRequest();
            xhr.open('GET', '/!hyb_exec?' + (+new Date()), true);
            var vc = viewNumber();
            if (vc !== null) { xhr.setRequestHeader('vc', vc); }
            // Escaping only lengthens the text: a batch already too long is not written out.
            var batch = queuedLength() <= MAX_HEADER_BATCH ? asciiJSON('[' + queue.join(',') + ']') : null;
            // Every request carries "rc". A batch too long for a header goes as a poke, and the native side
            // fetches the queue. Pokes are numbered 1, 2, ... from the page load: the native side takes only a
            // first poke of 1 and then rising numbers, so requests that carry their commands do not count.
            if (batch !== null && batch.length <= MAX_HEADER_BATCH) {
                xhr.setRequestHeader('cmds', batch);
                takeQueue(0);
            } else {
                requestNumber += 1;
            }
            xhr.setRequestHeader('rc', String(requestNumber));
            xhr.send(null);
        }

        function signalByFrame() {
            if (!signalFrame || !signalFrame.parentNode) {
                signalFrame = global.document.createElement('iframe');
                signalFrame.style.display = 'none';
                (global.document.body || global.document.documentElement).appendChild(signalFrame);
            }
            signalFrame.src = 'hyb://ready';
        }

        // A fragment signal is a question the native side answers at once, even while it holds back what
        // else reaches it (hand-overs included) until a wait of its own is over. So a fragment carries the
        // batch only when every hand-over is known to have arrived, and not when the native side is late;
        // otherwise it is a bare one: the native side fetches the queue, and the fetch's batch takes its
        // turn behind the hand-overs.
        function signalByHash(late) {
            hashFlip = !hashFlip;
            var batch = !late && handOversArrived === handOvers && queuedLength() <= MAX_FRAGMENT_BATCH ? takeQueue(0) : '';
            global.location.hash = (hashFlip ? '%01' : '%02') + encodeURIComponent(batch);
        }

        // `late`: the native side was awaited and did not come back in time.
        function signalNative(late) {
            signalScheduled = false;
            if (!queue.length || nativeComing) { return; }
            if (bridgeMode === modes.iframe) {
                signalByFrame();
            } else if (bridgeMode === modes.hash) {
                signalByHash(late);
            } else {
                signalByXHR();
            }
            expectNative(true);
        }

        function exec(success, fail, service, action, args) {
            var callbackId = 'INVALID', command;
            // The command is encoded now: arguments that cannot be (a cycle, nesting too deep for the
            // engine, a throwing toJSON) fail this call alone, at once, and never reach the queue.
            try {
                service = String(service);
                action = String(action);
                if (success || fail) {
                    callbackId = service.replace(/[^A-Za-z0-9._-]/g, '') + (nextCallbackId + 1);
                }
                command = JSON.stringify([callbackId, service, action, massageArgs(args || [])]);
            } catch (e) {
                var reason = 'The arguments cannot be encoded';
                try { reason += ': ' + e; } catch (ignored) { /* an error that cannot be told */ }
                if (typeof fail === 'function') {
                    try {
                        fail(reason);
                    } catch (e2) {
                        if (global.console) { global.console.log('Error in callback ' + callbackId + ': ' + e2); }
                    }
                }
                return;
            }
            if (callbackId !== 'INVALID') {
                nextCallbackId += 1;
                callbacks[callbackId] = { success: success, fail: fail };
            }
            queue.push(command);
            queuedIds.push(callbackId);
            // Inside native script the native side takes the queue from the script's answer, and while it is
            // coming back anyway it takes it then. Otherwise it is told once, after the page's current script:
            // the calls made meanwhile travel as one batch.
            if (nativeContextDepth === 0 && !signalScheduled && !nativeComing) {
                signalScheduled = true;
                Promise.resolve().then(signalNative);
            }
        }

        exec.jsToNativeModes = modes;
        exec.setJsToNativeBridgeMode = function (mode) {
            if (!modes[mode]) { throw new Error('unknown bridge mode ' + mode); }
            bridgeMode = mode;
        };
        exec.jsToNativeBridgeMode = function () { return bridgeMode; };

        exec.nativeFetchMessages = function () {
            return nativeTake();
        };

        // Each of the three hands the queue over, even when the page's part of it fails: the native side
        // counts on the script to take the commands queued meanwhile, and fetches nothing after it.
        exec.nativeEvalAndFetch = function (fn) {
            nativeContextDepth += 1;
            try {
                fn();
            } catch (e) {
                if (global.console) { global.console.log('Error in native script: ' + e); }
            } finally {
                nativeContextDepth -= 1;
            }
            return nativeTake();
        };

        exec.nativeCallback = function (callbackId, status, message, keepCallback) {
            nativeContextDepth += 1;
            try {
                var entry = callbacks[callbackId];
                if (entry) {
                    if (entry.handOver > handOversArrived) { handOversArrived = entry.handOver; }
                    var args = massageMessage(message); // an unreadable one is logged below
                    if (!keepCallback) { delete callbacks[callbackId]; }
                    var fn = (status === STATUS.OK || status === STATUS.NO_RESULT) ? entry.success : entry.fail;
                    if (fn) {
                        try {
                            fn.apply(null, args);
                        } catch (e) {
                            if (global.console) { global.console.log('Error in callback ' + callbackId + ': ' + e); }
                        }
                    }
                }
            } catch (e) {
                if (global.console) { global.console.log('Error in answer ' + callbackId + ': ' + e); }
            } finally {
                nativeContextDepth -= 1;
            }
            return nativeTake();
        };

        // The number of callbacks still waiting (for tests and the bench page).
        exec.pendingCallbackCount = function () {
            return Object.keys(callbacks).length;
        };

        module.exports = exec;
    });

    // ---- the global object --------------------------------------------------------------------------------
    var channel = require('hybrid/channel');
    var deviceReady = channel.sticky();

    // The data's entries become the event's properties. Data from outside (a notification's payload) may
    // name one the event holds read-only (type, target, isTrusted...): that one keeps the event's value,
    // and the event still fires.
    function copyEventData(event, data) {
        if (!data) {
            return;
        }
        for (var key in data) {
            if (Object.prototype.hasOwnProperty.call(data, key)) {
                try {
                    event[key] = data[key];
                } catch (e) {
                    // read-only on the event
                }
            }
        }
    }

    var hybrid = {
        define: define,
        require: require,
        exec: require('hybrid/exec'),
        fireDocumentEvent: function (type, data, noDetach) {
            var event = global.document.createEvent('Events');
            event.initEvent(type, false, false);
            copyEventData(event, data);
            if (noDetach) {
                global.document.dispatchEvent(event);
            } else {
                global.setTimeout(function () { global.document.dispatchEvent(event); }, 0);
            }
        },
        fireWindowEvent: function (type, data) {
            var event = global.document.createEvent('Events');
            event.initEvent(type, false, false);
            copyEventData(event, data);
            global.dispatchEvent(event);
        }
    };

    // 'deviceready' handlers added after it fired still run.
    var addEventListener = global.document.addEventListener;
    global.document.addEventListener = function (type, handler, capture) {
        if (type === 'deviceready' && deviceReady.hasFired()) {
            global.setTimeout(function () { handler.call(global.document, { type: 'deviceready' }); }, 0);
            return;
        }
        return addEventListener.call(global.document, type, handler, capture);
    };

    function ready() {
        deviceReady.fire();
    }
    deviceReady.subscribe(function () {
        var event = global.document.createEvent('Events');
        event.initEvent('deviceready', false, false);
        global.document.dispatchEvent(event);
    });
    if (global.document.readyState === 'loading') {
        global.document.addEventListener('DOMContentLoaded', ready, false);
    } else {
        global.setTimeout(ready, 0);
    }

    // ---- plug-ins that call into the page ------------------------------------------------------------
    // The Diagnostic service reports changes of the location authorisation and of the Bluetooth state by
    // calling these; each becomes a document event carrying the new status word as event.state.
    hybrid.plugins = {
        diagnostic: {
            _onLocationStateChange: function (state) {
                hybrid.fireDocumentEvent('locationstatechange', { state: state });
            },
            _onBluetoothStateChange: function (state) {
                hybrid.fireDocumentEvent('bluetoothstatechange', { state: state });
            }
        },
        // The Keyboard service sets isVisible and fires the window events 'native.keyboardshow' and
        // 'native.showkeyboard' (event.keyboardHeight, in points), then 'native.keyboardhide' and
        // 'native.hidekeyboard'.
        Keyboard: {
            isVisible: false,
            hideKeyboardAccessoryBar: function (hide) {
                hybrid.exec(null, null, 'Keyboard', 'hideKeyboardAccessoryBar', [hide]);
            },
            disableScroll: function (disable) {
                hybrid.exec(null, null, 'Keyboard', 'disableScroll', [disable]);
            },
            close: function () {
                hybrid.exec(null, null, 'Keyboard', 'close', []);
            },
            show: function () {
                hybrid.exec(null, null, 'Keyboard', 'show', []);
            }
        }
    };

    // The date picker: datePicker.show(options, onChange, onCancel) shows the native sheet. The service
    // answers by calling _dateSelected with the date as text (seconds since 1970) at every change and on
    // Done, and _dateSelectionCanceled on Cancel; onChange gets a Date, onCancel nothing.
    var datePicker = {
        _onChange: null,
        _onCancel: null,
        show: function (options, onChange, onCancel) {
            datePicker._onChange = onChange || null;
            datePicker._onCancel = onCancel || null;
            hybrid.exec(null, null, 'DatePicker', 'show', [options || {}]);
        },
        _dateSelected: function (seconds) {
            if (datePicker._onChange) {
                datePicker._onChange(new Date(parseFloat(seconds) * 1000));
            }
        },
        _dateSelectionCanceled: function () {
            if (datePicker._onCancel) {
                datePicker._onCancel();
            }
        }
    };

    // The page's editing reaches the native keyboard: while an editable element has the focus the web
    // view is the keyboard's responder (the Keyboard service's editingChanged). A move of the focus
    // between editable elements is no change.
    (function () {
        var NOT_TYPED = /^(button|checkbox|color|file|hidden|image|radio|range|reset|submit)$/i;
        var editing = false;
        function editable(el) {
            if (!el || el.disabled || el.readOnly) { return false; }
            if (el.isContentEditable || el.tagName === 'TEXTAREA') { return true; }
            return el.tagName === 'INPUT' && !NOT_TYPED.test(el.type);
        }
        function report() {
            var now = editable(global.document.activeElement);
            if (now !== editing) {
                editing = now;
                hybrid.exec(null, null, 'Keyboard', 'editingChanged', [now]);
            }
        }
        global.document.addEventListener('focusin', report, true);
        global.document.addEventListener('focusout', function () { global.setTimeout(report, 0); }, true);
    })();

    global.hybrid = hybrid;
    global.datePicker = datePicker;
})(window);
