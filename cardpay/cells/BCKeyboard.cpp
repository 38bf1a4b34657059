#include "cardpay/cells/BCKeyboard.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCViews.h"
#include "platform/core/Crypto.h"
#include "platform/ui/KeyboardManager.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace cardpay {

namespace {

const platform::Color kBackgroundColor = platform::Color::fromRGBA255(206, 210, 217);
const platform::Color kDigitKeyColor = platform::Color::white();
const platform::Color kFunctionKeyColor = platform::Color::fromRGBA255(172, 179, 190);
constexpr double kGap = 6;

std::uint64_t systemSeed() {
    std::array<std::uint8_t, 8> bytes{};
    std::uint64_t seed = 0;
    if (platform::Crypto::randomBytes(bytes))
        std::memcpy(&seed, bytes.data(), sizeof seed);
    else
        seed = std::random_device{}();
    return seed;
}

char hexDigit(unsigned nibble) { return "0123456789ABCDEF"[nibble & 0xF]; }

} // namespace

BCKeyboard::BCKeyboard()
    : platform::View(platform::Rect(0, 0, BCUtils::displayWidth(),
                                    BCUtils::iPadDevice() ? platform::KeyboardManager::kPadHeight : platform::KeyboardManager::kPhoneHeight)),
      m_random(systemSeed()) {
    setBackgroundColor(kBackgroundColor);
    for (std::size_t position = 0; position < m_keys.size(); ++position) {
        m_keys[position] = makeKey(false);
        m_keys[position]->addTarget(m_alive, [this, position](platform::Control&) { digitPressed(m_digits[position]); },
                                    platform::kControlEventTouchUpInside);
    }
    m_doneKey = makeKey(true);
    m_doneKey->setTitle(BCLocale::instance()->getStringById(10012), platform::kControlStateNormal);
    m_doneKey->addTarget(m_alive, [this](platform::Control&) { donePressed(); }, platform::kControlEventTouchUpInside);
    m_deleteKey = makeKey(true);
    m_deleteKey->setTitle(std::string(kDeleteKeyTitle), platform::kControlStateNormal);
    m_deleteKey->titleLabel()->setFont(platform::Font::systemFont(26));
    m_deleteKey->addTarget(m_alive, [this](platform::Control&) { deletePressed(); }, platform::kControlEventTouchUpInside);
    applyKeyTitles();
    layoutSubviews();
}

BCKeyboard::~BCKeyboard() { clearKeptDigits(); }

std::shared_ptr<platform::Button> BCKeyboard::makeKey(bool functionKey) {
    auto key = platform::Button::create(platform::ButtonType::Custom);
    key->setBackgroundColor(functionKey ? kFunctionKeyColor : kDigitKeyColor);
    key->setBackgroundImage(BCViews::imageWithR(160, 166, 176, 1), platform::kControlStateHighlighted);
    key->setClipsToBounds(true);
    key->layer()->setCornerRadius(5);
    key->setExclusiveTouch(true);
    key->titleLabel()->setFont(platform::Font::systemFont(functionKey ? 18 : 24));
    key->setTitleColor(platform::Color::black(), platform::kControlStateNormal);
    addSubview(key);
    return key;
}

void BCKeyboard::applyKeyTitles() {
    for (std::size_t position = 0; position < m_keys.size(); ++position)
        m_keys[position]->setTitle(std::to_string(m_digits[position]), platform::kControlStateNormal);
}

void BCKeyboard::layoutSubviews() {
    const double keyWidth = (bounds().size.width - kGap * (kColumns + 1)) / kColumns;
    const double keyHeight = (bounds().size.height - kGap * (kRows + 1)) / kRows;
    const auto place = [&](platform::Button& key, int row, int column) {
        key.setFrame(platform::Rect(kGap + column * (keyWidth + kGap), kGap + row * (keyHeight + kGap), keyWidth, keyHeight));
    };
    for (int position = 0; position < 9; ++position)
        place(*m_keys[static_cast<std::size_t>(position)], position / kColumns, position % kColumns);
    place(*m_doneKey, kRows - 1, 0);
    place(*m_keys[9], kRows - 1, 1);
    place(*m_deleteKey, kRows - 1, 2);
}

void BCKeyboard::willRotateToInterfaceOrientation(platform::InterfaceOrientation, double) {
    setNeedsLayout();
    layoutIfNeeded();
}

void BCKeyboard::setSecurity(bool security) {
    if (m_security == security)
        return;
    m_security = security;
    if (!security)
        clearKeptDigits();
    makeKeyboardRandom();
}

void BCKeyboard::makeKeyboardRandom() {
    // Each deal starts from the ordered keys, so a seed alone fixes the arrangement.
    m_digits = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0};
    if (m_security)
        std::shuffle(m_digits.begin(), m_digits.end(), m_random);
    applyKeyTitles();
}

void BCKeyboard::setRandomSeed(std::uint64_t seed) {
    m_random.seed(seed);
    makeKeyboardRandom();
}

const std::shared_ptr<platform::Button>& BCKeyboard::digitKey(int digit) const {
    const auto it = std::find(m_digits.begin(), m_digits.end(), digit);
    return m_keys[static_cast<std::size_t>(it == m_digits.end() ? 0 : it - m_digits.begin())];
}

void BCKeyboard::digitPressed(int digit) {
    const auto delegate = m_delegate.lock();
    if (!m_security) {
        if (delegate)
            delegate->textChanged(std::to_string(digit));
        return;
    }
    if (m_keptCount == kMaxKeptDigits)
        return;
    m_kept[m_keptCount++] = static_cast<char>('0' + digit);
    if (!delegate || !delegate->textChanged("*"))
        explicit_bzero(&m_kept[--m_keptCount], 1);
}

void BCKeyboard::deletePressed() {
    if (m_security && m_keptCount > 0)
        explicit_bzero(&m_kept[--m_keptCount], 1);
    if (const auto delegate = m_delegate.lock())
        delegate->deleteClick();
}

void BCKeyboard::donePressed() {
    if (const auto delegate = m_delegate.lock())
        delegate->doneClick();
}

bool BCKeyboard::typeKeys(const std::string& text) {
    bool pressed = false;
    for (const char c : text)
        if (c >= '0' && c <= '9') {
            digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
            pressed = true;
        }
    return pressed;
}

bool BCKeyboard::pressDelete() {
    m_deleteKey->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    return true;
}

bool BCKeyboard::pressReturn() {
    m_doneKey->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    return true;
}

void BCKeyboard::clearKeptDigits() {
    explicit_bzero(m_kept.data(), m_kept.size());
    m_keptCount = 0;
}

std::optional<std::string> BCKeyboard::getMessage(std::string_view pan) const {
    if (m_keptCount == 0)
        return std::nullopt;
    std::string digits;
    for (const char c : pan) {
        if (c >= '0' && c <= '9')
            digits.push_back(c);
        else if (c != ' ')
            return std::nullopt;
    }
    // The card-number field: four zero nibbles, then the twelve rightmost digits without the check digit.
    std::array<unsigned, 16> panField{};
    if (!digits.empty())
        digits.pop_back();
    const std::size_t take = std::min<std::size_t>(12, digits.size());
    for (std::size_t i = 0; i < take; ++i)
        panField[16 - take + i] = static_cast<unsigned>(digits[digits.size() - take + i] - '0');
    // The PIN field: 0, the length, the digits, filler nibbles F.
    std::array<unsigned, 16> pinField;
    pinField.fill(0xF);
    pinField[0] = 0;
    pinField[1] = static_cast<unsigned>(m_keptCount);
    for (std::size_t i = 0; i < m_keptCount; ++i)
        pinField[2 + i] = static_cast<unsigned>(m_kept[i] - '0');
    std::string block(16, '0');
    for (std::size_t i = 0; i < 16; ++i)
        block[i] = hexDigit(pinField[i] ^ panField[i]);
    explicit_bzero(pinField.data(), sizeof pinField);
    return block;
}

} // namespace cardpay
