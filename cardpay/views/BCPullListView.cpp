#include "cardpay/views/BCPullListView.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace cardpay {

BCPullListView::BCPullListView(platform::Rect frame, std::weak_ptr<BCPullListViewDelegate> delegate, int style)
    : platform::View(frame), m_delegate(std::move(delegate)), m_style(style) {
    setBackgroundColor(platform::Color::white());
    setClipsToBounds(true);
    const auto container = BCDataContainer::instance();
    const double inner = std::max(0.0, frame.size.width - 2 * kPadding);
    std::shared_ptr<BCOrderInfoRegion> rows;
    if (const auto order = container->mOrderInfoArray())
        rows = std::make_shared<BCOrderInfoRegion>(platform::Rect(0, 0, inner, 0), *order);
    std::shared_ptr<BCRiskInfoRegion> risk;
    if (const auto notice = container->riskInfo())
        risk = std::make_shared<BCRiskInfoRegion>(platform::Rect(0, 0, inner, 0), *notice);
    m_orderView = std::make_shared<BCOrderView>(platform::Rect(0, 0, inner, 0), rows, risk);
    m_clip = std::make_shared<platform::View>(platform::Rect(kPadding, kPadding, inner, 0));
    m_clip->setClipsToBounds(true);
    m_clip->addSubview(m_orderView);
    addSubview(m_clip);
    addSubview(std::make_shared<BCLineView>(platform::Rect(0, 0, frame.size.width, 1), platform::Color::fromRGBA255(229, 229, 229)));

    const double foldedContent = rows ? rows->mKeyValueHeight() : 0;
    if (style != 2 && foldedContent > 0 && foldedContent < m_orderView->frame().size.height) {
        m_toggle = platform::Button::create(platform::ButtonType::Custom, platform::Rect(0, 0, frame.size.width, kToggleHeight));
        m_toggle->setImage(BCImageManager::instance()->imageNamed(20010), 0);
        m_toggle->setExclusiveTouch(true);
        addActionBlock(*m_toggle, [alive = std::weak_ptr<BCPullListView*>(m_alive)](platform::Control&) {
            if (auto self = alive.lock())
                (*self)->toggle();
        }, platform::kControlEventTouchUpInside);
        addSubview(m_toggle);
    }
    m_folded = m_toggle && style == 0;
    layout(m_folded);
}

double BCPullListView::heightFor(bool folded) const {
    const double content = folded && m_toggle ? m_orderView->orderRegion()->mKeyValueHeight() : m_orderView->frame().size.height;
    return std::ceil(content + 2 * kPadding + (m_toggle ? kToggleHeight : 0));
}

void BCPullListView::layout(bool folded) {
    const double height = heightFor(folded);
    platform::Rect frame = this->frame();
    frame.size.height = height;
    setFrame(frame);
    const double content = height - 2 * kPadding - (m_toggle ? kToggleHeight : 0);
    m_clip->setFrame(platform::Rect(kPadding, kPadding, m_clip->frame().size.width, content));
    if (m_toggle) {
        m_toggle->setFrame(platform::Rect(0, height - kToggleHeight, frame.size.width, kToggleHeight));
        // The arrow points down while there is more to show, up once unfolded.
        m_toggle->imageView()->setTransform(folded ? platform::AffineTransform::identity()
                                                   : platform::AffineTransform::rotation(std::numbers::pi));
    }
}

void BCPullListView::setFolded(bool folded, bool animated) {
    if (!m_toggle || folded == m_folded)
        return;
    const double change = heightFor(folded) - heightFor(m_folded);
    m_folded = folded;
    if (auto delegate = m_delegate.lock())
        delegate->pullListAnimationDidStart(change);
    if (!animated) {
        layout(folded);
        return;
    }
    platform::ViewAnimation::animate(kAnimationDuration, [this, folded] { layout(folded); });
}

void BCPullListView::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    const double d = BCUtils::rotatedOffset();
    platform::Rect frame = this->frame();
    frame.size.width += d;
    setFrame(frame);
    platform::Rect clip = m_clip->frame();
    clip.size.width += d;
    m_clip->setFrame(clip);
    m_orderView->willRotateToInterfaceOrientation(orientation, duration);
    layout(m_folded);
}

} // namespace cardpay
