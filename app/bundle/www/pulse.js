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
        onReceiveMessage: null,

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

        receiveMessageIniOSCallback: function (json) {
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
    };

    global.plugins = global.plugins || {};
    global.plugins.pulsePlugin = pulsePlugin;
})(window);
