#include "cardpay/cells/BCPaymentElementsView.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCViews.h"

#include <algorithm>
#include <cctype>

namespace cardpay {

namespace {

const platform::Color kLineColor = platform::Color::fromRGBA255(229, 229, 229);

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

template <class Cell>
std::shared_ptr<Cell> find(const std::vector<std::shared_ptr<platform::View>>& elements) {
    for (const auto& view : elements)
        if (auto cell = std::dynamic_pointer_cast<Cell>(view))
            return cell;
    return nullptr;
}

} // namespace

// Hears the points cell for the form that owns it (so it never outlives the form).
struct BCPaymentElementsView::PointObserver final : BCPointCellObserver {
    explicit PointObserver(BCPaymentElementsView& form) : form(form) {}
    void pointCellKeyPathChanged(BCPointCell& cell, double offset) override { form.pointCellKeyPathChanged(cell, offset); }
    BCPaymentElementsView& form;
};

BCPaymentElementsView::BCPaymentElementsView(platform::Rect frame, const platform::Array& elements,
                                             std::weak_ptr<BCTextFieldDelegate> delegate)
    : platform::View(frame), m_delegate(std::move(delegate)) {
    const double width = frame.size.width;
    double y = 0;
    for (const platform::Value& entry : elements) {
        const platform::Dictionary* content = entry.getDictionary();
        const std::string* type = content ? (*content)["type"].getString() : nullptr;
        if (!type)
            continue;
        const std::string kind = lowercased(*type);
        std::shared_ptr<platform::View> view;
        if (kind == "string")
            view = std::make_shared<BCStringCell>(platform::Rect(0, y, width, 0), (*content)["label"].stringOr(""),
                                                  (*content)["value"].stringOr(""), (*content)["style"].stringOr(""));
        else
            view = makeCell(kind, platform::Rect(0, y, width, 0), *content);
        if (!view)
            continue;
        addSubview(view);
        m_elements.push_back(view);
        y += view->frame().size.height;
        if (view->isHidden())
            continue;
        auto line = std::make_shared<BCLineView>(platform::Rect(0, y, width, 1), kLineColor);
        addSubview(line);
        m_lines.push_back(line);
        y += 1;
    }
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, width, y));
}

std::shared_ptr<BCBaseCell> BCPaymentElementsView::makeCell(const std::string& type, platform::Rect frame, const platform::Dictionary& content) {
    if (type == "pan")
        return BCBaseCell::create<BCBankNumCell>(frame, content, m_delegate);
    if (type == "mobile")
        return BCBaseCell::create<BCTelephoneCell>(frame, content, m_delegate);
    if (type == "sms")
        return BCBaseCell::create<BCSmsCodeCell>(frame, content, m_delegate);
    if (type == "cvn2")
        return BCBaseCell::create<BCCvn2Cell>(frame, content, m_delegate);
    if (type == "expire")
        return BCBaseCell::create<BCValidDateCell>(frame, content, m_delegate);
    if (type == "pwd")
        return BCBaseCell::create<BCPasswordCell>(frame, content, m_delegate);
    if (type == "text" || type == "cert_id")
        return BCBaseCell::create<BCCommCell>(frame, content, m_delegate);
    if (type == "cert_type")
        return BCBaseCell::create<BCCertSelectCell>(frame, content, m_delegate);
    if (type == "area_code")
        return BCBaseCell::create<BCAreaCodeSelectCell>(frame, content, m_delegate);
    if (type == "hidden")
        return BCBaseCell::create<BCHiddenCell>(frame, content, m_delegate);
    if (type == "user_name")
        return BCBaseCell::create<BCUserNameCell>(frame, content, m_delegate);
    if (type == "password")
        return BCBaseCell::create<BCUserPwdCell>(frame, content, m_delegate);
    if (type == "point") {
        auto cell = BCBaseCell::create<BCPointCell>(frame, content, m_delegate);
        BCDataContainer::instance()->setPointCell(cell);
        if (!m_pointObserver)
            m_pointObserver = std::make_shared<PointObserver>(*this);
        cell->addOffsetObserver(m_pointObserver);
        if (auto screen = std::dynamic_pointer_cast<BCPointCellObserver>(m_delegate.lock()))
            cell->addOffsetObserver(screen);
        m_pointCell = cell;
        return cell;
    }
    return nullptr;
}

BCPaymentElementsView::~BCPaymentElementsView() {
    if (!m_pointCell)
        return;
    m_pointCell->removeAllObservers();
    if (BCDataContainer::instance()->pointCell() == m_pointCell)
        BCDataContainer::instance()->setPointCell(nullptr);
}

void BCPaymentElementsView::pointCellKeyPathChanged(BCPointCell& cell, double offset) {
    const double bottom = cell.frame().maxY();
    for (const auto& view : subviews()) {
        if (view.get() == &cell || view->frame().origin.y < bottom)
            continue;
        platform::Rect frame = view->frame();
        frame.origin.y += offset;
        view->setFrame(frame);
    }
    platform::Rect own = frame();
    own.size.height += offset;
    setFrame(own);
}

std::vector<std::shared_ptr<BCBaseCell>> BCPaymentElementsView::inputCells(bool smsOnly) const {
    std::vector<std::shared_ptr<BCBaseCell>> cells;
    for (const auto& view : m_elements) {
        auto cell = std::dynamic_pointer_cast<BCBaseCell>(view);
        if (!cell)
            continue;
        if (smsOnly && !std::dynamic_pointer_cast<BCBankNumCell>(cell) && !std::dynamic_pointer_cast<BCTelephoneCell>(cell) &&
            !std::dynamic_pointer_cast<BCAreaCodeSelectCell>(cell) && !std::dynamic_pointer_cast<BCHiddenCell>(cell))
            continue;
        cells.push_back(std::move(cell));
    }
    return cells;
}

std::string BCPaymentElementsView::joinedParams(const std::vector<std::shared_ptr<BCBaseCell>>& cells) {
    std::string joined;
    for (const auto& cell : cells)
        if (const auto param = cell->param()) {
            if (!joined.empty())
                joined += ",";
            joined += *param;
        }
    return joined;
}

std::optional<std::string> BCPaymentElementsView::checkError(const std::vector<std::shared_ptr<BCBaseCell>>& cells) {
    const auto locale = BCLocale::instance();
    for (const auto& cell : cells) {
        if (std::dynamic_pointer_cast<BCHiddenCell>(cell))
            continue;
        if (cell->isEmpty() && !std::dynamic_pointer_cast<BCPointCell>(cell))
            return formatText(locale->getStringById(12004), cell->value());
        if (!cell->isReadOnly() && !cell->isLegalLength())
            return formatText(locale->getStringById(12007), cell->value());
    }
    return std::nullopt;
}

std::string BCPaymentElementsView::paymentParams() const { return joinedParams(inputCells(false)); }
std::string BCPaymentElementsView::smsParams() const { return joinedParams(inputCells(true)); }
std::optional<std::string> BCPaymentElementsView::checkPaymentParamsError() const { return checkError(inputCells(false)); }
std::optional<std::string> BCPaymentElementsView::checkSmsParamsError() const { return checkError(inputCells(true)); }

void BCPaymentElementsView::makeKeyboardRandom() {
    if (const auto pin = find<BCPasswordCell>(m_elements))
        pin->keyboard()->makeKeyboardRandom();
}

void BCPaymentElementsView::cleanupPassword() {
    if (const auto pin = find<BCPasswordCell>(m_elements))
        pin->cleanup();
}

void BCPaymentElementsView::cleanupSecretInfo() {
    cleanupPassword();
    for (const auto& view : m_elements)
        if (std::dynamic_pointer_cast<BCCvn2Cell>(view) || std::dynamic_pointer_cast<BCValidDateCell>(view))
            std::static_pointer_cast<BCBaseCell>(view)->setText("");
}

void BCPaymentElementsView::setNeedsDeviceEncryption() {
    if (const auto pin = find<BCPasswordCell>(m_elements))
        pin->setNeedsDeviceEncryption();
    if (const auto pan = find<BCBankNumCell>(m_elements))
        pan->setNeedsDeviceEncryption();
}

void BCPaymentElementsView::addSmsCodeTarget(std::weak_ptr<void> target, std::function<void()> action) {
    if (const auto sms = find<BCSmsCodeCell>(m_elements))
        sms->addSmsCodeTarget(std::move(target), std::move(action));
}

void BCPaymentElementsView::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    const double d = BCUtils::rotatedOffset();
    growWidth(*this, d);
    for (const auto& line : m_lines)
        growWidth(*line, d);
    for (const auto& view : m_elements) {
        growWidth(*view, d);
        if (const auto cell = std::dynamic_pointer_cast<BCBaseCell>(view))
            cell->willRotateToInterfaceOrientation(orientation, duration);
        else if (const auto caption = std::dynamic_pointer_cast<BCStringCell>(view))
            caption->willRotateToInterfaceOrientation(orientation, duration);
    }
}

// MARK: - BCNewBankCardCell

BCNewBankCardCell::BCNewBankCardCell(platform::Rect frame, const platform::Array& data, std::weak_ptr<BCTextFieldDelegate> delegate)
    : platform::View(frame) {
    platform::Dictionary element;
    for (const platform::Value& entry : data) {
        const platform::Dictionary* content = entry.getDictionary();
        const std::string* type = content ? (*content)["type"].getString() : nullptr;
        if (type && lowercased(*type) == "pan") {
            element = *content;
            break;
        }
    }
    m_bankCell = BCBaseCell::create<BCBankNumCell>(platform::Rect(0, 0, frame.size.width, 0), element, std::move(delegate));
    addSubview(m_bankCell);
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, m_bankCell->frame().size.height));
}

void BCNewBankCardCell::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    const double d = BCUtils::rotatedOffset();
    growWidth(*this, d);
    growWidth(*m_bankCell, d);
    m_bankCell->willRotateToInterfaceOrientation(orientation, duration);
}

} // namespace cardpay
