#include "cardpay/views/BCADBar.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"

#include <cmath>

namespace cardpay {

namespace {

double textHeight(const std::string& text, double width) {
    return newSizeWithFont(text, platform::Font::systemFont(BCADBar::kFontSize), width, platform::LineBreakMode::WordWrap).height;
}

bool configured() { return BCDataContainer::instance()->BundleConfig().has_value(); }

} // namespace

BCADBar::BCADBar(platform::Rect frame, const std::string& content) : platform::View(frame), m_adContent(cutForLayout(content)) {
    setAlpha(0.88);
    setBackgroundColor(BCUtils::adBackgroundColor());
    const double tw = frame.size.width - 2 * kInset;
    const double th = textHeight(m_adContent, tw);
    setFrame(platform::Rect(frame.origin.x, frame.origin.y, frame.size.width, barHeight(th)));
    addContentScrollViewWithContentSize({frame.size.width, th + 2 * kTopInset});
    addAdContentLabelWithFrame(platform::Rect(kInset, kTopInset, tw, th), m_adContent);
    updateFootMask(th, frame.size.width);
}

void BCADBar::updateFootMask(double th, double width) {
    const double height = barHeight(th);
    const double room = height - kTopInset;  // what the box shows of the text at rest
    const double line = platform::Font::systemFont(kFontSize).lineHeight();
    const double cut = th > room + 0.5 && line > 0 ? room - std::floor(room / line) * line : 0;
    if (cut < 0.5) {
        if (m_footMask)
            m_footMask->removeFromSuperview();
        m_footMask.reset();
        return;
    }
    if (!m_footMask) {
        m_footMask = std::make_shared<platform::View>(platform::Rect());
        m_footMask->setBackgroundColor(m_contentScrollView->backgroundColor().value_or(platform::Color::clear()));
        m_footMask->setUserInteractionEnabled(false);
        addSubview(m_footMask);
    }
    m_footMask->setFrame(platform::Rect(0, height - cut, width, cut));
}

void BCADBar::addContentScrollViewWithContentSize(platform::Size size) {
    m_contentScrollView = std::make_shared<platform::ScrollView>(bounds());
    m_contentScrollView->setShowsVerticalScrollIndicator(true);
    m_contentScrollView->setClipsToBounds(true);
    m_contentScrollView->setBackgroundColor(configured() ? BCUtils::adBackgroundColor() : platform::Color::fromRGBA255(251, 235, 184));
    m_contentScrollView->setContentSize(size);
    addSubview(m_contentScrollView);
}

void BCADBar::addAdContentLabelWithFrame(platform::Rect frame, const std::string& content) {
    m_contentLabel = std::make_shared<platform::Label>(frame);
    m_contentLabel->setText(content);
    m_contentLabel->setTextColor(configured() ? platform::Color::white() : platform::Color::grey(0.2));
    m_contentLabel->setFont(platform::Font::systemFont(kFontSize));
    m_contentLabel->setBackgroundColor(platform::Color::clear());
    m_contentLabel->setLineBreakMode(platform::LineBreakMode::WordWrap);
    m_contentLabel->setNumberOfLines(0);
    m_contentScrollView->addSubview(m_contentLabel);
}

void BCADBar::willRotateToChangeOffset(double offset, double duration) {
    const platform::Rect label = m_contentLabel->frame();
    const double lw = label.size.width + offset;
    const double th = textHeight(m_adContent, lw);
    const double h = barHeight(th);
    const platform::Rect bar = frame();
    const double barWidth = bar.size.width + offset;
    inBaseViewAnimation(duration, [&] {
        setFrame(platform::Rect(bar.origin.x, bar.origin.y, barWidth, h));
        m_contentLabel->setFrame(platform::Rect(label.origin.x, label.origin.y, lw, th));
        // The box keeps the bar's width, so its right edge does not leave a strip uncovered.
        const platform::Rect box = m_contentScrollView->frame();
        m_contentScrollView->setFrame(platform::Rect(box.origin.x, box.origin.y, barWidth, h));
    });
    m_contentScrollView->setContentSize({barWidth, th + 2 * kTopInset});
    updateFootMask(th, barWidth);
}

} // namespace cardpay
