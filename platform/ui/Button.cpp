#include "platform/ui/Button.h"

#include "platform/ui/CairoSupport.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/TextLayout.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {
constexpr double kSystemButtonFontSize = 15;
constexpr double kSystemButtonMinimumHeight = 30;

bool finite(const EdgeInsets& e) {
    return std::isfinite(e.top) && std::isfinite(e.left) && std::isfinite(e.bottom) && std::isfinite(e.right);
}

Rect shifted(Rect r, const EdgeInsets& e) { return r.offsetBy(e.left - e.right, e.top - e.bottom); }
} // namespace

std::shared_ptr<Button> Button::create(ButtonType type, Rect frame) { return std::make_shared<Button>(type, frame); }

Button::Button(ButtonType type, Rect frame) : Control(frame), m_type(type) {
    m_titleLabel = std::make_shared<Label>();
    m_titleLabel->setFont(Font::systemFont(kSystemButtonFontSize));
    m_titleLabel->setTextAlignment(TextAlignment::Center);
    m_titleLabel->setLineBreakMode(LineBreakMode::TruncateMiddle);
    m_imageView = std::make_shared<ImageView>();
    m_imageView->setUserInteractionEnabled(false);
    if (type == ButtonType::Custom)
        m_titleColors[kControlStateNormal] = Color::white();
}

const std::shared_ptr<Label>& Button::titleLabel() {
    setNeedsLayout();  // the caller may change the font
    return m_titleLabel;
}

const std::shared_ptr<ImageView>& Button::imageView() { return m_imageView; }

template <class T>
std::optional<T> Button::lookup(const std::map<unsigned, T>& map, unsigned state) {
    if (auto it = map.find(state); it != map.end())
        return it->second;
    if (auto it = map.find(kControlStateNormal); it != map.end())
        return it->second;
    return std::nullopt;
}

void Button::setTitle(std::optional<std::string> title, unsigned state) {
    if (title)
        m_titles[state] = std::move(*title);
    else
        m_titles.erase(state);
    refresh();
}

std::optional<std::string> Button::titleForState(unsigned state) const { return lookup(m_titles, state); }

void Button::setTitleColor(std::optional<Color> color, unsigned state) {
    if (color)
        m_titleColors[state] = *color;
    else
        m_titleColors.erase(state);
    refresh();
}

Color Button::titleColorForState(unsigned state) const {
    if (auto exact = m_titleColors.find(state); exact != m_titleColors.end())
        return exact->second;
    if (m_type == ButtonType::System) {
        if (state & kControlStateDisabled)
            return Color::grey(0.56, 1);
        if (state & kControlStateHighlighted)
            return tintColor().withAlpha(0.2);
    }
    if (auto normal = lookup(m_titleColors, kControlStateNormal))
        return *normal;
    return tintColor();
}

void Button::setImage(Image::Ptr image, unsigned state) {
    if (image)
        m_images[state] = std::move(image);
    else
        m_images.erase(state);
    refresh();
}

Image::Ptr Button::imageForState(unsigned state) const { return lookup(m_images, state).value_or(nullptr); }

void Button::setBackgroundImage(Image::Ptr image, unsigned state) {
    if (image)
        m_backgrounds[state] = std::move(image);
    else
        m_backgrounds.erase(state);
    refresh();
}

Image::Ptr Button::backgroundImageForState(unsigned state) const { return lookup(m_backgrounds, state).value_or(nullptr); }

void Button::setContentEdgeInsets(const EdgeInsets& insets) {
    if (finite(insets))
        m_contentInsets = insets;
    refresh();
}

void Button::setTitleEdgeInsets(const EdgeInsets& insets) {
    if (finite(insets))
        m_titleInsets = insets;
    refresh();
}

void Button::setImageEdgeInsets(const EdgeInsets& insets) {
    if (finite(insets))
        m_imageInsets = insets;
    refresh();
}

void Button::setContentHorizontalAlignment(ContentHorizontalAlignment a) {
    m_horizontal = a;
    refresh();
}

void Button::setContentVerticalAlignment(ContentVerticalAlignment a) {
    m_vertical = a;
    refresh();
}

void Button::setEnabled(bool enabled) {
    Control::setEnabled(enabled);
    refresh();
}

void Button::setSelected(bool selected) {
    Control::setSelected(selected);
    refresh();
}

void Button::setHighlighted(bool highlighted) {
    Control::setHighlighted(highlighted);
    refresh();
}

void Button::refresh() {
    setNeedsLayout();
    setNeedsDisplay();
}

Size Button::titleSize() const {
    auto title = currentTitle();
    if (!title || title->empty())
        return {};
    return Size{std::ceil(TextLayout::singleLineWidth(*title, m_titleLabel->font())), std::ceil(m_titleLabel->font().lineHeight())};
}

Size Button::imageSize() const {
    Image::Ptr image = currentImage();
    return image ? image->size() : Size{};
}

std::pair<Rect, Rect> Button::contentRects(Rect content) const {
    Size is = imageSize(), ts = titleSize();
    // The title gets what the image leaves.
    ts.width = std::min(ts.width, std::max(0.0, content.width() - is.width));
    double total = is.width + ts.width;
    double x = content.midX() - total / 2;
    if (m_horizontal == ContentHorizontalAlignment::Left || m_horizontal == ContentHorizontalAlignment::Fill)
        x = content.minX();
    else if (m_horizontal == ContentHorizontalAlignment::Right)
        x = content.maxX() - total;
    auto yFor = [&](double h) {
        switch (m_vertical) {
        case ContentVerticalAlignment::Top: return content.minY();
        case ContentVerticalAlignment::Bottom: return content.maxY() - h;
        default: return content.midY() - h / 2;
        }
    };
    Rect image(x, yFor(is.height), is.width, is.height);
    Rect title(x + is.width, yFor(ts.height), ts.width, ts.height);
    if (m_horizontal == ContentHorizontalAlignment::Fill)
        title.size.width = std::max(0.0, content.maxX() - title.minX());
    if (m_vertical == ContentVerticalAlignment::Fill) {
        image = Rect(image.minX(), content.minY(), image.width(), is.height > 0 ? content.height() : 0);
        title = Rect(title.minX(), content.minY(), title.width(), content.height());
    }
    return {image, title};
}

Rect Button::titleRectForContentRect(Rect contentRect) const {
    return shifted(contentRects(contentRect).second, m_titleInsets);
}

Rect Button::imageRectForContentRect(Rect contentRect) const {
    return shifted(contentRects(contentRect).first, m_imageInsets);
}

void Button::layoutSubviews() {
    Rect content = contentRectForBounds(bounds());
    auto title = currentTitle();
    if (title && !title->empty()) {
        m_titleLabel->setText(*title);
        m_titleLabel->setTextColor(currentTitleColor());
        m_titleLabel->setFrame(titleRectForContentRect(content));
        if (m_titleLabel->superview().get() != this)
            addSubview(m_titleLabel);
    } else {
        m_titleLabel->removeFromSuperview();
    }
    if (Image::Ptr image = currentImage()) {
        m_imageView->setImage(image);
        m_imageView->setFrame(imageRectForContentRect(content));
        m_imageView->setAlpha(m_type == ButtonType::System && isHighlighted() ? 0.2 : 1);
        if (m_imageView->superview().get() != this)
            insertSubviewAt(m_imageView, 0);
    } else {
        m_imageView->removeFromSuperview();
    }
}

Size Button::sizeThatFits(Size) const {
    Size is = imageSize(), ts = titleSize();
    double width = is.width + ts.width + m_contentInsets.left + m_contentInsets.right;
    double height = std::max(is.height, ts.height) + m_contentInsets.top + m_contentInsets.bottom;
    if (m_type == ButtonType::System)
        height = std::max(height, kSystemButtonMinimumHeight);
    return Size{std::max(0.0, width), std::max(0.0, height)};
}

void Button::drawRect(Rect) {
    Image::Ptr background = currentBackgroundImage();
    GraphicsContext* context = GraphicsContext::current();
    if (!background || !context)
        return;
    cairo::drawImage(context->cairo(), background, bounds());
}

} // namespace platform
