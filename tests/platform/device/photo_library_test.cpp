#include "platform/device/PhotoLibrary.h"

#include "platform/files/FileManager.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace platform;

namespace {

class PhotoLibraryTest : public hybtest::TempHomeTest {
protected:
    ~PhotoLibraryTest() override { PhotoLibrary::setAccessAllowed(true); }

    // Asks asynchronously and waits for the one answer: the asset (or none), or the error.
    Result<std::optional<PhotoAsset>> lookUp(const std::string& url) {
        std::promise<Result<std::optional<PhotoAsset>>> answer;
        PhotoLibrary().assetForURL(
            *URL::fromString(url), [&](std::optional<PhotoAsset> asset) { answer.set_value(std::move(asset)); },
            [&](const Error& error) { answer.set_value(error); });
        auto future = answer.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return future.get();
    }
};

} // namespace

TEST_F(PhotoLibraryTest, SavedPicturesAreFoundByTheirAssetURL) {
    const Bytes jpeg{0xFF, 0xD8, 'a', 'b', 'c', 0xFF, 0xD9};
    Result<URL> url = PhotoLibrary().writeImageData(jpeg, "jpg", Date{1000});
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "assets-library");
    EXPECT_EQ(url->host(), "asset");
    EXPECT_EQ(url->path(), "/asset.JPG");

    auto found = lookUp(url->absoluteString());
    ASSERT_TRUE(found);
    ASSERT_TRUE(found->has_value());
    const PhotoAsset& asset = **found;
    EXPECT_EQ(asset.size(), jpeg.size());
    EXPECT_EQ(asset.mimeType(), "image/jpeg");
    EXPECT_EQ(asset.date()->secondsSince1970, 1000);
    EXPECT_EQ(asset.filename().substr(asset.filename().size() - 4), ".JPG");
    EXPECT_EQ(*asset.bytes(0, 100), jpeg);
    EXPECT_EQ(*asset.bytes(2, 3), (Bytes{'a', 'b', 'c'}));
    EXPECT_TRUE(asset.bytes(50, 10)->empty());
    // A huge length copies only what is there.
    EXPECT_EQ(asset.bytes(5, UINT64_MAX)->size(), 2u);
}

TEST_F(PhotoLibraryTest, UnknownItemsAndOtherURLsAreAbsentAndRefusalFails) {
    ASSERT_TRUE(PhotoLibrary().writeImageData(Bytes{1}, "png"));
    for (const char* url : {"assets-library://asset/asset.PNG?id=nothing&ext=PNG", "assets-library://asset/asset.PNG",
                            "assets-library://asset/asset.PNG?id=..&ext=PNG", "assets-library://other/asset.PNG?id=x&ext=PNG",
                            "file:///etc/hostname"}) {
        auto found = lookUp(url);
        ASSERT_TRUE(found) << url;
        EXPECT_FALSE(found->has_value()) << url;
    }
    PhotoLibrary::setAccessAllowed(false);
    auto refused = lookUp("assets-library://asset/asset.PNG?id=x&ext=PNG");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, kPhotoLibraryAccessDeniedError);
    EXPECT_FALSE(PhotoLibrary().writeImageData(Bytes{1}, "png"));
}

TEST_F(PhotoLibraryTest, OnlyPlainImageTypesAreSaved) {
    EXPECT_FALSE(PhotoLibrary().writeImageData(Bytes{1}, "../x"));
    EXPECT_FALSE(PhotoLibrary().writeImageData(Bytes{1}, ""));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(PhotoLibrary::defaultFolder()));
}

TEST_F(PhotoLibraryTest, SeedPicturesAreMadeOnlyForALibraryThatLacksThem) {
    std::atomic<int> made{0};
    auto picture = [&](std::string name, bool fails) {
        return PhotoLibrary::SeedPicture{std::move(name),
                                         [&made, fails]() -> Result<Bytes> {
                                             ++made;
                                             if (fails)
                                                 return Error("Test", 1, "cannot draw it");
                                             return Bytes{0x89, 'P', 'N', 'G'};
                                         },
                                         "png"};
    };
    hybtest::LogCapture log;
    PhotoLibrary::setSeedPictures({picture("Seed-1", false), picture("Seed-2", true)});
    auto first = PhotoLibrary().assets();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);  // the one that could not be made is left out, with its log line
    EXPECT_EQ(first->at(0).filename(), "Seed-1.PNG");
    EXPECT_EQ(made, 2);
    EXPECT_TRUE(log.contains("Seed-2 cannot be added: cannot draw it"));

    // Set again (as a second start does): only the missing picture is made again.
    PhotoLibrary::setSeedPictures({picture("Seed-1", false), picture("Seed-2", true)});
    EXPECT_EQ(PhotoLibrary().assets()->size(), 1u);
    EXPECT_EQ(made, 3);
    PhotoLibrary::setSeedPictures({});
}

TEST_F(PhotoLibraryTest, AUseWhileAnotherThreadSeedsTheLibraryWaitsForThePictures) {
    std::promise<void> making;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    PhotoLibrary::setSeedPictures({PhotoLibrary::SeedPicture{"Seed-1",
                                                             [&making, released]() -> Result<Bytes> {
                                                                 making.set_value();
                                                                 released.wait();
                                                                 return Bytes{0x89, 'P', 'N', 'G'};
                                                             },
                                                             "png"}});
    auto first = std::async(std::launch::async, [] { return PhotoLibrary().assets(); });
    making.get_future().wait();  // the first user makes the picture
    auto second = std::async(std::launch::async, [] { return PhotoLibrary().assets(); });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout) << "it waits for the seeding";
    release.set_value();
    auto seen = second.get();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->size(), 1u);
    EXPECT_EQ(first.get()->size(), 1u);
    PhotoLibrary::setSeedPictures({});
}
