// The payment cells' digit keyboard, shown in the system keyboard's place as a text field's input view.
//
// Ten digit keys, a Done key and a delete key, each sent to the delegate. In security mode the digit
// keys are shuffled and a pressed digit stays inside the keyboard: the delegate gets "*" instead, and
// `getMessage` hands out the PIN block of the kept digits bound to a card number. That block is the
// ISO 9564 format-0 block (PIN field XOR card-number field) as 16 hexadecimal digits, not enciphered.
// Kept digits are overwritten when they are cleared, when security mode ends and when the keyboard goes.
//
// The shuffle draws from a seeded generator: from the system's random source unless `setRandomSeed`
// fixed it (tests and reference pictures).
//
// As the field's input view it also takes the desktop's keys: typed digits, delete and return press its
// digit, delete and Done keys (other characters are ignored).
//
// Main thread only. The delegate is held weakly.
#pragma once

#include "platform/system/InterfaceOrientation.h"
#include "platform/ui/Button.h"
#include "platform/ui/TextField.h"
#include "platform/ui/View.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace cardpay {

class BCKeyboardDelegate {
public:
    virtual ~BCKeyboardDelegate() = default;
    // One key's text: a digit, or "*" in security mode. Answers whether the text took it; a keyboard
    // in security mode forgets a digit whose "*" was refused, so kept digits and shown marks agree.
    virtual bool textChanged(const std::string& text) = 0;
    virtual void deleteClick() = 0;
    virtual void doneClick() = 0;
};

class BCKeyboard : public platform::View, public platform::KeyInputView {
public:
    static constexpr std::size_t kMaxKeptDigits = 12;  // the longest PIN a format-0 block holds
    static constexpr int kRows = 4;
    static constexpr int kColumns = 3;
    static constexpr const char* kDeleteKeyTitle = "←";

    // As wide as the display; the height of the platform's keyboard (216 on a phone, 264 on a tablet).
    BCKeyboard();
    ~BCKeyboard() override;

    void setMDelegate(std::weak_ptr<BCKeyboardDelegate> delegate) { m_delegate = std::move(delegate); }
    std::shared_ptr<BCKeyboardDelegate> mDelegate() const { return m_delegate.lock(); }

    // Security mode on: keys shuffled, digits kept. Off: keys in order, kept digits wiped.
    void setSecurity(bool security);
    bool isSecurity() const { return m_security; }
    // Deals the digit keys anew (in order when not in security mode).
    void makeKeyboardRandom();
    // Fixes the shuffle's generator and deals the keys again.
    void setRandomSeed(std::uint64_t seed);
    // The digits on the keys, row by row: the first nine fill three rows, the tenth sits between Done
    // and delete.
    const std::array<int, 10>& keyDigits() const { return m_digits; }

    // The PIN block of the kept digits bound to `pan` (its blanks ignored), as 16 upper-case hexadecimal
    // digits; none when no digit is kept or `pan` holds something other than digits and blanks.
    std::optional<std::string> getMessage(std::string_view pan) const;
    std::size_t keptDigitCount() const { return m_keptCount; }
    // Overwrites and forgets the kept digits.
    void clearKeptDigits();

    // The keys, for drivers and tests: digit keys by their digit, then Done and delete.
    const std::shared_ptr<platform::Button>& digitKey(int digit) const;
    const std::shared_ptr<platform::Button>& doneKey() const { return m_doneKey; }
    const std::shared_ptr<platform::Button>& deleteKey() const { return m_deleteKey; }

    // Typed text: each digit presses its key; answers whether any did.
    bool typeKeys(const std::string& text) override;
    bool pressDelete() override;
    bool pressReturn() override;

    // Re-lays the keys over the keyboard's (already changed) width.
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

protected:
    void layoutSubviews() override;

private:
    void digitPressed(int digit);
    void deletePressed();
    void donePressed();
    void applyKeyTitles();
    std::shared_ptr<platform::Button> makeKey(bool functionKey);

    std::weak_ptr<BCKeyboardDelegate> m_delegate;
    bool m_security = false;
    std::array<int, 10> m_digits{1, 2, 3, 4, 5, 6, 7, 8, 9, 0};
    std::array<std::shared_ptr<platform::Button>, 10> m_keys;  // by position
    std::shared_ptr<platform::Button> m_doneKey, m_deleteKey;
    std::array<char, kMaxKeptDigits> m_kept{};
    std::size_t m_keptCount = 0;
    std::mt19937_64 m_random;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);  // the keys' target: lives as long as the keyboard
};

} // namespace cardpay
