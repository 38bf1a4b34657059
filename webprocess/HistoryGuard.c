/* The steps in the view's session history that a frame of another site may take: none of its own accord.
 *
 * A frame's history.back(), history.forward() and history.go(n) step the view's one session history, whatever
 * frame each entry is for: an advertisement that calls history.back() sends the application's page back to the
 * one before it, which loads again and resets the plug-ins. So, in every frame whose origin is not its top
 * document's (a frame of another site, a sandboxed one, and whatever such a frame makes: its about:blank, srcdoc,
 * data: and blob: frames, which are of its origin or none), before any script of the page runs there, those three
 * calls are wrapped on its History prototype (HISTORY_GUARD): a step (go(0) is no step: it reloads the frame
 * alone) goes on only while the frame has the person's transient activation (a tap in it); without it the call
 * does nothing, as a step past either end of the history does. The wrapped calls can be neither changed nor
 * deleted, and the frame finds the engine's own calls in no frame of its origin that runs scripts: each such frame is
 * wrapped the same way when its window object is made, before the frame can reach it. (One whose scripts may not run,
 * sandboxed with "allow-same-origin" alone, gets no window object from the engine here, so its calls stay bare.)
 * The page itself and its frames of its own origin step as before. */
#include "webprocess/RequestHook.h"

#define HISTORY_GUARD                                                                                             \
    "(function () { 'use strict';"                                                                                \
    " if (typeof History !== 'function') return;"                                                                 \
    " var apply = Reflect.apply, getOwn = Object.getOwnPropertyDescriptor, define = Object.defineProperty;"       \
    " var getPrototypeOf = Object.getPrototypeOf, thisWindow = window, thisNavigator = navigator;"                \
    " var originOf = (getOwn(window, 'origin') || getOwn(getPrototypeOf(window), 'origin') || {}).get;"           \
    /* Of the top document's origin: the page's own frame, which steps as the page does. A frame that cannot      \
     * read its top's origin is of another. */                                                                    \
    " try { var own = apply(originOf, thisWindow, []);"                                                           \
    "  if (own !== 'null' && own === apply(originOf, top, [])) return; } catch (e) {}"                            \
    " var activation = getOwn(Navigator.prototype, 'userActivation');"                                            \
    " var activationOf = activation && activation.get, isActive = typeof UserActivation === 'function' &&"        \
    "  (getOwn(UserActivation.prototype, 'isActive') || {}).get;"                                                 \
    " function tapped() { try { return !!(activationOf && isActive &&"                                            \
    "  apply(isActive, apply(activationOf, thisNavigator, []), [])); } catch (e) { return false; } }"             \
    " function wrap(name, delta) {"                                                                               \
    "  var own = getOwn(History.prototype, name); if (!own || typeof own.value !== 'function') return;"           \
    "  var original = own.value;"                                                                                 \
    "  var wrapped = { [name]: function () {"                                                                     \
    /* The step as the engine reads it (a long: read once, so the engine is handed the step judged). */           \
    "   var step = delta(arguments);"                                                                             \
    "   if (step !== 0 && !tapped()) return;"                                                                     \
    "   return name === 'go' ? apply(original, this, [step]) : apply(original, this, []); } }[name];"             \
    "  define(History.prototype, name, { value: wrapped, writable: false, enumerable: own.enumerable, configurable: false }); }" \
    " wrap('back', function () { return -1; }); wrap('forward', function () { return 1; });"                      \
    " wrap('go', function (args) { return args.length > 0 && args[0] !== undefined ? (+args[0]) | 0 : 0; });"     \
    "})"

/* Wraps the steps of a frame of another site's new window object, once for each of its contexts. */
#define HISTORY_GUARDED_CONTEXT_KEY "hyb-history-guarded-context"
void guard_history(WebKitFrame* frame, WebKitScriptWorld* world)
{
    if (webkit_frame_is_main_frame(frame))
        return;
    JSCContext* context = unguarded_context(frame, world, HISTORY_GUARDED_CONTEXT_KEY);
    if (!context)
        return;
    run_guard(context, HISTORY_GUARD, NULL);
    g_object_unref(context);
}
