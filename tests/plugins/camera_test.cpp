#include "InterfaceFixture.h"

#include "platform/core/Crypto.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"
#include "platform/device/Location.h"
#include "platform/device/LocationSimulator.h"
#include "platform/device/Permissions.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/device/PlatformClasses.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileHandle.h"
#include "platform/files/FileManager.h"
#include "platform/ui/TouchDriver.h"
#include "plugins/CropScaleOrientation.h"
#include "plugins/HYBCamera.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace platform;
using plugins::HYBCamera;
using plugins::HYBPictureOptions;
using runtime::HYBCommandStatus;

namespace {

// A picture whose left, middle and right thirds are red, green and blue.
Image::Ptr thirds(int width, int height) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            const int third = x * 3 / width;
            p[0] = third == 0 ? 255 : 0, p[1] = third == 1 ? 255 : 0, p[2] = third == 2 ? 255 : 0, p[3] = 255;
        }
    return *Image::fromRGBA(width, height, rgba);
}

HYBPictureOptions optionsOf(Array arguments) {
    return HYBPictureOptions::createFromTakePictureArguments(runtime::HYBInvokedUrlCommand(std::move(arguments), "cb", "Camera", "takePicture"));
}

class CameraTest : public pluginstest::InterfaceTest<HYBCamera> {
protected:
    CameraTest() {
        CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Back, FrameSource::fromDescription("qr:camera"), 30, 320, 240}});
        Permissions::shared().setStatus(PermissionKind::VideoCapture, AuthorizationStatus::Authorized);
        Permissions::shared().setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Authorized);
    }

    // Starts takePicture and lets the picker come up.
    std::shared_ptr<plugins::HYBCameraPicker> open(Array arguments, const std::string& callbackId = "cb") {
        start();
        call("takePicture", std::move(arguments), callbackId);
        settle();
        return m_plugin->pickerController();
    }
    // Takes a picture with the shutter and waits for the answer.
    const pluginstest::Answer& shoot(Array arguments = {}) {
        const std::size_t before = answers().size();
        auto picker = open(std::move(arguments));
        EXPECT_TRUE(picker);
        clock.advance(1.0 / 30);
        EXPECT_TRUE(picker && picker->shoot());
        settle();
        EXPECT_TRUE(waitForAnswers(before + 1)) << "album writes answer from their own queue";
        EXPECT_EQ(answers().size(), before + 1);
        return answers().back();
    }
    URL seedPicture(const Image::Ptr& image) { return *PhotoLibrary().writeImageData(*image->jpegData(0.9), "jpg", Date{1'700'000'000}); }
    std::string tmp() const { return AppFolders::current().tmp(); }
};

} // namespace

TEST(PictureOptions, ArgumentsTakeTheirDefaultsAndBothSidesMakeASize) {
    const HYBPictureOptions none = optionsOf({});
    EXPECT_EQ(none.quality, Value(50));
    EXPECT_EQ(none.destinationType, 1u);
    EXPECT_EQ(none.sourceType, 1u);
    EXPECT_EQ(none.encodingType, 0u);
    EXPECT_EQ(none.mediaType, 0u);
    EXPECT_FALSE(none.allowsEditing || none.correctOrientation || none.saveToPhotoAlbum || none.cropToSize);
    EXPECT_FALSE(none.popoverOptions);
    EXPECT_EQ(none.cameraDirection, 0u);
    EXPECT_EQ(none.targetSize, (Size{0, 0}));

    EXPECT_EQ(optionsOf({50, 1, 1, 640}).targetSize, (Size{0, 0})) << "only a width keeps the size";
    EXPECT_EQ(optionsOf({50, 1, 1, nullptr, 480}).targetSize, (Size{0, 0}));
    EXPECT_EQ(optionsOf({50, 1, 1, 640.5, 480}).targetSize, (Size{640.5, 480}));

    // Wrong kinds take the defaults; true reads as 1 as the page's booleans are numbers.
    const HYBPictureOptions wrong = optionsOf({"high", "file", Array{}, "9", Dictionary{}, "png", nullptr, "yes", 1, true, "popover", -3});
    EXPECT_EQ(wrong.quality, Value(50));
    EXPECT_EQ(wrong.destinationType, 1u);
    EXPECT_EQ(wrong.sourceType, 1u);
    EXPECT_EQ(wrong.targetSize, (Size{0, 0}));
    EXPECT_EQ(wrong.encodingType, 0u);
    EXPECT_FALSE(wrong.allowsEditing);
    EXPECT_TRUE(wrong.correctOrientation && wrong.saveToPhotoAlbum);
    EXPECT_FALSE(wrong.popoverOptions);
    EXPECT_GT(wrong.cameraDirection, 1u) << "a negative direction is no known camera";

    EXPECT_EQ(optionsOf({150}).compression(), 1.0);
    EXPECT_EQ(optionsOf({-20}).compression(), 0.0);
    EXPECT_EQ(optionsOf({80}).compression(), 0.8);
    EXPECT_EQ(optionsOf({std::nan("")}).compression(), 0.0);
}

TEST(PictureOptions, PopoverPlacementKeepsDefaultsAndTheKnownArrows) {
    auto placement = HYBCamera::popoverPlacement(Dictionary{{"x", 10}, {"width", 200}, {"height", 300}, {"arrowDir", 3}});
    EXPECT_EQ(placement.rect, (Rect{10, 32, 200, 300})) << "a missing y is 32";
    EXPECT_EQ(placement.arrowDirections, 15u) << "3 is no direction";
    placement = HYBCamera::popoverPlacement(Dictionary{{"x", "left"}, {"y", 5.7}, {"arrowDir", 4}, {"width", std::nan("")}});
    EXPECT_EQ(placement.rect, (Rect{0, 5, 320, 480}));
    EXPECT_EQ(placement.arrowDirections, 4u);
    for (int arrow : {0, -1, 16, 255})
        EXPECT_EQ(HYBCamera::popoverPlacement(Dictionary{{"arrowDir", arrow}}).arrowDirections, 15u) << arrow;
    placement = HYBCamera::popoverPlacement(std::nullopt);
    EXPECT_EQ(placement.rect, (Rect{0, 32, 320, 480}));
    EXPECT_EQ(placement.arrowDirections, 15u);
}

TEST(CropScaleOrientation, GeometryOfCropAndFit) {
    const Rect crop = plugins::scaleAndCropRect({400, 300}, {100, 100});
    EXPECT_NEAR(crop.width(), 133.333, 1e-3);
    EXPECT_DOUBLE_EQ(crop.height(), 100);
    EXPECT_NEAR(crop.minX(), -16.667, 1e-3);
    EXPECT_DOUBLE_EQ(crop.minY(), 0);
    const Rect tall = plugins::scaleAndCropRect({300, 400}, {100, 100});
    EXPECT_DOUBLE_EQ(tall.minX(), 0);
    EXPECT_NEAR(tall.minY(), -16.667, 1e-3);
    EXPECT_EQ(plugins::scaleAndCropRect({100, 100}, {100, 100}), (Rect{0, 0, 100, 100}));

    EXPECT_EQ(plugins::scaleNotCropSize({400, 300}, {100, 100}), (Size{100, 75}));
    EXPECT_EQ(plugins::scaleNotCropSize({300, 400}, {100, 100}), (Size{75, 100}));
    EXPECT_EQ(plugins::scaleNotCropSize({300, 400}, {75.9, 200}), (Size{75, 101}));
    EXPECT_EQ(plugins::scaleNotCropSize({640, 480}, {640, 480}), (Size{640, 480}));
}

TEST(CropScaleOrientation, DrawnPicturesAreCroppedFittedAndTurnedUpright) {
    const Image::Ptr picture = thirds(400, 300);
    const Image::Ptr cropped = plugins::imageByScalingAndCroppingForSize(picture, {100, 100});
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->size(), (Size{100, 100}));
    // 133 wide, 16.7 cut each side: the red third shows from x = 0 to about 27.
    EXPECT_EQ(cropped->pixelAt(2, 50), Color::fromRGBA255(255, 0, 0));
    EXPECT_EQ(cropped->pixelAt(50, 50), Color::fromRGBA255(0, 255, 0));
    EXPECT_EQ(cropped->pixelAt(97, 50), Color::fromRGBA255(0, 0, 255));

    const Image::Ptr fitted = plugins::imageByScalingNotCroppingForSize(picture, {100, 100});
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->size(), (Size{100, 75}));
    EXPECT_EQ(fitted->scale(), 1.0);

    // Sizes the drawing context refuses give nothing, with the log line, before any pixels.
    hybtest::LogCapture log;
    EXPECT_FALSE(plugins::imageByScalingAndCroppingForSize(picture, {1e9, 1e9}));
    EXPECT_FALSE(plugins::imageByScalingNotCroppingForSize(picture, {std::nan(""), 10}));
    EXPECT_FALSE(plugins::imageByScalingNotCroppingForSize(picture, {0.5, 0.5})) << "truncated to 0 x 0";
    EXPECT_TRUE(log.contains("could not scale image"));

    // Up is still redrawn: a new image with the same pixels.
    const Image::Ptr same = plugins::imageCorrectedForCaptureOrientation(picture);
    ASSERT_TRUE(same);
    EXPECT_NE(same.get(), picture.get());
    EXPECT_EQ(same->rgbaPixels(), picture->rgbaPixels());

    for (ImageOrientation orientation : {ImageOrientation::Right, ImageOrientation::Left, ImageOrientation::Down,
                                         ImageOrientation::LeftMirrored}) {
        const Image::Ptr turned = picture->withOrientation(orientation);
        const Image::Ptr upright = plugins::imageCorrectedForCaptureOrientation(turned);
        ASSERT_TRUE(upright);
        EXPECT_EQ(upright->orientation(), ImageOrientation::Up);
        EXPECT_EQ(upright->size(), turned->size());
        EXPECT_EQ(upright->rgbaPixels(), turned->upright()->rgbaPixels()) << static_cast<int>(orientation);
    }
}

TEST_F(CameraTest, TwoPicturesNumberTheirFilesAndCleanupStartsAgain) {
    EXPECT_FALSE(start().hasPendingOperation());
    call("takePicture", {});
    EXPECT_TRUE(m_plugin->hasPendingOperation());
    settle();
    EXPECT_FALSE(m_plugin->hasPendingOperation()) << "the picker is on screen";
    auto picker = m_plugin->pickerController();
    ASSERT_TRUE(picker);
    EXPECT_EQ(controller->presentedViewController(), picker);
    EXPECT_TRUE(picker->prefersStatusBarHidden());
    clock.advance(1.0 / 30);
    ASSERT_TRUE(picker->shoot());
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answers()[0].message(), Value(URL::fileURLWithPath(tmp() + "/hyb_photo_001.jpg").absoluteString()));
    EXPECT_FALSE(controller->presentedViewController());
    EXPECT_FALSE(m_plugin->pickerController());

    EXPECT_EQ(shoot().message(), Value(URL::fileURLWithPath(tmp() + "/hyb_photo_002.jpg").absoluteString()));
    Result<Bytes> bytes = FileManager::defaultManager().contentsOfFile(tmp() + "/hyb_photo_002.jpg");
    ASSERT_TRUE(bytes);
    Result<ImageSource> source = ImageSource::withData(*bytes);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->type(), kTypeJPEG);
    EXPECT_EQ(source->pixelWidth(), 240) << "the upright camera frame";

    ASSERT_TRUE(FileManager::defaultManager().createFile(tmp() + "/keep.txt", Bytes{'k'}));
    call("cleanup", {}, "clean");
    ASSERT_EQ(answers().back().callbackId, "clean");
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(answers().back().message().isNull());
    EXPECT_FALSE(FileManager::defaultManager().fileExists(tmp() + "/hyb_photo_001.jpg"));
    EXPECT_TRUE(FileManager::defaultManager().fileExists(tmp() + "/keep.txt"));

    EXPECT_EQ(shoot({50, 1, 1, nullptr, nullptr, 1}).message(), Value(URL::fileURLWithPath(tmp() + "/hyb_photo_001.png").absoluteString()));
}

TEST_F(CameraTest, DataStringsAndUntouchedLibraryPicturesKeepFullQuality) {
    const pluginstest::Answer& data = shoot({100, 0});
    ASSERT_EQ(data.status(), HYBCommandStatus::Ok);
    std::optional<Bytes> decoded = Crypto::base64Decode(*data.message().getString());
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(ImageSource::withData(*decoded));

    // Quality 80 and nothing else: from the library at 1.0, from the camera at 0.8.
    const Image::Ptr picture = thirds(90, 60);
    ImagePickerMediaInfo info;
    info.mediaType = kUTTypeImage;
    info.originalImage = picture;
    HYBCamera& camera = start();
    HYBPictureOptions library = optionsOf({80, 0, 0});
    EXPECT_EQ(camera.processImage(picture, info, library), *picture->jpegData(1.0));
    HYBPictureOptions fromCamera = optionsOf({80, 0, 1});
    EXPECT_EQ(camera.processImage(picture, info, fromCamera), *picture->jpegData(0.8));
    library.targetSize = {30, 30};
    EXPECT_EQ(camera.processImage(picture, info, library), *picture->jpegData(0.8)) << "a size asks for the quality";
    EXPECT_EQ(camera.processImage(picture, info, optionsOf({80, 0, 0, nullptr, nullptr, 1})), *picture->pngData());
    EXPECT_FALSE(camera.processImage(picture, info, optionsOf({80, 0, 0, nullptr, nullptr, 2})));
}

TEST_F(CameraTest, LibraryPicturesAnswerTheirURLAndAreNeverWrittenAgain) {
    const URL seeded = seedPicture(thirds(120, 90));
    auto picker = open({50, 2, 0, nullptr, nullptr, 0, 0, false, false, true});
    ASSERT_TRUE(picker);
    ASSERT_TRUE(picker->pick(0));
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].message(), Value(seeded.absoluteString()));
    EXPECT_EQ(PhotoLibrary().assets()->size(), 1u) << "no album write";

    // A fresh camera picture has no library URL: it is written to the album first.
    const pluginstest::Answer& shot = shoot({50, 2});
    ASSERT_EQ(shot.status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(shot.message().getString()->starts_with("assets-library://asset/asset.JPG?id="));
    EXPECT_EQ(PhotoLibrary().assets()->size(), 2u);

    // Picked from the library with size, crop off, upright: fitted into 60 x 60.
    auto resized = open({50, 0, 0, 60, 60, 0, 0, false, true});
    ASSERT_TRUE(resized->pick(0));
    settle();
    Result<ImageSource> source = ImageSource::withData(*Crypto::base64Decode(*answers().back().message().getString()));
    ASSERT_TRUE(source);
    EXPECT_EQ(source->pixelWidth(), 60);
    EXPECT_EQ(source->pixelHeight(), 45);
}

TEST_F(CameraTest, ALibraryItemThatCannotBeReadAnswersItsErrorOnce) {
    seedPicture(thirds(60, 40));
    const std::string path = PhotoLibrary().assets()->at(0).path();
    const FileManager& files = FileManager::defaultManager();

    // Not a picture any more: the decoder's error, once, even for a second tap before the picker is gone.
    const std::string text = "no picture here";
    ASSERT_TRUE(files.createFile(path, Bytes(text.begin(), text.end())));
    auto picker = open({50, 1, 0});
    ASSERT_TRUE(picker);
    EXPECT_FALSE(picker->pick(0));
    EXPECT_FALSE(picker->pick(0));
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::IOError);
    EXPECT_EQ(answers()[0].message(), Value(ImageSource::withData(Bytes(text.begin(), text.end())).error().localizedDescription()));
    EXPECT_FALSE(m_plugin->hasPendingOperation());
    EXPECT_FALSE(m_plugin->pickerController());
    EXPECT_FALSE(controller->presentedViewController());

    // Gone after the list was shown: the file's error; this next call is answered as usual.
    picker = open({50, 0, 0}, "gone");
    ASSERT_TRUE(picker);
    ASSERT_TRUE(files.removeItem(path));
    EXPECT_FALSE(picker->pick(0));
    settle();
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(answers()[1].callbackId, "gone");
    EXPECT_EQ(answers()[1].status(), HYBCommandStatus::IOError);
    EXPECT_EQ(answers()[1].message(), Value(FileHandle::openForReading(path).error().localizedDescription()));
    EXPECT_FALSE(m_plugin->hasPendingOperation());
}

TEST_F(CameraTest, CancelAnswersWhatAccessWasMissing) {
    Permissions::shared().setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Denied);
    open({50, 1, 0})->cancel();
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[0].message(), Value("has no access to assets"));

    Permissions::shared().setStatus(PermissionKind::PhotoLibrary, AuthorizationStatus::Authorized);
    open({50, 1, 2})->cancel();
    settle();
    EXPECT_EQ(answers().back().message(), Value("no image selected"));

    Permissions::shared().setStatus(PermissionKind::VideoCapture, AuthorizationStatus::NotDetermined);
    open({})->cancel();
    settle();
    EXPECT_EQ(answers().back().message(), Value("has no access to camera"));
    EXPECT_EQ(answers().size(), 3u);
    EXPECT_FALSE(m_plugin->hasPendingOperation());
    EXPECT_FALSE(controller->presentedViewController());
}

TEST_F(CameraTest, AProhibitedCameraShowsTheAlertAndTheFlowGoesOn) {
    Permissions::shared().setStatus(PermissionKind::VideoCapture, AuthorizationStatus::Restricted);
    auto picker = open({});
    ASSERT_TRUE(picker) << "the picker is made all the same";
    std::shared_ptr<AlertView> alert = m_plugin->accessAlert();
    ASSERT_TRUE(alert && alert->isVisible());
    EXPECT_EQ(alert->message(), "Access to the camera has been prohibited; please enable it in the Settings app to continue.");
    EXPECT_EQ(alert->numberOfButtons(), 2);
    EXPECT_EQ(alert->buttonTitleAtIndex(1), "Settings");
    ASSERT_TRUE(TouchDriver::tap(*alert->buttonViews().at(0)));
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].message(), Value("has no access to camera"));
    EXPECT_FALSE(m_plugin->pickerController());
    EXPECT_FALSE(m_plugin->hasPendingOperation());
    EXPECT_FALSE(controller->presentedViewController());

    Permissions::shared().setStatus(PermissionKind::VideoCapture, AuthorizationStatus::Denied);
    open({})->cancel();
    settle();
    EXPECT_EQ(answers().back().message(), Value("has no access to camera"));
    EXPECT_EQ(answers().size(), 2u);
}

TEST_F(CameraTest, EachCallIsEndedByItsOwnScreen) {
    // The library picker is up; a camera call comes while the camera is denied.
    auto library = open({50, 1, 0}, "library");
    ASSERT_TRUE(library);
    Permissions::shared().setStatus(PermissionKind::VideoCapture, AuthorizationStatus::Denied);
    call("takePicture", {}, "camera");
    settle();
    std::shared_ptr<AlertView> alert = m_plugin->accessAlert();
    ASSERT_TRUE(alert && alert->isVisible());
    EXPECT_TRUE(answers().empty()) << "the camera call waits for its alert";
    ASSERT_TRUE(TouchDriver::tap(*alert->buttonViews().at(0)));
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].callbackId, "camera");
    EXPECT_EQ(answers()[0].message(), Value("has no access to camera"));
    EXPECT_EQ(m_plugin->pickerController(), library) << "the library picker keeps its call";
    EXPECT_EQ(controller->presentedViewController(), library);
    EXPECT_FALSE(m_plugin->hasPendingOperation()) << "the picker shown is on screen";

    // The library picker ends its own call.
    library->cancel();
    settle();
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(answers()[1].callbackId, "library");
    EXPECT_EQ(answers()[1].message(), Value("no image selected"));

    // An alert whose picker was answered meanwhile answers nothing more.
    auto camera = open({}, "shot");
    ASSERT_TRUE(camera && m_plugin->accessAlert());
    alert = m_plugin->accessAlert();
    camera->cancel();
    settle();
    ASSERT_EQ(answers().size(), 3u);
    EXPECT_EQ(answers()[2].callbackId, "shot");
    TouchDriver::tap(*alert->buttonViews().at(0));
    settle();
    EXPECT_EQ(answers().size(), 3u) << "one answer per call";
}

TEST_F(CameraTest, BadSourcesAndTablesAnswerAsTheyShould) {
    hybtest::LogCapture log;
    start();
    call("takePicture", {50, 1, 7});
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[0].message(), Value("No camera available"));
    EXPECT_TRUE(log.contains("Camera.getPicture: source type 7 not available."));
    EXPECT_FALSE(m_plugin->hasPendingOperation());

    CaptureDevice::setCameras({});
    call("takePicture", {});
    settle();
    EXPECT_EQ(answers().back().message(), Value("No camera available"));
    CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Back, FrameSource::fromDescription("qr:camera"), 30, 320, 240}});

    EXPECT_EQ(shoot({50, 9}).status(), HYBCommandStatus::NoResult) << "destination outside the table";
    EXPECT_EQ(shoot({50, 1, 1, nullptr, nullptr, 4}).status(), HYBCommandStatus::NoResult) << "encoding outside the table";
    EXPECT_EQ(shoot({50, 0, 1, 1e12, 1e12}).status(), HYBCommandStatus::Ok) << "a refused size keeps the picture";

    // A tmp folder that cannot be written: the write error, no file left.
    ASSERT_TRUE(FileManager::defaultManager().removeItem(tmp()));
    ASSERT_TRUE(FileManager::defaultManager().createFile(tmp(), Bytes{'x'}));
    const pluginstest::Answer& failed = shoot();
    EXPECT_EQ(failed.status(), HYBCommandStatus::IOError);
    EXPECT_FALSE(failed.message().getString()->empty());
    EXPECT_EQ(*FileManager::defaultManager().contentsOfFile(tmp()), Bytes{'x'});
    call("cleanup", {}, "clean");
    EXPECT_EQ(answers().back().status(), HYBCommandStatus::IOError);
    EXPECT_EQ(answers().back().message(), Value("One or more files failed to be deleted."));
    EXPECT_TRUE(log.contains("Failed to delete: "));
}

TEST_F(CameraTest, TheLocationIsWaitedForAndWrittenIntoThePicture) {
    m_log->preferences.set("camerausesgeolocation", true);
    // West of Greenwich, below sea level, at 2023-11-14 22:13:20.25 UTC.
    LocationSimulator::shared().setCurrentLocation(Location({31.5, -0.1275}, -12.5, 5, 5, -1, -1, Date{1'700'000'000.25}));
    auto picker = open({50, 1});
    clock.advance(1.0 / 30);
    ASSERT_TRUE(picker->shoot());
    EXPECT_TRUE(answers().empty());
    settle();
    ASSERT_EQ(answers().size(), 1u) << "answered once, after the fix";
    ASSERT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
    EXPECT_FALSE(m_plugin->hasPendingOperation());
    EXPECT_FALSE(m_plugin->pickerController());

    Result<Bytes> bytes = FileManager::defaultManager().contentsOfFile(tmp() + "/hyb_photo_001.jpg");
    ASSERT_TRUE(bytes);
    Result<ImageSource> source = ImageSource::withData(*bytes);
    ASSERT_TRUE(source);
    const Dictionary properties = *source->properties();
    const Value& gps = properties[kImagePropertyGPSDictionary];
    EXPECT_EQ(gps[kImagePropertyGPSLongitudeRef], Value("W"));
    EXPECT_NEAR(gps[kImagePropertyGPSLongitude].doubleValue(), 0.1275, 1e-6);
    EXPECT_EQ(gps[kImagePropertyGPSLatitudeRef], Value("N"));
    EXPECT_EQ(gps[kImagePropertyGPSAltitudeRef].integerValue(), 1);
    EXPECT_NEAR(gps[kImagePropertyGPSAltitude].doubleValue(), 12.5, 1e-6);
    EXPECT_EQ(gps[kImagePropertyGPSTimeStamp], Value("22:13:20.250000"));
    EXPECT_EQ(gps[kImagePropertyGPSDateStamp], Value("2023:11:14"));
    EXPECT_TRUE(properties[kImagePropertyExifDictionary].isDictionary()) << "the capture's EXIF is kept";

    const Dictionary gpsText = HYBCamera::gpsDictionary(Location({-10, 20}, Date{0}));
    EXPECT_EQ(gpsText[kImagePropertyGPSLatitudeRef], Value("S"));
    EXPECT_EQ(gpsText[kImagePropertyGPSLongitudeRef], Value("E"));
    EXPECT_FALSE(gpsText.contains(kImagePropertyGPSAltitudeRef)) << "no altitude";
    EXPECT_EQ(gpsText[kImagePropertyGPSTimeStamp], Value("00:00:00.000000"));
    EXPECT_EQ(gpsText[kImagePropertyGPSDateStamp], Value("1970:01:01"));
}

TEST_F(CameraTest, ALocationFailureAnswersThePictureWithoutGPS) {
    m_log->preferences.set("camerausesgeolocation", true);
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::Denied);
    const pluginstest::Answer& answer = shoot({50, 0});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    Result<ImageSource> source = ImageSource::withData(*Crypto::base64Decode(*answer.message().getString()));
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->properties()->contains(kImagePropertyGPSDictionary));
    EXPECT_FALSE(m_plugin->hasPendingOperation());
}

TEST_F(CameraTest, VideosAnswerTheirFileAndTitleTheirScreen) {
    ASSERT_TRUE(PhotoLibrary().writeImageData(Bytes{0, 0, 0, 0x18, 'f', 't', 'y', 'p'}, "mov", Date{1'700'000'000}));
    auto picker = open({50, 1, 0, nullptr, nullptr, 0, 1});
    ASSERT_TRUE(picker);
    EXPECT_EQ(picker->mediaTypes(), std::vector<std::string>{kUTTypeMovie});
    EXPECT_EQ(picker->topViewController()->navigationItem()->title(), "Videos");
    ASSERT_TRUE(picker->pick(0));
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_TRUE(answers()[0].message().getString()->starts_with("file://"));
}

TEST_F(CameraTest, OnAPadTheLibraryComesInAPopover) {
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    ASSERT_TRUE(PlatformClasses::setPresent("UIPopoverController", true));
    auto picker = open({50, 1, 0, nullptr, nullptr, 0, 0, false, false, false, Dictionary{{"x", 20}, {"arrowDir", 3}}});
    ASSERT_TRUE(picker && picker->pickerPopoverController);
    EXPECT_TRUE(picker->pickerPopoverController->isPopoverVisible());
    EXPECT_FALSE(m_plugin->hasPendingOperation());
    call("repositionPopover", {Dictionary{{"x", 40}, {"y", 60}}}, std::nullopt);
    settle();
    EXPECT_TRUE(picker->pickerPopoverController->isPopoverVisible());
    m_plugin->popoverControllerDidDismissPopover(*picker->pickerPopoverController);
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].message(), Value("no image selected"));
    EXPECT_TRUE(m_plugin->pickerController()) << "the picker is kept";
}

TEST_F(CameraTest, ASecondCallWhileThePickerIsUpEndsAtOnceAndTheFirstKeepsItsAnswer) {
    auto picker = open({}, "first");
    ASSERT_TRUE(picker);
    hybtest::LogCapture log;
    call("takePicture", {}, "second");
    settle();
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].callbackId, "second");
    EXPECT_EQ(answers()[0].message(), Value("no image selected"));
    EXPECT_TRUE(log.contains("could not be shown"));
    EXPECT_EQ(m_plugin->pickerController(), picker);
    clock.advance(1.0 / 30);
    ASSERT_TRUE(picker->shoot());
    settle();
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(answers()[1].callbackId, "first");
    EXPECT_EQ(answers()[1].status(), HYBCommandStatus::Ok);
}

TEST_F(CameraTest, OptionsAreReadInTheBackgroundAndThePickerComesOnTheMainThread) {
    m_log->backgroundRunsOnQueue = true;
    start();
    call("takePicture", {50, 0});
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        clock.advance(0.1);
        return m_plugin->pickerController() && !m_plugin->hasPendingOperation();
    }));
    clock.advance(1.0 / 30);
    ASSERT_TRUE(m_plugin->pickerController()->shoot());
    settle();
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_TRUE(answers()[0].onMainThread);
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
}
