// The bank-card client's pictures by number (20001-20021), PNG bytes compiled into the program and
// decoded on first use at the "@2x" scale. An unknown number gives none. `releaseInstance` lets go of
// the decoded pictures. Main thread only.
#pragma once

#include "platform/ui/Image.h"

#include <cstdint>
#include <map>
#include <memory>
#include <span>

namespace cardpay {

// The embedded PNG bytes of a picture (empty for an unknown number).
std::span<const std::uint8_t> embeddedImage(int number);

class BCImageManager {
public:
    static constexpr int kFirstImage = 20001;
    static constexpr int kLastImage = 20021;

    static std::shared_ptr<BCImageManager> instance();
    static void releaseInstance();

    platform::Image::Ptr imageNamed(int number);

private:
    std::map<int, platform::Image::Ptr> m_images;
};

} // namespace cardpay
