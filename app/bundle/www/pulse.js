/*
 * pulse.js: the page's half of the push service "PulsePlugin" (load it after hybrid.js).
 *
 * window.plugins.pulsePlugin has one function per native action; each takes the action's arguments
 * and, for the actions that answer (isPushStopped, getRegistrationID, getApplicationIconBadgeNumber), a
 * success callback first:
 *     pulsePlugin.getRegistrationID(function (id) { ... });
 *     pulsePlugin.setTagsWithAlias(['news', 'sport'], 'alice');   // answered by 'pulse.setTagsWithAlias'
 *
 * The native side fires these document events: 'pulse.receiveMessage' (a pushed message: event.content,
 * and event.title, event.content_type, event.extras when present), 'pulse.receiveNotification' (a remote
 * notification while the application is active), 'pulse.openNotification' (one that opened it) and
 * 'pulse.setTagsWithAlias' (event.resultCode, event.tags, event.alias). A pushed message also reaches
 * receiveMessageIniOSCallback with the message's JSON text (null for a message without content); it
 * keeps the message as receivedMessage and hands it to onReceiveMessage when the page set one.
 * Messages that come while the page has neither a 'pulse.receiveMessage' listener nor onReceiveMessage
 * (it may listen late: after 'deviceready', after its load) wait for the first one, which gets them at once.
 */
(function (global) {
    'use strict';

    var SERVICE = 'PulsePlugin';

    function call(action, args, success) {
        global.hybrid.exec(success || null, null, SERVICE, action, args || []);
    }
    function orNull(value) {
        return value === undefined ? null : value;
    }

    var pulsePlugin = {
        receivedMessage: null,

        stopPush: function () { call('stopPush'); },
        resumePush: function () { call('resumePush'); },
        isPushStopped: function (success) { call('isPushStopped', [], success); },
        initial: function () { call('initial'); },
        // Tags: an array of strings or null; alias: a string or null.
        setTagsWithAlias: function (tags, alias) { call('setTagsWithAlias', [orNull(alias), orNull(tags)]); },
        setTags: function (tags) { call('setTags', tags || []); },
        setAlias: function (alias) { call('setAlias', [orNull(alias)]); },
        getRegistrationID: function (success) {
            call('getRegistrationID', [], function (id) { success(decodeURIComponent(id)); });
        },
        startLogPageView: function (pageName) { call('startLogPageView', [pageName]); },
        stopLogPageView: function (pageName) { call('stopLogPageView', [pageName]); },
        beginLogPageView: function (pageName, seconds) { call('beginLogPageView', [pageName, seconds]); },
        setBadge: function (value) { call('setBadge', [value]); },
        resetBadge: function () { call('resetBadge'); },
        setApplicationIconBadgeNumber: function (value) { call('setApplicationIconBadgeNumber', [value]); },
        getApplicationIconBadgeNumber: function (success) { call('getApplicationIconBadgeNumber', [], success); },
        setDebugModeFromIos: function () { call('setDebugModeFromIos'); },
        setLogOFF: function () { call('setLogOFF'); },
        crashLogON: function () { call('crashLogON'); },
        // Seconds from now, text, badge, identifier and user information: each may be null.
        setLocalNotification: function (seconds, alertBody, badge, identifierKey, userInfo) {
            call('setLocalNotification', [orNull(seconds), orNull(alertBody), orNull(badge), orNull(identifierKey), orNull(userInfo)]);
        },
        deleteLocalNotificationWithIdentifierKey: function (identifierKey) {
            call('deleteLocalNotificationWithIdentifierKey', [identifierKey]);
        },
        clearAllLocalNotifications: function () { call('clearAllLocalNotifications'); },
        setLocation: function (latitude, longitude) { call('setLocation', [latitude, longitude]); },

        // The client takes a pushed message as handed over once the page has heard it: it asks how many
        // messages this page has heard (its events dispatched; the bridge dispatches them on a later
        // turn) and how many wait for the page's first listener (those it gets at once).
        heardCount: function () { return heard; },
        unheardCount: function () { return unheard.length; },

        receiveMessageIniOSCallback: function (json) {
            if (!listening()) {
                unheard.push(json);
                return;
            }
            // Its event's timer was set before this call: once this one fires, the event was dispatched.
            global.setTimeout(function () { heard++; }, 0);
            received(json);
        }
    };

    // The callback's half of a message: kept as receivedMessage and handed to onReceiveMessage.
    function received(json) {
        var message = null;
        if (typeof json === 'string') {
            try {
                message = JSON.parse(json);
            } catch (e) {
                global.console.log('pulsePlugin: a pushed message that is not JSON: ' + e);
                return;
            }
        }
        pulsePlugin.receivedMessage = message;
        if (typeof pulsePlugin.onReceiveMessage === 'function') {
            pulsePlugin.onReceiveMessage(message, json);
        }
    }

    // A pushed message that comes before the page listens for it waits (in the client's store, until
    // the page has heard it): the page may add its listener late (after 'deviceready', after its load).
    var unheard = [];
    var heard = 0;
    var eventListeners = 0;
    var onReceiveMessage = null;
    function listening() {
        return eventListeners > 0 || typeof onReceiveMessage === 'function';
    }
    function firstListener() {
        if (unheard.length === 0) {
            return;
        }
        // One a turn, before any message that comes meanwhile, so that the client learns of each as
        // it is heard.
        unheard.splice(0).forEach(function (json) {
            global.setTimeout(function () {
                var message = null;
                try {
                    message = typeof json === 'string' ? JSON.parse(json) : null;
                } catch (e) {
                    // reported by received, as any message that is not JSON
                }
                global.hybrid.fireDocumentEvent('pulse.receiveMessage', message, true);
                received(json);
                heard++;
            }, 0);
        });
        // The client asks again what the page has heard.
        call('initial');
    }
    Object.defineProperty(pulsePlugin, 'onReceiveMessage', {
        get: function () { return onReceiveMessage; },
        set: function (handler) {
            var first = !listening();
            onReceiveMessage = handler;
            if (first && listening()) {
                firstListener();
            }
        },
        enumerable: true
    });
    var addEventListener = global.document.addEventListener;
    global.document.addEventListener = function (type, handler, capture) {
        var result = addEventListener.apply(this, arguments);
        if (type === 'pulse.receiveMessage' && handler) {
            var first = !listening();
            eventListeners++;
            if (first) {
                firstListener();
            }
        }
        return result;
    };

    global.plugins = global.plugins || {};
    global.plugins.pulsePlugin = pulsePlugin;
})(window);
