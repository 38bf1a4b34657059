#include "cardpay/core/BCImageManager.h"

#include "platform/core/Log.h"

namespace cardpay {

namespace {

std::shared_ptr<BCImageManager>& shared() {
    static std::shared_ptr<BCImageManager> manager;
    return manager;
}

} // namespace

std::shared_ptr<BCImageManager> BCImageManager::instance() {
    auto& manager = shared();
    if (!manager)
        manager = std::make_shared<BCImageManager>();
    return manager;
}

void BCImageManager::releaseInstance() { shared().reset(); }

platform::Image::Ptr BCImageManager::imageNamed(int number) {
    if (auto it = m_images.find(number); it != m_images.end())
        return it->second;
    const auto bytes = embeddedImage(number);
    if (bytes.empty())
        return nullptr;
    auto image = platform::Image::decode(bytes, 2);
    if (!image.ok()) {
        platform::Log::write("BCImageManager: picture " + std::to_string(number) + " does not decode");
        return nullptr;
    }
    m_images.emplace(number, *image);
    return *image;
}

} // namespace cardpay
