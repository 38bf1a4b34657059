#include "support/Snapshot.h"

#include "platform/ui/GraphicsContext.h"
#include "platform/ui/Image.h"
#include "platform/ui/ViewRenderer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace hybtest {

using namespace platform;

SnapshotComparison compareSnapshotImages(const Image& a, const Image& b) {
    SnapshotComparison result;
    result.sameSize = a.pixelWidth() == b.pixelWidth() && a.pixelHeight() == b.pixelHeight();
    if (!result.sameSize)
        return result;
    std::vector<std::uint8_t> pa = a.rgbaPixels(), pb = b.rgbaPixels();
    result.totalPixels = static_cast<long long>(pa.size() / 4);
    for (std::size_t i = 0; i < pa.size(); i += 4) {
        for (std::size_t c = 0; c < 4; ++c) {
            if (std::abs(int(pa[i + c]) - int(pb[i + c])) > kSnapshotChannelTolerance) {
                ++result.differingPixels;
                break;
            }
        }
    }
    return result;
}

void expectSnapshotIn(const std::string& label, View& view, const std::string& name) {
    auto rendered = ViewRenderer::renderImage(view, 2);
    ASSERT_TRUE(rendered.ok()) << "snapshot " << name << ": " << rendered.error().localizedDescription();
    expectSnapshotImageIn(label, *rendered.value(), name);
}

void expectScreenSnapshotIn(const std::string& label, Rect frame, const std::string& name) {
    class ScreenView : public View {
    public:
        using View::View;
        void drawRect(Rect) override { ViewRenderer::renderScreen(GraphicsContext::current()->cairo()); }
    };
    ScreenView screen(frame);
    expectSnapshotIn(label, screen, name);
}

std::string writeSnapshotImageIn(const std::string& label, const Image& image, const std::string& name) {
    namespace fs = std::filesystem;
    fs::path actualPath = fs::path(HYB_BINARY_DIR) / "snapshots" / label / (name + ".png");
    std::error_code ec;
    fs::create_directories(actualPath.parent_path(), ec);
    Status written = image.writePNG(actualPath.string());
    EXPECT_TRUE(written.ok()) << "snapshot " << name << ": " << written.error().localizedDescription();
    return written.ok() ? actualPath.string() : std::string();
}

void expectSnapshotImageIn(const std::string& label, const Image& image, const std::string& name) {
    namespace fs = std::filesystem;
    const fs::path actualPath = writeSnapshotImageIn(label, image, name);
    if (actualPath.empty())
        return;
    fs::path referencePath = fs::path(HYB_SOURCE_DIR) / "tests" / label / "snapshots" / (name + ".png");
    std::error_code ec;

    const char* update = std::getenv("HYB_UPDATE_SNAPSHOTS");
    if (update && std::string(update) == "1") {
        fs::create_directories(referencePath.parent_path(), ec);
        fs::copy_file(actualPath, referencePath, fs::copy_options::overwrite_existing, ec);
        EXPECT_FALSE(ec) << "snapshot " << name << ": cannot write " << referencePath << ": " << ec.message();
        return;
    }
    if (!fs::exists(referencePath)) {
        ADD_FAILURE() << "snapshot " << name << ": no reference " << referencePath << ". Look at " << actualPath
                      << "; if it is right, make it the reference by running the test with HYB_UPDATE_SNAPSHOTS=1.";
        return;
    }
    auto reference = Image::fromFile(referencePath.string());
    ASSERT_TRUE(reference.ok()) << "snapshot " << name << ": reference " << referencePath << " unreadable: "
                                << reference.error().localizedDescription();
    SnapshotComparison cmp = compareSnapshotImages(image, *reference.value());
    EXPECT_TRUE(cmp.sameSize) << "snapshot " << name << ": rendered " << image.pixelWidth() << " x "
                              << image.pixelHeight() << " pixels, reference " << reference.value()->pixelWidth()
                              << " x " << reference.value()->pixelHeight() << " (" << actualPath << ")";
    if (!cmp.sameSize)
        return;
    EXPECT_LE(static_cast<double>(cmp.differingPixels), kSnapshotMaxDifferingFraction * static_cast<double>(cmp.totalPixels))
        << "snapshot " << name << ": " << cmp.differingPixels << " of " << cmp.totalPixels
        << " pixels differ by more than " << kSnapshotChannelTolerance << "; compare " << actualPath << " with "
        << referencePath << " (HYB_UPDATE_SNAPSHOTS=1 accepts the new picture)";
}

} // namespace hybtest
