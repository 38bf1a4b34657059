// One video frame as the capture outputs deliver it: width, height, bytes per row and 32-bit BGRA
// pixels (bytes blue, green, red, alpha), readable between lockBaseAddress and unlockBaseAddress.
//
// Guarantees:
// - Immutable pixels shared with the images made from it (no copies).
// - baseAddress() is nullptr while the buffer is not locked; locks nest (a count).
// - Thread: any thread; the lock count is atomic.
#pragma once

#include "platform/ui/Image.h"

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

inline constexpr std::uint32_t kPixelFormatType32BGRA = 0x42475241;  // 'BGRA'
inline constexpr const char* kPixelBufferPixelFormatTypeKey = "PixelFormatType";

class SampleBuffer {
public:
    // `pixels`: width * height premultiplied ARGB words, which on this little-endian machine are the
    // BGRA bytes.
    SampleBuffer(int width, int height, std::shared_ptr<const std::vector<std::uint32_t>> pixels, double presentationTime)
        : m_width(width), m_height(height), m_pixels(std::move(pixels)), m_time(presentationTime) {
        static_assert(std::endian::native == std::endian::little, "frames are BGRA words");
    }

    int width() const { return m_width; }
    int height() const { return m_height; }
    std::size_t bytesPerRow() const { return static_cast<std::size_t>(m_width) * 4; }
    std::uint32_t pixelFormatType() const { return kPixelFormatType32BGRA; }
    // Seconds on the platform clock when the frame was taken.
    double presentationTime() const { return m_time; }

    void lockBaseAddress() const { m_locks.fetch_add(1); }
    void unlockBaseAddress() const {
        int locks = m_locks.load();
        while (locks > 0 && !m_locks.compare_exchange_weak(locks, locks - 1)) {
        }
    }
    const std::uint8_t* baseAddress() const {
        return m_locks.load() > 0 ? reinterpret_cast<const std::uint8_t*>(m_pixels->data()) : nullptr;
    }

    // The frame as an image (no copy), shown with `orientation`.
    Image::Ptr image(ImageOrientation orientation = ImageOrientation::Up) const {
        return std::make_shared<const Image>(m_width, m_height, 1, orientation, m_pixels);
    }

private:
    int m_width;
    int m_height;
    std::shared_ptr<const std::vector<std::uint32_t>> m_pixels;
    double m_time;
    mutable std::atomic<int> m_locks{0};
};

} // namespace platform
