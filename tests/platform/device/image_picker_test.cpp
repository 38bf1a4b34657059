#include "platform/device/ImagePickerController.h"

#include "platform/application/Application.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/CaptureVideoPreviewLayer.h"
#include "platform/device/FrameSource.h"
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"
#include "platform/device/Permissions.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/files/FileHandle.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TableView.h"
#include "platform/ui/Window.h"
#include "support/DeviceServices.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/Snapshot.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace platform;

namespace {

class RecordingPickerDelegate : public ImagePickerControllerDelegate {
public:
    void imagePickerController(ImagePickerController&, const ImagePickerMediaInfo& info) override { finished.push_back(info); }
    void imagePickerControllerDidCancel(ImagePickerController&) override { ++cancelled; }
    void imagePickerControllerDidFailToPick(ImagePickerController&, const Error& error) override { failed.push_back(error); }
    std::vector<ImagePickerMediaInfo> finished;
    std::vector<Error> failed;
    int cancelled = 0;
};

Image::Ptr picture(int width, int height, Color colour) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            double shade = 0.55 + 0.45 * y / height;
            p[0] = static_cast<std::uint8_t>(colour.red * 255 * shade), p[1] = static_cast<std::uint8_t>(colour.green * 255 * shade);
            p[2] = static_cast<std::uint8_t>(colour.blue * 255 * shade), p[3] = 255;
        }
    return *Image::fromRGBA(width, height, rgba);
}

class ImagePickerTest : public hybtest::TempHomeTest {
protected:
    ImagePickerTest() {
        setenv("TZ", "UTC", 1);
        tzset();
        clock.install();
        hybtest::resetDeviceServices();
        Application::shared().resetForTesting();
        window = Window::create(Screen::main().bounds());
        root = std::make_shared<ViewController>();
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        delegate = std::make_shared<RecordingPickerDelegate>();
    }
    ~ImagePickerTest() override {
        hybtest::resetDeviceServices();
        Application::shared().resetForTesting();
    }

    // A JPEG item whose EXIF says it is turned (orientation Right), a PNG and a movie, with fixed dates.
    std::vector<URL> seedLibrary() {
        PhotoLibrary library;
        Result<ImageDestination> turned = ImageDestination::create(kTypeJPEG, 1);
        EXPECT_TRUE(turned->addImage(picture(80, 60, Color::fromRGBA255(40, 110, 220))->withOrientation(ImageOrientation::Right)));
        std::vector<URL> urls;
        urls.push_back(*library.writeImageData(*turned->finalize(), "jpg", Date{1'700'000'000}));
        urls.push_back(*library.writeImageData(*picture(64, 64, Color::fromRGBA255(230, 120, 30))->pngData(), "png", Date{1'700'086'400}));
        urls.push_back(*library.writeImageData(Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p'}, "mov", Date{1'700'172'800}));
        return urls;
    }

    std::shared_ptr<ImagePickerController> present(ImagePickerSourceType source) {
        auto picker = ImagePickerController::create();
        EXPECT_TRUE(picker->setSourceType(source));
        picker->setDelegate(delegate);
        EXPECT_TRUE(root->presentViewController(picker, false));
        clock.advance(0);
        return picker;
    }

    VirtualClock clock;
    std::shared_ptr<Window> window;
    std::shared_ptr<ViewController> root;
    std::shared_ptr<RecordingPickerDelegate> delegate;
};

} // namespace

TEST_F(ImagePickerTest, SourcesAndMediaTypesFollowTheDevice) {
    EXPECT_TRUE(ImagePickerController::isSourceTypeAvailable(ImagePickerSourceType::PhotoLibrary));
    EXPECT_TRUE(ImagePickerController::isSourceTypeAvailable(ImagePickerSourceType::Camera));
    EXPECT_TRUE(ImagePickerController::isSourceTypeAvailable(ImagePickerSourceType::SavedPhotosAlbum));
    EXPECT_EQ(ImagePickerController::availableMediaTypesForSourceType(ImagePickerSourceType::Camera),
              (std::vector<std::string>{"public.image", "public.movie"}));
    EXPECT_TRUE(ImagePickerController::isCameraDeviceAvailable(ImagePickerCameraDevice::Front));

    CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Back}});
    EXPECT_FALSE(ImagePickerController::isCameraDeviceAvailable(ImagePickerCameraDevice::Front));
    auto picker = ImagePickerController::create();
    EXPECT_FALSE(picker->setCameraDevice(ImagePickerCameraDevice::Front));
    EXPECT_EQ(picker->cameraDevice(), ImagePickerCameraDevice::Rear);

    CaptureDevice::setCameras({});
    EXPECT_FALSE(ImagePickerController::isSourceTypeAvailable(ImagePickerSourceType::Camera));
    EXPECT_TRUE(ImagePickerController::availableMediaTypesForSourceType(ImagePickerSourceType::Camera).empty());
    EXPECT_FALSE(picker->setSourceType(ImagePickerSourceType::Camera));
    EXPECT_EQ(picker->sourceType(), ImagePickerSourceType::PhotoLibrary);

    EXPECT_EQ(picker->mediaTypes(), (std::vector<std::string>{"public.image"}));
    picker->setMediaTypes({"public.movie", "public.audio"});
    EXPECT_EQ(picker->mediaTypes(), (std::vector<std::string>{"public.movie"}));
    picker->setMediaTypes({});
    EXPECT_EQ(picker->mediaTypes(), (std::vector<std::string>{"public.movie"}));
}

TEST_F(ImagePickerTest, PickingFromTheLibraryAnswersTheImageAndItsAssetURL) {
    std::vector<URL> urls = seedLibrary();
    auto picker = present(ImagePickerSourceType::PhotoLibrary);
    auto table = picker->libraryTable();
    ASSERT_TRUE(table);
    EXPECT_EQ(table->numberOfRows(0), 2);  // pictures only: the movie is not listed
    EXPECT_EQ(picker->topViewController()->title(), "Photos");

    ASSERT_TRUE(picker->pick(0));
    ASSERT_EQ(delegate->finished.size(), 1u);
    const ImagePickerMediaInfo& first = delegate->finished[0];
    EXPECT_EQ(first.mediaType, kUTTypeImage);
    EXPECT_TRUE(first.contains(kImagePickerControllerOriginalImage));
    EXPECT_FALSE(first.contains(kImagePickerControllerEditedImage));
    EXPECT_FALSE(first.contains(kImagePickerControllerMediaURL));
    EXPECT_EQ(first.referenceURL->absoluteString(), urls[0].absoluteString());
    EXPECT_EQ(first.originalImage->orientation(), ImageOrientation::Right);
    EXPECT_EQ(first.originalImage->size(), (Size{60, 80}));

    // A tap on a row picks too; with editing allowed the centred square comes along.
    picker->setAllowsEditing(true);
    ASSERT_TRUE(table->tapRow(0, 1));
    ASSERT_EQ(delegate->finished.size(), 2u);
    EXPECT_EQ(delegate->finished[1].referenceURL->absoluteString(), urls[1].absoluteString());
    ASSERT_TRUE(delegate->finished[1].editedImage);
    EXPECT_EQ(delegate->finished[1].editedImage->size(), (Size{64, 64}));

    hybtest::LogCapture log;
    EXPECT_FALSE(picker->pick(2));
    EXPECT_FALSE(picker->shoot());
    EXPECT_EQ(delegate->finished.size(), 2u);
    EXPECT_EQ(log.lines().size(), 2u);

    picker->cancel();
    EXPECT_EQ(delegate->cancelled, 1);
}

TEST_F(ImagePickerTest, ALibraryItemThatCannotBeReadIsReportedWithItsError) {
    seedLibrary();
    Result<std::vector<PhotoAsset>> assets = PhotoLibrary().assets();
    ASSERT_TRUE(assets);
    ASSERT_EQ(assets->size(), 3u);
    auto picker = present(ImagePickerSourceType::PhotoLibrary);
    ASSERT_EQ(picker->libraryTable()->numberOfRows(0), 2);

    // Both files change after the list was shown: the JPEG is deleted, the PNG no longer holds a picture.
    const FileManager& files = FileManager::defaultManager();
    ASSERT_TRUE(files.removeItem((*assets)[0].path()));
    const std::string text = "this is not a picture";
    ASSERT_TRUE(files.createFile((*assets)[1].path(), Bytes(text.begin(), text.end())));

    hybtest::LogCapture log;
    EXPECT_FALSE(picker->pick(0));
    EXPECT_FALSE(picker->pick(1));
    EXPECT_TRUE(delegate->finished.empty());
    ASSERT_EQ(delegate->failed.size(), 2u);  // once per pick
    // The errors are the file's and the decoder's own.
    Result<std::unique_ptr<FileHandle>> opened = FileHandle::openForReading((*assets)[0].path());
    ASSERT_FALSE(opened);
    EXPECT_EQ(delegate->failed[0], opened.error());
    Result<ImageSource> decoded = ImageSource::withData(Bytes(text.begin(), text.end()));
    ASSERT_FALSE(decoded);
    EXPECT_EQ(delegate->failed[1], decoded.error());
    EXPECT_TRUE(log.contains(delegate->failed[0].localizedDescription()));
    EXPECT_TRUE(log.contains(delegate->failed[1].localizedDescription()));
}

TEST_F(ImagePickerTest, TheAlbumListsMoviesWhenAskedAndAMovieAnswersItsMediaURL) {
    std::vector<URL> urls = seedLibrary();
    auto picker = ImagePickerController::create();
    ASSERT_TRUE(picker->setSourceType(ImagePickerSourceType::SavedPhotosAlbum));
    picker->setMediaTypes({kUTTypeImage, kUTTypeMovie});
    picker->setDelegate(delegate);
    picker->view();
    EXPECT_EQ(picker->topViewController()->title(), "Saved Photos");
    EXPECT_EQ(picker->libraryTable()->numberOfRows(0), 3);
    ASSERT_TRUE(picker->pick(2));
    const ImagePickerMediaInfo& movie = delegate->finished.at(0);
    EXPECT_EQ(movie.mediaType, kUTTypeMovie);
    EXPECT_FALSE(movie.originalImage);
    ASSERT_TRUE(movie.mediaURL);
    EXPECT_TRUE(movie.mediaURL->isFileURL());
    EXPECT_TRUE(FileManager::defaultManager().fileExists(movie.mediaURL->path()));
    EXPECT_EQ(movie.referenceURL->absoluteString(), urls[2].absoluteString());

    // A library the user refused shows nothing.
    Permissions::shared().setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Denied);
    hybtest::LogCapture log;
    auto refused = ImagePickerController::create();
    refused->view();
    EXPECT_EQ(refused->libraryTable()->numberOfRows(0), 0);
    EXPECT_TRUE(log.contains("cannot be shown"));
}

TEST_F(ImagePickerTest, TheShutterAnswersTheFrameAsTakenUprightWithItsMetadata) {
    CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Back, FrameSource::fromDescription("qr:picker"), 30, 480, 360},
                               CameraConfiguration{CaptureDevicePosition::Front, nullptr, 30, 480, 360}});
    auto picker = present(ImagePickerSourceType::Camera);
    EXPECT_TRUE(picker->isNavigationBarHidden());
    EXPECT_FALSE(picker->shoot());  // no frame yet
    clock.advance(1.0 / 30);
    ASSERT_TRUE(picker->shoot());
    ASSERT_EQ(delegate->finished.size(), 1u);
    const ImagePickerMediaInfo& shot = delegate->finished[0];
    EXPECT_EQ(shot.mediaType, kUTTypeImage);
    EXPECT_EQ(shot.originalImage->pixelWidth(), 480);
    EXPECT_EQ(shot.originalImage->orientation(), ImageOrientation::Right);
    EXPECT_EQ(shot.originalImage->size(), (Size{360, 480}));
    EXPECT_FALSE(shot.referenceURL);
    ASSERT_TRUE(shot.mediaMetadata);
    const Dictionary& metadata = *shot.mediaMetadata;
    EXPECT_EQ(metadata[kImagePropertyOrientation], Value(6));
    EXPECT_EQ(metadata[kImagePropertyExifDictionary].getDictionary()->operator[](kImagePropertyExifPixelXDimension), Value(480));
    EXPECT_EQ(metadata[kImagePropertyTIFFDictionary].getDictionary()->operator[](kImagePropertyTIFFOrientation), Value(6));
    EXPECT_EQ(metadata[kImagePropertyExifDictionary].getDictionary()->operator[](kImagePropertyExifDateTimeOriginal),
              Value("2023:11:14 22:13:20"));
    // The picture shows the upright card: its caption strip at the bottom is white.
    EXPECT_EQ(shot.originalImage->upright()->pixelAt(5, 470), Color::white());

    // The front camera has no frames: nothing to take.
    picker->setAllowsEditing(true);
    ASSERT_TRUE(picker->setCameraDevice(ImagePickerCameraDevice::Front));
    clock.advance(0.5);
    EXPECT_FALSE(picker->shoot());
    ASSERT_TRUE(picker->setCameraDevice(ImagePickerCameraDevice::Rear));
    clock.advance(1.0 / 30);
    ASSERT_TRUE(picker->shoot());
    EXPECT_EQ(delegate->finished.at(1).editedImage->size(), (Size{360, 360}));

    picker->cancel();
    EXPECT_EQ(delegate->cancelled, 1);
}

TEST_F(ImagePickerTest, AlbumWritesAnswerTheAssetURLAndAreRefusedWhileDenied) {
    PhotoLibrary library;
    std::optional<Result<URL>> answer;
    library.writeImageToSavedPhotosAlbum(picture(40, 30, Color::fromRGBA255(0, 200, 0)), ImageOrientation::Left,
                                         [&](Result<URL> url) { answer = std::move(url); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
    ASSERT_TRUE(*answer);
    auto asset = library.assetForURLNow(**answer);
    ASSERT_TRUE(asset && asset->has_value());
    ImageSource saved = *ImageSource::withData(*(*asset)->bytes(0, (*asset)->size()));
    EXPECT_EQ(saved.orientation(), ImageOrientation::Left);
    EXPECT_EQ(saved.pixelWidth(), 40);

    // Data with metadata: the metadata is spliced in.
    answer.reset();
    Bytes jpeg = *picture(16, 16, Color::white())->jpegData(0.8);
    library.writeImageDataToSavedPhotosAlbum(jpeg, Dictionary{{kImagePropertyGPSDictionary, Dictionary{{"LatitudeRef", "S"}, {"Latitude", 10.5}}}},
                                             [&](Result<URL> url) { answer = std::move(url); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
    ASSERT_TRUE(*answer);
    auto withGPS = library.assetForURLNow(**answer);
    Dictionary properties = *ImageSource::withData(*(*withGPS)->bytes(0, (*withGPS)->size()))->properties();
    EXPECT_EQ((*properties[kImagePropertyGPSDictionary].getDictionary())["LatitudeRef"], Value("S"));

    // Not a picture: an error, nothing written.
    answer.reset();
    library.writeImageDataToSavedPhotosAlbum(Bytes{'n', 'o'}, {}, [&](Result<URL> url) { answer = std::move(url); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
    EXPECT_FALSE(*answer);

    // Denied: both writes are refused and the album keeps its two items.
    Permissions::shared().setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Denied);
    answer.reset();
    library.writeImageToSavedPhotosAlbum(picture(4, 4, Color::black()), ImageOrientation::Up, [&](Result<URL> url) { answer = std::move(url); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
    ASSERT_FALSE(*answer);
    EXPECT_EQ(answer->error().domain, kPhotoLibraryErrorDomain);
    EXPECT_EQ(answer->error().code, kPhotoLibraryAccessDeniedError);
    answer.reset();
    library.writeImageDataToSavedPhotosAlbum(jpeg, {}, [&](Result<URL> url) { answer = std::move(url); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answer.has_value(); }));
    EXPECT_FALSE(*answer);
    Permissions::shared().setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Authorized);
    EXPECT_EQ(library.assets()->size(), 2u);
}

TEST_F(ImagePickerTest, TheLibraryListLooksRight) {
    seedLibrary();
    auto picker = present(ImagePickerSourceType::PhotoLibrary);
    picker->setMediaTypes({kUTTypeImage, kUTTypeMovie});
    ASSERT_TRUE(picker->setSourceType(ImagePickerSourceType::PhotoLibrary));  // rebuilt with movies
    clock.advance(0);
    picker->view()->layoutIfNeeded();
    hybtest::expectSnapshot(*picker->view(), "image_picker_library");
}

TEST_F(ImagePickerTest, TheCameraScreenLooksRight) {
    CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Back, FrameSource::fromDescription("qr:https://example.com/hybrid"), 30, 640, 480}});
    auto picker = present(ImagePickerSourceType::Camera);
    clock.advance(1.0 / 30);
    ASSERT_TRUE(picker->previewLayer());
    ASSERT_TRUE(picker->previewLayer()->latestFrame());
    picker->view()->layoutIfNeeded();
    hybtest::expectSnapshot(*picker->view(), "image_picker_camera");
}
