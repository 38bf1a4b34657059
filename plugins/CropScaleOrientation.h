// The camera's picture geometry: scaling a picture to a target size (filled and cropped, or fitted),
// and redrawing it upright.
//
// Guarantees:
// - Every result is drawn into a new bitmap of scale 1. A size the drawing context refuses (not
//   positive, not finite, above its side or pixel bound) gives nullptr and the log line "could not scale
//   image"; no memory is spent on it.
// - Sizes are the image's size as shown (points, orientation applied).
// - Thread: the calling thread's own drawing context; any thread.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/Image.h"

namespace plugins {

// Where the picture is drawn to fill `target` exactly: the larger of the two scale factors, the
// overflow cut equally on both sides.
platform::Rect scaleAndCropRect(platform::Size image, platform::Size target);
// The size of the picture fitted inside `target`, each side truncated to a whole number.
platform::Size scaleNotCropSize(platform::Size image, platform::Size target);

platform::Image::Ptr imageByScalingAndCroppingForSize(const platform::Image::Ptr& image, platform::Size target);
platform::Image::Ptr imageByScalingNotCroppingForSize(const platform::Image::Ptr& image, platform::Size target);
// The picture redrawn upright as `orientation` says its pixels are turned (the image's own orientation
// in the second form). Every orientation redraws, Up included; mirrored ones are drawn as shown.
platform::Image::Ptr imageCorrectedForCaptureOrientation(const platform::Image::Ptr& image, platform::ImageOrientation orientation);
platform::Image::Ptr imageCorrectedForCaptureOrientation(const platform::Image::Ptr& image);

} // namespace plugins
