#include "messenger/MXObjects.h"

namespace messenger {

void MXMediaMessage::setThumbImage(const platform::Image::Ptr& image) {
    if (!image)
        return;
    auto jpeg = image->jpegData(0.6);
    if (jpeg)
        thumbData = platform::Bytes(jpeg->begin(), jpeg->end());
}

} // namespace messenger
