#include "platform/ui/ImageView.h"

#include "platform/ui/GraphicsContext.h"

namespace platform {

ImageView::ImageView(Rect frame) : View(frame) { setUserInteractionEnabled(false); }

ImageView::ImageView(Image::Ptr image) : View(Rect(Point{}, image ? image->size() : Size{})), m_image(std::move(image)) {
    setUserInteractionEnabled(false);
}

Size ImageView::sizeThatFits(Size size) const { return m_image ? m_image->size() : View::sizeThatFits(size); }

void ImageView::drawRect(Rect) {
    Image::Ptr shown = m_highlighted && m_highlightedImage ? m_highlightedImage : m_image;
    GraphicsContext* context = GraphicsContext::current();
    if (!shown || !context)
        return;
    context->drawImage(shown, contentRect(contentMode(), shown->size(), bounds()));
}

} // namespace platform
