#include "plugins/CropScaleOrientation.h"

#include "platform/core/Log.h"
#include "platform/ui/ImageContext.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plugins {

namespace {

platform::Image::Ptr drawScaled(const platform::Image::Ptr& image, platform::Size canvas, platform::Rect rect) {
    std::unique_ptr<platform::ImageContext> context = platform::ImageContext::begin(canvas, 1);
    platform::Image::Ptr result;
    if (context) {
        context->context().drawImage(image, rect);
        result = context->end();
    }
    if (!result)
        platform::Log::write("could not scale image");
    return result;
}

} // namespace

platform::Rect scaleAndCropRect(platform::Size image, platform::Size target) {
    if (image == target)
        return {0, 0, target.width, target.height};
    const double widthFactor = target.width / image.width;
    const double heightFactor = target.height / image.height;
    const double factor = std::max(widthFactor, heightFactor);
    const double width = image.width * factor, height = image.height * factor;
    platform::Point origin{0, 0};
    if (widthFactor > heightFactor)
        origin.y = (target.height - height) * 0.5;
    else if (widthFactor < heightFactor)
        origin.x = (target.width - width) * 0.5;
    return {origin.x, origin.y, width, height};
}

platform::Size scaleNotCropSize(platform::Size image, platform::Size target) {
    platform::Size size = target;
    if (image != target) {
        const double factor = std::min(target.width / image.width, target.height / image.height);
        size.width = image.width * factor < target.width ? image.width * factor : target.width;
        size.height = image.height * factor < target.height ? image.height * factor : target.height;
    }
    return {std::trunc(size.width), std::trunc(size.height)};
}

platform::Image::Ptr imageByScalingAndCroppingForSize(const platform::Image::Ptr& image, platform::Size target) {
    if (!image)
        return nullptr;
    return drawScaled(image, target, scaleAndCropRect(image->size(), target));
}

platform::Image::Ptr imageByScalingNotCroppingForSize(const platform::Image::Ptr& image, platform::Size target) {
    if (!image)
        return nullptr;
    const platform::Size size = scaleNotCropSize(image->size(), target);
    return drawScaled(image, size, {0, 0, size.width, size.height});
}

platform::Image::Ptr imageCorrectedForCaptureOrientation(const platform::Image::Ptr& image, platform::ImageOrientation orientation) {
    if (!image)
        return nullptr;
    double angle = 0;
    bool swap = false;
    switch (orientation) {
    case platform::ImageOrientation::Right: angle = std::numbers::pi / 2, swap = true; break;
    case platform::ImageOrientation::Left: angle = -std::numbers::pi / 2, swap = true; break;
    case platform::ImageOrientation::Down: angle = std::numbers::pi; break;
    default: break;
    }
    const platform::Size size = image->size();
    std::unique_ptr<platform::ImageContext> context = platform::ImageContext::begin(size, 1);
    if (!context)
        return nullptr;
    platform::GraphicsContext& gc = context->context();
    const bool mirrored = static_cast<int>(orientation) >= static_cast<int>(platform::ImageOrientation::UpMirrored);
    if (mirrored) {
        // Turning alone cannot undo a mirror: these are drawn as shown.
        gc.drawImage(image->withOrientation(orientation), {0, 0, size.width, size.height});
        return context->end();
    }
    // Our contexts are top-down already, so the pixels need no vertical flip after the turn.
    gc.translate(size.width / 2, size.height / 2);
    gc.rotate(angle);
    const double width = swap ? size.height : size.width;
    const double height = swap ? size.width : size.height;
    gc.drawImage(image->withOrientation(platform::ImageOrientation::Up), {-width / 2, -height / 2, width, height});
    return context->end();
}

platform::Image::Ptr imageCorrectedForCaptureOrientation(const platform::Image::Ptr& image) {
    return image ? imageCorrectedForCaptureOrientation(image, image->orientation()) : nullptr;
}

} // namespace plugins
