#include "platform/ui/KeyboardManager.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/system/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/View.h"
#include "platform/ui/Window.h"

namespace platform {

KeyboardManager& KeyboardManager::shared() {
    static KeyboardManager manager;
    return manager;
}

std::optional<Rect> KeyboardManager::endFrame(const Notification& notification) {
    const Value* v = notification.userInfo.find(kKeyboardFrameEndUserInfoKey);
    const Dictionary* d = v ? v->getDictionary() : nullptr;
    if (!d)
        return std::nullopt;
    auto number = [d](const char* key) {
        const Value* x = d->find(key);
        const double* n = x ? x->getDouble() : nullptr;
        return n ? *n : 0.0;
    };
    return Rect(number("x"), number("y"), number("width"), number("height"));
}

void KeyboardManager::post(const char* name) const {
    Dictionary frame{{"x", m_frame.origin.x}, {"y", m_frame.origin.y}, {"width", m_frame.size.width}, {"height", m_frame.size.height}};
    NotificationCenter::defaultCenter().post(name, nullptr,
                                             Dictionary{{kKeyboardFrameEndUserInfoKey, std::move(frame)},
                                                        {kKeyboardAnimationDurationUserInfoKey, kAnimationDuration}});
}

void KeyboardManager::responderChanged(View* responder) {
    if (m_pending) {
        m_pending->invalidate();
        m_pending.reset();
    }
    if (!responder) {
        if (!m_visible)
            return;
        m_visible = false;
        hideArea();
        post(kKeyboardWillChangeFrameNotification);
        post(kKeyboardWillHideNotification);
        m_pending = RunLoop::main().scheduleTimer(seconds(kAnimationDuration), [this] {
            m_pending.reset();
            post(kKeyboardDidHideNotification);
        });
        return;
    }

    Rect screen = Screen::main().bounds();
    auto input = responder->inputView();
    auto accessory = responder->inputAccessoryView();
    double height = input ? input->bounds().size.height
                          : (Device::current().userInterfaceIdiom() == UserInterfaceIdiom::Pad ? kPadHeight : kPhoneHeight);
    if (accessory)
        height += accessory->bounds().size.height;
    Rect frame(screen.origin.x, screen.origin.y + screen.size.height - height, screen.size.width, height);
    bool same = m_visible && frame == m_frame;
    m_visible = true;
    m_frame = frame;
    showArea(*responder);
    if (same)
        return;
    post(kKeyboardWillChangeFrameNotification);
    post(kKeyboardWillShowNotification);
    m_pending = RunLoop::main().scheduleTimer(seconds(kAnimationDuration), [this] {
        m_pending.reset();
        post(kKeyboardDidShowNotification);
    });
}

void KeyboardManager::showArea(View& responder) {
    auto input = responder.inputView();
    auto accessory = responder.inputAccessoryView();
    hideArea();
    if (!input && !accessory)
        return;
    if (!m_window) {
        m_window = Window::create(m_frame);
        m_window->setWindowLevel(kWindowLevelKeyboard);
        m_window->setBackgroundColor(std::nullopt);
    }
    m_window->setFrame(m_frame);
    double y = 0;
    if (accessory) {
        accessory->setFrame(Rect(0, 0, m_frame.size.width, accessory->bounds().size.height));
        m_window->addSubview(accessory);
        y = accessory->bounds().size.height;
    }
    if (input) {
        input->setFrame(Rect(0, y, m_frame.size.width, input->bounds().size.height));
        m_window->addSubview(input);
    }
    m_window->setHidden(false);
}

void KeyboardManager::hideArea() {
    if (!m_window)
        return;
    for (const auto& v : std::vector<std::shared_ptr<View>>(m_window->subviews()))
        v->removeFromSuperview();
    m_window->setHidden(true);
}

} // namespace platform
