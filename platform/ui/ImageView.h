// A view that shows an image in its content mode. Main thread only.
#pragma once

#include "platform/ui/Image.h"
#include "platform/ui/View.h"

namespace platform {

class ImageView : public View {
public:
    explicit ImageView(Rect frame = {});
    // A view the size of the image, at the origin.
    explicit ImageView(Image::Ptr image);

    Image::Ptr image() const { return m_image; }
    void setImage(Image::Ptr image) { m_image = std::move(image); setNeedsDisplay(); }
    Image::Ptr highlightedImage() const { return m_highlightedImage; }
    void setHighlightedImage(Image::Ptr image) { m_highlightedImage = std::move(image); setNeedsDisplay(); }
    bool isHighlighted() const { return m_highlighted; }
    void setHighlighted(bool highlighted) { m_highlighted = highlighted; setNeedsDisplay(); }

    // The image's size in points (the view's own size without an image).
    Size sizeThatFits(Size size) const override;
    void drawRect(Rect rect) override;

private:
    Image::Ptr m_image;
    Image::Ptr m_highlightedImage;
    bool m_highlighted = false;
};

} // namespace platform
