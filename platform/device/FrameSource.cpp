#include "platform/device/FrameSource.h"

#include "platform/core/Log.h"
#include "platform/device/CodeRecognizer.h"
#include "platform/files/FileManager.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ViewRenderer.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

class StillSource : public FrameSource {
public:
    explicit StillSource(Image::Ptr picture) : m_picture(std::move(picture)) {}
    Image::Ptr pictureForFrame(std::uint64_t, double) override { return m_picture; }
    bool hasFrames() const override { return m_picture != nullptr; }

private:
    Image::Ptr m_picture;
};

class InTurnSource : public FrameSource {
public:
    InTurnSource(std::vector<Image::Ptr> pictures, double secondsEach) : m_pictures(std::move(pictures)), m_seconds(secondsEach) {}
    Image::Ptr pictureForFrame(std::uint64_t index, double frameRate) override {
        if (m_pictures.empty())
            return nullptr;
        double shown = frameRate > 0 && m_seconds > 0 ? static_cast<double>(index) / frameRate / m_seconds : static_cast<double>(index);
        return m_pictures[static_cast<std::size_t>(std::fmod(std::floor(shown), static_cast<double>(m_pictures.size())))];
    }
    bool hasFrames() const override { return !m_pictures.empty(); }

private:
    std::vector<Image::Ptr> m_pictures;
    double m_seconds;
};

DecodeLimits pictureLimits() {
    DecodeLimits limits;
    limits.maxPixels = 16 << 20;
    limits.maxFileBytes = 32 << 20;
    return limits;
}

bool isPictureFile(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto endsWith = [&](std::string_view s) { return lower.size() > s.size() && lower.compare(lower.size() - s.size(), s.size(), s) == 0; };
    return endsWith(".png") || endsWith(".jpg") || endsWith(".jpeg");
}

std::shared_ptr<FrameSource> noFrames(const std::string& description, const std::string& why) {
    Log::write("Camera frames \"" + description + "\" cannot be used (" + why + "); the camera gives no frames");
    return std::make_shared<StillSource>(nullptr);
}

// A test card's code, drawn to the size it has on the card.
Result<Image::Ptr> drawTestCode(std::string_view code) {
    const int side = kTestCardWidth - 80;
    return drawCode(code, side, code.starts_with("ean13:") ? side / 2 : side);
}

// The card around a drawn code: the code in the middle, its text below.
Result<Image::Ptr> composeTestCard(std::string_view code, const Image::Ptr& drawn) {
    const double side = kTestCardWidth - 80;
    const bool linear = code.starts_with("ean13:");
    auto card = std::make_shared<View>(Rect(0, 0, kTestCardWidth, kTestCardHeight));
    card->setBackgroundColor(Color::white());
    auto picture = std::make_shared<ImageView>(drawn);
    picture->setFrame(Rect(40, linear ? 120 : 70, side, linear ? side / 2 : side));
    picture->setContentMode(ContentMode::ScaleToFill);
    card->addSubview(picture);
    auto caption = std::make_shared<Label>(Rect(20, 380, kTestCardWidth - 40, 60));
    caption->setText(std::string(code.substr(code.find(':') + 1)));
    caption->setFont(Font::systemFont(18));
    caption->setTextColor(Color::black());
    caption->setTextAlignment(TextAlignment::Center);
    caption->setNumberOfLines(2);
    card->addSubview(caption);
    return ViewRenderer::renderImage(*card, 1);
}

// A test card whose code is drawn when the source is made (so a bad code shows at once) and whose card
// is drawn when a frame is first asked for: a camera that never runs does not draw text.
class TestCardSource : public FrameSource {
public:
    TestCardSource(std::string code, Image::Ptr drawn) : m_code(std::move(code)), m_drawn(std::move(drawn)) {}
    Image::Ptr pictureForFrame(std::uint64_t, double) override {
        if (m_drawn) {
            Result<Image::Ptr> card = composeTestCard(m_code, m_drawn);
            if (card)
                m_card = *card;
            else
                Log::write("Camera frames \"" + m_code + "\" cannot be drawn (" + card.error().localizedDescription() + ")");
            m_drawn = nullptr;
        }
        return m_card;
    }
    bool hasFrames() const override { return m_drawn || m_card; }

private:
    std::string m_code;
    Image::Ptr m_drawn;  // until the card is drawn
    Image::Ptr m_card;
};

} // namespace

std::shared_ptr<FrameSource> FrameSource::still(Image::Ptr picture) { return std::make_shared<StillSource>(std::move(picture)); }

std::shared_ptr<FrameSource> FrameSource::inTurn(std::vector<Image::Ptr> pictures, double secondsEach) {
    std::erase(pictures, nullptr);
    return std::make_shared<InTurnSource>(std::move(pictures), secondsEach);
}

std::shared_ptr<FrameSource> FrameSource::fromDescription(const std::string& description, const std::string& baseFolder) {
    if (description.starts_with("qr:") || description.starts_with("ean13:")) {
        Result<Image::Ptr> drawn = drawTestCode(description);
        if (!drawn)
            return noFrames(description, drawn.error().localizedDescription());
        return std::make_shared<TestCardSource>(description, *drawn);
    }
    std::string path = description;
    if (!path.empty() && path.front() != '/' && !baseFolder.empty())
        path = baseFolder + "/" + path;
    const FileManager& files = FileManager::defaultManager();
    if (files.isDirectory(path)) {
        Result<std::vector<std::string>> names = files.contentsOfDirectory(path);
        if (!names)
            return noFrames(description, names.error().localizedDescription());
        std::sort(names->begin(), names->end());
        std::vector<Image::Ptr> pictures;
        for (const std::string& name : *names) {
            if (!isPictureFile(name) || pictures.size() == kMaxFolderPictures)
                continue;
            Result<Image::Ptr> picture = Image::fromFile(path + "/" + name, pictureLimits());
            if (!picture)
                return noFrames(description, name + ": " + picture.error().localizedDescription());
            pictures.push_back(*picture);
        }
        if (pictures.empty())
            return noFrames(description, "the folder holds no PNG or JPEG pictures");
        return inTurn(std::move(pictures), kFolderPictureSeconds);
    }
    Result<Image::Ptr> picture = Image::fromFile(path, pictureLimits());
    if (!picture)
        return noFrames(description, picture.error().localizedDescription());
    return still(*picture);
}

Result<Image::Ptr> FrameSource::testCard(std::string_view code) {
    Result<Image::Ptr> drawn = drawTestCode(code);
    if (!drawn)
        return drawn.error();
    return composeTestCard(code, *drawn);
}

void PushedFrameSource::push(Image::Ptr picture) {
    if (!picture)
        return;
    std::lock_guard lock(m_mutex);
    m_pictures.push_back(std::move(picture));
}

std::size_t PushedFrameSource::pendingCount() const {
    std::lock_guard lock(m_mutex);
    return m_pictures.size();
}

Image::Ptr PushedFrameSource::pictureForFrame(std::uint64_t, double) {
    std::lock_guard lock(m_mutex);
    if (m_pictures.empty())
        return nullptr;
    Image::Ptr next = std::move(m_pictures.front());
    m_pictures.pop_front();
    return next;
}

} // namespace platform
