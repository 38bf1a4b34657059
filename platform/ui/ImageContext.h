// Drawing into a new image: begin with a size in points and a scale, draw through context() (save and
// restore, translate, rotate, scale, lines, rectangles, images, text), end with an Image. While open, the
// context is GraphicsContext::current() on its thread.
//
// Guarantees:
// - begin refuses (nullptr) a size that is not positive and finite on both sides or above kMaxSide
//   points a side, or whose pixels would exceed kMaxPixels, so an open context always has its pixels;
//   a scale that is not a positive finite number up to 4 means the main screen's scale.
// - One thread: the one that began it.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/Image.h"

#include <cstdint>
#include <memory>

namespace platform {

class ImageContext {
public:
    static constexpr double kMaxSide = 16384;                    // points
    static constexpr std::int64_t kMaxPixels = std::int64_t{1} << 26;  // 64 Mpx, 256 MiB

    // `opaque` starts from opaque black instead of clear.
    static std::unique_ptr<ImageContext> begin(Size size, double scale = 0, bool opaque = false);
    ~ImageContext();
    ImageContext(const ImageContext&) = delete;
    ImageContext& operator=(const ImageContext&) = delete;

    GraphicsContext& context() { return *m_context; }
    Size size() const { return m_size; }
    double scale() const { return m_scale; }

    // What is drawn so far, as an image (the context stays open).
    Image::Ptr image() const;
    // The image, and the context is closed (no longer current; drawing after this does nothing; later
    // calls give the same image).
    Image::Ptr end();

private:
    struct Surface;
    ImageContext(Size size, double scale, std::unique_ptr<Surface> surface);

    Size m_size;
    double m_scale;
    std::unique_ptr<Surface> m_surface;
    std::unique_ptr<GraphicsContext> m_context;
    std::unique_ptr<GraphicsContext::Scope> m_scope;
    Image::Ptr m_ended;
};

} // namespace platform
